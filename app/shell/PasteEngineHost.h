#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "history/ClipItem.h"
#include "history/Toast.h"
#include "platform/Accessibility.h"
#include "platform/Clock.h"
#include "platform/DirectPastePermissions.h"
#include "platform/Workspace.h"

namespace harbelle {

// Where a paste goes: the application, window and text element that had focus when the shelf
// opened. Passed from step to step by value; a step may replace the element and the focused
// window with freshly read ones, never the captured window.
struct PasteTarget {
    RunningApplication application;
    AXElement focusedElement;
    // The window to focus; may be replaced by a freshly read focused window.
    AXElement focusedWindow;
    // The window focused when the shelf opened; a re-read element is accepted only inside it.
    AXElement capturedWindow;
    // The display server's window that was active when the shelf opened. When known, the paste
    // activates exactly this window and sends keys only while it is the active one.
    std::optional<std::uint32_t> nativeWindow;

    ProcessID processIdentifier() const { return application.processIdentifier.value_or(0); }
};

// Everything the paste engine reaches outside itself: the shelf panel, the store and its
// settings, feedback to the user and the launch flags. Main thread only.
class PasteEngineHost {
public:
    virtual ~PasteEngineHost() = default;

    // ---- The shelf panel
    // The target captured when the shelf opened: application, focused element, focused window
    // and native window. The engine fills `capturedWindow` from `focusedWindow` itself.
    // Nothing when no target is remembered.
    virtual std::optional<PasteTarget> rememberedPasteTarget() = 0;
    virtual void setPasteTransactionIsActive(bool active) = 0;
    virtual void cancelAutoHideCountdown() = 0;
    virtual void restartAutoHideCountdown() = 0;
    // Cancels the countdown and orders the panel out without activating anything else; nothing
    // when the panel has no window.
    virtual void hidePanelWithoutReturning() = 0;
    // The shelf's hide-and-return sequence: cancel the countdown, order the panel out and
    // activate the return application when it still runs; nothing without a panel window.
    virtual void hidePanelAndReturn() = 0;
    // Opens the shelf again (after a failed paste); the result of show() is not needed.
    virtual void showShelf() = 0;
    // Focus restorations still to fail by injection (the QA launch argument); never negative.
    virtual std::int64_t qaRemainingTransientFocusFailures() const = 0;
    // Uses up one injected failure.
    virtual void consumeQaTransientFocusFailure() = 0;

    // ---- The store
    // Puts the clip on the clipboard in the forms it holds (plain text only when asked), as the
    // program's own write that capture ignores. False when nothing could be written.
    virtual bool writeClipToPasteboard(const ClipItem& clip, bool plainText) = 0;
    // The same on the primary selection, for a terminal whose paste key pastes only that.
    virtual bool writeClipToPrimarySelection(const ClipItem& clip, bool plainText) = 0;
    // `pastedAt`: when the paste went out, when it was confirmed only later.
    virtual void markReplaySucceeded(const ClipItem& clip, std::optional<Date> pastedAt = std::nullopt) = 0;
    // False when the mark was refused for want of room; the refusal has shown its own toast.
    virtual bool markCopySucceeded(const ClipItem& clip) = 0;
    virtual bool pasteDirectly() const = 0;
    virtual bool pasteUsesSystemShortcut() const = 0;
    virtual void setDirectPasteVerified(bool verified) = 0;
    virtual void updateDirectPastePermissionStatus(bool accessibility, bool eventPosting) = 0;
    virtual bool accessibilityAccessGranted() const = 0;
    virtual bool eventPostingAccessGranted() const = 0;
    virtual void setShowPermissionSetup(bool shown) = 0;
    virtual void showToast(const std::string& message, ToastTone tone) = 0;

    // ---- The system
    // Asks the system now; never prompts.
    virtual DirectPastePermissions currentDirectPastePermissions() = 0;
    virtual void beep() = 0;
    virtual bool demoMode() const = 0;
    // "--qa-force-event-paste" (read as absent outside demo mode).
    virtual bool forceEventPaste() const = 0;
    // One "[DirectPaste] " line, written only with "--paste-diagnostics".
    virtual void pasteDiagnostic(const std::string& message) = 0;
};

}  // namespace harbelle
