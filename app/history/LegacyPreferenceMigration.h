#pragma once

#include <functional>
#include <optional>
#include <string>

#include "history/LaunchAtLoginRegistration.h"
#include "platform/Defaults.h"

namespace harbelle {

inline constexpr const char* kCurrentBundleIdentifier = "com.harbelleapp.Harbelle";
inline constexpr const char* kLegacyPreferencesDomain = "com.brantlemoor.Pemberlow";
inline constexpr const char* kLegacyPreferencesMigratedKey = "harbelleLegacyPreferencesMigratedV1";
inline constexpr const char* kLaunchAtLoginRequestedKey = "launchAtLoginRequested";

namespace LegacyPreferenceMigration {
// Copies the older identifier's preferences into `defaults` once, never overwriting a value
// that exists. True only when an older domain was found and copied in this call.
// `bundleIdentifier` defaults to the program's own.
bool migrateIfNeeded(Defaults& defaults,
                     const std::optional<std::string>& bundleIdentifier = std::nullopt);
}  // namespace LegacyPreferenceMigration

}  // namespace harbelle
