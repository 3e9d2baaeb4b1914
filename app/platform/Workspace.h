#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace harbelle {

using ProcessID = std::int64_t;

// How an application shows itself: `regular` applications have ordinary windows in the task
// bar; `accessory` ones only panels, docks or windows kept out of the task bar.
enum class ActivationPolicy { regular, accessory, prohibited };

// A running application as the desktop shows it.
struct RunningApplication {
    std::optional<std::string> localizedName;
    // The window's class (WM_CLASS); stands in for a bundle identifier.
    std::optional<std::string> bundleIdentifier;
    std::optional<ProcessID> processIdentifier;
    ActivationPolicy activationPolicy = ActivationPolicy::regular;
    bool operator==(const RunningApplication&) const = default;
};

// True only when the application's process is `ownProcessID`; an application without a
// process id is never this program.
bool isThisProgram(const std::optional<RunningApplication>& application, ProcessID ownProcessID);

// Windows and running applications. Main thread only.
class Workspace {
public:
    using ObserverID = std::uint64_t;
    using ActivationObserver = std::function<void(const std::optional<RunningApplication>& frontmost)>;

    virtual ~Workspace() = default;

    // The application owning the active window, or nothing (no window manager, no window).
    virtual std::optional<RunningApplication> frontmostApplication() = 0;
    // The active window's id, or nothing.
    virtual std::optional<std::uint32_t> frontmostWindow() = 0;
    virtual std::optional<RunningApplication> runningApplication(ProcessID pid) = 0;
    // Asks the window manager to activate a window of the process. False when it has none.
    virtual bool activate(ProcessID pid) = 0;
    virtual bool activateWindow(std::uint32_t window) = 0;
    // The process owning the clipboard, when the display server can tell.
    virtual std::optional<ProcessID> clipboardOwnerProcess() = 0;
    // Whether a screen reader is running; false when that cannot be asked.
    virtual bool screenReaderEnabled() = 0;

    // Sends every key to `window`, one of this program's own, whichever window has the focus, until
    // releaseKeyboard() or for a second at most, so that nothing typed while it is coming to the
    // front goes elsewhere. False when the keyboard could not be held.
    virtual bool holdKeyboardFor(std::uint64_t window) {
        (void)window;
        return false;
    }
    virtual void releaseKeyboard() {}

    // Whether the program of `window` still runs its event loop: `answered(true)` once it shows
    // so, `answered(false)` when it has not within `within` (stopped or hung). A window that
    // cannot be asked counts as answering.
    virtual void pingWindow(std::uint32_t window, std::chrono::milliseconds within, std::function<void(bool)> answered) {
        (void)window;
        (void)within;
        answered(true);
    }

    // Called on the main thread after the active window changed.
    virtual ObserverID addActivationObserver(ActivationObserver observer) = 0;
    virtual void removeActivationObserver(ObserverID id) = 0;
};

}  // namespace harbelle
