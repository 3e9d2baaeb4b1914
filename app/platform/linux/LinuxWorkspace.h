#pragma once

#include <memory>

#include "platform/Workspace.h"

namespace harbelle {

// EWMH on a private X connection: the active window's _NET_WM_PID and WM_CLASS, activation
// by a _NET_ACTIVE_WINDOW client message, and root property changes for activation events.
// The keyboard hold is the hot keys' client, which sends the held keys on to our window.
class AccessibilityBusStatus;

class LinuxWorkspace final : public Workspace {
public:
    LinuxWorkspace();
    ~LinuxWorkspace() override;

    std::optional<RunningApplication> frontmostApplication() override;
    std::optional<std::uint32_t> frontmostWindow() override;
    std::optional<RunningApplication> runningApplication(ProcessID pid) override;
    bool activate(ProcessID pid) override;
    bool activateWindow(std::uint32_t window) override;
    std::optional<ProcessID> clipboardOwnerProcess() override;
    bool screenReaderEnabled() override;
    bool holdKeyboardFor(std::uint64_t window) override;
    void releaseKeyboard() override;
    void pingWindow(std::uint32_t window, std::chrono::milliseconds within, std::function<void(bool)> answered) override;
    ObserverID addActivationObserver(ActivationObserver observer) override;
    void removeActivationObserver(ObserverID id) override;

    // The short process name the kernel keeps for a pid.
    static std::optional<std::string> processName(ProcessID pid);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    // Followed by signal: the paste path asks it and must not wait on D-Bus.
    std::unique_ptr<AccessibilityBusStatus> busStatus_;
};

}  // namespace harbelle
