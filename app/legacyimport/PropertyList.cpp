#include "legacyimport/PropertyList.h"

#include "common/Base64.h"

#include <QByteArray>
#include <QXmlStreamReader>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace harbelle {

const PropertyListValue* PropertyListValue::value(std::string_view key) const {
    for (const auto& [name, entry] : dictionary)
        if (name == key) return &entry;
    return nullptr;
}

PropertyListValue* PropertyListValue::value(std::string_view key) {
    return const_cast<PropertyListValue*>(std::as_const(*this).value(key));
}

namespace {

using Value = PropertyListValue;

// Bytes the values of one list may take in all, held against what is really made: a value
// takes no more than its bytes in the file (base64 shrinks; binary UTF-16 grows by half at
// most), while a small file of repeated references to one leaf could otherwise copy it anew for
// each reference.
std::size_t byteBudgetFor(std::size_t inputSize) {
    return inputSize * 2 + (1u << 20);
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::uint64_t readBigEndian(const std::uint8_t* p, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

// ---- Binary ---------------------------------------------------------------------------------

// A dictionary entry read into the value: every key when no keys are named.
bool wanted(std::span<const std::string_view> keys, std::string_view key) {
    return keys.empty() || std::find(keys.begin(), keys.end(), key) != keys.end();
}

class BinaryReader {
public:
    BinaryReader(std::span<const std::uint8_t> bytes, std::span<const std::string_view> keys)
        : b_(bytes), keys_(keys), byteBudget_(byteBudgetFor(bytes.size())) {}

    PropertyList::Result run() {
        PropertyList::Result result;
        Value root;
        if (readTrailer() && readObject(top_, 0, root)) {
            result.root = std::move(root);
        } else {
            result.error = error_.empty() ? "malformed binary property list" : error_;
        }
        return result;
    }

private:
    bool fail(const char* why) {
        if (error_.empty()) error_ = why;
        return false;
    }

    bool readTrailer() {
        constexpr std::size_t kHeader = 8, kTrailer = 32;
        if (b_.size() < kHeader + kTrailer + 1) return fail("binary property list too short");
        const std::uint8_t* t = b_.data() + b_.size() - kTrailer;
        offsetSize_ = t[6];
        refSize_ = t[7];
        count_ = readBigEndian(t + 8, 8);
        top_ = readBigEndian(t + 16, 8);
        tableOffset_ = readBigEndian(t + 24, 8);
        const std::uint64_t tableLimit = b_.size() - kTrailer;
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return fail("bad integer sizes");
        if (count_ == 0 || top_ >= count_) return fail("bad object count");
        if (tableOffset_ < kHeader || tableOffset_ > tableLimit) return fail("bad offset table");
        if (count_ > (tableLimit - tableOffset_) / offsetSize_) return fail("offset table past the end");
        entered_.assign(static_cast<std::size_t>(count_), false);
        return true;
    }

    bool offsetOf(std::uint64_t ref, std::uint64_t& offset) {
        if (ref >= count_) return fail("reference out of range");
        offset = readBigEndian(b_.data() + tableOffset_ + ref * offsetSize_, offsetSize_);
        if (offset < 8 || offset >= tableOffset_) return fail("object offset out of range");
        return true;
    }

    // `length` bytes from `pos` lie inside the object area.
    bool within(std::uint64_t pos, std::uint64_t length) const {
        return pos <= tableOffset_ && length <= tableOffset_ - pos;
    }

    // The element count after a marker: the low nibble, or an integer object after it.
    bool readCount(std::uint64_t& pos, std::uint8_t info, std::uint64_t& count) {
        if (info != 0x0F) {
            count = info;
            return true;
        }
        if (!within(pos, 1)) return fail("count past the end");
        const std::uint8_t marker = b_[pos++];
        if ((marker & 0xF0) != 0x10 || (marker & 0x0F) > 3) return fail("bad count");
        const std::size_t n = std::size_t{1} << (marker & 0x0F);
        if (!within(pos, n)) return fail("count past the end");
        count = readBigEndian(b_.data() + pos, n);
        pos += n;
        return true;
    }

    bool charge(std::size_t bytes) {
        if (bytes > byteBudget_ - bytesUsed_) return fail("property list too large");
        bytesUsed_ += bytes;
        return true;
    }

    bool readObject(std::uint64_t ref, int depth, Value& out) {
        if (depth > PropertyList::kMaximumDepth) return fail("property list nested too deeply");
        if (++nodes_ > PropertyList::kMaximumNodes) return fail("property list has too many values");
        std::uint64_t pos = 0;
        if (!offsetOf(ref, pos)) return false;
        const std::uint8_t marker = b_[pos++];
        const std::uint8_t info = marker & 0x0F;
        switch (marker >> 4) {
            case 0x0:
                if (marker == 0x00) {
                    out.type = Value::Type::null;
                } else if (marker == 0x08 || marker == 0x09) {
                    out.type = Value::Type::boolean;
                    out.boolean = marker == 0x09;
                } else {
                    return fail("unknown marker");
                }
                return true;
            case 0x1: {
                if (info > 4) return fail("bad integer");
                const std::size_t n = std::size_t{1} << info;
                if (!within(pos, n)) return fail("integer past the end");
                // 16-byte integers keep their low half.
                const std::size_t low = n > 8 ? n - 8 : 0;
                out.type = Value::Type::integer;
                out.integer = static_cast<std::int64_t>(readBigEndian(b_.data() + pos + low, n - low));
                return true;
            }
            case 0x2:
            case 0x3: {
                if (marker != 0x22 && marker != 0x23 && marker != 0x33) return fail("bad real");
                const std::size_t n = marker == 0x22 ? 4 : 8;
                if (!within(pos, n)) return fail("real past the end");
                const std::uint64_t raw = readBigEndian(b_.data() + pos, n);
                if (n == 4) {
                    float f;
                    const auto r32 = static_cast<std::uint32_t>(raw);
                    std::memcpy(&f, &r32, 4);
                    out.real = f;
                } else {
                    std::memcpy(&out.real, &raw, 8);
                }
                out.type = marker == 0x33 ? Value::Type::date : Value::Type::real;
                return true;
            }
            case 0x4: {
                std::uint64_t count = 0;
                if (!readCount(pos, info, count)) return false;
                if (!within(pos, count)) return fail("data past the end");
                if (!charge(count)) return false;
                out.type = Value::Type::data;
                out.data.assign(b_.begin() + pos, b_.begin() + pos + count);
                return true;
            }
            case 0x5: {
                std::uint64_t count = 0;
                if (!readCount(pos, info, count)) return false;
                if (!within(pos, count)) return fail("string past the end");
                out.type = Value::Type::string;
                out.string.reserve(count);
                for (std::uint64_t i = 0; i < count; ++i) {
                    const std::uint8_t c = b_[pos + i];
                    if (c < 0x80) out.string += static_cast<char>(c);
                    else appendUtf8(out.string, 0xFFFD);
                }
                return charge(out.string.size());
            }
            case 0x6: {
                std::uint64_t count = 0;
                if (!readCount(pos, info, count)) return false;
                if (count > tableOffset_ / 2 || !within(pos, count * 2)) return fail("string past the end");
                // A UTF-16 unit takes at most three bytes in UTF-8.
                if (count * 3 > byteBudget_ - bytesUsed_ + count) return fail("property list too large");
                out.type = Value::Type::string;
                out.string.reserve(count);
                const std::uint8_t* p = b_.data() + pos;
                for (std::uint64_t i = 0; i < count; ++i) {
                    char32_t unit = char32_t(p[2 * i] << 8 | p[2 * i + 1]);
                    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < count) {
                        const char32_t next = char32_t(p[2 * i + 2] << 8 | p[2 * i + 3]);
                        if (next >= 0xDC00 && next < 0xE000) {
                            appendUtf8(out.string, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                            ++i;
                            continue;
                        }
                    }
                    if (unit >= 0xD800 && unit < 0xE000) unit = 0xFFFD;  // unpaired half
                    appendUtf8(out.string, unit);
                }
                return charge(out.string.size());
            }
            case 0x8: {
                const std::size_t n = std::size_t{info} + 1;
                if (n > 8 || !within(pos, n)) return fail("bad uid");
                out.type = Value::Type::uid;
                out.integer = static_cast<std::int64_t>(readBigEndian(b_.data() + pos, n));
                return true;
            }
            case 0xA:
            case 0xC:
            case 0xD: {
                // A container is entered once: a second visit is a cycle or a shared branch.
                if (entered_[static_cast<std::size_t>(ref)]) return fail("shared or cyclic reference");
                entered_[static_cast<std::size_t>(ref)] = true;
                std::uint64_t count = 0;
                if (!readCount(pos, info, count)) return false;
                const bool isDictionary = (marker >> 4) == 0xD;
                const std::uint64_t refs = isDictionary ? 2 : 1;
                if (count > tableOffset_ / (refSize_ * refs) || !within(pos, count * refSize_ * refs))
                    return fail("container past the end");
                if (count > PropertyList::kMaximumNodes) return fail("property list has too many values");
                auto refAt = [&](std::uint64_t i) { return readBigEndian(b_.data() + pos + i * refSize_, refSize_); };
                if (!isDictionary) {
                    out.type = Value::Type::array;
                    out.array.resize(static_cast<std::size_t>(count));
                    for (std::uint64_t i = 0; i < count; ++i)
                        if (!readObject(refAt(i), depth + 1, out.array[i])) return false;
                    return true;
                }
                out.type = Value::Type::dictionary;
                out.dictionary.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, keys_.empty() ? count : keys_.size())));
                for (std::uint64_t i = 0; i < count; ++i) {
                    Value key;
                    if (!readObject(refAt(i), depth + 1, key)) return false;
                    if (key.type != Value::Type::string) return fail("dictionary key is not a string");
                    if (!wanted(keys_, key.string)) continue;  // never read, so its depth is no matter
                    out.dictionary.emplace_back(std::move(key.string), Value{});
                    if (!readObject(refAt(count + i), depth + 1, out.dictionary.back().second)) return false;
                }
                return true;
            }
            default:
                return fail("unknown marker");
        }
    }

    std::span<const std::uint8_t> b_;
    std::span<const std::string_view> keys_;
    std::uint8_t offsetSize_ = 0, refSize_ = 0;
    std::uint64_t count_ = 0, top_ = 0, tableOffset_ = 0;
    std::vector<bool> entered_;
    std::size_t nodes_ = 0;
    std::size_t bytesUsed_ = 0;
    const std::size_t byteBudget_;
    std::string error_;
};

// ---- XML ------------------------------------------------------------------------------------

// Decodes a <data> element's base64 text. The reader hands that text over whole, as one token,
// so it is held once beside the bytes it decodes to; the bytes are charged as they grow.
class Base64Sink {
public:
    explicit Base64Sink(Bytes& out) : out_(out) {}
    bool add(QStringView text) {
        for (const QChar qc : text) {
            const char16_t c = qc.unicode();
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
            if (c == '=') {
                if (held_ < 2) return false;
                padded_ = true;
                continue;
            }
            const int v = base64::valueOf(c);
            if (v < 0 || padded_) return false;
            quad_ = quad_ << 6 | std::uint32_t(v);
            if (++held_ == 4) {
                out_.push_back(std::uint8_t(quad_ >> 16));
                out_.push_back(std::uint8_t(quad_ >> 8));
                out_.push_back(std::uint8_t(quad_));
                held_ = 0;
                quad_ = 0;
            }
        }
        return true;
    }
    bool finish() {
        if (held_ == 1) return false;
        if (held_ >= 2) out_.push_back(std::uint8_t(quad_ >> (held_ == 2 ? 4 : 10)));
        if (held_ == 3) out_.push_back(std::uint8_t(quad_ >> 2));
        return true;
    }

private:
    Bytes& out_;
    std::uint32_t quad_ = 0;
    int held_ = 0;
    bool padded_ = false;
};

class XmlReader {
public:
    XmlReader(std::span<const std::uint8_t> bytes, std::span<const std::string_view> keys)
        : keys_(keys), input_(bytes), byteBudget_(byteBudgetFor(bytes.size())) {}

    PropertyList::Result run() {
        PropertyList::Result result;
        Value root;
        if (readDocument(root)) {
            result.root = std::move(root);
        } else {
            result.error = error_.empty() ? "malformed XML property list" : error_;
            if (xml_.hasError()) result.error += ": " + xml_.errorString().toStdString();
        }
        return result;
    }

private:
    // The document is handed to the reader in slices: given whole, it would be decoded to UTF-16
    // at once, twice its size.
    static constexpr std::size_t kSlice = 64 << 10;

    QXmlStreamReader::TokenType next() {
        for (;;) {
            const auto token = xml_.readNext();
            if (xml_.error() != QXmlStreamReader::PrematureEndOfDocumentError || fed_ >= input_.size()) return token;
            const std::size_t n = std::min(kSlice, input_.size() - fed_);
            xml_.addData(QByteArray::fromRawData(reinterpret_cast<const char*>(input_.data() + fed_), qsizetype(n)));
            fed_ += n;
        }
    }

    bool fail(const char* why) {
        if (error_.empty()) error_ = why;
        return false;
    }

    // The next start element at this level; false at the parent's end or on an error.
    bool nextStart() {
        while (!xml_.atEnd() || fed_ < input_.size()) {
            const auto token = next();
            if (xml_.hasError()) return false;
            if (token == QXmlStreamReader::StartElement) return true;
            if (token == QXmlStreamReader::EndElement) return false;
            if (token == QXmlStreamReader::Characters && !xml_.isWhitespace()) return fail("stray text");
        }
        return false;
    }

    bool skipElement() {
        for (int depth = 1; depth > 0;) {
            const auto token = next();
            if (xml_.hasError() || token == QXmlStreamReader::Invalid) return fail("malformed XML");
            if (token == QXmlStreamReader::StartElement) ++depth;
            if (token == QXmlStreamReader::EndElement) --depth;
        }
        return true;
    }

    bool readDocument(Value& root) {
        if (!nextStart() || xml_.name() != u"plist") return fail("no plist element");
        if (!nextStart()) return fail("empty plist");
        if (!readValue(0, root)) return false;
        if (nextStart()) return fail("more than one root value");
        return error_.empty() && !xml_.hasError();
    }

    // The element's text, piece by piece as the reader hands it over, up to its end element.
    template <typename Sink>
    bool eachText(Sink sink) {
        for (;;) {
            const auto token = next();
            if (xml_.hasError()) return fail("bad element text");
            switch (token) {
            case QXmlStreamReader::Characters:
                if (!sink(xml_.text())) return false;
                break;
            case QXmlStreamReader::EndElement:
                return true;
            case QXmlStreamReader::Comment:
            case QXmlStreamReader::ProcessingInstruction:
                break;
            default:
                return fail("bad element text");
            }
        }
    }

    bool text(std::string& out) {
        return eachText([&](QStringView piece) {
            // In slices, so the piece is never copied whole; a pair of surrogates stays together.
            constexpr qsizetype kChars = 32 << 10;
            for (qsizetype at = 0; at < piece.size();) {
                qsizetype n = std::min(kChars, piece.size() - at);
                if (at + n < piece.size() && piece[at + n - 1].isHighSurrogate()) ++n;
                const QByteArray utf8 = piece.mid(at, n).toUtf8();
                if (!charge(std::size_t(utf8.size()))) return false;
                out.append(utf8.constData(), std::size_t(utf8.size()));
                at += n;
            }
            return true;
        });
    }

    bool charge(std::size_t bytes) {
        if (bytes > byteBudget_ - bytesUsed_) return fail("property list too large");
        bytesUsed_ += bytes;
        return true;
    }

    // Called with the reader on the value's start element.
    bool readValue(int depth, Value& out) {
        if (depth > PropertyList::kMaximumDepth) return fail("property list nested too deeply");
        if (++nodes_ > PropertyList::kMaximumNodes) return fail("property list has too many values");
        const auto name = xml_.name();
        if (name == u"array") {
            out.type = Value::Type::array;
            while (nextStart()) {
                out.array.emplace_back();
                if (!readValue(depth + 1, out.array.back())) return false;
            }
            return error_.empty() && !xml_.hasError();
        }
        if (name == u"dict") {
            out.type = Value::Type::dictionary;
            while (nextStart()) {
                if (xml_.name() != u"key") return fail("dictionary entry without a key");
                std::string key;
                if (!text(key)) return false;
                if (!nextStart()) return fail("key without a value");
                if (!wanted(keys_, key)) {
                    // Passed over without building it, so its depth is no matter.
                    if (!skipElement()) return false;
                    continue;
                }
                out.dictionary.emplace_back(std::move(key), Value{});
                if (!readValue(depth + 1, out.dictionary.back().second)) return false;
            }
            return error_.empty() && !xml_.hasError();
        }
        if (name == u"string") {
            out.type = Value::Type::string;
            return text(out.string);
        }
        if (name == u"data") {
            Base64Sink decoder(out.data);
            const bool read = eachText([&](QStringView piece) {
                const std::size_t before = out.data.size();
                out.data.reserve(before + std::size_t(piece.size()) / 4 * 3 + 3);
                if (!decoder.add(piece)) return fail("bad base64 data");
                return charge(out.data.size() - before);
            });
            if (!read) return false;
            if (!decoder.finish()) return fail("bad base64 data");
            out.type = Value::Type::data;
            return true;
        }
        if (name == u"integer") {
            std::string digits;
            if (!text(digits)) return false;
            bool ok = false;
            out.integer = QByteArray::fromStdString(digits).trimmed().toLongLong(&ok, 0);
            if (!ok) return fail("bad integer");
            out.type = Value::Type::integer;
            return true;
        }
        if (name == u"real") {
            std::string digits;
            if (!text(digits)) return false;
            bool ok = false;
            out.real = QByteArray::fromStdString(digits).trimmed().toDouble(&ok);
            if (!ok) return fail("bad real");
            out.type = Value::Type::real;
            return true;
        }
        if (name == u"true" || name == u"false") {
            out.type = Value::Type::boolean;
            out.boolean = name == u"true";
            std::string ignored;
            return text(ignored);
        }
        if (name == u"date") {
            out.type = Value::Type::date;
            return text(out.string);
        }
        return fail("unknown element");
    }

    std::span<const std::string_view> keys_;
    std::span<const std::uint8_t> input_;
    std::size_t fed_ = 0;
    QXmlStreamReader xml_;
    std::size_t nodes_ = 0;
    std::size_t bytesUsed_ = 0;
    const std::size_t byteBudget_;
    std::string error_;
};

}  // namespace

PropertyList::Result PropertyList::parse(std::span<const std::uint8_t> bytes, std::span<const std::string_view> keys) {
    static constexpr char kBinaryMagic[] = "bplist00";
    if (bytes.size() >= 8 && std::memcmp(bytes.data(), kBinaryMagic, 8) == 0) return BinaryReader(bytes, keys).run();
    std::size_t i = 0;
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) i = 3;
    while (i < bytes.size() && (bytes[i] == ' ' || bytes[i] == '\t' || bytes[i] == '\n' || bytes[i] == '\r')) ++i;
    if (i < bytes.size() && bytes[i] == '<') return XmlReader(bytes, keys).run();
    return {std::nullopt, "not a binary or XML property list"};
}

}  // namespace harbelle
