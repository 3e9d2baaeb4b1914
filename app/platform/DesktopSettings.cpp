#include "platform/DesktopSettings.h"

#include <QStandardPaths>

namespace harbelle {

std::optional<DesktopCommand> accessibilitySettingsCommand(const QString& currentDesktop,
                                                           const std::function<bool(const QString&)>& installed) {
    struct Entry {
        const char* desktop;
        DesktopCommand command;
    };
    // Several entries for a desktop: its versions' programs, newest first.
    static const Entry kTable[] = {
        {"GNOME", {"gnome-control-center", {"universal-access"}}},
        {"Unity", {"gnome-control-center", {"universal-access"}}},
        {"Budgie", {"budgie-control-center", {"universal-access"}}},
        {"X-Cinnamon", {"cinnamon-settings", {"universal-access"}}},
        {"Cinnamon", {"cinnamon-settings", {"universal-access"}}},
        {"KDE", {"systemsettings", {"kcm_access"}}},
        {"KDE", {"systemsettings5", {"kcm_access"}}},
        {"XFCE", {"xfce4-accessibility-settings", {}}},
        {"MATE", {"mate-at-properties", {}}},
    };
    for (const QString& name : currentDesktop.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        for (const Entry& entry : kTable) {
            if (name.compare(QLatin1String(entry.desktop), Qt::CaseInsensitive) == 0 && installed(entry.command.program))
                return entry.command;
        }
    }
    return std::nullopt;
}

std::optional<DesktopCommand> accessibilitySettingsCommand() {
    return accessibilitySettingsCommand(qEnvironmentVariable("XDG_CURRENT_DESKTOP"), [](const QString& program) {
        return !QStandardPaths::findExecutable(program).isEmpty();
    });
}

}  // namespace harbelle
