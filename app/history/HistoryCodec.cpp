#include "history/HistoryCodec.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <limits>

namespace harbelle::historycodec {
namespace {

using json = nlohmann::json;
// Keys go out in field order; the reader does not care about order.
using ordered_json = nlohmann::ordered_json;

// ---- Base64 (standard alphabet, padded) ----

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> makeBase64Table() {
    std::array<std::int8_t, 256> table{};
    for (auto& v : table) v = -1;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<std::int8_t>(i);
    return table;
}
constexpr auto kBase64Table = makeBase64Table();

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

class DecodeContext {
public:
    explicit DecodeContext(std::string prefix) : prefix_(std::move(prefix)) {}

    [[noreturn]] void fail(std::string_view key, std::string_view reason) const {
        throw HistoryDecodeError(prefix_ + "key \"" + std::string(key) + "\": " + std::string(reason));
    }

    const json& required(const json& object, const char* key) const {
        const auto it = object.find(key);
        if (it == object.end())
            throw HistoryDecodeError(prefix_ + "missing key \"" + key + "\"");
        if (it->is_null()) throw HistoryDecodeError(prefix_ + "key \"" + key + "\" is null");
        return *it;
    }

    const json* optional(const json& object, const char* key) const {
        const auto it = object.find(key);
        if (it == object.end() || it->is_null()) return nullptr;
        return &*it;
    }

    const std::string& string(const json& value, const char* key) const {
        if (!value.is_string()) fail(key, "expected a string");
        return value.get_ref<const std::string&>();
    }

    bool boolean(const json& value, const char* key) const {
        if (!value.is_boolean()) fail(key, "expected a Boolean");
        return value.get<bool>();
    }

    // Integers only: 1.0, "1" and true are refused; the value is read exactly.
    std::int64_t integer(const json& value, const char* key) const {
        if (value.is_number_unsigned()) {
            const auto v = value.get<std::uint64_t>();
            if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                fail(key, "integer out of range");
            return static_cast<std::int64_t>(v);
        }
        if (value.is_number_integer()) return value.get<std::int64_t>();
        fail(key, "expected an integer");
    }

    Date date(const json& value, const char* key) const {
        const auto parsed = parseDate(string(value, key));
        if (!parsed) fail(key, "expected an ISO-8601 date to whole seconds");
        return *parsed;
    }

    Bytes data(const json& value, const char* key) const {
        auto decoded = base64Decode(string(value, key));
        if (!decoded) fail(key, "invalid Base64 data");
        return std::move(*decoded);
    }

    std::optional<std::string> optionalString(const json& object, const char* key) const {
        if (const json* v = optional(object, key)) return string(*v, key);
        return std::nullopt;
    }
    std::optional<std::int64_t> optionalInteger(const json& object, const char* key) const {
        if (const json* v = optional(object, key)) return integer(*v, key);
        return std::nullopt;
    }
    std::optional<Date> optionalDate(const json& object, const char* key) const {
        if (const json* v = optional(object, key)) return date(*v, key);
        return std::nullopt;
    }
    std::optional<Bytes> optionalData(const json& object, const char* key) const {
        if (const json* v = optional(object, key)) return data(*v, key);
        return std::nullopt;
    }

private:
    std::string prefix_;
};

ClipItem decodeItem(const json& object, std::size_t index) {
    const DecodeContext c("item " + std::to_string(index) + ": ");
    if (!object.is_object()) throw HistoryDecodeError("item " + std::to_string(index) + ": expected an object");

    ClipItem item;
    {
        const auto& raw = c.string(c.required(object, "id"), "id");
        const auto id = Uuid::parse(raw);
        if (!id) c.fail("id", "invalid UUID \"" + raw + "\"");
        item.id = *id;
    }
    item.createdAt = c.date(c.required(object, "createdAt"), "createdAt");
    item.updatedAt = c.date(c.required(object, "updatedAt"), "updatedAt");
    item.lastReplayedAt = c.optionalDate(object, "lastReplayedAt");
    {
        const auto& raw = c.string(c.required(object, "kind"), "kind");
        const auto kind = clipkind::fromRawValue(raw);
        if (!kind) c.fail("kind", "unknown kind \"" + raw + "\"");
        item.kind = *kind;
    }
    item.title = c.string(c.required(object, "title"), "title");
    item.text = c.string(c.required(object, "text"), "text");
    item.searchableText = c.string(c.required(object, "searchableText"), "searchableText");
    item.sourceAppName = c.string(c.required(object, "sourceAppName"), "sourceAppName");
    item.sourceBundleID = c.optionalString(object, "sourceBundleID");
    item.sourceDeviceID = c.optionalString(object, "sourceDeviceID");
    item.sourceDeviceName = c.optionalString(object, "sourceDeviceName");
    item.sourceDevicePlatform = c.optionalString(object, "sourceDevicePlatform");
    item.payloadFilename = c.optionalString(object, "payloadFilename");
    item.payloadContentType = c.optionalString(object, "payloadContentType");
    item.syncPayloadFilename = c.optionalString(object, "syncPayloadFilename");
    item.syncPayloadDigest = c.optionalString(object, "syncPayloadDigest");
    item.syncPayloadByteCount = c.optionalInteger(object, "syncPayloadByteCount");
    item.syncPayloadPixelWidth = c.optionalInteger(object, "syncPayloadPixelWidth");
    item.syncPayloadPixelHeight = c.optionalInteger(object, "syncPayloadPixelHeight");
    item.syncBlobKey = c.optionalString(object, "syncBlobKey");
    {
        const json& urls = c.required(object, "fileURLs");
        if (!urls.is_array()) c.fail("fileURLs", "expected an array of strings");
        item.fileURLs.reserve(urls.size());
        for (const auto& url : urls) {
            if (!url.is_string()) c.fail("fileURLs", "expected an array of strings");
            item.fileURLs.push_back(url.get<std::string>());
        }
    }
    item.richTextData = c.optionalData(object, "richTextData");
    item.htmlData = c.optionalData(object, "htmlData");
    item.isPinned = c.boolean(c.required(object, "isPinned"), "isPinned");
    item.fingerprint = c.string(c.required(object, "fingerprint"), "fingerprint");
    item.importedFrom = c.optionalString(object, "importedFrom");
    item.isSensitive = c.boolean(c.required(object, "isSensitive"), "isSensitive");
    item.legacyPayloadFilename = c.optionalString(object, "legacyPayloadFilename");
    item.legacyID = c.optionalInteger(object, "legacyID");
    item.copyCount = c.integer(c.required(object, "copyCount"), "copyCount");
    return item;
}

// ---- Record encoding ----

class ObjectWriter {
public:
    ObjectWriter() { fields_.reserve(31); }
    void add(const char* key, ordered_json value) { fields_.emplace_back(key, std::move(value)); }
    template <typename T>
    void addOptional(const char* key, const std::optional<T>& value) {
        if (value) add(key, *value);
    }
    void addOptionalDate(const char* key, const std::optional<Date>& value) {
        if (value) add(key, formatDate(*value));
    }
    void addOptionalData(const char* key, const std::optional<Bytes>& value) {
        if (value) add(key, base64Encode(*value));
    }
    ordered_json take() { return ordered_json(std::move(fields_)); }

private:
    ordered_json::object_t fields_;
};

ordered_json encodeItem(const ClipItem& item) {
    ObjectWriter w;
    w.add("id", item.id.uppercaseString());
    w.add("createdAt", formatDate(item.createdAt));
    w.add("updatedAt", formatDate(item.updatedAt));
    w.addOptionalDate("lastReplayedAt", item.lastReplayedAt);
    w.add("kind", std::string(clipkind::rawValue(item.kind)));
    w.add("title", item.title);
    w.add("text", item.text);
    w.add("searchableText", item.searchableText);
    w.add("sourceAppName", item.sourceAppName);
    w.addOptional("sourceBundleID", item.sourceBundleID);
    w.addOptional("sourceDeviceID", item.sourceDeviceID);
    w.addOptional("sourceDeviceName", item.sourceDeviceName);
    w.addOptional("sourceDevicePlatform", item.sourceDevicePlatform);
    w.addOptional("payloadFilename", item.payloadFilename);
    w.addOptional("payloadContentType", item.payloadContentType);
    w.addOptional("syncPayloadFilename", item.syncPayloadFilename);
    w.addOptional("syncPayloadDigest", item.syncPayloadDigest);
    w.addOptional("syncPayloadByteCount", item.syncPayloadByteCount);
    w.addOptional("syncPayloadPixelWidth", item.syncPayloadPixelWidth);
    w.addOptional("syncPayloadPixelHeight", item.syncPayloadPixelHeight);
    w.addOptional("syncBlobKey", item.syncBlobKey);
    w.add("fileURLs", item.fileURLs);
    w.addOptionalData("richTextData", item.richTextData);
    w.addOptionalData("htmlData", item.htmlData);
    w.add("isPinned", item.isPinned);
    w.add("fingerprint", item.fingerprint);
    w.addOptional("importedFrom", item.importedFrom);
    w.add("isSensitive", item.isSensitive);
    w.addOptional("legacyPayloadFilename", item.legacyPayloadFilename);
    w.addOptional("legacyID", item.legacyID);
    w.add("copyCount", item.copyCount);
    return w.take();
}

}  // namespace

std::string encode(const PersistedHistory& history) {
    ordered_json::array_t items;
    items.reserve(history.items.size());
    for (const auto& item : history.items) items.push_back(encodeItem(item));

    ordered_json::object_t root;
    root.emplace_back("version", history.version);
    root.emplace_back("items", std::move(items));
    // Strings that are not valid UTF-8 are written with U+FFFD rather than failing the save;
    // "/" is never escaped and non-ASCII text is written as UTF-8.
    return ordered_json(std::move(root)).dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

PersistedHistory decode(std::string_view text) {
    json root;
    try {
        root = json::parse(text.begin(), text.end());
    } catch (const json::parse_error& e) {
        throw HistoryDecodeError(std::string("invalid JSON: ") + e.what());
    }
    if (!root.is_object()) throw HistoryDecodeError("the history is not a JSON object");

    const DecodeContext c("");
    PersistedHistory history;
    history.version = c.integer(c.required(root, "version"), "version");
    const json& items = c.required(root, "items");
    if (!items.is_array()) c.fail("items", "expected an array");
    history.items.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) history.items.push_back(decodeItem(items[i], i));
    return history;
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

std::string base64Encode(const Bytes& data) {
    std::string out;
    out.resize((data.size() + 2) / 3 * 4);
    std::size_t o = 0, i = 0;
    const std::size_t full = data.size() / 3 * 3;
    for (; i < full; i += 3) {
        const std::uint32_t v = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) | data[i + 2];
        out[o++] = kBase64Alphabet[(v >> 18) & 63];
        out[o++] = kBase64Alphabet[(v >> 12) & 63];
        out[o++] = kBase64Alphabet[(v >> 6) & 63];
        out[o++] = kBase64Alphabet[v & 63];
    }
    const std::size_t rest = data.size() - i;
    if (rest > 0) {
        std::uint32_t v = std::uint32_t{data[i]} << 16;
        if (rest == 2) v |= std::uint32_t{data[i + 1]} << 8;
        out[o++] = kBase64Alphabet[(v >> 18) & 63];
        out[o++] = kBase64Alphabet[(v >> 12) & 63];
        out[o++] = rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=';
        out[o++] = '=';
    }
    return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    const std::size_t dataChars = text.size() - padding;
    std::uint32_t accumulator = 0;
    int bits = 0;
    for (std::size_t i = 0; i < dataChars; ++i) {
        const int v = kBase64Table[static_cast<unsigned char>(text[i])];
        if (v < 0) return std::nullopt;
        accumulator = (accumulator << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(accumulator >> bits));
            accumulator &= (1u << bits) - 1;
        }
    }
    return out;
}

}  // namespace harbelle::historycodec
