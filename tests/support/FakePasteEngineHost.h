#pragma once

#include <string>
#include <vector>

#include "history/HistoryStore.h"
#include "history/Toast.h"
#include "shell/PasteEngineHost.h"

namespace harbelle::testing {

// The paste engine's surroundings in memory: settings, the remembered target and a record of
// everything the engine asked for, in order.
class FakePasteEngineHost final : public PasteEngineHost {
public:
    std::optional<PasteTarget> rememberedPasteTarget() override { return target; }
    void setPasteTransactionIsActive(bool active) override { transactionActive = active; }
    void cancelAutoHideCountdown() override { events.push_back("cancelAutoHide"); }
    void restartAutoHideCountdown() override { events.push_back("restartAutoHide"); }
    void hidePanelWithoutReturning() override { events.push_back("hidePanel"); }
    void hidePanelAndReturn() override { events.push_back("hidePanelAndReturn"); }
    void showShelf() override { events.push_back("showShelf"); }
    std::int64_t qaRemainingTransientFocusFailures() const override { return transientFocusFailures; }
    void consumeQaTransientFocusFailure() override {
        if (transientFocusFailures > 0) --transientFocusFailures;
    }

    bool writeClipToPasteboard(const ClipItem& clip, bool plainText) override;
    bool writeClipToPrimarySelection(const ClipItem& clip, bool plainText) override {
        primaryWrites.push_back(clip.text + " plain=" + (plainText ? "true" : "false"));
        return canWriteClipboard;
    }
    void markReplaySucceeded(const ClipItem& clip, std::optional<Date> pastedAt = std::nullopt) override {
        replayed.push_back(clip.id);
        replayedAt.push_back(pastedAt);
    }
    bool markCopySucceeded(const ClipItem& clip) override {
        if (!markHasRoom) {
            showToast(HistoryStore::kCopyMarkTooLargeMessage, ToastTone::error);
            return false;
        }
        markReplaySucceeded(clip);
        return true;
    }
    std::vector<std::optional<Date>> replayedAt;
    bool markHasRoom = true;
    bool pasteDirectly() const override { return pasteDirectlySetting; }
    bool pasteUsesSystemShortcut() const override { return systemShortcutSetting; }
    void setDirectPasteVerified(bool verified) override { directPasteVerified = verified; }
    void updateDirectPastePermissionStatus(bool accessibility, bool eventPosting) override;
    bool accessibilityAccessGranted() const override { return accessibilityGranted; }
    bool eventPostingAccessGranted() const override { return eventPostingGranted; }
    void setShowPermissionSetup(bool shown) override { showPermissionSetup = shown; }
    void showToast(const std::string& message, ToastTone tone) override { toasts.push_back({message, tone}); }

    DirectPastePermissions currentDirectPastePermissions() override { return permissions; }
    void beep() override { ++beeps; }
    bool demoMode() const override { return demo; }
    bool forceEventPaste() const override { return forceEvents; }
    void pasteDiagnostic(const std::string& message) override { lines.push_back(message); }

    bool hasLine(const std::string& line) const;
    bool hasLineStartingWith(const std::string& prefix) const;
    int countEvent(const std::string& event) const;

    // Scripted state.
    std::optional<PasteTarget> target;
    bool pasteDirectlySetting = true;
    bool systemShortcutSetting = true;
    bool demo = false;
    bool forceEvents = false;
    bool canWriteClipboard = true;
    std::int64_t transientFocusFailures = 0;
    DirectPastePermissions permissions{true, true, true};
    // What the engine did.
    bool transactionActive = false;
    bool accessibilityGranted = false;
    bool eventPostingGranted = false;
    bool directPasteVerified = false;
    bool showPermissionSetup = false;
    int beeps = 0;
    std::vector<Toast> toasts;
    std::vector<Uuid> replayed;
    std::vector<std::string> clipboardWrites;  // "<text> plain=<bool>"
    std::vector<std::string> primaryWrites;    // the same, on the primary selection
    std::vector<std::string> events;
    std::vector<std::string> lines;
};

}  // namespace harbelle::testing
