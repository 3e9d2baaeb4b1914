#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "platform/LoginItemService.h"

namespace harbelle::testing {

// A login item with scripted outcomes. Asynchronous unregistrations wait in a queue until the
// test delivers them, as the main queue would.
class FakeLoginItemService final : public LoginItemService {
public:
    LoginItemStatus status() override { return currentStatus; }
    std::optional<LoginItemError> registerItem() override;
    std::optional<LoginItemError> unregisterItem() override;
    void unregisterItem(Completion completion) override;

    // Runs the queued completions; returns how many ran.
    int deliverPending();

    LoginItemStatus currentStatus = LoginItemStatus::notRegistered;
    // What a successful call leaves behind.
    LoginItemStatus statusAfterRegister = LoginItemStatus::enabled;
    LoginItemStatus statusAfterUnregister = LoginItemStatus::notRegistered;
    // A failing call returns the error and leaves the status as given here (unchanged if none).
    std::optional<LoginItemError> registerError;
    std::optional<LoginItemStatus> statusAfterFailedRegister;
    std::optional<LoginItemError> unregisterError;
    std::optional<LoginItemStatus> statusAfterFailedUnregister;

    int registerCalls = 0;
    int unregisterCalls = 0;       // synchronous form
    int asyncUnregisterCalls = 0;  // with completion

private:
    std::vector<std::function<void()>> pending_;
};

}  // namespace harbelle::testing
