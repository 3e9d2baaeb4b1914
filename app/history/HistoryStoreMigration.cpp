// One-time copy of the older identifier's preferences, and the saved launch-at-login wish.
#include "history/LegacyPreferenceMigration.h"
#include "platform/BundleInfo.h"

namespace harbelle {

namespace LegacyPreferenceMigration {

bool migrateIfNeeded(Defaults& defaults, const std::optional<std::string>& bundleIdentifier) {
    const std::string identifier = bundleIdentifier ? *bundleIdentifier : BundleInfo::main().identifier();
    // Under any other identifier the copy stays pending for a launch as this program.
    if (identifier != kCurrentBundleIdentifier) return false;
    if (defaults.boolValue(kLegacyPreferencesMigratedKey).value_or(false)) return false;

    const auto legacy = defaults.persistentDomain(kLegacyPreferencesDomain);
    const bool found = legacy && legacy->is_object();
    if (found) {
        for (const auto& [key, value] : legacy->items()) {
            if (defaults.object(key)) continue;  // a value set here always wins
            defaults.set(key, value);
        }
    }
    defaults.setBool(kLegacyPreferencesMigratedKey, true);
    return found;
}

}  // namespace LegacyPreferenceMigration

bool LaunchAtLoginRegistration::requestedPreference(Defaults& defaults, const LoginItemActiveProvider& loginItemActive) {
    if (const auto saved = defaults.boolValue(kLaunchAtLoginRequestedKey)) return *saved;
    const bool wish = loginItemActive && loginItemActive();
    defaults.setBool(kLaunchAtLoginRequestedKey, wish);
    return wish;
}

}  // namespace harbelle
