#include "history/HistoryCodec.h"
#include "platform/FileSafety.h"
#include "platform/Base64.h"

#include <nlohmann/json.hpp>

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>

namespace harbelle::historycodec {
namespace {

using json = nlohmann::json;

// ---- Dates ----

bool readDigits(std::string_view s, std::size_t pos, std::size_t count, int& out) {
    if (pos + count > s.size()) return false;
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    out = value;
    return true;
}

// ---- Record decoding ----
//
// The file is read with a SAX handler straight into clips: building a DOM first doubles the
// time and memory of a large history.

enum class FieldType { uuid, date, optionalDate, kind, string, optionalString, optionalInteger,
                       stringArray, optionalData, boolean, integer };

enum Field : int {
    fId, fCreatedAt, fUpdatedAt, fLastReplayedAt, fKind, fTitle, fText, fSearchableText,
    fSourceAppName, fSourceBundleID, fSourceDeviceID, fSourceDeviceName, fSourceDevicePlatform,
    fPayloadFilename, fPayloadContentType, fSyncPayloadFilename, fSyncPayloadDigest,
    fSyncPayloadByteCount, fSyncPayloadPixelWidth, fSyncPayloadPixelHeight, fSyncBlobKey,
    fFileURLs, fRichTextData, fHtmlData, fIsPinned, fFingerprint, fImportedFrom, fIsSensitive,
    fLegacyPayloadFilename, fLegacyID, fCopyCount, kFieldCount
};

struct FieldInfo {
    const char* name;
    FieldType type;
};

constexpr FieldInfo kFields[kFieldCount] = {
    {"id", FieldType::uuid},
    {"createdAt", FieldType::date},
    {"updatedAt", FieldType::date},
    {"lastReplayedAt", FieldType::optionalDate},
    {"kind", FieldType::kind},
    {"title", FieldType::string},
    {"text", FieldType::string},
    {"searchableText", FieldType::string},
    {"sourceAppName", FieldType::string},
    {"sourceBundleID", FieldType::optionalString},
    {"sourceDeviceID", FieldType::optionalString},
    {"sourceDeviceName", FieldType::optionalString},
    {"sourceDevicePlatform", FieldType::optionalString},
    {"payloadFilename", FieldType::optionalString},
    {"payloadContentType", FieldType::optionalString},
    {"syncPayloadFilename", FieldType::optionalString},
    {"syncPayloadDigest", FieldType::optionalString},
    {"syncPayloadByteCount", FieldType::optionalInteger},
    {"syncPayloadPixelWidth", FieldType::optionalInteger},
    {"syncPayloadPixelHeight", FieldType::optionalInteger},
    {"syncBlobKey", FieldType::optionalString},
    {"fileURLs", FieldType::stringArray},
    {"richTextData", FieldType::optionalData},
    {"htmlData", FieldType::optionalData},
    {"isPinned", FieldType::boolean},
    {"fingerprint", FieldType::string},
    {"importedFrom", FieldType::optionalString},
    {"isSensitive", FieldType::boolean},
    {"legacyPayloadFilename", FieldType::optionalString},
    {"legacyID", FieldType::optionalInteger},
    {"copyCount", FieldType::integer},
};

bool isOptional(FieldType type) {
    return type == FieldType::optionalDate || type == FieldType::optionalString ||
           type == FieldType::optionalInteger || type == FieldType::optionalData;
}

const char* expectation(FieldType type) {
    switch (type) {
    case FieldType::uuid: return "expected a UUID string";
    case FieldType::date:
    case FieldType::optionalDate: return "expected an ISO-8601 date to whole seconds";
    case FieldType::kind: return "expected a clip kind string";
    case FieldType::string:
    case FieldType::optionalString: return "expected a string";
    case FieldType::optionalInteger:
    case FieldType::integer: return "expected an integer";
    case FieldType::stringArray: return "expected an array of strings";
    case FieldType::optionalData: return "expected Base64 data";
    case FieldType::boolean: return "expected a Boolean";
    }
    return "unexpected value";
}

int fieldIndex(std::string_view key) {
    for (int i = 0; i < kFieldCount; ++i)
        if (key == kFields[i].name) return i;
    return -1;
}

class HistoryReader final : public nlohmann::json_sax<json> {
public:
    PersistedHistory history;

    void finish() const {
        if (!sawRoot_) throw HistoryDecodeError("the history is not a JSON object");
    }

    bool null() override {
        if (skipping()) return true;
        if (state_ == State::itemValue) return fieldNull();
        return unexpected("null");
    }
    bool boolean(bool value) override {
        if (skipping()) return true;
        if (state_ == State::itemValue) {
            if (kFields[field_].type != FieldType::boolean) failField(expectation(kFields[field_].type));
            setBool(value);
            return fieldDone();
        }
        return unexpected("a Boolean");
    }
    bool number_integer(std::int64_t value) override { return integerValue(value); }
    bool number_unsigned(std::uint64_t value) override {
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            if (skipping()) return true;
            return unexpected("an integer out of range");
        }
        return integerValue(static_cast<std::int64_t>(value));
    }
    bool number_float(double, const std::string&) override {
        if (skipping()) return true;
        return unexpected("a number with a fraction or exponent");
    }
    bool string(std::string& value) override {
        if (skipping()) return true;
        if (state_ == State::itemValue) {
            stringValue(value);
            return fieldDone();
        }
        if (state_ == State::fileURLs) {
            item_.fileURLs.push_back(std::move(value));
            return true;
        }
        return unexpected("a string");
    }
    bool binary(json::binary_t&) override { return unexpected("binary data"); }

    bool start_object(std::size_t) override {
        if (skipping() || state_ == State::skipValue) return beginSkip();
        switch (state_) {
        case State::start:
            sawRoot_ = true;
            state_ = State::rootKey;
            return true;
        case State::itemsElement:
            item_ = blank_;  // "id" is required, so the blank's own id never survives
            seen_ = 0;
            null_ = 0;
            state_ = State::itemKey;
            return true;
        default:
            return unexpected("an object");
        }
    }
    bool end_object() override {
        if (skipping()) return endSkip();
        if (state_ == State::itemKey) {
            for (int i = 0; i < kFieldCount; ++i) {
                if (isOptional(kFields[i].type)) continue;
                if (!(seen_ & (1ull << i)))
                    failItem(std::string("missing key \"") + kFields[i].name + "\"");
                if (null_ & (1ull << i)) failItem(std::string("key \"") + kFields[i].name + "\" is null");
            }
            history.items.push_back(std::move(item_));
            ++itemIndex_;
            state_ = State::itemsElement;
            return true;
        }
        // The root object.
        if (!sawVersion_) throw HistoryDecodeError("missing key \"version\"");
        if (!sawItems_) throw HistoryDecodeError("missing key \"items\"");
        state_ = State::done;
        return true;
    }
    bool start_array(std::size_t) override {
        if (skipping() || state_ == State::skipValue) return beginSkip();
        if (state_ == State::itemsValue) {
            sawItems_ = true;
            state_ = State::itemsElement;
            return true;
        }
        if (state_ == State::itemValue && field_ == fFileURLs) {
            item_.fileURLs.clear();
            state_ = State::fileURLs;
            return true;
        }
        return unexpected("an array");
    }
    bool end_array() override {
        if (skipping()) return endSkip();
        if (state_ == State::fileURLs) {
            state_ = State::itemValue;
            return fieldDone();
        }
        state_ = State::rootKey;  // end of "items"
        return true;
    }
    bool key(std::string& key) override {
        if (skipping()) return true;
        if (state_ == State::rootKey) {
            if (key == "version") state_ = State::versionValue;
            else if (key == "items") state_ = State::itemsValue;
            else {
                state_ = State::skipValue;
                skipReturn_ = State::rootKey;
            }
            return true;
        }
        field_ = fieldIndex(key);
        state_ = field_ < 0 ? State::skipValue : State::itemValue;
        skipReturn_ = State::itemKey;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
        throw HistoryDecodeError(std::string("invalid JSON: ") + e.what());
    }

private:
    enum class State { start, rootKey, versionValue, itemsValue, itemsElement, itemKey, itemValue,
                       fileURLs, skipValue, done };

    bool skipping() const { return skipDepth_ > 0; }
    // An ignored key's value that is an object or array: skip it whole, however deep.
    bool beginSkip() {
        ++skipDepth_;
        return true;
    }
    bool endSkip() {
        if (--skipDepth_ == 0) state_ = skipReturn_;
        return true;
    }

    [[noreturn]] void failItem(const std::string& reason) const {
        throw HistoryDecodeError("item " + std::to_string(itemIndex_) + ": " + reason);
    }
    [[noreturn]] void failField(const std::string& reason) const {
        failItem(std::string("key \"") + kFields[field_].name + "\": " + reason);
    }

    // A value that no state expects here (or a scalar in place of an ignored key's value).
    bool unexpected(const char* what) {
        switch (state_) {
        case State::start: throw HistoryDecodeError("the history is not a JSON object");
        case State::skipValue: state_ = skipReturn_; return true;
        case State::versionValue:
            if (std::string_view(what) == "null") throw HistoryDecodeError("key \"version\" is null");
            throw HistoryDecodeError(std::string("key \"version\": expected an integer, found ") + what);
        case State::itemsValue:
            if (std::string_view(what) == "null") throw HistoryDecodeError("key \"items\" is null");
            throw HistoryDecodeError(std::string("key \"items\": expected an array, found ") + what);
        case State::itemsElement: failItem(std::string("expected an object, found ") + what);
        case State::itemValue: failField(std::string(expectation(kFields[field_].type)) + ", found " + what);
        case State::fileURLs: failField(std::string("expected an array of strings, found ") + what);
        default: throw HistoryDecodeError(std::string("unexpected ") + what);
        }
    }

    bool integerValue(std::int64_t value) {
        if (skipping()) return true;
        if (state_ == State::versionValue) {
            history.version = value;
            sawVersion_ = true;
            state_ = State::rootKey;
            return true;
        }
        if (state_ == State::itemValue) {
            switch (field_) {
            case fSyncPayloadByteCount: item_.syncPayloadByteCount = value; break;
            case fSyncPayloadPixelWidth: item_.syncPayloadPixelWidth = value; break;
            case fSyncPayloadPixelHeight: item_.syncPayloadPixelHeight = value; break;
            case fLegacyID: item_.legacyID = value; break;
            case fCopyCount: item_.copyCount = value; break;
            default: return unexpected("an integer");
            }
            return fieldDone();
        }
        return unexpected("an integer");
    }

    bool fieldNull() {
        const FieldType type = kFields[field_].type;
        if (isOptional(type)) {
            clearOptional();
            seen_ |= 1ull << field_;
        } else {
            null_ |= 1ull << field_;
            seen_ |= 1ull << field_;
        }
        state_ = State::itemKey;
        return true;
    }

    bool fieldDone() {
        seen_ |= 1ull << field_;
        null_ &= ~(1ull << field_);
        state_ = State::itemKey;
        return true;
    }

    void setBool(bool value) {
        if (field_ == fIsPinned) item_.isPinned = value;
        else item_.isSensitive = value;
    }

    void clearOptional() {
        switch (field_) {
        case fLastReplayedAt: item_.lastReplayedAt.reset(); break;
        case fSyncPayloadByteCount: item_.syncPayloadByteCount.reset(); break;
        case fSyncPayloadPixelWidth: item_.syncPayloadPixelWidth.reset(); break;
        case fSyncPayloadPixelHeight: item_.syncPayloadPixelHeight.reset(); break;
        case fRichTextData: item_.richTextData.reset(); break;
        case fHtmlData: item_.htmlData.reset(); break;
        case fLegacyID: item_.legacyID.reset(); break;
        default:
            if (auto* slot = optionalStringSlot()) slot->reset();
        }
    }

    std::optional<std::string>* optionalStringSlot() {
        switch (field_) {
        case fSourceBundleID: return &item_.sourceBundleID;
        case fSourceDeviceID: return &item_.sourceDeviceID;
        case fSourceDeviceName: return &item_.sourceDeviceName;
        case fSourceDevicePlatform: return &item_.sourceDevicePlatform;
        case fPayloadFilename: return &item_.payloadFilename;
        case fPayloadContentType: return &item_.payloadContentType;
        case fSyncPayloadFilename: return &item_.syncPayloadFilename;
        case fSyncPayloadDigest: return &item_.syncPayloadDigest;
        case fSyncBlobKey: return &item_.syncBlobKey;
        case fImportedFrom: return &item_.importedFrom;
        case fLegacyPayloadFilename: return &item_.legacyPayloadFilename;
        default: return nullptr;
        }
    }

    void stringValue(std::string& value) {
        switch (kFields[field_].type) {
        case FieldType::uuid: {
            const auto id = Uuid::parse(value);
            if (!id) failField("invalid UUID \"" + value + "\"");
            item_.id = *id;
            return;
        }
        case FieldType::date:
        case FieldType::optionalDate: {
            const auto date = parseDate(value);
            if (!date) failField("expected an ISO-8601 date to whole seconds, found \"" + value + "\"");
            if (field_ == fCreatedAt) item_.createdAt = *date;
            else if (field_ == fUpdatedAt) item_.updatedAt = *date;
            else item_.lastReplayedAt = *date;
            return;
        }
        case FieldType::kind: {
            const auto kind = clipkind::fromRawValue(value);
            if (!kind) failField("unknown kind \"" + value + "\"");
            item_.kind = *kind;
            return;
        }
        case FieldType::string:
            switch (field_) {
            // Copied, not moved: the copy is sized to the text, while the parser's buffer has
            // grown by doubling (up to twice the text) and is reused for the next string.
            case fTitle: item_.title = value; return;
            case fText: item_.text = value; return;
            case fSearchableText: item_.searchableText = value; return;
            case fSourceAppName: item_.sourceAppName = value; return;
            default: item_.fingerprint = value; return;
            }
        case FieldType::optionalString:
            *optionalStringSlot() = value;
            return;
        case FieldType::optionalData: {
            auto data = base64Decode(value);
            if (!data) failField("invalid Base64 data");
            (field_ == fRichTextData ? item_.richTextData : item_.htmlData) = std::move(*data);
            return;
        }
        default:
            unexpected("a string");
        }
    }

    State state_ = State::start;
    State skipReturn_ = State::rootKey;
    int skipDepth_ = 0;
    bool sawRoot_ = false;
    bool sawVersion_ = false;
    bool sawItems_ = false;
    int field_ = -1;
    std::size_t itemIndex_ = 0;
    std::uint64_t seen_ = 0;
    std::uint64_t null_ = 0;
    const ClipItem blank_;
    ClipItem item_;
};

// ---- Record encoding ----
//
// Written by hand in field order: compact, "/" unescaped, UTF-8 kept as is. Bytes that are not
// valid UTF-8 become U+FFFD (one per maximal ill-formed subsequence) so a save never fails on
// an odd string.

class JsonWriter {
public:
    explicit JsonWriter(std::string& out) : out_(out) {}

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
        appendBase64(out_, value);
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
    template <typename T, typename Write>
    void optional(std::string_view key, const std::optional<T>& value, Write write) {
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

    std::string& out_;
    bool first_ = true;
};

void encodeItem(JsonWriter& w, const ClipItem& item) {
    w.beginObject();
    w.string("id", item.id.uppercaseString());
    w.date("createdAt", item.createdAt);
    w.date("updatedAt", item.updatedAt);
    w.optional("lastReplayedAt", item.lastReplayedAt, &JsonWriter::date);
    w.string("kind", clipkind::rawValue(item.kind));
    w.string("title", item.title);
    w.string("text", item.text);
    w.string("searchableText", item.searchableText);
    w.string("sourceAppName", item.sourceAppName);
    w.optional<std::string>("sourceBundleID", item.sourceBundleID, &JsonWriter::string);
    w.optional<std::string>("sourceDeviceID", item.sourceDeviceID, &JsonWriter::string);
    w.optional<std::string>("sourceDeviceName", item.sourceDeviceName, &JsonWriter::string);
    w.optional<std::string>("sourceDevicePlatform", item.sourceDevicePlatform, &JsonWriter::string);
    w.optional<std::string>("payloadFilename", item.payloadFilename, &JsonWriter::string);
    w.optional<std::string>("payloadContentType", item.payloadContentType, &JsonWriter::string);
    w.optional<std::string>("syncPayloadFilename", item.syncPayloadFilename, &JsonWriter::string);
    w.optional<std::string>("syncPayloadDigest", item.syncPayloadDigest, &JsonWriter::string);
    w.optional("syncPayloadByteCount", item.syncPayloadByteCount, &JsonWriter::integer);
    w.optional("syncPayloadPixelWidth", item.syncPayloadPixelWidth, &JsonWriter::integer);
    w.optional("syncPayloadPixelHeight", item.syncPayloadPixelHeight, &JsonWriter::integer);
    w.optional<std::string>("syncBlobKey", item.syncBlobKey, &JsonWriter::string);
    w.strings("fileURLs", item.fileURLs);
    w.optional("richTextData", item.richTextData, &JsonWriter::data);
    w.optional("htmlData", item.htmlData, &JsonWriter::data);
    w.boolean("isPinned", item.isPinned);
    w.string("fingerprint", item.fingerprint);
    w.optional<std::string>("importedFrom", item.importedFrom, &JsonWriter::string);
    w.boolean("isSensitive", item.isSensitive);
    w.optional<std::string>("legacyPayloadFilename", item.legacyPayloadFilename, &JsonWriter::string);
    w.optional("legacyID", item.legacyID, &JsonWriter::integer);
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

    JsonWriter w(out);
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

namespace {

// How many clips the file likely holds, so the list is sized once instead of moving every clip
// at each doubling. Each clip is written starting with {"id":", which a JSON string cannot
// contain (its quotes are escaped); a file written otherwise only loses the hint.
std::size_t expectedItemCount(std::string_view text) {
    static constexpr std::string_view itemStart = R"({"id":")";
    std::size_t count = 0;
    const char* at = text.data();
    const char* end = text.data() + text.size();
    while (const void* found = ::memmem(at, static_cast<std::size_t>(end - at), itemStart.data(), itemStart.size())) {
        ++count;
        at = static_cast<const char*>(found) + itemStart.size();
    }
    return count;
}

}  // namespace

PersistedHistory decode(std::string_view text) {
    if (!filesafety::jsonNestingWithin(text))
        throw HistoryDecodeError("JSON nested deeper than " + std::to_string(filesafety::kMaximumJsonDepth) + " levels");
    HistoryReader reader;
    reader.history.items.reserve(expectedItemCount(text));
    json::sax_parse(text.begin(), text.end(), &reader);
    reader.finish();
    reader.history.items.shrink_to_fit();  // the list stays for the whole run
    return std::move(reader.history);
}

std::string formatDate(Date date) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(date);
    const auto day = floor<days>(seconds);
    const year_month_day ymd{day};
    const hh_mm_ss<std::chrono::seconds> time{seconds - day};
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return buffer;
}

std::optional<Date> parseDate(std::string_view s) {
    using namespace std::chrono;
    // YYYY-MM-DDTHH:MM:SS followed by Z or a ±HH:MM offset; no fraction.
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0;
    if (s.size() < 20) return std::nullopt;
    if (!readDigits(s, 0, 4, y) || s[4] != '-' || !readDigits(s, 5, 2, mo) || s[7] != '-' ||
        !readDigits(s, 8, 2, d) || s[10] != 'T' || !readDigits(s, 11, 2, h) || s[13] != ':' ||
        !readDigits(s, 14, 2, mi) || s[16] != ':' || !readDigits(s, 17, 2, se))
        return std::nullopt;
    int offsetMinutes = 0;
    const std::string_view zone = s.substr(19);
    if (zone == "Z") {
        offsetMinutes = 0;
    } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
        int oh = 0, om = 0;
        if (!readDigits(zone, 1, 2, oh) || !readDigits(zone, 4, 2, om) || oh > 23 || om > 59)
            return std::nullopt;
        offsetMinutes = (oh * 60 + om) * (zone[0] == '-' ? -1 : 1);
    } else {
        return std::nullopt;
    }
    if (h > 23 || mi > 59 || se > 59) return std::nullopt;
    const year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!ymd.ok()) return std::nullopt;

    const std::int64_t total = sys_days{ymd}.time_since_epoch().count() * std::int64_t{86400} +
                               h * 3600 + mi * 60 + se - offsetMinutes * 60;
    // The clock counts nanoseconds in 64 bits (about 1677 to 2262); anything outside is refused.
    constexpr std::int64_t limit =
        std::numeric_limits<Date::rep>::max() / Date::period::den * Date::period::num - 1;
    static_assert(Date::period::num == 1);
    if (total > limit || total < -limit) return std::nullopt;
    return Date{std::chrono::seconds{total}};
}

std::string base64Encode(const Bytes& data) { return encodeBase64(data); }

std::optional<Bytes> base64Decode(std::string_view text) { return decodeBase64Strict(text); }

}  // namespace harbelle::historycodec
