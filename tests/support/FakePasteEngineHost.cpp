#include "support/FakePasteEngineHost.h"

#include <algorithm>

namespace harbelle::testing {

bool FakePasteEngineHost::writeClipToPasteboard(const ClipItem& clip, bool plainText) {
    clipboardWrites.push_back(clip.text + " plain=" + (plainText ? "true" : "false"));
    return canWriteClipboard;
}

void FakePasteEngineHost::updateDirectPastePermissionStatus(bool accessibility, bool eventPosting) {
    accessibilityGranted = accessibility;
    eventPostingGranted = eventPosting;
    if (!accessibility || !eventPosting) directPasteVerified = false;
}

bool FakePasteEngineHost::hasLine(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool FakePasteEngineHost::hasLineStartingWith(const std::string& prefix) const {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

int FakePasteEngineHost::countEvent(const std::string& event) const {
    return int(std::count(events.begin(), events.end(), event));
}

}  // namespace harbelle::testing
