#pragma once

#include <functional>
#include <optional>
#include <string>

#include "history/Toast.h"
#include "platform/Defaults.h"
#include "platform/LoginItemService.h"

namespace harbelle {

// The login item's refresh and the user's "on" switch as the shell calls them. Kept apart from
// the store's header, which declares a reader of the saved wish under the same name.
struct LoginItemRefreshResult {
    std::optional<LoginItemStatus> status;  // on success
    std::optional<LoginItemError> error;    // on failure
    bool succeeded() const { return status.has_value(); }
};
using LoginItemRefreshCompletion = std::function<void(const LoginItemRefreshResult&)>;

namespace loginitem {
void refresh(Defaults& defaults, LoginItemService& service, LoginItemRefreshCompletion completion);
// Turns launch at login on, reporting through `toast`; returns the item's real state.
bool enable(Defaults& defaults, LoginItemService& service,
            const std::function<void(const std::string& message, ToastTone tone)>& toast);
}  // namespace loginitem

}  // namespace harbelle
