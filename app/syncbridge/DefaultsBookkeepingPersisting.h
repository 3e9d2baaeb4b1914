#pragma once

#include "platform/Defaults.h"
#include "sync/SyncBookkeepingPersisting.h"

namespace harbelle {

// The sync bookkeeping kept in the program's own settings file.
class DefaultsBookkeepingPersisting final : public sync::SyncBookkeepingPersisting {
public:
    explicit DefaultsBookkeepingPersisting(Defaults& defaults) : defaults_(defaults) {}
    std::optional<nlohmann::json> object(const std::string& key) const override { return defaults_.object(key); }
    void set(const std::string& key, const nlohmann::json& value) override { defaults_.set(key, value); }
    void removeObject(const std::string& key) override { defaults_.removeObject(key); }

private:
    Defaults& defaults_;
};

}  // namespace harbelle
