#pragma once

#include <functional>
#include <string>

#include "shell/PasteEngineHost.h"

namespace harbelle {

class HistoryStore;
class ShelfPanelController;

// The paste engine's surroundings in the running program: the shelf panel controller (its
// remembered target, countdown and window), the store (settings, the clipboard write that
// capture ignores, toasts) and the few system services the application delegate holds.
// Both the store and the panel controller must outlive the host. Main thread only.
class AppPasteEngineHost final : public PasteEngineHost {
public:
    struct Services {
        // Asks the system for both permissions now; never prompts.
        std::function<DirectPastePermissions()> readPermissions;
        // True when direct paste can never be granted in this session: every paste copies only.
        std::function<bool()> directPasteImpossible;
        std::function<void()> beep;
        // One diagnostic line without its prefix; the sink decides whether it is printed.
        std::function<void(const std::string&)> diagnostic;
        bool demoMode = false;
        // "--qa-force-event-paste" as the launch arguments read it (absent outside demo mode).
        bool forceEventPaste = false;
    };

    AppPasteEngineHost(HistoryStore& store, ShelfPanelController& panel, Services services);

    std::optional<PasteTarget> rememberedPasteTarget() override;
    void setPasteTransactionIsActive(bool active) override;
    void cancelAutoHideCountdown() override;
    void restartAutoHideCountdown() override;
    void hidePanelWithoutReturning() override;
    void hidePanelAndReturn() override;
    void showShelf() override;
    std::int64_t qaRemainingTransientFocusFailures() const override;
    void consumeQaTransientFocusFailure() override;

    bool writeClipToPasteboard(const ClipItem& clip, bool plainText) override;
    bool writeClipToPrimarySelection(const ClipItem& clip, bool plainText) override;
    void markReplaySucceeded(const ClipItem& clip, std::optional<Date> pastedAt = std::nullopt) override;
    bool markCopySucceeded(const ClipItem& clip) override;
    bool pasteDirectly() const override;
    bool pasteUsesSystemShortcut() const override;
    void setDirectPasteVerified(bool verified) override;
    void updateDirectPastePermissionStatus(bool accessibility, bool eventPosting) override;
    bool accessibilityAccessGranted() const override;
    bool eventPostingAccessGranted() const override;
    void setShowPermissionSetup(bool shown) override;
    void showToast(const std::string& message, ToastTone tone) override;

    DirectPastePermissions currentDirectPastePermissions() override;
    void beep() override;
    bool demoMode() const override { return services_.demoMode; }
    bool forceEventPaste() const override { return services_.demoMode && services_.forceEventPaste; }
    void pasteDiagnostic(const std::string& message) override;

private:
    HistoryStore& store_;
    ShelfPanelController& panel_;
    Services services_;
};

}  // namespace harbelle
