#pragma once

#include <functional>
#include <optional>
#include <string>

#include "history/Toast.h"
#include "platform/Defaults.h"
#include "platform/LoginItemService.h"

namespace harbelle {

// True when the login item is enabled or waiting for the user's approval.
using LoginItemActiveProvider = std::function<bool()>;

// Keeps the login item in step with the user's wish, stored as "launchAtLoginRequested".
class LaunchAtLoginRegistration {
public:
    static constexpr const char* kRequestedKey = "launchAtLoginRequested";
    static constexpr const char* kMismatchDomain = "com.brantlemoor.Pemberlow.login-item";
    static constexpr int kMismatchCode = 1;
    static constexpr const char* kMismatchDescription = "Login item status did not match the saved preference.";

    struct RefreshResult {
        std::optional<LoginItemStatus> status;  // on success
        std::optional<LoginItemError> error;    // on failure
        bool succeeded() const { return status.has_value(); }
    };
    using RefreshCompletion = std::function<void(const RefreshResult&)>;
    using ToastSink = std::function<void(const std::string& message, ToastTone tone)>;

    // The saved wish; when missing (or not a Boolean) it is taken from the login item and saved.
    static bool requestedPreference(Defaults& defaults, LoginItemService& service);
    // The same, with the login item's state given by `loginItemActive` (absent reads as off).
    static bool requestedPreference(Defaults& defaults, const LoginItemActiveProvider& loginItemActive);

    // Brings the login item in line with the wish. An item already on is unregistered and
    // registered again, which renews a stale registration. The completion runs exactly once:
    // before this returns when no unregistration is needed, later on the main thread otherwise.
    // `service` and `defaults` must outlive the refresh.
    static void refresh(Defaults& defaults, LoginItemService& service, RefreshCompletion completion);

    // The user's toggle: registers or unregisters, saves the item's real state as the wish and
    // reports it through `toast`. Returns the new value of the store's `launchAtLogin`.
    static bool updateLaunchAtLogin(bool enabled, Defaults& defaults, LoginItemService& service,
                                    const ToastSink& toast);

    static LoginItemError mismatchError();
};

}  // namespace harbelle
