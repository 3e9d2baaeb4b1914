#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
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
    static Result parse(std::span<const std::uint8_t> bytes);

    PropertyList() = delete;
};

}  // namespace harbelle
