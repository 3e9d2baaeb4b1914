#include "support/FakeHotKeyRegistrar.h"

namespace harbelle::testing {

HotKeyResult FakeHotKeyRegistrar::registerHotKey(const HotKeyCombination& combination, Handler onPress) {
    attempts_.push_back(combination);
    if (installStatus_) return HotKeyError{HotKeyError::Kind::installFailed, *installStatus_};
    for (const auto& [refused, status] : refused_)
        if (refused == combination) return HotKeyError{HotKeyError::Kind::registrationFailed, status};
    // Registrations are exclusive within the program too.
    if (isRegistered(combination)) return HotKeyError{HotKeyError::Kind::registrationFailed, 10};
    const HotKeyId id = nextId_++;
    registrations_.emplace(id, Registration{combination, std::move(onPress)});
    return id;
}

void FakeHotKeyRegistrar::unregisterHotKey(HotKeyId id) { registrations_.erase(id); }

void FakeHotKeyRegistrar::refuse(const HotKeyCombination& combination, std::int32_t status) {
    refused_.emplace_back(combination, status);
}

bool FakeHotKeyRegistrar::press(const HotKeyCombination& combination) {
    for (auto& [id, registration] : registrations_) {
        if (registration.combination != combination) continue;
        Handler handler = registration.handler;  // the handler may unregister itself
        if (handler) handler();
        return true;
    }
    return false;
}

bool FakeHotKeyRegistrar::isRegistered(const HotKeyCombination& combination) const {
    for (const auto& [id, registration] : registrations_)
        if (registration.combination == combination) return true;
    return false;
}

}  // namespace harbelle::testing
