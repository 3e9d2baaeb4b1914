#include <gtest/gtest.h>

#include "platform/DesktopSettings.h"

namespace harbelle {
namespace {

TEST(DesktopSettingsTest, AccessibilitySettingsOfTheRunningDesktopWhenInstalled) {
    struct Case {
        const char* desktop;
        QStringList installed;
        std::optional<DesktopCommand> expected;
    };
    const DesktopCommand gnome{"gnome-control-center", {"universal-access"}};
    const Case cases[] = {
        {"ubuntu:GNOME", {"gnome-control-center"}, gnome},
        {"KDE", {"systemsettings5", "gnome-control-center"}, DesktopCommand{"systemsettings5", {"kcm_access"}}},
        {"XFCE", {"xfce4-accessibility-settings"}, DesktopCommand{"xfce4-accessibility-settings", {}}},
        // Another desktop's tool, or none at all, opens nothing.
        {"XFCE", {"gnome-control-center"}, std::nullopt},
        {"", {"gnome-control-center"}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desktop);
        EXPECT_EQ(accessibilitySettingsCommand(c.desktop, [&](const QString& p) { return c.installed.contains(p); }),
                  c.expected);
    }
}

}  // namespace
}  // namespace harbelle
