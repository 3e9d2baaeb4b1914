#include "support/InMemoryDefaults.h"

namespace harbelle::testing {

std::optional<nlohmann::json> InMemoryDefaults::object(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return *it;
}

void InMemoryDefaults::set(const std::string& key, const nlohmann::json& value) {
    // Like the settings file: what could not be written (invalid UTF-8) is refused.
    try {
        (void)value.dump();
    } catch (const nlohmann::json::exception&) {
        return;
    }
    values_[key] = value;
    ++writeCount_;
}

void InMemoryDefaults::removeObject(const std::string& key) {
    if (values_.erase(key) > 0) ++writeCount_;
}

std::optional<nlohmann::json> InMemoryDefaults::persistentDomain(const std::string& identifier) const {
    auto it = domains_.find(identifier);
    if (it == domains_.end()) return std::nullopt;
    return it->second;
}

void InMemoryDefaults::setPersistentDomain(const std::string& identifier, nlohmann::json domain) {
    domains_[identifier] = std::move(domain);
}

void InMemoryDefaults::removePersistentDomain(const std::string& identifier) {
    domains_.erase(identifier);
}

}  // namespace harbelle::testing
