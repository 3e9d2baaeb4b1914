#pragma once

#include <functional>
#include <string>

#include "platform/KeyEventPoster.h"
#include "shell/LaunchArguments.h"

namespace harbelle {

// The paste engine's diagnostic lines: "[DirectPaste] " + message, written on standard output
// only when "--paste-diagnostics" is among the launch arguments (tested on every line).
class PasteDiagnostics {
public:
    using Sink = std::function<void(const std::string& line)>;
    static constexpr const char* kPrefix = "[DirectPaste] ";

    // Without a sink, lines go to standard output, flushed, each ended by a line feed.
    explicit PasteDiagnostics(const LaunchArguments& arguments, Sink sink = {});

    bool isEnabled() const;
    void log(const std::string& message) const;

    static std::string line(const std::string& message) { return kPrefix + message; }
    // The keys a paste sends, as the lines name them ("Ctrl+V").
    static const char* keys(PasteShortcut shortcut) {
        switch (shortcut) {
        case PasteShortcut::controlV: return "Ctrl+V";
        case PasteShortcut::controlShiftV: return "Ctrl+Shift+V";
        case PasteShortcut::shiftInsert: return "Shift+Insert";
        }
        return "Ctrl+V";
    }

private:
    const LaunchArguments& arguments_;
    Sink sink_;
};

}  // namespace harbelle
