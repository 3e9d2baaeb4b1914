// Writing the history file, and its size counted without writing it.
#include "history/HistoryCodec.h"
#include "platform/Base64.h"

#include <charconv>
#include <cstring>
#include <type_traits>

namespace harbelle::historycodec {
namespace {

// ---- Record encoding ----
//
// Written by hand in field order: compact, "/" unescaped, UTF-8 kept as is. Bytes that are not
// valid UTF-8 become U+FFFD (one per maximal ill-formed subsequence) so a save never fails on
// an odd string.

// Stands in for the output string where only the file's size is wanted.
struct ByteCount {
    std::uint64_t bytes = 0;
    ByteCount& operator+=(char) { ++bytes; return *this; }
    ByteCount& operator+=(std::string_view text) { bytes += text.size(); return *this; }
    void append(const char*, std::size_t length) { bytes += length; }
    void append(const char* from, const char* to) { bytes += std::uint64_t(to - from); }
};

template <typename Out>
class JsonWriter {
public:
    explicit JsonWriter(Out& out) : out_(out) {}

    void key(std::string_view name) {
        out_ += first_ ? "\"" : ",\"";
        first_ = false;
        out_ += name;  // field names need no escaping
        out_ += "\":";
    }
    void beginObject() {
        out_ += '{';
        first_ = true;
    }
    void endObject() {
        out_ += '}';
        first_ = false;
    }
    void string(std::string_view key, std::string_view value) {
        this->key(key);
        quoted(value);
    }
    void integer(std::string_view key, std::int64_t value) {
        this->key(key);
        char buffer[24];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        out_.append(buffer, result.ptr);
    }
    void boolean(std::string_view key, bool value) {
        this->key(key);
        out_ += value ? "true" : "false";
    }
    void date(std::string_view key, Date value) {
        this->key(key);
        out_ += '"';
        out_ += formatDate(value);
        out_ += '"';
    }
    void data(std::string_view key, const Bytes& value) {
        this->key(key);
        out_ += '"';
        if constexpr (std::is_same_v<Out, ByteCount>) out_.bytes += (value.size() + 2) / 3 * 4;
        else appendBase64(out_, value);
        out_ += '"';
    }
    void strings(std::string_view key, const std::vector<std::string>& values) {
        this->key(key);
        out_ += '[';
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i > 0) out_ += ',';
            quoted(values[i]);
        }
        out_ += ']';
    }
    template <typename Optional, typename Write>
    void optional(std::string_view key, const Optional& value, Write write) {
        if (value) (this->*write)(key, *value);
    }

    void quoted(std::string_view s) {
        out_ += '"';
        std::size_t i = 0;
        const std::size_t n = s.size();
        while (i < n) {
            // Copy the longest run that needs no attention in one go.
            std::size_t run = i;
            while (run < n) {
                const auto c = static_cast<unsigned char>(s[run]);
                if (c < 0x20 || c == '"' || c == '\\' || c >= 0x80) break;
                ++run;
            }
            out_.append(s.data() + i, run - i);
            i = run;
            if (i >= n) break;
            const auto c = static_cast<unsigned char>(s[i]);
            if (c >= 0x80) {
                const std::size_t len = validSequenceLength(s, i);
                if (len > 0) {
                    out_.append(s.data() + i, len);
                    i += len;
                } else {
                    out_ += "\xEF\xBF\xBD";
                    i += illFormedLength(s, i);
                }
                continue;
            }
            switch (c) {
            case '"': out_ += "\\\""; break;
            case '\\': out_ += "\\\\"; break;
            case '\b': out_ += "\\b"; break;
            case '\f': out_ += "\\f"; break;
            case '\n': out_ += "\\n"; break;
            case '\r': out_ += "\\r"; break;
            case '\t': out_ += "\\t"; break;
            default: {
                static constexpr char hex[] = "0123456789abcdef";
                const char escape[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
                out_.append(escape, sizeof escape);
            }
            }
            ++i;
        }
        out_ += '"';
    }

private:
    // Well-formed UTF-8 per the Unicode table (no overlongs, surrogates or values past U+10FFFF).
    static bool continuationInRange(std::string_view s, std::size_t pos, unsigned lo, unsigned hi) {
        if (pos >= s.size()) return false;
        const auto b = static_cast<unsigned char>(s[pos]);
        return b >= lo && b <= hi;
    }
    static void secondByteRange(unsigned char lead, unsigned& lo, unsigned& hi) {
        lo = 0x80;
        hi = 0xBF;
        if (lead == 0xE0) lo = 0xA0;
        else if (lead == 0xED) hi = 0x9F;
        else if (lead == 0xF0) lo = 0x90;
        else if (lead == 0xF4) hi = 0x8F;
    }
    static std::size_t expectedLength(unsigned char lead) {
        if (lead >= 0xC2 && lead <= 0xDF) return 2;
        if (lead >= 0xE0 && lead <= 0xEF) return 3;
        if (lead >= 0xF0 && lead <= 0xF4) return 4;
        return 0;
    }
    static std::size_t validSequenceLength(std::string_view s, std::size_t pos) {
        return illFormedOrValid(s, pos, true);
    }
    static std::size_t illFormedLength(std::string_view s, std::size_t pos) {
        return illFormedOrValid(s, pos, false);
    }
    // With `wantValid`: the sequence's length when it is well formed, else 0. Without: the length
    // of the maximal prefix of a well-formed sequence (at least 1), which one U+FFFD replaces.
    static std::size_t illFormedOrValid(std::string_view s, std::size_t pos, bool wantValid) {
        const auto lead = static_cast<unsigned char>(s[pos]);
        const std::size_t length = expectedLength(lead);
        if (length == 0) return wantValid ? 0 : 1;
        unsigned lo = 0, hi = 0;
        secondByteRange(lead, lo, hi);
        std::size_t good = 1;
        if (continuationInRange(s, pos + 1, lo, hi)) {
            ++good;
            while (good < length && continuationInRange(s, pos + good, 0x80, 0xBF)) ++good;
        }
        if (wantValid) return good == length ? length : 0;
        return good;
    }

    Out& out_;
    bool first_ = true;
};

template <typename Out>
void encodeItem(JsonWriter<Out>& w, const ClipItem& item) {
    w.beginObject();
    w.string("id", item.id.uppercaseString());
    w.date("createdAt", item.createdAt);
    w.date("updatedAt", item.updatedAt);
    w.optional("lastReplayedAt", item.lastReplayedAt, &JsonWriter<Out>::date);
    w.string("kind", clipkind::rawValue(item.kind));
    w.string("title", item.title);
    w.string("text", item.text);
    w.string("searchableText", item.searchableText);
    w.string("sourceAppName", item.sourceAppName);
    w.optional("sourceBundleID", item.sourceBundleID, &JsonWriter<Out>::string);
    w.optional("sourceDeviceID", item.sourceDeviceID, &JsonWriter<Out>::string);
    w.optional("sourceDeviceName", item.sourceDeviceName, &JsonWriter<Out>::string);
    w.optional("sourceDevicePlatform", item.sourceDevicePlatform, &JsonWriter<Out>::string);
    w.optional("payloadFilename", item.payloadFilename, &JsonWriter<Out>::string);
    w.optional("payloadContentType", item.payloadContentType, &JsonWriter<Out>::string);
    w.optional("syncPayloadFilename", item.syncPayloadFilename, &JsonWriter<Out>::string);
    w.optional("syncPayloadDigest", item.syncPayloadDigest, &JsonWriter<Out>::string);
    w.optional("syncPayloadByteCount", item.syncPayloadByteCount, &JsonWriter<Out>::integer);
    w.optional("syncPayloadPixelWidth", item.syncPayloadPixelWidth, &JsonWriter<Out>::integer);
    w.optional("syncPayloadPixelHeight", item.syncPayloadPixelHeight, &JsonWriter<Out>::integer);
    w.optional("syncBlobKey", item.syncBlobKey, &JsonWriter<Out>::string);
    w.strings("fileURLs", item.fileURLs);
    w.optional("richTextData", item.richTextData, &JsonWriter<Out>::data);
    w.optional("htmlData", item.htmlData, &JsonWriter<Out>::data);
    w.boolean("isPinned", item.isPinned);
    w.string("fingerprint", item.fingerprint.str());
    w.optional("importedFrom", item.importedFrom, &JsonWriter<Out>::string);
    w.boolean("isSensitive", item.isSensitive);
    w.optional("legacyPayloadFilename", item.legacyPayloadFilename, &JsonWriter<Out>::string);
    w.optional("legacyID", item.legacyID, &JsonWriter<Out>::integer);
    w.integer("copyCount", item.copyCount);
    w.endObject();
}

}  // namespace

std::string encode(const PersistedHistory& history) {
    std::string out;
    std::size_t estimate = 32;
    for (const auto& item : history.items)
        estimate += 700 + item.text.size() + item.title.size() + item.searchableText.size() +
                    (item.richTextData ? item.richTextData->size() * 4 / 3 : 0) +
                    (item.htmlData ? item.htmlData->size() * 4 / 3 : 0);
    out.reserve(estimate);

    JsonWriter<std::string> w(out);
    w.beginObject();
    w.integer("version", history.version);
    w.key("items");
    out += '[';
    for (std::size_t i = 0; i < history.items.size(); ++i) {
        if (i > 0) out += ',';
        encodeItem(w, history.items[i]);
    }
    out += ']';
    w.endObject();
    return out;
}

std::uint64_t encodedSize(const ClipItem& item) {
    ByteCount count;
    JsonWriter<ByteCount> w(count);
    encodeItem(w, item);
    return count.bytes;
}

std::uint64_t encodedSize(std::int64_t version, std::size_t itemCount, std::uint64_t itemBytes) {
    ByteCount count;
    JsonWriter<ByteCount> w(count);
    w.beginObject();
    w.integer("version", version);
    w.key("items");
    return count.bytes + 3 + itemBytes + (itemCount > 0 ? itemCount - 1 : 0);  // "[", "]}" and the commas
}

}  // namespace harbelle::historycodec
