#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "history/ClipItem.h"
#include "history/ClipList.h"
#include "platform/Defaults.h"

namespace harbelle {

struct ClipSourceDeviceOrigin {
    std::string id;
    std::string name;
    std::string platform;
    bool operator==(const ClipSourceDeviceOrigin&) const = default;
};

inline constexpr const char* kClipSourceDeviceIDKey = "harbelle.clipSourceDeviceID.v1";
inline constexpr const char* kLegacyLocalDeviceKey = "legacy_local_mac";
inline constexpr const char* kLegacySyncedDeviceKey = "legacy_synced_device";
inline constexpr const char* kLegacyUnknownDeviceKey = "legacy_unknown_device";

// This machine's origin: a stable identifier kept in the defaults, the host name, "macOS".
struct MacClipDeviceIdentity {
    static ClipSourceDeviceOrigin current(Defaults& defaults);
    // The host name as shown; "This computer" when there is none. Overridable for tests.
    static std::string hostDisplayName(const std::string& rawHostName);
};

// The origin a clip carries to sync: its recorded device, else the legacy key of a clip that
// came from sync ("Synced") or was made here; name and platform with their display fallbacks.
ClipSourceDeviceOrigin clipSyncOrigin(const ClipItem& item);

struct ClipDeviceFilterOption {
    std::string id;
    std::string name;
    std::string platform;
    int count = 0;
    std::string symbol() const;
    bool operator==(const ClipDeviceFilterOption&) const = default;
};

std::string platformSymbol(const std::string& platform);
// The clip's device key without a copy; valid while the clip lives.
std::string_view deviceKeyView(const ClipItem& item);
// The device filter menu: this machine first, then the others by name.
std::vector<ClipDeviceFilterOption> availableDevices(const ClipList& items,
                                                     Defaults& defaults);

}  // namespace harbelle
