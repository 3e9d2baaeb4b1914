#pragma once

#include <functional>
#include <optional>
#include <string>

namespace harbelle {

// Numbered as the desktop's login item service numbers them.
enum class LoginItemStatus { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

// A login item counts as on while it is enabled or waits for the user's approval.
inline bool isLoginItemOn(LoginItemStatus status) {
    return status == LoginItemStatus::enabled || status == LoginItemStatus::requiresApproval;
}

struct LoginItemError {
    std::string domain;
    int code = 0;
    std::string localizedDescription;
    bool operator==(const LoginItemError&) const = default;
};

// Registration of the program as a login item. Main thread only.
class LoginItemService {
public:
    using Completion = std::function<void(std::optional<LoginItemError> error)>;
    virtual ~LoginItemService() = default;

    virtual LoginItemStatus status() = 0;
    // Nothing on success.
    virtual std::optional<LoginItemError> registerItem() = 0;
    virtual std::optional<LoginItemError> unregisterItem() = 0;
    // The completion runs later, on the main thread, never before this returns.
    virtual void unregisterItem(Completion completion) = 0;
};

}  // namespace harbelle
