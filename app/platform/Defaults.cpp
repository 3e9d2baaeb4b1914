#include "platform/Defaults.h"

#include "platform/Base64.h"

#include <cmath>
#include <limits>

namespace harbelle {

namespace {
constexpr const char* kDataKey = "$data";
}

std::optional<bool> Defaults::boolValue(const std::string& key) const {
    auto value = object(key);
    if (!value || !value->is_boolean()) return std::nullopt;
    return value->get<bool>();
}

std::optional<std::int64_t> Defaults::integerValue(const std::string& key) const {
    auto value = object(key);
    if (!value) return std::nullopt;
    if (value->is_number_unsigned()) {
        const auto u = value->get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return std::nullopt;
        return static_cast<std::int64_t>(u);
    }
    if (value->is_number_integer()) return value->get<std::int64_t>();
    return std::nullopt;
}

std::optional<double> Defaults::doubleValue(const std::string& key) const {
    auto value = object(key);
    if (!value || !value->is_number()) return std::nullopt;
    const double d = value->get<double>();
    if (!std::isfinite(d)) return std::nullopt;
    return d;
}

std::optional<std::string> Defaults::stringValue(const std::string& key) const {
    auto value = object(key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::optional<Bytes> Defaults::dataValue(const std::string& key) const {
    auto value = object(key);
    if (!value) return std::nullopt;
    return decodeData(*value);
}

void Defaults::setDouble(const std::string& key, double value) {
    // JSON has no NaN or infinity; storing one would read back as null.
    if (!std::isfinite(value)) {
        removeObject(key);
        return;
    }
    set(key, value);
}

void Defaults::setData(const std::string& key, const Bytes& value) { set(key, encodeData(value)); }

nlohmann::json Defaults::encodeData(const Bytes& value) {
    return nlohmann::json{{kDataKey, encodeBase64(value)}};
}

std::optional<Bytes> Defaults::decodeData(const nlohmann::json& value) {
    if (!value.is_object() || value.size() != 1) return std::nullopt;
    auto it = value.find(kDataKey);
    if (it == value.end() || !it->is_string()) return std::nullopt;
    return decodeBase64Strict(it->get_ref<const std::string&>());
}

}  // namespace harbelle
