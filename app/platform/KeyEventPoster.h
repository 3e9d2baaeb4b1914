#pragma once

#include <cstdint>

#include "platform/KeyModifiers.h"

namespace harbelle {

// The key a window pastes with: Ctrl+V in ordinary fields, Ctrl+Shift+V in terminals (where
// Ctrl+V is a control character for the program inside), Shift+Insert in the xterm family,
// which pastes the primary selection, not the clipboard.
enum class PasteShortcut { controlV, controlShiftV, shiftInsert };

// Synthetic key events for the paste fallback. The paste shortcut's key-down and key-up are
// separate steps because the paste engine posts them at different moments. The display server
// delivers them to the focused window; `processId` names the intended target, and the caller
// makes sure that target is frontmost before posting.
class KeyEventPoster {
public:
    virtual ~KeyEventPoster() = default;
    // Whether synthetic events can be posted at all (on X11: the XTest extension is present).
    virtual bool canPostEvents() = 0;
    // The shortcut's modifiers down, then its key (V or Insert) down. False when the events could not be made or sent.
    virtual bool postPasteKeyDown(std::int64_t processId, PasteShortcut shortcut) = 0;
    // The key up, then the modifiers up. Releases only what the key-down pressed.
    virtual bool postPasteKeyUp(std::int64_t processId) = 0;
    // Modifiers the user still holds (keys this poster pressed itself are not counted), so that
    // a paste can wait for the hot key's Shift and Super to be released first.
    virtual KeyModifiers heldModifiers() = 0;
    // Releases every key this poster pressed and waits until the display server has them, so a
    // key-up is never lost on cancel or quit. Implementations call it on destruction too.
    virtual void releaseAllPressed() = 0;
};

}  // namespace harbelle
