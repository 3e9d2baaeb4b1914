#pragma once

#include <map>
#include <optional>

#include "platform/Defaults.h"

namespace harbelle {

// The user's settings as they are, with every change kept in memory for this run only: demo
// and picture runs read the real settings but never change the user's file.
class ScratchDefaults final : public Defaults {
public:
    explicit ScratchDefaults(const Defaults& base) : base_(base) {}

    std::optional<nlohmann::json> object(const std::string& key) const override;
    void set(const std::string& key, const nlohmann::json& value) override;
    void removeObject(const std::string& key) override;
    std::optional<nlohmann::json> persistentDomain(const std::string& identifier) const override;
    std::optional<std::string> readFailure() const override { return base_.readFailure(); }

private:
    const Defaults& base_;
    // A key changed in this run: its value, or nothing once removed.
    std::map<std::string, std::optional<nlohmann::json>> changes_;
};

}  // namespace harbelle
