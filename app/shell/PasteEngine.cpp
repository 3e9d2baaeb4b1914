#include "shell/PasteEngine.h"

#include <algorithm>

namespace harbelle {

namespace {
const char* text(bool value) { return value ? "true" : "false"; }
}  // namespace

PasteEngine::PasteEngine(PasteEngineHost& host, Workspace& workspace, Accessibility& accessibility,
                         KeyEventPoster& keyPoster, Clock& clock)
    : host_(host),
      workspace_(workspace),
      accessibility_(accessibility),
      keyPoster_(keyPoster),
      clock_(clock),
      replyContext_(std::make_unique<QObject>()) {}

PasteEngine::~PasteEngine() {
    for (auto& task : pending_) task.cancel();
    replyContext_.reset();
    keyPoster_.releaseAllPressed();
}

void PasteEngine::shutdown() {
    cancelActivePasteOperation();
    for (auto& task : pending_) task.cancel();
    pending_.clear();
    // A key-up that was still due goes out now, not after the event loop stopped.
    keyPoster_.releaseAllPressed();
}

std::optional<std::string> PasteEngine::directInsertionText(const ClipItem& item) {
    switch (item.kind) {
        case ClipKind::text:
        case ClipKind::link:
        case ClipKind::code:
        case ClipKind::color:
            if (item.text.empty()) return std::nullopt;
            return item.text;
        case ClipKind::image:
        case ClipKind::file:
            return std::nullopt;
    }
    return std::nullopt;
}

void PasteEngine::paste(const ClipItem& item, bool plainText) {
    if (!host_.pasteDirectly()) {
        copyOnly(item, plainText);
        return;
    }

    const DirectPastePermissions permissions = host_.currentDirectPastePermissions();
    host_.updateDirectPastePermissionStatus(permissions.accessibilityTrusted, permissions.eventPostingAllowed);
    if (!host_.accessibilityAccessGranted() || !host_.eventPostingAccessGranted()) {
        host_.setShowPermissionSetup(true);
        host_.showToast("Direct-paste access is required first", ToastTone::error);
        host_.beep();
        return;
    }

    std::optional<PasteTarget> target = host_.rememberedPasteTarget();
    if (!target || target->processIdentifier() <= 0 || isTerminated(*target)) {
        host_.showToast("Focus an input, then open Harbelle and click again", ToastTone::error);
        host_.beep();
        return;
    }
    target->capturedWindow = target->focusedWindow;

    const std::optional<PasteShortcut> shortcut = pasteShortcutFor(target->application.bundleIdentifier);
    if (!shortcut) {
        copyForWindowWithoutPasteKey(item, plainText, *target);
        return;
    }
    // A terminal's text is its program's output: only its paste key puts text in.
    const bool terminal = *shortcut != PasteShortcut::controlV;
    if (terminal)
        diagnostic("terminal window class=" + target->application.bundleIdentifier.value_or("") + " pastes with " +
                   (*shortcut == PasteShortcut::shiftInsert ? "Shift+Insert" : "Ctrl+Shift+V"));

    const bool demo = host_.demoMode();
    const bool insertionAllowed =
        !terminal && !(demo && host_.forceEventPaste()) && (!host_.pasteUsesSystemShortcut() || demo);

    auto operation = std::make_shared<Operation>();
    operation->item = item;
    operation->plainText = plainText;
    operation->directText = insertionAllowed ? directInsertionText(item) : std::nullopt;
    operation->shortcut = *shortcut;
    operation->generation = openTransaction();
    operation->startedAt = clock_.now();
    const std::uint64_t generation = operation->generation;
    const ProcessID pid = target->processIdentifier();

    diagnostic("target=" + std::to_string(pid) + " directText=" + text(operation->directText.has_value()) +
               " AX=true postEvent=true generation=" + std::to_string(generation));
    // However slow the target, the transaction ends here: nothing goes in after this.
    after(kTransactionDeadline, [this, operation] { expireTransaction(operation); });

    // The shelf goes away before the target is activated.
    host_.hidePanelWithoutReturning();

    // Only the window the user was in: another window of the same program is not theirs now.
    const bool activated = target->nativeWindow ? workspace_.activateWindow(*target->nativeWindow)
                                                : workspace_.activate(pid);
    if (!activated) {
        failPasteOperation(generation, "Could not return focus to the intended input");
        return;
    }
    if (!isRunning(generation)) return;
    if (isTerminated(*target)) {
        failPasteOperation(generation, "The intended app closed; nothing was pasted");
        return;
    }
    if (isFrontmost(*target)) {
        diagnostic("target is frontmost pid=" + std::to_string(pid));
        restoreFocusAndPaste(*target, operation, kRestoreAttempts);
    } else {
        after(kActivationCheckInterval, [this, target = *target, operation] {
            waitForTargetActivation(target, operation, kActivationChecks);
        });
    }
}

void PasteEngine::copyOnly(const ClipItem& item, bool plainText) {
    const bool wrote = host_.writeClipToPasteboard(item, plainText);
    diagnostic("copy-only requested kind=" + std::string(clipkind::rawValue(item.kind)) +
               " wroteClipboard=" + text(wrote));
    if (!wrote) {
        host_.showToast("That clip is no longer available", ToastTone::error);
        host_.beep();
        return;
    }
    const bool marked = host_.markCopySucceeded(item);
    const std::uint64_t generation = openTransaction();
    // A mark refused for want of room has said so; that toast stays in view.
    if (marked) host_.showToast("Copied to the clipboard", ToastTone::success);
    after(kCopyOnlyHideDelay, [this, generation] { finishCopyOnly(generation); });
}

void PasteEngine::copyForWindowWithoutPasteKey(const ClipItem& item, bool plainText, const PasteTarget& target) {
    const bool wrote = host_.writeClipToPasteboard(item, plainText);
    diagnostic("window class=" + target.application.bundleIdentifier.value_or("") +
               " has no paste key; copy only wroteClipboard=" + text(wrote));
    if (!wrote) {
        host_.showToast("That clip is no longer available", ToastTone::error);
        host_.beep();
        return;
    }
    // Not pasted, so not marked as pasted; the shelf stays open to say so.
    host_.showToast(kCopiedForWindowWithoutPasteKey, ToastTone::info);
}

void PasteEngine::finishCopyOnly(std::uint64_t generation) {
    if (!isRunning(generation)) return;
    host_.hidePanelAndReturn();
    if (isRunning(generation)) endTransaction();
}

std::uint64_t PasteEngine::openTransaction() {
    abandonRunningTransaction();
    // What an older transaction still has under way changes nothing any more.
    accessibility_.abandon(replyContext_.get());
    ++pasteOperationGeneration_;
    activePasteOperationGeneration_ = pasteOperationGeneration_;
    host_.setPasteTransactionIsActive(true);
    host_.cancelAutoHideCountdown();
    return pasteOperationGeneration_;
}

void PasteEngine::endTransaction() {
    accessibility_.abandon(replyContext_.get());
    unlandedInsert_.reset();
    keysAwaitingVerdict_.reset();
    activePasteOperationGeneration_.reset();
    host_.setPasteTransactionIsActive(false);
    host_.restartAutoHideCountdown();
}

bool PasteEngine::isRunning(std::uint64_t generation) const {
    return activePasteOperationGeneration_ && *activePasteOperationGeneration_ == generation;
}

void PasteEngine::completePasteOperation(const ClipItem& item, std::uint64_t generation, bool verified,
                                         std::optional<Date> pastedAt) {
    diagnostic(std::string("paste done verified=") + text(verified));
    // The clip did land even when the transaction was abandoned meanwhile.
    host_.markReplaySucceeded(item, pastedAt);
    if (verified) host_.setDirectPasteVerified(true);
    if (isRunning(generation)) endTransaction();
}

void PasteEngine::failPasteOperation(std::uint64_t generation, const std::string& message) {
    if (!isRunning(generation)) return;
    diagnostic("paste failed: " + message);
    endTransaction();
    host_.showShelf();
    host_.showToast(message, ToastTone::error);
    host_.beep();
}

void PasteEngine::expireTransaction(const OperationRef& operation) {
    if (!isRunning(operation->generation)) return;
    diagnostic("paste transaction deadline passed; nothing more is pasted");
    host_.writeClipToPasteboard(operation->item, operation->plainText);
    failPasteOperationRecoverably(operation->generation);
}

void PasteEngine::failPasteOperationRecoverably(std::uint64_t generation) {
    if (!isRunning(generation)) return;
    diagnostic("paste failed; the clip is left on the clipboard");
    endTransaction();
    host_.showToast("Couldn't paste there — press Ctrl+V to paste it", ToastTone::error);
    host_.beep();
}

void PasteEngine::abandonRunningTransaction() {
    if (!activePasteOperationGeneration_ || keysAwaitingVerdict_ != activePasteOperationGeneration_) return;
    keysAwaitingVerdict_.reset();
    // The keys may still be taken (a busy program), or never (a hung one): neither a paste nor a
    // failure is reported, and a later answer changes nothing.
    diagnostic("paste ended before its keys were confirmed; whether the clip landed is unknown; not marked as pasted");
}

void PasteEngine::cancelActivePasteOperation() {
    if (!activePasteOperationGeneration_) return;
    abandonRunningTransaction();
    ++pasteOperationGeneration_;
    endTransaction();
    diagnostic("cancelled stale paste operation");
}

void PasteEngine::diagnostic(const std::string& message) { host_.pasteDiagnostic(message); }

void PasteEngine::after(Milliseconds delay, std::function<void()> step) {
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                  [](const ScheduledTask& task) { return !task.isPending(); }),
                   pending_.end());
    pending_.push_back(clock_.schedule(delay, std::move(step)));
}

bool PasteEngine::isTerminated(const PasteTarget& target) {
    const ProcessID pid = target.processIdentifier();
    return pid <= 0 || !workspace_.runningApplication(pid);
}

bool PasteEngine::spent(const OperationRef& operation, Milliseconds budget) const {
    return clock_.now() - operation->startedAt >= budget;
}

bool PasteEngine::isFrontmost(const PasteTarget& target) {
    const auto frontmost = workspace_.frontmostApplication();
    if (!frontmost || !frontmost->processIdentifier || *frontmost->processIdentifier != target.processIdentifier())
        return false;
    // Another window of the same application is not where the user was typing.
    return !target.nativeWindow || workspace_.frontmostWindow() == target.nativeWindow;
}

}  // namespace harbelle
