#include "shell/AppPasteEngineHost.h"

#include <algorithm>

#include "history/HistoryStore.h"
#include "shell/ShelfPanel.h"
#include "shell/ShelfPanelController.h"

namespace harbelle {

AppPasteEngineHost::AppPasteEngineHost(HistoryStore& store, ShelfPanelController& panel, Services services)
    : store_(store), panel_(panel), services_(std::move(services)) {}

// ---- The shelf panel --------------------------------------------------------------------------------

std::optional<PasteTarget> AppPasteEngineHost::rememberedPasteTarget() {
    return panel_.pasteTarget().pasteTarget();
}

void AppPasteEngineHost::setPasteTransactionIsActive(bool active) { panel_.setPasteTransactionIsActive(active); }

void AppPasteEngineHost::cancelAutoHideCountdown() { panel_.cancelAutoHideCountdown(); }

void AppPasteEngineHost::restartAutoHideCountdown() { panel_.restartAutoHideCountdown(); }

void AppPasteEngineHost::hidePanelWithoutReturning() {
    if (!panel_.panel()) return;
    panel_.cancelAutoHideCountdown();
    panel_.orderOut();
}

void AppPasteEngineHost::hidePanelAndReturn() {
    if (panel_.panel()) panel_.hideShelf();
}

void AppPasteEngineHost::showShelf() { panel_.show(); }

std::int64_t AppPasteEngineHost::qaRemainingTransientFocusFailures() const {
    return std::max<std::int64_t>(0, panel_.qaRemainingTransientFocusFailures());
}

void AppPasteEngineHost::consumeQaTransientFocusFailure() { panel_.consumeQaTransientFocusFailure(); }

// ---- The store --------------------------------------------------------------------------------------

bool AppPasteEngineHost::writeClipToPasteboard(const ClipItem& clip, bool plainText) {
    return store_.writeToPasteboard(clip, plainText);
}

bool AppPasteEngineHost::writeClipToPrimarySelection(const ClipItem& clip, bool plainText) {
    return store_.writeToPrimarySelection(clip, plainText);
}

void AppPasteEngineHost::markReplaySucceeded(const ClipItem& clip, std::optional<Date> pastedAt) {
    store_.markReplaySucceeded(clip, pastedAt);
}

bool AppPasteEngineHost::markCopySucceeded(const ClipItem& clip) { return store_.markCopySucceeded(clip); }

bool AppPasteEngineHost::pasteDirectly() const {
    // Where nothing could ever grant direct paste, asking for it on every paste would only nag.
    if (services_.directPasteImpossible && services_.directPasteImpossible()) return false;
    return store_.pasteDirectly();
}

bool AppPasteEngineHost::pasteUsesSystemShortcut() const { return store_.pasteUsesSystemShortcut(); }

void AppPasteEngineHost::setDirectPasteVerified(bool verified) { store_.setDirectPasteVerified(verified); }

void AppPasteEngineHost::updateDirectPastePermissionStatus(bool accessibility, bool eventPosting) {
    store_.updateDirectPastePermissionStatus(accessibility, eventPosting);
}

bool AppPasteEngineHost::accessibilityAccessGranted() const { return store_.accessibilityAccessGranted(); }

bool AppPasteEngineHost::eventPostingAccessGranted() const { return store_.eventPostingAccessGranted(); }

void AppPasteEngineHost::setShowPermissionSetup(bool shown) { store_.setShowPermissionSetup(shown); }

void AppPasteEngineHost::showToast(const std::string& message, ToastTone tone) { store_.showToast(message, tone); }

// ---- The system -------------------------------------------------------------------------------------

DirectPastePermissions AppPasteEngineHost::currentDirectPastePermissions() {
    return services_.readPermissions ? services_.readPermissions() : DirectPastePermissions{};
}

void AppPasteEngineHost::beep() {
    if (services_.beep) services_.beep();
}

void AppPasteEngineHost::pasteDiagnostic(const std::string& message) {
    if (services_.diagnostic) services_.diagnostic(message);
}

}  // namespace harbelle
