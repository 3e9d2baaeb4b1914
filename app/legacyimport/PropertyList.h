#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Defaults.h"

namespace harbelle {

// One value of a property list. Dates and UIDs keep their raw numbers; nothing here needs more.
struct PropertyListValue {
    enum class Type { null, boolean, integer, real, date, data, string, uid, array, dictionary };
    Type type = Type::null;
    bool boolean = false;
    std::int64_t integer = 0;
    double real = 0;
    std::string string;  // UTF-8
    Bytes data;
    std::vector<PropertyListValue> array;
    std::vector<std::pair<std::string, PropertyListValue>> dictionary;  // in file order
    bool operator==(const PropertyListValue&) const = default;

    const PropertyListValue* value(std::string_view key) const;
    PropertyListValue* value(std::string_view key);
};

// A property-list reader for files written by another program, so every limit is ours: binary
// ("bplist00") and XML only (the old text format is refused), offsets and references checked
// against the input, no container reached twice (no cycles, no shared-reference blow-up),
// nesting at most `kMaximumDepth`, at most `kMaximumNodes` values and a cap on the bytes the
// values may take in all.
class PropertyList {
public:
    static constexpr int kMaximumDepth = 8;
    static constexpr std::size_t kMaximumNodes = 100'000;

    struct Result {
        std::optional<PropertyListValue> root;
        std::string error;
    };
    // With `keys`, dictionaries keep only entries of those keys; the others are passed over
    // unread, and what they nest does not count against the depth.
    static Result parse(std::span<const std::uint8_t> bytes, std::span<const std::string_view> keys = {});
    // A binary list whose root is an array of dictionaries: each dictionary reduced to the first
    // value of each of `keys` (null where it has none), `keys.size()` values a dictionary, read
    // and refused as `parse` reads it with those keys, without its tree of values. Nothing for
    // any other document: `parse` decides that.
    struct Records {
        std::vector<PropertyListValue> values;
        std::string error;  // refused, as `parse` says, where not empty
    };
    static std::optional<Records> parseRecords(std::span<const std::uint8_t> bytes,
                                               std::span<const std::string_view> keys);
    // XML through the general reader alone, never the quicker path for plain documents: what
    // that path must agree with.
    static Result parseWithGeneralXmlReader(std::span<const std::uint8_t> bytes,
                                            std::span<const std::string_view> keys = {});

    PropertyList() = delete;
};

}  // namespace harbelle
