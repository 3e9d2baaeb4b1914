#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <future>
#include <optional>
#include <string>

#include "AccessibilityBus.h"
#include "HarbelleProcess.h"
#include "ScreenReader.h"

namespace harbelle::testing {
namespace {

QJsonObject settingsOf(const HarbelleProcess& program) {
    QFile file(program.path(QStringLiteral("XDG_CONFIG_HOME/com.harbelleapp.Harbelle.json")));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

bool settingsWindowShown() {
    QProcess search;
    search.start(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                             QStringLiteral("--name"), QStringLiteral("^Harbelle Settings$")});
    search.waitForFinished(5000);
    return search.exitCode() == 0 && !search.readAllStandardOutput().trimmed().isEmpty();
}

const QStringList kShowSettings = {QStringLiteral("--show-settings")};

TEST(SettingsWindowX11, ChangesMadeThroughTheWindowAreSavedAndShownAfterARestart) {
    // A new user on an ordinary desktop: no settings file, accessibility switched off.
    AccessibilityBusSwitch bus(false);
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    AccessibleLaunch accessible;
    HarbelleProcess first(nullptr, kShowSettings);
    ASSERT_TRUE(first.waitUntilRunning()) << first.errorOutput().toStdString();
    ASSERT_TRUE(QTest::qWaitFor(settingsWindowShown, 10000));
    ScreenReader reader(first.process().processId());

    // The first-run sheet on the shelf asks first: the user keeps to copying.
    ASSERT_TRUE(QTest::qWaitFor([] { return shelfWindowVisible(); }, 10000)) << "a new user meets the set-up sheet";
    const std::string copyOnly = "Use History in Copy-Only Mode";
    ASSERT_TRUE(QTest::qWaitFor([&] { return reader.use(ATSPI_ROLE_PUSH_BUTTON, copyOnly).has_value(); }, 10000));
    ASSERT_TRUE(reader.use(ATSPI_ROLE_PUSH_BUTTON, copyOnly, "Press"));
    ASSERT_TRUE(QTest::qWaitFor([] { return !shelfWindowVisible(); }, 5000)) << "the sheet's choice closes the shelf";
    ASSERT_TRUE(QTest::qWaitFor(settingsWindowShown, 5000)) << "the settings window stays";
    ASSERT_TRUE(QTest::qWaitFor([&] { return reader.use(ATSPI_ROLE_CHECK_BOX, "Always paste as plain text").has_value(); },
                                10000));

    // A click through the accessibility tree, as an assistive tool makes it.
    auto plain = reader.use(ATSPI_ROLE_CHECK_BOX, "Always paste as plain text", "Toggle");
    ASSERT_TRUE(plain);
    // The history size: the choice box opens, and the user steps to the next entry with the keyboard.
    // A choice box is named after its current entry; the page has only this one.
    auto size = reader.use(ATSPI_ROLE_COMBO_BOX, "", "Press");
    ASSERT_TRUE(size) << "no choice box";
    QTest::qWait(300);
    ASSERT_TRUE(pressKeys("Down"));
    ASSERT_TRUE(pressKeys("Return"));

    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const QJsonObject s = settingsOf(first);
            return s.value("alwaysPastePlainText").toBool() && s.value("maxHistory").toInt() == 2500;
        },
        10000))
        << QJsonDocument(settingsOf(first)).toJson().toStdString();
    first.process().terminate();  // SIGTERM
    ASSERT_TRUE(first.process().waitForFinished(10000));
    const QJsonObject saved = settingsOf(first);

    // Relaunched, the window shows what was saved and, untouched, changes no setting.
    HarbelleProcess second(first, kShowSettings);
    ASSERT_TRUE(second.waitUntilRunning());
    ASSERT_TRUE(QTest::qWaitFor(settingsWindowShown, 10000));
    ScreenReader again(second.process().processId());
    std::optional<Control> shown;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (shown = again.use(ATSPI_ROLE_CHECK_BOX, "Always paste as plain text")).has_value(); }, 10000));
    EXPECT_TRUE(shown->checked);
    auto shownSize = again.use(ATSPI_ROLE_COMBO_BOX, "");
    ASSERT_TRUE(shownSize);
    EXPECT_EQ(shownSize->name, "2,500");
    QTest::qWait(500);
    second.process().terminate();
    ASSERT_TRUE(second.process().waitForFinished(10000));

    const QJsonObject after = settingsOf(first);
    for (const QString& key : saved.keys() + after.keys()) {
        // The launch's own records: that it ran, and this computer's identity made on first need.
        if (key == "hasLaunchedPemberlow" || key == "harbelle.clipSourceDeviceID.v1") continue;
        EXPECT_EQ(QJsonDocument(QJsonObject{{key, saved.value(key)}}).toJson(QJsonDocument::Compact).toStdString(),
                  QJsonDocument(QJsonObject{{key, after.value(key)}}).toJson(QJsonDocument::Compact).toStdString());
    }
}

// Demo and picture runs draw the settings window but leave the user's settings file as it was.
TEST(SettingsWindowX11, DemoAndPictureRunsLeaveTheSettingsFileAlone) {
    const QStringList runs[] = {{"--demo", "--show-settings", "--snapshot"}, {"--show-settings", "--snapshot"}};
    for (const QStringList& arguments : runs) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        HarbelleProcess program(HarbelleProcess::kCopyOnlySettings, {}, false);
        QFile file(program.path(QStringLiteral("XDG_CONFIG_HOME/com.harbelleapp.Harbelle.json")));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();
        const QString picture = program.path(QStringLiteral("settings.png"));
        program.start(arguments + QStringList{picture});
        ASSERT_TRUE(program.process().waitForFinished(30000)) << program.errorOutput().toStdString();
        EXPECT_TRUE(QFile::exists(picture));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll().toStdString(), before.toStdString());
    }
}

}  // namespace
}  // namespace harbelle::testing
