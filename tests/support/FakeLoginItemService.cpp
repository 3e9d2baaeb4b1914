#include "support/FakeLoginItemService.h"

namespace harbelle::testing {

std::optional<LoginItemError> FakeLoginItemService::registerItem() {
    ++registerCalls;
    if (registerError) {
        if (statusAfterFailedRegister) currentStatus = *statusAfterFailedRegister;
        return registerError;
    }
    currentStatus = statusAfterRegister;
    return std::nullopt;
}

std::optional<LoginItemError> FakeLoginItemService::unregisterItem() {
    ++unregisterCalls;
    if (unregisterError) {
        if (statusAfterFailedUnregister) currentStatus = *statusAfterFailedUnregister;
        return unregisterError;
    }
    currentStatus = statusAfterUnregister;
    return std::nullopt;
}

void FakeLoginItemService::unregisterItem(Completion completion) {
    ++asyncUnregisterCalls;
    std::optional<LoginItemError> error;
    if (unregisterError) {
        if (statusAfterFailedUnregister) currentStatus = *statusAfterFailedUnregister;
        error = unregisterError;
    } else {
        currentStatus = statusAfterUnregister;
    }
    pending_.push_back([completion = std::move(completion), error] { completion(error); });
}

int FakeLoginItemService::deliverPending() {
    int count = 0;
    while (!pending_.empty()) {
        auto next = std::move(pending_.front());
        pending_.erase(pending_.begin());
        next();
        ++count;
    }
    return count;
}

}  // namespace harbelle::testing
