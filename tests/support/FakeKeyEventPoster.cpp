#include "support/FakeKeyEventPoster.h"

namespace harbelle::testing {

bool FakeKeyEventPoster::postPasteKeyDown(std::int64_t processId, PasteShortcut shortcut) {
    if (!allowed_ || failing_) return false;
    events_.push_back({Event::Kind::keyDown, processId, shortcut});
    shortcut_ = shortcut;
    down_ = true;
    return true;
}

bool FakeKeyEventPoster::postPasteKeyUp(std::int64_t processId) {
    if (!allowed_ || failing_) return false;
    events_.push_back({Event::Kind::keyUp, processId, shortcut_});
    down_ = false;
    return true;
}

void FakeKeyEventPoster::releaseAllPressed() {
    if (!down_) return;
    events_.push_back({Event::Kind::releaseAll, 0});
    down_ = false;
}

}  // namespace harbelle::testing
