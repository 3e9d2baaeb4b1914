#pragma once

#include <map>
#include <string>

#include "sync/SyncBookkeepingPersisting.h"

namespace harbelle {

// Bookkeeping storage in memory; counts writes so tests can see batching.
class InMemorySyncBookkeepingPersisting final : public sync::SyncBookkeepingPersisting {
public:
    std::optional<nlohmann::json> object(const std::string& key) const override {
        auto it = values.find(key);
        if (it == values.end()) return std::nullopt;
        return it->second;
    }
    void set(const std::string& key, const nlohmann::json& value) override {
        values[key] = value;
        ++writes;
    }
    void removeObject(const std::string& key) override { values.erase(key); }

    std::map<std::string, nlohmann::json> values;
    int writes = 0;
};

}  // namespace harbelle
