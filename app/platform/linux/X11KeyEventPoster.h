#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/KeyEventPoster.h"

typedef struct xcb_connection_t xcb_connection_t;

namespace harbelle {

namespace x11 {
class X11Keyboard;
}

// Synthetic keys through XTest on a connection of its own, so the key-up can still be sent
// while (or after) Qt's own connection goes away. Every post is flushed at once.
class X11KeyEventPoster final : public KeyEventPoster {
public:
    // Connects to $DISPLAY; without a display or XTest nothing can be posted.
    X11KeyEventPoster();
    ~X11KeyEventPoster() override;

    bool canPostEvents() override;
    bool postPasteKeyDown(std::int64_t processId, PasteShortcut shortcut) override;
    bool postPasteKeyUp(std::int64_t processId) override;
    KeyModifiers heldModifiers() override;
    void releaseAllPressed() override;

private:
    bool fakeKey(bool press, std::uint8_t keycode);
    void sync();

    std::mutex mutex_;
    xcb_connection_t* connection_ = nullptr;
    bool hasXTest_ = false;
    std::unique_ptr<x11::X11Keyboard> keyboard_;
    std::vector<std::uint8_t> pressed_;  // in press order
    std::vector<std::uint8_t> pasteKeys_;  // what the last paste key-down pressed, in press order
};

}  // namespace harbelle
