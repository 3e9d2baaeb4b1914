#pragma once

#include <map>
#include <string>

#include "platform/Defaults.h"

namespace harbelle::testing {

// Defaults held in memory, keeping JSON types like the file-backed store. Other identifiers'
// domains are whatever the test puts there.
class InMemoryDefaults final : public Defaults {
public:
    std::optional<nlohmann::json> object(const std::string& key) const override;
    void set(const std::string& key, const nlohmann::json& value) override;
    void removeObject(const std::string& key) override;
    std::optional<nlohmann::json> persistentDomain(const std::string& identifier) const override;
    void flush() override { ++flushCount_; }

    void setPersistentDomain(const std::string& identifier, nlohmann::json domain);
    void removePersistentDomain(const std::string& identifier);
    const nlohmann::json& values() const { return values_; }
    int writeCount() const { return writeCount_; }
    int flushCount() const { return flushCount_; }

private:
    nlohmann::json values_ = nlohmann::json::object();
    std::map<std::string, nlohmann::json> domains_;
    int writeCount_ = 0;
    int flushCount_ = 0;
};

}  // namespace harbelle::testing
