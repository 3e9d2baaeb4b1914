#include "support/FakeWorkspace.h"

namespace harbelle::testing {

std::optional<RunningApplication> FakeWorkspace::runningApplication(ProcessID pid) {
    for (const auto& app : running)
        if (app.processIdentifier == pid) return app;
    if (frontmost && frontmost->processIdentifier == pid) return frontmost;
    return std::nullopt;
}

bool FakeWorkspace::activate(ProcessID pid) {
    activations.push_back(pid);
    auto app = runningApplication(pid);
    if (!app) return false;
    bringToFront(app);
    return true;
}

bool FakeWorkspace::activateWindow(std::uint32_t window) {
    windowActivations.push_back(window);
    frontmostWindowID = window;
    return true;
}

Workspace::ObserverID FakeWorkspace::addActivationObserver(ActivationObserver observer) {
    const ObserverID id = next_++;
    observers_.emplace(id, std::move(observer));
    return id;
}

void FakeWorkspace::bringToFront(const std::optional<RunningApplication>& application) {
    frontmost = application;
    if (application && !runningApplication(application->processIdentifier.value_or(-1))) running.push_back(*application);
    auto copy = observers_;
    for (auto& [id, observer] : copy)
        if (observers_.count(id)) observer(frontmost);
}

}  // namespace harbelle::testing
