#include "legacyimport/PropertyList.h"

#include "common/Base64.h"

#include <QByteArray>
#include <QXmlStreamReader>

#include <algorithm>
#include <array>
#include <cctype>
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

    // The root as an array of dictionaries, each reduced to the first value of each key (null
    // where it has none), `keys_.size()` values a dictionary: read and refused as `run` reads
    // it, without its tree. `other` when the root or an element is another kind of value.
    bool records(std::vector<Value>& out, bool& other) {
        other = false;
        if (!readTrailer()) return false;
        std::uint64_t pos = 0, count = 0;
        if (!enterTyped(top_, 0, {0xA, 0xC}, pos, count, other)) return false;
        const std::size_t perRecord = keys_.size();
        for (std::uint64_t i = 0; i < count; ++i) {
            std::uint64_t at = 0, entries = 0;
            if (!enterTyped(readBigEndian(b_.data() + pos + i * refSize_, refSize_), 1, {0xD, 0xD}, at, entries, other))
                return false;
            auto refAt = [&](std::uint64_t j) { return readBigEndian(b_.data() + at + j * refSize_, refSize_); };
            const std::size_t first = out.size();
            out.resize(first + perRecord);
            std::uint64_t filled = 0;
            for (std::uint64_t j = 0; j < entries; ++j) {
                Value key;
                if (!readObject(refAt(j), 2, key)) return false;
                if (key.type != Value::Type::string) return fail("dictionary key is not a string");
                const auto slot = std::size_t(std::find(keys_.begin(), keys_.end(), key.string) - keys_.begin());
                if (slot == perRecord) continue;  // never read, as in `run`
                // A repeated key is read as `run` reads it; the first one's value stands.
                Value repeated;
                const bool isFirst = (filled >> slot & 1) == 0;
                filled |= std::uint64_t{1} << slot;
                if (!readObject(refAt(entries + j), 2, isFirst ? out[first + slot] : repeated)) return false;
            }
        }
        return true;
    }

    const std::string& error() {
        if (error_.empty()) error_ = "malformed binary property list";
        return error_;
    }

private:
    // What `readObject` does before and as it enters a container of one of two kinds; `other`
    // for any other value.
    bool enterTyped(std::uint64_t ref, int depth, std::array<std::uint8_t, 2> kinds, std::uint64_t& pos,
                    std::uint64_t& count, bool& other) {
        if (depth > PropertyList::kMaximumDepth) return fail("property list nested too deeply");
        if (++nodes_ > PropertyList::kMaximumNodes) return fail("property list has too many values");
        if (!offsetOf(ref, pos)) return false;
        const std::uint8_t marker = b_[pos++];
        if ((marker >> 4) != kinds[0] && (marker >> 4) != kinds[1]) {
            other = true;
            return false;
        }
        return enterContainer(ref, marker, pos, count);
    }

    // A container's count and the bounds of its references, once its marker is read.
    bool enterContainer(std::uint64_t ref, std::uint8_t marker, std::uint64_t& pos, std::uint64_t& count) {
        // A container is entered once: a second visit is a cycle or a shared branch.
        if (!enter(ref)) return fail("shared or cyclic reference");
        if (!readCount(pos, marker & 0x0F, count)) return false;
        const std::uint64_t refs = (marker >> 4) == 0xD ? 2 : 1;
        if (count > tableOffset_ / (refSize_ * refs) || !within(pos, count * refSize_ * refs))
            return fail("container past the end");
        if (count > PropertyList::kMaximumNodes) return fail("property list has too many values");
        return true;
    }

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
        if (count_ > kInlineObjects) entered_.assign(static_cast<std::size_t>(count_), false);
        return true;
    }

    // Marks a container entered; false when it was already.
    bool enter(std::uint64_t ref) {
        if (count_ <= kInlineObjects) {
            const std::uint64_t bit = std::uint64_t{1} << (ref % 64);
            if (enteredInline_[ref / 64] & bit) return false;
            enteredInline_[ref / 64] |= bit;
            return true;
        }
        if (entered_[static_cast<std::size_t>(ref)]) return false;
        entered_[static_cast<std::size_t>(ref)] = true;
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
                const std::uint8_t* p = b_.data() + pos;
                // ASCII runs go over whole; any other byte reads as a replacement character.
                for (std::uint64_t i = 0; i < count;) {
                    std::uint64_t run = i;
                    while (run < count && p[run] < 0x80) ++run;
                    out.string.append(reinterpret_cast<const char*>(p + i), std::size_t(run - i));
                    if (run < count) appendUtf8(out.string, 0xFFFD);
                    i = run + 1;
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
                std::uint64_t count = 0;
                if (!enterContainer(ref, marker, pos, count)) return false;
                const bool isDictionary = (marker >> 4) == 0xD;
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
    // Which containers were entered: in place for the usual small list.
    static constexpr std::uint64_t kInlineObjects = 256;
    std::array<std::uint64_t, kInlineObjects / 64> enteredInline_{};
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
        for (const QChar qc : text)
            if (!add(qc.unicode())) return false;
        return true;
    }
    bool add(std::string_view text) {
        for (const char c : text)
            if (!add(char16_t(static_cast<unsigned char>(c)))) return false;
        return true;
    }
    bool finish() {
        if (held_ == 1) return false;
        if (held_ >= 2) out_.push_back(std::uint8_t(quad_ >> (held_ == 2 ? 4 : 10)));
        if (held_ == 3) out_.push_back(std::uint8_t(quad_ >> 2));
        return true;
    }

private:
    bool add(char16_t c) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') return true;
        if (c == '=') {
            if (held_ < 2) return false;
            padded_ = true;
            return true;
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
        return true;
    }

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

// ---- Plain XML ------------------------------------------------------------------------------

// The XML property-list writers produce, read straight from its bytes: UTF-8, an optional
// declaration, a DOCTYPE without an internal subset, comments, and no references but the five
// predefined entities and characters. Whatever falls outside that (declared entities, CDATA,
// processing instructions, another encoding, namespace prefixes, a carriage return in text or
// an unusual character) or is not well formed is not read here but by the general reader, which
// reads or refuses it as ever. So this never gives a value the general reader would not give;
// it only spares the common document that reader's cost.
class PlainXmlReader {
public:
    PlainXmlReader(std::span<const std::uint8_t> bytes, std::span<const std::string_view> keys)
        : p_(bytes.data()), end_(bytes.data() + bytes.size()), keys_(keys), byteBudget_(byteBudgetFor(bytes.size())) {}

    // The value, or nothing when the document is for the general reader.
    std::optional<Value> run() {
        if (!readProlog()) return std::nullopt;
        Element plist, first, after;
        if (!startTag(plist) || plist.name != "plist") return std::nullopt;
        if (nextStart(plist, first) != Next::start) return std::nullopt;
        Value root;
        if (!readValue(first, 0, root)) return std::nullopt;
        if (nextStart(plist, after) != Next::end) return std::nullopt;
        // What follows the root element is not parsed, as the general reader does not parse it;
        // but that reader decodes the bytes it is handed and fails on malformed UTF-8 there.
        if (!isUtf8(std::string_view(reinterpret_cast<const char*>(p_), std::size_t(end_ - p_)))) return std::nullopt;
        return root;
    }

private:
    struct Element {
        std::string_view name;
        bool empty = false;  // <name/>
    };
    enum class Next { start, end, other };

    static bool isSpace(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    static bool isNameStart(std::uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
    static bool isNameByte(std::uint8_t c) {
        return isNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-';
    }
    // Bytes of text taken as they are: printable ASCII but markup, references and ']', and
    // tab and line feed.
    static constexpr std::array<bool, 256> kPlainText = [] {
        std::array<bool, 256> plain{};
        for (int c = 0x20; c < 0x7F; ++c) plain[std::size_t(c)] = c != '<' && c != '&' && c != ']';
        plain['\t'] = plain['\n'] = true;
        return plain;
    }();

    // Whether a character, named by a reference or met in the text, is one this reads: every
    // XML character but carriage return, DEL and the C1 controls, and noncharacters.
    static bool isPlainCharacter(char32_t c) {
        if (c < 0x80) return c == '\t' || c == '\n' || (c >= 0x20 && c < 0x7F);
        if (c < 0xA0 || (c >= 0xD800 && c < 0xE000) || (c >= 0xFDD0 && c < 0xFDF0)) return false;
        return (c & 0xFFFE) != 0xFFFE && c <= 0x10FFFF;
    }
    // The length of the plain character encoded at the reader's place, 0 for anything else
    // (malformed or overlong UTF-8 included).
    std::size_t characterLength() const {
        const std::uint8_t c = *p_;
        if (c < 0x80) return isPlainCharacter(c) ? 1 : 0;
        std::size_t n = 0;
        char32_t v = 0;
        if (c >= 0xC2 && c <= 0xDF) n = 2, v = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF) n = 3, v = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4) n = 4, v = c & 0x07;
        else return 0;
        if (std::size_t(end_ - p_) < n) return 0;
        for (std::size_t i = 1; i < n; ++i) {
            if ((p_[i] & 0xC0) != 0x80) return 0;
            v = v << 6 | (p_[i] & 0x3F);
        }
        if ((n == 3 && v < 0x800) || (n == 4 && v < 0x10000)) return 0;
        return isPlainCharacter(v) ? n : 0;
    }

    static bool isUtf8(std::string_view bytes) {
        for (std::size_t i = 0; i < bytes.size();) {
            const auto c = static_cast<std::uint8_t>(bytes[i]);
            std::size_t n = 0;
            char32_t v = 0;
            if (c < 0x80) n = 1, v = c;
            else if (c >= 0xC2 && c <= 0xDF) n = 2, v = c & 0x1F;
            else if (c >= 0xE0 && c <= 0xEF) n = 3, v = c & 0x0F;
            else if (c >= 0xF0 && c <= 0xF4) n = 4, v = c & 0x07;
            else return false;
            if (bytes.size() - i < n) return false;
            for (std::size_t k = 1; k < n; ++k) {
                const auto b = static_cast<std::uint8_t>(bytes[i + k]);
                if ((b & 0xC0) != 0x80) return false;
                v = v << 6 | (b & 0x3F);
            }
            if ((n == 3 && (v < 0x800 || (v >= 0xD800 && v < 0xE000))) || (n == 4 && (v < 0x10000 || v > 0x10FFFF)))
                return false;
            i += n;
        }
        return true;
    }

    bool startsWith(std::string_view text) const {
        return std::size_t(end_ - p_) >= text.size() && std::memcmp(p_, text.data(), text.size()) == 0;
    }
    bool skipSpace() {
        const std::uint8_t* from = p_;
        while (p_ < end_ && isSpace(*p_)) ++p_;
        return p_ != from;
    }
    bool expect(std::string_view text) {
        if (!startsWith(text)) return false;
        p_ += text.size();
        return true;
    }
    bool name(std::string_view& out) {
        const std::uint8_t* from = p_;
        if (p_ == end_ || !isNameStart(*p_)) return false;
        while (p_ < end_ && isNameByte(*p_)) ++p_;
        out = std::string_view(reinterpret_cast<const char*>(from), std::size_t(p_ - from));
        return true;
    }
    // A quoted value whose every character passes `allowed` (given its first byte).
    template <typename Allowed>
    bool quoted(std::string_view& out, Allowed allowed) {
        if (p_ == end_ || (*p_ != '"' && *p_ != '\'')) return false;
        const std::uint8_t quote = *p_++;
        const std::uint8_t* from = p_;
        while (p_ < end_ && *p_ != quote) {
            const std::size_t n = characterLength();
            if (n == 0 || !allowed(*p_)) return false;
            p_ += n;
        }
        if (p_ == end_) return false;
        out = std::string_view(reinterpret_cast<const char*>(from), std::size_t(p_++ - from));
        return true;
    }
    bool equalsSign() {
        skipSpace();
        if (!expect("=")) return false;
        skipSpace();
        return true;
    }

    // <?xml version="1.0" encoding="UTF-8" standalone="no"?>, the last two optional.
    bool declaration() {
        const auto pseudo = [](std::uint8_t c) { return isNameByte(c); };
        std::string_view value;
        p_ += 5;
        skipSpace();
        if (!expect("version") || !equalsSign() || !quoted(value, pseudo) || value != "1.0") return false;
        bool spaced = skipSpace();
        if (spaced && expect("encoding")) {
            if (!equalsSign() || !quoted(value, pseudo) || value.size() != 5) return false;
            for (std::size_t i = 0; i < 5; ++i)
                if (std::tolower(static_cast<unsigned char>(value[i])) != "utf-8"[i]) return false;
            spaced = skipSpace();
        }
        if (spaced && expect("standalone")) {
            if (!equalsSign() || !quoted(value, pseudo) || (value != "yes" && value != "no")) return false;
            skipSpace();
        }
        return expect("?>");
    }

    // <!DOCTYPE name PUBLIC "id" "uri">, or SYSTEM "uri", or neither; no internal subset, and
    // both literals of the characters a public identifier may hold.
    bool doctype() {
        // ASCII letters and digits whatever the locale, as XML names them.
        static constexpr auto kPublicId = [] {
            std::array<bool, 256> allowed{};
            for (const char c : std::string_view(" \n-'()+,./:=?;!*#@$_%")) allowed[static_cast<unsigned char>(c)] = true;
            for (int c = 0; c < 256; ++c)
                if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) allowed[std::size_t(c)] = true;
            return allowed;
        }();
        const auto publicId = [](std::uint8_t c) { return kPublicId[c]; };
        const auto any = publicId;
        std::string_view value;
        p_ += 9;
        if (!skipSpace() || !name(value)) return false;
        if (skipSpace()) {
            if (expect("PUBLIC")) {
                if (!skipSpace() || !quoted(value, publicId) || !skipSpace() || !quoted(value, any)) return false;
                skipSpace();
            } else if (expect("SYSTEM")) {
                if (!skipSpace() || !quoted(value, any)) return false;
                skipSpace();
            }
        }
        return expect(">");
    }

    // <!-- ... -->, never holding "--".
    bool comment() {
        p_ += 4;
        if (p_ < end_ && *p_ == '-') return false;
        while (p_ < end_) {
            if (startsWith("--")) return expect("-->");
            const std::size_t n = characterLength();
            if (n == 0) return false;
            p_ += n;
        }
        return false;
    }

    // Up to the root's start tag: a declaration, one DOCTYPE, comments and spaces.
    bool readProlog() {
        expect("\xEF\xBB\xBF");  // a byte-order mark
        if (startsWith("<?xml") && std::size_t(end_ - p_) > 5 && isSpace(p_[5]) && !declaration()) return false;
        bool seenDoctype = false;
        for (;;) {
            skipSpace();
            if (startsWith("<!--")) {
                if (!comment()) return false;
            } else if (startsWith("<!DOCTYPE") && !seenDoctype) {
                seenDoctype = true;
                if (!doctype()) return false;
            } else {
                return std::size_t(end_ - p_) > 1 && *p_ == '<' && isNameStart(p_[1]);
            }
        }
    }

    // At '<' of a start tag: its name, and attributes that are checked and passed over (a few
    // at most, none of the reserved "xml" names).
    bool startTag(Element& element) {
        ++p_;
        if (!name(element.name)) return false;
        constexpr int kMostAttributes = 4;
        std::string_view attributes[kMostAttributes];
        int count = 0;
        const auto valueByte = [](std::uint8_t c) { return c != '<' && c != '&'; };
        for (;;) {
            const bool spaced = skipSpace();
            if (p_ == end_) return false;
            if (*p_ == '>') {
                ++p_;
                element.empty = false;
                return true;
            }
            if (expect("/>")) {
                element.empty = true;
                return true;
            }
            std::string_view attribute, value;
            if (!spaced || count == kMostAttributes || !name(attribute)) return false;
            if (attribute.size() >= 3 && std::tolower(static_cast<unsigned char>(attribute[0])) == 'x' &&
                std::tolower(static_cast<unsigned char>(attribute[1])) == 'm' &&
                std::tolower(static_cast<unsigned char>(attribute[2])) == 'l')
                return false;
            for (int i = 0; i < count; ++i)
                if (attributes[i] == attribute) return false;
            attributes[count++] = attribute;
            if (!equalsSign() || !quoted(value, valueByte)) return false;
        }
    }

    // At "</": the end tag of `open`.
    bool endTag(std::string_view open) {
        p_ += 2;
        std::string_view closed;
        if (!name(closed) || closed != open) return false;
        skipSpace();
        return expect(">");
    }

    // The next child's start tag, or the parent's end tag; spaces and comments between them.
    Next nextStart(const Element& parent, Element& child) {
        if (parent.empty) return Next::end;
        for (;;) {
            skipSpace();
            if (p_ == end_ || *p_ != '<') return Next::other;
            if (startsWith("<!--")) {
                if (!comment()) return Next::other;
            } else if (startsWith("</")) {
                return endTag(parent.name) ? Next::end : Next::other;
            } else {
                return startTag(child) ? Next::start : Next::other;
            }
        }
    }

    bool charge(std::size_t bytes) {
        if (bytes > byteBudget_ - bytesUsed_) return false;
        bytesUsed_ += bytes;
        return true;
    }

    // At '&': a predefined entity or a character reference, appended.
    bool reference(std::string& out) {
        static constexpr std::pair<std::string_view, char> kEntities[] = {
            {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
        for (const auto& [entity, c] : kEntities) {
            if (expect(entity)) {
                out += c;
                return true;
            }
        }
        if (!expect("&#")) return false;
        const bool hex = expect("x");
        char32_t c = 0;
        int digits = 0;
        for (; p_ < end_ && *p_ != ';'; ++p_, ++digits) {
            const std::uint8_t d = *p_;
            int v = -1;
            if (d >= '0' && d <= '9') v = d - '0';
            else if (hex && d >= 'a' && d <= 'f') v = d - 'a' + 10;
            else if (hex && d >= 'A' && d <= 'F') v = d - 'A' + 10;
            if (v < 0 || digits == 8) return false;
            c = c * (hex ? 16 : 10) + char32_t(v);
        }
        if (!expect(";") || digits == 0 || !isPlainCharacter(c)) return false;
        appendUtf8(out, c);
        return true;
    }

    // An element's text up to its end tag, comments left out, appended to `out`; what is
    // appended counts against the budget when `charged`.
    bool text(const Element& element, std::string& out, bool charged = true) {
        if (element.empty) return true;
        for (;;) {
            const std::uint8_t* from = p_;
            while (p_ < end_ && kPlainText[*p_]) ++p_;
            if (p_ == end_) return false;
            const std::size_t before = out.size();
            out.append(reinterpret_cast<const char*>(from), std::size_t(p_ - from));
            if (*p_ == '<') {
                if (startsWith("</")) return endTag(element.name) && (!charged || charge(out.size() - before));
                if (!startsWith("<!--") || !comment()) return false;
            } else if (*p_ == '&') {
                if (!reference(out)) return false;
            } else if (*p_ == ']') {
                if (startsWith("]]>")) return false;
                out += char(*p_++);
            } else {
                const std::size_t n = characterLength();
                if (n == 0) return false;
                out.append(reinterpret_cast<const char*>(p_), n);
                p_ += n;
            }
            if (charged && !charge(out.size() - before)) return false;
        }
    }

    // Passes over an element and all it holds, checking it as it goes.
    bool skip(const Element& element) {
        if (element.empty) return true;
        std::vector<std::string_view> open{element.name};
        std::string ignored;
        while (!open.empty()) {
            while (p_ < end_ && kPlainText[*p_]) ++p_;
            if (p_ == end_) return false;
            if (*p_ == '<') {
                Element child;
                if (startsWith("</")) {
                    if (!endTag(open.back())) return false;
                    open.pop_back();
                } else if (startsWith("<!--")) {
                    if (!comment()) return false;
                } else if (!startTag(child)) {
                    return false;
                } else if (!child.empty) {
                    open.push_back(child.name);
                }
            } else if (*p_ == '&') {
                ignored.clear();
                if (!reference(ignored)) return false;
            } else if (*p_ == ']') {
                if (startsWith("]]>")) return false;
                ++p_;
            } else {
                const std::size_t n = characterLength();
                if (n == 0) return false;
                p_ += n;
            }
        }
        return true;
    }

    // As the general reader reads a value, with the same limits and charges.
    bool readValue(const Element& element, int depth, Value& out) {
        if (depth > PropertyList::kMaximumDepth) return false;
        if (++nodes_ > PropertyList::kMaximumNodes) return false;
        const std::string_view name = element.name;
        if (name == "array") {
            out.type = Value::Type::array;
            for (;;) {
                Element child;
                const Next next = nextStart(element, child);
                if (next != Next::start) return next == Next::end;
                out.array.emplace_back();
                if (!readValue(child, depth + 1, out.array.back())) return false;
            }
        }
        if (name == "dict") {
            out.type = Value::Type::dictionary;
            for (;;) {
                Element keyElement, valueElement;
                const Next next = nextStart(element, keyElement);
                if (next != Next::start) return next == Next::end;
                std::string key;
                if (keyElement.name != "key" || !text(keyElement, key)) return false;
                if (nextStart(element, valueElement) != Next::start) return false;
                if (!wanted(keys_, key)) {
                    if (!skip(valueElement)) return false;
                    continue;
                }
                out.dictionary.emplace_back(std::move(key), Value{});
                if (!readValue(valueElement, depth + 1, out.dictionary.back().second)) return false;
            }
        }
        if (name == "string") {
            out.type = Value::Type::string;
            return text(element, out.string);
        }
        if (name == "data") {
            std::string encoded;
            Base64Sink decoder(out.data);
            if (!text(element, encoded, false)) return false;
            out.data.reserve(encoded.size() / 4 * 3 + 3);
            if (!decoder.add(encoded) || !decoder.finish() || !charge(out.data.size())) return false;
            out.type = Value::Type::data;
            return true;
        }
        if (name == "integer" || name == "real") {
            std::string digits;
            if (!text(element, digits)) return false;
            bool ok = false;
            const QByteArray trimmed = QByteArray::fromStdString(digits).trimmed();
            if (name == "integer") {
                out.integer = trimmed.toLongLong(&ok, 0);
                out.type = Value::Type::integer;
            } else {
                out.real = trimmed.toDouble(&ok);
                out.type = Value::Type::real;
            }
            return ok;
        }
        if (name == "true" || name == "false") {
            out.type = Value::Type::boolean;
            out.boolean = name == "true";
            std::string ignored;
            return text(element, ignored);
        }
        if (name == "date") {
            out.type = Value::Type::date;
            return text(element, out.string);
        }
        return false;
    }

    const std::uint8_t* p_;
    const std::uint8_t* const end_;
    std::span<const std::string_view> keys_;
    std::size_t nodes_ = 0;
    std::size_t bytesUsed_ = 0;
    const std::size_t byteBudget_;
};

}  // namespace

PropertyList::Result PropertyList::parse(std::span<const std::uint8_t> bytes, std::span<const std::string_view> keys) {
    static constexpr char kBinaryMagic[] = "bplist00";
    if (bytes.size() >= 8 && std::memcmp(bytes.data(), kBinaryMagic, 8) == 0) return BinaryReader(bytes, keys).run();
    std::size_t i = 0;
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) i = 3;
    while (i < bytes.size() && (bytes[i] == ' ' || bytes[i] == '\t' || bytes[i] == '\n' || bytes[i] == '\r')) ++i;
    if (i < bytes.size() && bytes[i] == '<') {
        if (auto root = PlainXmlReader(bytes, keys).run()) return {std::move(root), {}};
        return XmlReader(bytes, keys).run();
    }
    return {std::nullopt, "not a binary or XML property list"};
}

std::optional<PropertyList::Records> PropertyList::parseRecords(std::span<const std::uint8_t> bytes,
                                                               std::span<const std::string_view> keys) {
    static constexpr char kBinaryMagic[] = "bplist00";
    if (keys.empty() || keys.size() > 64 || bytes.size() < 8 || std::memcmp(bytes.data(), kBinaryMagic, 8) != 0)
        return std::nullopt;
    Records records;
    bool other = false;
    BinaryReader reader(bytes, keys);
    if (reader.records(records.values, other)) return records;
    if (other) return std::nullopt;
    records.values.clear();
    records.error = reader.error();
    return records;
}

PropertyList::Result PropertyList::parseWithGeneralXmlReader(std::span<const std::uint8_t> bytes,
                                                              std::span<const std::string_view> keys) {
    return XmlReader(bytes, keys).run();
}

}  // namespace harbelle
