#pragma once

#include <string>
#include <vector>

#include "platform/KeyEventPoster.h"

namespace harbelle::testing {

// Records the paste key events instead of posting them.
class FakeKeyEventPoster final : public KeyEventPoster {
public:
    struct Event {
        enum class Kind { keyDown, keyUp, releaseAll };
        Kind kind;
        std::int64_t processId = 0;
        PasteShortcut shortcut = PasteShortcut::controlV;
        bool operator==(const Event&) const = default;
    };

    bool canPostEvents() override { return allowed_; }
    bool postPasteKeyDown(std::int64_t processId, PasteShortcut shortcut) override;
    bool postPasteKeyUp(std::int64_t processId) override;
    KeyModifiers heldModifiers() override { return held_; }
    void releaseAllPressed() override;

    void setAllowed(bool allowed) { allowed_ = allowed; }
    // Posts fail (the events cannot be made) while set.
    void setFailing(bool failing) { failing_ = failing; }
    void setHeldModifiers(KeyModifiers held) { held_ = held; }
    const std::vector<Event>& events() const { return events_; }
    // True between a key-down and its key-up (or a release of everything).
    bool isPasteKeyDown() const { return down_; }

private:
    bool allowed_ = true;
    bool failing_ = false;
    bool down_ = false;
    PasteShortcut shortcut_ = PasteShortcut::controlV;
    KeyModifiers held_ = 0;
    std::vector<Event> events_;
};

}  // namespace harbelle::testing
