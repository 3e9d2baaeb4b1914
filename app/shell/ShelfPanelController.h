#pragma once

#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/Accessibility.h"
#include "platform/Clock.h"
#include "platform/Workspace.h"
#include "shelf/MainShelfView.h"
#include "shell/RememberedPasteTarget.h"

class QKeyEvent;
class QScreen;

namespace harbelle {

class HistoryStore;
class ShelfPanel;

// Maps Ctrl with a digit 1 to 9 to the first nine clips on the shelf.
struct QuickPasteShortcut {
    // The clip position for a quick-paste key, or nothing. `text` is what the key types
    // (Ctrl aside); `nativeScanCode` is the X11 key code, which finds the digit row and the
    // keypad on any layout.
    static std::optional<int> itemIndex(int key, quint32 nativeScanCode, const QString& text,
                                        Qt::KeyboardModifiers modifiers);
};

struct ShelfPanelControllerOptions {
    // Consumed by focus restoration in paste tests; negative counts as 0.
    std::int64_t qaTransientFocusFailureCount = 0;
    // The program's launch arguments; the process's own when absent.
    std::optional<QStringList> launchArguments;
    // This program's process id; the running process's when absent.
    std::optional<ProcessID> ownProcessID;
    // Receives the paste diagnostics of the panel ("remembered pid=…"), without prefix. The
    // shell's writer prefixes and prints them; nothing is printed without a sink.
    std::function<void(const std::string&)> diagnostics;
    // The update manager's choice sheet.
    ShelfUpdateChoice updateChoice;
    // The visible frame of the screen the shelf goes on, in place of the real screens' (tests).
    std::function<std::optional<QRectF>()> visibleFrameOverride;
};

// Owner of the shelf panel for the life of the process: builds the window and its root view,
// places it at the chosen screen edge, handles the shelf's keys, runs the auto-hide countdown,
// and captures the paste target (the application, focused element and window the user came
// from) when the shelf opens. Main thread only.
class ShelfPanelController : public QObject {
    Q_OBJECT
public:
    using Options = ShelfPanelControllerOptions;

    static constexpr const char* kTargetCapturedSignalPath = "/com/brantlemoor/Pemberlow/qa";
    static constexpr const char* kTargetCapturedInterface = "com.brantlemoor.Pemberlow.qa";
    static constexpr const char* kTargetCapturedSignal = "targetCaptured";

    ShelfPanelController(HistoryStore& store, Workspace& workspace, Accessibility& accessibility, Clock& clock,
                         Options options = {}, QObject* parent = nullptr);
    ~ShelfPanelController() override;

    ShelfPanelController(const ShelfPanelController&) = delete;
    ShelfPanelController& operator=(const ShelfPanelController&) = delete;

    // ---- Paste target (remembered by this controller; forgotten by the application delegate
    // before it asks for permissions) ----------------------------------------------------------
    const RememberedPasteTarget& pasteTarget() const { return pasteTarget_; }
    void forgetPasteTarget() { pasteTarget_.forget(); }
    // Set by the paste engine while a paste runs; holds the shelf open.
    bool pasteTransactionIsActive() const { return pasteTransactionIsActive_; }
    void setPasteTransactionIsActive(bool active) { pasteTransactionIsActive_ = active; }
    // Focus restorations still to fail on purpose (paste tests).
    std::int64_t qaRemainingTransientFocusFailures() const { return qaRemainingTransientFocusFailures_; }
    void consumeQaTransientFocusFailure() {
        if (qaRemainingTransientFocusFailures_ > 0) --qaRemainingTransientFocusFailures_;
    }

    // ---- Window ---------------------------------------------------------------------------------
    ShelfPanel* panel() const { return panel_; }
    MainShelfView* mainView() const { return view_; }
    bool isVisible() const;
    bool hasAttachedSheet() const;
    // The screen under the pointer, else the panel's, the primary or the first; null without any.
    QScreen* preferredScreen() const;
    // Sizes and places the panel for the current placement and size mode.
    void applyPreferredSize();
    bool isApplyingPreferredFrame() const { return isApplyingPreferredFrame_; }
    void screenParametersDidChange();

    // ---- Showing and hiding --------------------------------------------------------------------
    // Opens the shelf (capturing the paste target first); false only without a panel window.
    bool show();
    // The hide-and-return sequence: cancel the countdown, order the panel out and re-activate
    // the application the user came from unless it has gone.
    void hideShelf();
    // Only orders the panel out (a direct paste activates its target itself).
    void orderOut();
    // Fixes the paste target to a running process (the "--paste-target-pid" argument).
    void setPasteTarget(ProcessID processIdentifier);
    // Observer of application activations while the shelf floats open.
    void applicationDidActivate(const std::optional<RunningApplication>& application);
    // Whether the focused element and window of the last remembered application are still
    // being read; `pasteTargetCaptured` is emitted when they arrive.
    bool isCapturingTarget() const { return captureInFlight_ > 0; }
    // Whether the shown shelf leaves the keyboard to the target until the capture ends.
    bool waitsForCaptureBeforeKeys() const { return activateWhenCaptured_; }

    // ---- Accessibility of the target (replies on the main thread; null when unavailable) ------
    void focusedElement(const RunningApplication& application, std::function<void(AXElement)> reply);
    void focusedWindow(const RunningApplication& application, std::function<void(AXElement)> reply);

    // ---- Auto-hide -----------------------------------------------------------------------------
    void restartAutoHideCountdown();
    void cancelAutoHideCountdown();
    std::uint64_t autoHideGeneration() const { return autoHideGeneration_; }
    std::int64_t menuTrackingDepth() const { return menuTrackingDepth_; }
    bool isAutoHideArmed() const { return autoHideTimer_.isPending(); }
    bool autoHideIsSuspended() const;
    // Platform events the countdown follows.
    void workspaceDidWake();
    void accessibilityDisplayOptionsDidChange();

    // ---- Keys ----------------------------------------------------------------------------------
    // The shelf's key table for a key press in the panel; true when it consumed the key.
    bool handleKeyEvent(QKeyEvent* event);

    // ---- Snapshot and shutdown -----------------------------------------------------------------
    // Writes a PNG of the attached sheet, or else of the shelf. Throws std::runtime_error when
    // the file cannot be written; anything else missing ends it quietly.
    void captureSnapshot(const QString& path);
    // Detaches from every event, notification and monitor; the panel stays as it is.
    void shutdown();

signals:
    // The focused element and window of a remembered application were read.
    void pasteTargetCaptured();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    // logind's PrepareForSleep: false when the machine woke.
    void prepareForSleep(bool sleeping);

private:
    void remember(const std::optional<RunningApplication>& application);
    void emitDiagnostic(const std::string& line) const;
    void postTargetCapturedNotification();
    void autoHideTimerDidFire(std::uint64_t generation);
    void finishCapturePart();
    // Reads the target's focused element.
    void captureFocus(const RunningApplication& application, std::uint64_t generation, int retries);
    // Gives the shown panel the keyboard, once the target's focus was read or the wait is over.
    void activatePanel();
    void watchScreen(QScreen* screen);
    bool isUserTyping() const;
    bool screenReaderEnabled() const;
    void menuDidBeginTracking();
    void menuDidEndTracking();
    void updateResizableEdges();
    void recordLiveSize();
    std::optional<QRectF> visibleFrame() const;
    bool launchArgument(const char* name) const;

    HistoryStore& store_;
    Workspace& workspace_;
    Accessibility& accessibility_;
    Clock& clock_;
    Options options_;
    ProcessID ownProcessID_;

    RememberedPasteTarget pasteTarget_;
    bool pasteTransactionIsActive_ = false;
    std::int64_t qaRemainingTransientFocusFailures_ = 0;

    QPointer<ShelfPanel> panel_;
    QPointer<MainShelfView> view_;

    ScheduledTask autoHideTimer_;
    std::uint64_t autoHideGeneration_ = 0;
    std::int64_t menuTrackingDepth_ = 0;
    bool isApplyingPreferredFrame_ = false;
    bool monitorsInstalled_ = false;
    std::optional<Workspace::ObserverID> activationObserver_;
    std::uint64_t captureGeneration_ = 0;
    int captureInFlight_ = 0;
    bool notifyWhenCaptured_ = false;
    bool activateWhenCaptured_ = false;
    ScheduledTask activationTimer_;
    ScheduledTask captureRetryTimer_;
    mutable std::optional<bool> screenReaderCache_;
    mutable Date screenReaderReadAt_{};
};

}  // namespace harbelle
