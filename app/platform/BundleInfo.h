#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace harbelle {

// The program's information dictionary, compiled in at build time.
class BundleInfo {
public:
    static const BundleInfo& main();
    explicit BundleInfo(nlohmann::json dictionary);

    std::string identifier() const;
    std::string shortVersion() const;
    std::string version() const;
    // The outside clipboard program's group container, whose history is imported once.
    std::string pasteNowGroupContainer() const;
    std::optional<std::string> string(const std::string& key) const;
    std::optional<bool> boolean(const std::string& key) const;
    const nlohmann::json& dictionary() const { return dictionary_; }

private:
    nlohmann::json dictionary_;
};

}  // namespace harbelle
