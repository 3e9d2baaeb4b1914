#include "platform/BundleInfo.h"

#include "BundleInfoData.h"

namespace harbelle {

const BundleInfo& BundleInfo::main() {
    static const BundleInfo info(nlohmann::json::parse(generated::kBundleInfoJson));
    return info;
}

BundleInfo::BundleInfo(nlohmann::json dictionary) : dictionary_(std::move(dictionary)) {}

std::optional<std::string> BundleInfo::string(const std::string& key) const {
    auto it = dictionary_.find(key);
    if (it == dictionary_.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::optional<bool> BundleInfo::boolean(const std::string& key) const {
    auto it = dictionary_.find(key);
    if (it == dictionary_.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

std::string BundleInfo::identifier() const { return string("CFBundleIdentifier").value_or(""); }
std::string BundleInfo::shortVersion() const { return string("CFBundleShortVersionString").value_or(""); }
std::string BundleInfo::version() const { return string("CFBundleVersion").value_or(""); }
std::string BundleInfo::pasteNowGroupContainer() const {
    return string("HarbellePasteNowGroupContainer").value_or("group.com.pastenow.PasteNow");
}

}  // namespace harbelle
