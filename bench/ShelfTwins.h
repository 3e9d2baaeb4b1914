#pragma once

// The quiet desktop the shelf benchmarks run against: a fixed frontmost application and no
// accessibility, so opening the shelf and typing do nothing but the shelf's own work.
#include <optional>
#include <string>

#include "platform/Accessibility.h"
#include "platform/Workspace.h"

namespace harbelle::bench {

class QuietWorkspace final : public Workspace {
public:
    std::optional<RunningApplication> frontmostApplication() override {
        return RunningApplication{std::string("Editor"), std::string("gedit"), ProcessID(77)};
    }
    std::optional<std::uint32_t> frontmostWindow() override { return std::nullopt; }
    std::optional<RunningApplication> runningApplication(ProcessID) override { return std::nullopt; }
    bool activate(ProcessID) override { return false; }
    bool activateWindow(std::uint32_t) override { return false; }
    std::optional<ProcessID> clipboardOwnerProcess() override { return std::nullopt; }
    bool screenReaderEnabled() override { return false; }
    ObserverID addActivationObserver(ActivationObserver) override { return 1; }
    void removeActivationObserver(ObserverID) override {}
};

class NoAccessibility final : public Accessibility {
public:
    bool isAvailable() override { return false; }
    bool isTrusted() override { return false; }
    bool requestTrust() override { return false; }
    void focusedElement(std::int64_t, Milliseconds, QObject*, Reply<AXElement> reply) override {
        reply({AXStatus::notTrusted, nullptr});
    }
    void focusedWindow(std::int64_t, Milliseconds, QObject*, Reply<AXElement> reply) override {
        reply({AXStatus::notTrusted, nullptr});
    }
    void readElement(const AXElement&, Milliseconds, QObject*, Reply<ElementInfo> reply) override {
        reply({AXStatus::notTrusted, {}});
    }
    void setFocus(const AXElement&, Milliseconds, QObject*, Reply<bool> reply) override {
        reply({AXStatus::notTrusted, false});
    }
    void insertText(const AXElement&, const std::string&, Milliseconds, QObject*, StatusReply reply) override {
        reply(AXStatus::notTrusted);
    }
};

}  // namespace harbelle::bench
