#include "platform/ScratchDefaults.h"

namespace harbelle {

std::optional<nlohmann::json> ScratchDefaults::object(const std::string& key) const {
    if (auto changed = changes_.find(key); changed != changes_.end()) return changed->second;
    return base_.object(key);
}

void ScratchDefaults::set(const std::string& key, const nlohmann::json& value) { changes_[key] = value; }

void ScratchDefaults::removeObject(const std::string& key) { changes_[key] = std::nullopt; }

std::optional<nlohmann::json> ScratchDefaults::persistentDomain(const std::string& identifier) const {
    return base_.persistentDomain(identifier);
}

}  // namespace harbelle
