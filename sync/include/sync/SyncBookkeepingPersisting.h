#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace harbelle::sync {

// Typed key-value storage the app fills with its user defaults.
class SyncBookkeepingPersisting {
public:
    virtual ~SyncBookkeepingPersisting() = default;
    virtual std::optional<nlohmann::json> object(const std::string& key) const = 0;
    virtual void set(const std::string& key, const nlohmann::json& value) = 0;
    virtual void removeObject(const std::string& key) = 0;
};

}  // namespace harbelle::sync
