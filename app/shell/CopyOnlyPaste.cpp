#include "shell/CopyOnlyPaste.h"

#include "history/ClipKind.h"
#include "history/HistoryStore.h"
#include "shell/ShelfPanel.h"
#include "shell/ShelfPanelController.h"

namespace harbelle {

CopyOnlyPaste::CopyOnlyPaste(HistoryStore& store, ShelfPanelController& panelController, Clock& clock, Hooks hooks)
    : store_(store), panel_(panelController), clock_(clock), hooks_(std::move(hooks)) {}

CopyOnlyPaste::~CopyOnlyPaste() = default;

void CopyOnlyPaste::paste(const ClipItem& item, bool plainText) {
    const bool wrote = hooks_.writeToPasteboard && hooks_.writeToPasteboard(item, plainText);
    if (hooks_.diagnostic) {
        hooks_.diagnostic("copy-only requested kind=" + std::string(clipkind::rawValue(item.kind)) +
                          " wroteClipboard=" + (wrote ? "true" : "false"));
    }
    if (!wrote) {
        store_.showToast(kUnavailableMessage, ToastTone::error);
        if (hooks_.beep) hooks_.beep();
        return;
    }
    store_.markReplaySucceeded(item);

    const std::uint64_t generation = ++generation_;
    active_ = generation;
    panel_.pasteTransactionIsActive = true;
    panel_.cancelAutoHideCountdown();

    store_.showToast(kCopiedMessage, ToastTone::success);
    std::weak_ptr<int> alive = lifetime_;
    clock_.schedule(kFinishDelay, [this, alive, generation] {
        if (alive.expired()) return;
        finish(generation);
    });
}

void CopyOnlyPaste::finish(std::uint64_t generation) {
    if (!isRunning(generation)) return;
    if (panel_.panel()) panel_.hideShelf();
    if (isRunning(generation)) endTransaction();
}

void CopyOnlyPaste::cancelActivePasteOperation() {
    if (!active_) return;
    ++generation_;
    endTransaction();
    if (hooks_.diagnostic) hooks_.diagnostic("cancelled stale paste operation");
}

void CopyOnlyPaste::endTransaction() {
    active_.reset();
    panel_.pasteTransactionIsActive = false;
    panel_.restartAutoHideCountdown();
}

}  // namespace harbelle
