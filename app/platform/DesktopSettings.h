#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace harbelle {

// A program of the desktop, with its arguments.
struct DesktopCommand {
    QString program;
    QStringList arguments;
    bool operator==(const DesktopCommand&) const = default;
};

// The accessibility settings of the running desktop: `currentDesktop` as XDG_CURRENT_DESKTOP
// gives it (names separated by colons, the most specific first), `installed` whether a program
// is on the PATH. None for a desktop without such settings (a bare window manager) or whose
// settings program is not installed: another desktop's tool would not switch on this one's.
std::optional<DesktopCommand> accessibilitySettingsCommand(const QString& currentDesktop,
                                                           const std::function<bool(const QString&)>& installed);
// The same for this session's desktop and PATH.
std::optional<DesktopCommand> accessibilitySettingsCommand();

}  // namespace harbelle
