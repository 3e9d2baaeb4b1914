// Reading the history file: simdjson's tape walked into clips, records read on several threads.
#include "history/HistoryCodec.h"
#include "history/ChunkRunner.h"
#include "common/JsonScan.h"
#include "platform/FileSafety.h"

#include <simdjson.h>

#include <atomic>

#include <array>
#include <charconv>
#include <cstring>
#include <exception>
#include <memory>
#include <limits>
#include <type_traits>

namespace harbelle::historycodec {
namespace {

// ---- Record decoding ----
//
// The file is parsed by simdjson into its compact tape (fully validated: syntax, UTF-8, escapes),
// then walked straight into clips. The tape is freed at once, so no per-value heap object of a
// document tree outlives the load or fragments the heap.

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
    std::string_view name;
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

using simdjson::dom::element;

constexpr std::size_t kParallelReadFrom = 20'000;
constexpr std::size_t kReadThreads = 4;
constexpr std::size_t kRunsPerThread = 4;
using simdjson::dom::element_type;

// What a value is, for messages ("expected a string, found an integer").
const char* describe(element value) {
    switch (value.type()) {
    case element_type::ARRAY: return "an array";
    case element_type::OBJECT: return "an object";
    case element_type::INT64: return "an integer";
    case element_type::UINT64:
        return value.get_uint64().value_unsafe() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                   ? "an integer out of range"
                   : "an integer";
    case element_type::DOUBLE: return "a number with a fraction or exponent";
    case element_type::STRING: return "a string";
    case element_type::BOOL: return "a Boolean";
    case element_type::NULL_VALUE: return "null";
    }
    return "an unknown value";
}

// Callers check the type first, so these cannot fail.
simdjson::dom::object objectOf(element value) {
    simdjson::dom::object object;
    [[maybe_unused]] const auto error = value.get(object);
    return object;
}
simdjson::dom::array arrayOf(element value) {
    simdjson::dom::array array;
    [[maybe_unused]] const auto error = value.get(array);
    return array;
}

std::optional<std::int64_t> integerOf(element value) {
    if (value.type() == element_type::INT64) return value.get_int64().value_unsafe();
    if (value.type() == element_type::UINT64) {
        const std::uint64_t u = value.get_uint64().value_unsafe();
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(u);
    }
    return std::nullopt;
}

// Reads records into clips. One reader per run of records, so that runs can be read at once
// on several threads; messages count records from the start of the file.
class ItemReader {
public:
    explicit ItemReader(std::size_t firstIndex) : itemIndex_(firstIndex) {}

    ClipList::Pointer readItem(element record) {
        if (record.type() != element_type::OBJECT)
            failItem(std::string("expected an object, found ") + describe(record));
        ClipItem item = blank_;  // "id" is required, so the blank's own id never survives
        std::uint64_t seen = 0;
        std::uint64_t null = 0;
        for (const auto field : objectOf(record)) {
            field_ = fieldIndex(field.key);
            if (field_ < 0) continue;  // unknown keys are ignored, whatever they hold
            const std::uint64_t bit = 1ull << field_;
            seen |= bit;
            if (field.value.is_null()) {
                if (isOptional(kFields[field_].type)) clearOptional(item);
                else null |= bit;
                continue;
            }
            null &= ~bit;
            readValue(item, field.value);
        }
        for (int i = 0; i < kFieldCount; ++i) {
            if (isOptional(kFields[i].type)) continue;
            if (!(seen & (1ull << i))) failItem("missing key \"" + std::string(kFields[i].name) + "\"");
            if (null & (1ull << i)) failItem("key \"" + std::string(kFields[i].name) + "\" is null");
        }
        ++itemIndex_;
        return std::make_shared<const ClipItem>(std::move(item));
    }

private:
    [[noreturn]] void failItem(const std::string& reason) const {
        throw HistoryDecodeError("item " + std::to_string(itemIndex_) + ": " + reason);
    }
    [[noreturn]] void failField(const std::string& reason) const {
        failItem("key \"" + std::string(kFields[field_].name) + "\": " + reason);
    }
    [[noreturn]] void wrongType(element value) const {
        failField(std::string(expectation(kFields[field_].type)) + ", found " + describe(value));
    }

    void readValue(ClipItem& item, element value) {
        const FieldType type = kFields[field_].type;
        switch (type) {
        case FieldType::boolean:
            if (value.type() != element_type::BOOL) wrongType(value);
            (field_ == fIsPinned ? item.isPinned : item.isSensitive) = value.get_bool().value_unsafe();
            return;
        case FieldType::integer:
        case FieldType::optionalInteger: {
            const auto number = integerOf(value);
            if (!number) wrongType(value);
            switch (field_) {
            case fSyncPayloadByteCount: item.syncPayloadByteCount = *number; break;
            case fSyncPayloadPixelWidth: item.syncPayloadPixelWidth = *number; break;
            case fSyncPayloadPixelHeight: item.syncPayloadPixelHeight = *number; break;
            case fLegacyID: item.legacyID = *number; break;
            default: item.copyCount = *number; break;
            }
            return;
        }
        case FieldType::stringArray: {
            if (value.type() != element_type::ARRAY) wrongType(value);
            const auto array = arrayOf(value);
            item.fileURLs.clear();
            item.fileURLs.reserve(array.size());
            for (const auto entry : array) {
                if (entry.type() != element_type::STRING)
                    failField(std::string("expected an array of strings, found ") + describe(entry));
                item.fileURLs.emplace_back(entry.get_string().value_unsafe());
            }
            return;
        }
        default:
            if (value.type() != element_type::STRING) wrongType(value);
            stringValue(item, value.get_string().value_unsafe());
        }
    }

    void clearOptional(ClipItem& item) {
        switch (field_) {
        case fLastReplayedAt: item.lastReplayedAt.reset(); break;
        case fSyncPayloadByteCount: item.syncPayloadByteCount.reset(); break;
        case fSyncPayloadPixelWidth: item.syncPayloadPixelWidth.reset(); break;
        case fSyncPayloadPixelHeight: item.syncPayloadPixelHeight.reset(); break;
        case fRichTextData: item.richTextData.reset(); break;
        case fHtmlData: item.htmlData.reset(); break;
        case fLegacyID: item.legacyID.reset(); break;
        default:
            if (auto* slot = optionalStringSlot(item)) slot->reset();
            else if (auto* rare = rareStringSlot(item)) rare->reset();
        }
    }

    SharedOptionalText* optionalStringSlot(ClipItem& item) const {
        switch (field_) {
        case fSourceBundleID: return &item.sourceBundleID;
        case fSourceDeviceID: return &item.sourceDeviceID;
        case fSourceDeviceName: return &item.sourceDeviceName;
        case fSourceDevicePlatform: return &item.sourceDevicePlatform;
        default: return nullptr;
        }
    }

    OptionalText* rareStringSlot(ClipItem& item) const {
        switch (field_) {
        case fPayloadFilename: return &item.payloadFilename;
        case fPayloadContentType: return &item.payloadContentType;
        case fSyncPayloadFilename: return &item.syncPayloadFilename;
        case fSyncPayloadDigest: return &item.syncPayloadDigest;
        case fSyncBlobKey: return &item.syncBlobKey;
        case fImportedFrom: return &item.importedFrom;
        case fLegacyPayloadFilename: return &item.legacyPayloadFilename;
        default: return nullptr;
        }
    }

    // The origin fields' text, shared with the last clip that had the same: a history holds
    // long runs of clips from one device and one app.
    SharedOptionalText shared(std::string_view value) {
        SharedOptionalText& last = lastOrigin_[field_ - fSourceBundleID];
        if (!last || *last != value) last = SharedOptionalText(value);
        return last;
    }

    void stringValue(ClipItem& item, std::string_view value) {
        switch (kFields[field_].type) {
        case FieldType::uuid: {
            const auto id = Uuid::parse(value);
            if (!id) failField("invalid UUID \"" + std::string(value) + "\"");
            item.id = *id;
            return;
        }
        case FieldType::date:
        case FieldType::optionalDate: {
            const auto date = parseDate(value);
            if (!date) failField("expected an ISO-8601 date to whole seconds, found \"" + std::string(value) + "\"");
            if (field_ == fCreatedAt) item.createdAt = *date;
            else if (field_ == fUpdatedAt) item.updatedAt = *date;
            else item.lastReplayedAt = *date;
            return;
        }
        case FieldType::kind: {
            const auto kind = clipkind::fromRawValue(value);
            if (!kind) failField("unknown kind \"" + std::string(value) + "\"");
            item.kind = *kind;
            return;
        }
        case FieldType::string:
            switch (field_) {
            // assign() sizes each string to its text.
            case fTitle: item.title.assign(value); return;
            case fText: item.text.assign(value); return;
            case fSearchableText: item.searchableText.assign(value); return;
            case fSourceAppName: item.sourceAppName.assign(value); return;
            default: item.fingerprint.assign(value); return;
            }
        case FieldType::optionalString:
            if (auto* slot = optionalStringSlot(item)) *slot = shared(value);
            else rareStringSlot(item)->emplace(value);
            return;
        case FieldType::optionalData: {
            auto data = base64Decode(value);
            if (!data) failField("invalid Base64 data");
            (field_ == fRichTextData ? item.richTextData : item.htmlData) = std::move(*data);
            return;
        }
        default:
            failField(std::string(expectation(kFields[field_].type)) + ", found a string");
        }
    }

    int field_ = -1;
    std::size_t itemIndex_ = 0;
    const ClipItem blank_;
    std::array<SharedOptionalText, fSourceDevicePlatform - fSourceBundleID + 1> lastOrigin_;
};

class HistoryReader {
public:
    PersistedHistory history;
    const std::atomic<bool>* stop = nullptr;

    void readRoot(element root) {
        if (root.type() != element_type::OBJECT) throw HistoryDecodeError("the history is not a JSON object");
        bool sawVersion = false;
        bool sawItems = false;
        // Keys in file order, so a repeated key behaves as before: the last "version" counts,
        // and every "items" array adds its clips.
        for (const auto field : objectOf(root)) {
            if (field.key == "version") {
                const auto version = integerOf(field.value);
                if (!version) {
                    if (field.value.is_null()) throw HistoryDecodeError("key \"version\" is null");
                    throw HistoryDecodeError(std::string("key \"version\": expected an integer, found ") +
                                             describe(field.value));
                }
                history.version = *version;
                sawVersion = true;
            } else if (field.key == "items") {
                if (field.value.type() != element_type::ARRAY) {
                    if (field.value.is_null()) throw HistoryDecodeError("key \"items\" is null");
                    throw HistoryDecodeError(std::string("key \"items\": expected an array, found ") +
                                             describe(field.value));
                }
                sawItems = true;
                std::vector<element> records;
                records.reserve(arrayOf(field.value).size());
                for (const auto record : arrayOf(field.value)) records.push_back(record);
                readItems(records);
            }
        }
        if (!sawVersion) throw HistoryDecodeError("missing key \"version\"");
        if (!sawItems) throw HistoryDecodeError("missing key \"items\"");
    }

private:
    // Large histories are read on a few threads. Each run stops at its first bad record, so
    // the earliest run that failed holds the file's first bad record, as a single pass reports it.
    void readItems(const std::vector<element>& records) {
        const std::size_t threads = records.size() >= kParallelReadFrom ? usefulThreads(kReadThreads) : 1;
        std::vector<std::vector<ClipList::Pointer>> runs(threads * kRunsPerThread);
        std::vector<std::exception_ptr> failures(runs.size());
        const std::size_t first = itemCount_;
        runInChunks(records.size(), threads, runs.size(), [&](std::size_t run, std::size_t from, std::size_t to) {
            try {
                ItemReader reader(first + from);
                runs[run].reserve(to - from);
                for (std::size_t i = from; i < to; ++i) {
                    if (stop && i % 256 == 0 && stop->load(std::memory_order_relaxed))
                        throw HistoryDecodeError("stopped");
                    runs[run].push_back(reader.readItem(records[i]));
                }
            } catch (...) {
                failures[run] = std::current_exception();
            }
        });
        for (const auto& failure : failures)
            if (failure) std::rethrow_exception(failure);
        history.items.reserve(history.items.size() + records.size());
        for (auto& run : runs)
            for (auto& clip : run) history.items.push_back(std::move(clip));
        itemCount_ += records.size();
    }

    std::size_t itemCount_ = 0;
};
}  // namespace

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";  // some editors write one
constexpr std::string_view kNumberCharacters = "0123456789+-.eE";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Whether `token` is a JSON integer too wide for the parser, which takes 64 bits (signed when
// negative). Other numbers, and text that is not a number, the parser judges itself.
bool isWideInteger(std::string_view token) {
    const bool negative = token[0] == '-';
    const std::string_view digits = token.substr(negative ? 1 : 0);
    if (digits.empty() || (digits[0] == '0' && digits.size() > 1)) return false;
    for (const char c : digits)
        if (!isDigit(c)) return false;
    const char* end = token.data() + token.size();
    if (negative) {
        std::int64_t value = 0;
        return std::from_chars(token.data(), end, value).ec == std::errc::result_out_of_range;
    }
    std::uint64_t value = 0;
    return std::from_chars(token.data(), end, value).ec == std::errc::result_out_of_range;
}

// Valid JSON may hold integers past 64 bits (in a key a later version added), which the parser
// refuses. A copy of the text with an exponent added to each of those, so they read as the
// floating-point numbers other JSON readers take them for, and every other byte kept: repeated
// keys, key order and nesting then read exactly as in the original. Nothing when there is none.
std::optional<std::string> withWideIntegersAsDoubles(std::string_view text) {
    std::string out;
    std::size_t copied = 0;
    std::size_t numberEnd = 0;
    jsonscan::scan(text, 0, [&](std::size_t i, char c, int) {
        if (i < numberEnd || (c != '-' && !isDigit(c))) return true;
        std::size_t end = i + 1;
        while (end < text.size() && kNumberCharacters.find(text[end]) != std::string_view::npos) ++end;
        if (isWideInteger(text.substr(i, end - i))) {
            out.append(text, copied, end - copied);
            out += "e0";
            copied = end;
        }
        numberEnd = end;
        return true;
    });
    if (copied == 0) return std::nullopt;
    out.append(text, copied);
    return out;
}

}  // namespace

struct Decoder::Parser {
    simdjson::dom::parser parser;

    // The nesting limit counts every array and object, as the settings files' check does. The
    // parser leaves empty ones out of its count, so it is given one level more only when that
    // check, a separate pass, finds the text within the limit: a rare file, the pass costs
    // nothing otherwise.
    simdjson::error_code parse(std::string_view text, bool copy, element& root) {
        for (const std::size_t depth : {kMaximumDepth, kMaximumDepth + 1}) {
            if (parser.allocate(text.size(), depth) != simdjson::SUCCESS) return simdjson::MEMALLOC;
            const auto error = parser.parse(text.data(), text.size(), copy).get(root);
            if (error != simdjson::DEPTH_ERROR || !filesafety::jsonNestingWithin(text)) return error;
        }
        return simdjson::DEPTH_ERROR;
    }

    static constexpr std::size_t kMaximumDepth = filesafety::kMaximumJsonDepth;
};

Decoder::Decoder() : parser_(std::make_unique<Parser>()) {}
Decoder::~Decoder() = default;

PersistedHistory decode(std::string_view text, std::size_t readableBeyondEnd) {
    return Decoder().decode(text, readableBeyondEnd);
}

PersistedHistory Decoder::decode(std::string_view text, std::size_t readableBeyondEnd) {
    if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
    HistoryReader reader;
    reader.stop = stop_;
    {
        element root;
        // The parser reads a little past the end; with that much room the text is parsed in place.
        const bool copy = readableBeyondEnd < simdjson::SIMDJSON_PADDING;
        auto error = parser_->parse(text, copy, root);
        std::optional<std::string> rewritten;
        if (error == simdjson::NUMBER_ERROR && (rewritten = withWideIntegersAsDoubles(text)))
            error = parser_->parse(*rewritten, true, root);
        if (error == simdjson::DEPTH_ERROR)
            throw HistoryDecodeError("JSON nested deeper than " + std::to_string(filesafety::kMaximumJsonDepth) + " levels");
        if (error == simdjson::MEMALLOC) throw HistoryDecodeError("not enough memory to read the history");
        if (error) throw HistoryDecodeError(std::string("invalid JSON: ") + simdjson::error_message(error));
        reader.readRoot(root);
    }
    reader.history.items.shrink_to_fit();  // the list stays for the whole run
    return std::move(reader.history);
}

}  // namespace harbelle::historycodec
