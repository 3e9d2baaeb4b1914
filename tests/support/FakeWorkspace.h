#pragma once

#include <map>
#include <vector>

#include "platform/Workspace.h"

namespace harbelle::testing {

// Scripted applications and windows.
class FakeWorkspace final : public Workspace {
public:
    std::optional<RunningApplication> frontmostApplication() override { return frontmost; }
    std::optional<std::uint32_t> frontmostWindow() override { return frontmostWindowID; }
    std::optional<RunningApplication> runningApplication(ProcessID pid) override;
    bool activate(ProcessID pid) override;
    bool activateWindow(std::uint32_t window) override;
    std::optional<ProcessID> clipboardOwnerProcess() override { return clipboardOwner; }
    bool screenReaderEnabled() override { return screenReader; }
    ObserverID addActivationObserver(ActivationObserver observer) override;
    void removeActivationObserver(ObserverID id) override { observers_.erase(id); }
    void pingWindow(std::uint32_t window, std::chrono::milliseconds, std::function<void(bool)> answered) override {
        pings.push_back(window);
        if (holdPings)
            heldPings.push_back(std::move(answered));
        else
            answered(windowsAnswer);
    }
    // Answers every ping held so far.
    void answerHeldPings(bool answer) {
        auto held = std::move(heldPings);
        heldPings.clear();
        for (auto& answered : held) answered(answer);
    }

    // Makes the application frontmost (and running) and tells the observers.
    void bringToFront(const std::optional<RunningApplication>& application);

    std::optional<RunningApplication> frontmost;
    std::optional<std::uint32_t> frontmostWindowID;
    std::vector<RunningApplication> running;
    std::optional<ProcessID> clipboardOwner;
    bool screenReader = false;
    std::vector<ProcessID> activations;          // activate() calls, in order
    std::vector<std::uint32_t> windowActivations;
    std::vector<std::uint32_t> pings;
    bool windowsAnswer = true;  // whether a pinged window's program runs
    bool holdPings = false;     // pings wait for answerHeldPings()
    std::vector<std::function<void(bool)>> heldPings;

private:
    std::map<ObserverID, ActivationObserver> observers_;
    ObserverID next_ = 1;
};

}  // namespace harbelle::testing
