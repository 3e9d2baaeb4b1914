#pragma once

#include <map>
#include <set>
#include <vector>

#include "platform/HotKeyRegistrar.h"

namespace harbelle::testing {

// Hot keys in memory. Combinations can be marked as held by another application; a press
// runs the handler at once.
class FakeHotKeyRegistrar final : public HotKeyRegistrar {
public:
    HotKeyResult registerHotKey(const HotKeyCombination& combination, Handler onPress) override;
    void unregisterHotKey(HotKeyId id) override;

    // Registrations of this combination fail with `registrationFailed` and `status`.
    void refuse(const HotKeyCombination& combination, std::int32_t status = 10);
    // Every registration fails with `installFailed`.
    void failInstall(std::int32_t status) { installStatus_ = status; }
    // Runs the handler registered for the combination; false when none is.
    bool press(const HotKeyCombination& combination);

    bool isRegistered(const HotKeyCombination& combination) const;
    std::size_t registrationCount() const { return registrations_.size(); }
    // Every combination asked for, in order, refused ones included.
    const std::vector<HotKeyCombination>& attempts() const { return attempts_; }

private:
    struct Registration {
        HotKeyCombination combination;
        Handler handler;
    };
    std::map<HotKeyId, Registration> registrations_;
    std::vector<std::pair<HotKeyCombination, std::int32_t>> refused_;
    std::vector<HotKeyCombination> attempts_;
    std::optional<std::int32_t> installStatus_;
    HotKeyId nextId_ = 1;
};

}  // namespace harbelle::testing
