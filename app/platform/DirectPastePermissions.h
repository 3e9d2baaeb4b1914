#pragma once

#include <string>

namespace harbelle {

class Accessibility;
class KeyEventPoster;

// The two permissions direct paste needs: reading and editing the focused field, and posting
// the paste shortcut. Reading them never prompts the user.
struct DirectPastePermissions {
    bool accessibilityAvailable = false;  // an accessibility bus exists (it may be switched off)
    bool accessibilityTrusted = false;    // ... and accessibility is enabled on it
    bool eventPostingAllowed = false;     // synthetic key events can be posted

    // Direct paste needs both permissions; without a bus or without event posting no request
    // can ever grant them (a Wayland session, a bare X server without XTest).
    bool directPasteImpossible() const { return !accessibilityAvailable || !eventPostingAllowed; }
};

DirectPastePermissions probeDirectPastePermissions(Accessibility& accessibility, KeyEventPoster& poster);

// The two report lines of the permission diagnosis, each ended by a line feed.
std::string permissionReport(const DirectPastePermissions& permissions);

}  // namespace harbelle
