#pragma once

#include <cstdint>
#include <optional>

#include "platform/Accessibility.h"
#include "platform/Workspace.h"
#include "shell/PasteEngineHost.h"

namespace harbelle {

// Where a paste goes: the application the user came from, its focused element and window and
// the display server's active window, remembered when the shelf opens or fixed to a process by
// "--paste-target-pid". The application to return to when the shelf hides outlives `forget`.
class RememberedPasteTarget {
public:
    // A new target; its focused element and window follow once they are read.
    void remember(const RunningApplication& application, std::optional<std::uint32_t> nativeWindow) {
        application_ = application;
        returnApplication_ = application;
        focusedElement_.reset();
        focusedWindow_.reset();
        nativeWindow_ = nativeWindow;
    }
    void setFocusedElement(AXElement element) { focusedElement_ = std::move(element); }
    void setFocusedWindow(AXElement window) { focusedWindow_ = std::move(window); }
    // Opening the shelf no longer replaces the target.
    void markExplicit() { explicit_ = true; }
    // Drops the target and its explicitness (the user leaves to grant permissions).
    void forget() {
        explicit_ = false;
        application_.reset();
        focusedElement_.reset();
        focusedWindow_.reset();
        nativeWindow_.reset();
    }

    bool isExplicit() const { return explicit_; }
    const std::optional<RunningApplication>& application() const { return application_; }
    const std::optional<RunningApplication>& returnApplication() const { return returnApplication_; }
    const AXElement& focusedElement() const { return focusedElement_; }
    const AXElement& focusedWindow() const { return focusedWindow_; }
    std::optional<std::uint32_t> nativeWindow() const { return nativeWindow_; }

    // What the paste engine works with; nothing without an application.
    std::optional<PasteTarget> pasteTarget() const {
        if (!application_) return std::nullopt;
        PasteTarget target;
        target.application = *application_;
        target.focusedElement = focusedElement_;
        target.focusedWindow = focusedWindow_;
        target.nativeWindow = nativeWindow_;
        return target;
    }

private:
    std::optional<RunningApplication> application_;
    std::optional<RunningApplication> returnApplication_;
    AXElement focusedElement_;
    AXElement focusedWindow_;
    std::optional<std::uint32_t> nativeWindow_;
    bool explicit_ = false;
};

}  // namespace harbelle
