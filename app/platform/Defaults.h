#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace harbelle {

using Bytes = std::vector<std::uint8_t>;

// Typed key-value settings of one identifier. Values keep their JSON type: a stored false
// reads back as a Boolean false and an integer stays an integer. Byte data is stored as an
// object {"$data": "<base64>"} so it cannot be confused with a string.
class Defaults {
public:
    virtual ~Defaults() = default;

    virtual std::optional<nlohmann::json> object(const std::string& key) const = 0;
    virtual void set(const std::string& key, const nlohmann::json& value) = 0;
    virtual void removeObject(const std::string& key) = 0;
    // The whole stored domain of another identifier (read only), or nothing when it has none.
    virtual std::optional<nlohmann::json> persistentDomain(const std::string& identifier) const = 0;
    // Makes every change so far durable before returning. A store may write changes a little
    // later than `set` returns; call this at quit and before anything that must not be lost.
    virtual void flush() {}
    // Why the stored settings could not be read in this run (they then read as defaults), or
    // nothing when they were read or there were none.
    virtual std::optional<std::string> readFailure() const { return std::nullopt; }

    // Typed reads. A value of another type reads as absent.
    std::optional<bool> boolValue(const std::string& key) const;
    std::optional<std::int64_t> integerValue(const std::string& key) const;
    // Integers read as doubles too; NaN and infinities read as absent.
    std::optional<double> doubleValue(const std::string& key) const;
    std::optional<std::string> stringValue(const std::string& key) const;
    std::optional<Bytes> dataValue(const std::string& key) const;

    void setBool(const std::string& key, bool value) { set(key, value); }
    void setInteger(const std::string& key, std::int64_t value) { set(key, value); }
    void setDouble(const std::string& key, double value);
    void setString(const std::string& key, const std::string& value) { set(key, value); }
    void setData(const std::string& key, const Bytes& value);

    static nlohmann::json encodeData(const Bytes& value);
    static std::optional<Bytes> decodeData(const nlohmann::json& value);
};

}  // namespace harbelle
