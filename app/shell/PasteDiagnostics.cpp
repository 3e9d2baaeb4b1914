#include "shell/PasteDiagnostics.h"

#include <cstdio>

namespace harbelle {

PasteDiagnostics::PasteDiagnostics(const LaunchArguments& arguments, Sink sink)
    : arguments_(arguments), sink_(std::move(sink)) {}

bool PasteDiagnostics::isEnabled() const { return arguments_.pasteDiagnostics(); }

void PasteDiagnostics::log(const std::string& message) const {
    if (!isEnabled()) return;
    const std::string text = line(message);
    if (sink_) {
        sink_(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace harbelle
