#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/Defaults.h"

namespace harbelle {

inline constexpr const char* kCurrentBundleIdentifier = "com.harbelleapp.Harbelle";
inline constexpr const char* kLegacyPreferencesDomain = "com.brantlemoor.Pemberlow";
inline constexpr const char* kLegacyPreferencesMigratedKey = "harbelleLegacyPreferencesMigratedV1";
inline constexpr const char* kLaunchAtLoginRequestedKey = "launchAtLoginRequested";

// True when the login item is enabled or waiting for the user's approval.
using LoginItemActiveProvider = std::function<bool()>;

namespace LegacyPreferenceMigration {
// Copies the older identifier's preferences into `defaults` once, never overwriting a value
// that exists. True only when an older domain was found and copied in this call.
// `bundleIdentifier` defaults to the program's own.
bool migrateIfNeeded(Defaults& defaults,
                     const std::optional<std::string>& bundleIdentifier = std::nullopt);
}  // namespace LegacyPreferenceMigration

namespace LaunchAtLoginRegistration {
// The saved launch-at-login wish; when none is saved, it is taken from the login item's
// current state and saved.
bool requestedPreference(Defaults& defaults, const LoginItemActiveProvider& loginItemActive);
}  // namespace LaunchAtLoginRegistration

}  // namespace harbelle
