#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>

#include "AccessibilityBus.h"
#include "HarbelleProcess.h"
#include "ScreenReader.h"
#include "history/HistoryCodec.h"
#include "settings/SettingsWindowController.h"
#include "support/ClipBuilder.h"

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
    ASSERT_TRUE(QTest::qWaitFor([&] { return popupShown(first.process().processId(), 40); }, 5000)) << "its list does not open";
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

// One wheel notch over the centre of `where`: 4 up, 5 down.
bool wheelOver(const QRect& where, int button) {
    return runQuietly(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QString::number(where.center().x()),
                                                  QString::number(where.center().y()), QStringLiteral("click"),
                                                  QString::number(button)});
}

// Turning the wheel over the page's middle (the delay slider) and over the history-size picker
// scrolls the page: no clip goes and no setting is written.
TEST(SettingsWindowX11, TheWheelScrollsThePageAndChangesNoSetting) {
    // A new user's desktop and program (no settings file; the limit is the default 1,000), with a
    // history of 900 clips already there.
    AccessibilityBusSwitch bus(false);
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    AccessibleLaunch accessible;
    HarbelleProcess program(nullptr, {}, false);
    PersistedHistory history{1, {}};
    for (int i = 0; i < 900; ++i)
        history.items.push_back(ClipBuilder("clip " + std::to_string(i)).fingerprint("text:" + std::to_string(i)));
    std::filesystem::create_directories(program.path(QStringLiteral("XDG_DATA_HOME/Pemberlow")).toStdString());
    std::ofstream(program.historyFile().toStdString(), std::ios::binary) << historycodec::encode(history);
    program.start(kShowSettings);
    ASSERT_TRUE(QTest::qWaitFor(settingsWindowShown, 15000)) << program.errorOutput().toStdString();
    const QString window = QString::number(visibleWindowsNamed(QStringLiteral("^Harbelle Settings$")).front());
    EXPECT_TRUE(runAndRead(QStringLiteral("xprop"), {QStringLiteral("-id"), window, QStringLiteral("_NET_WM_ICON")})
                    .contains(QStringLiteral("Icon"))) << "the window has the program's icon";
    ScreenReader reader(program.process().processId());
    ASSERT_TRUE(QTest::qWaitFor([&] { return reader.use(ATSPI_ROLE_COMBO_BOX, "").has_value(); }, 10000));
    const std::optional<Control> slider = reader.use(ATSPI_ROLE_SLIDER, "Automatic hide delay");
    ASSERT_TRUE(slider);
    const QJsonObject before = settingsOf(program);

    // Each notch moves the page, and the picker with it.
    int notch = 0;
    const auto pickerMoves = [&](const QRect& over, int button) {
        const int y = reader.use(ATSPI_ROLE_COMBO_BOX, "")->extents.y();
        return wheelOver(over, button) && QTest::qWaitFor(
            [&] {
                notch = reader.use(ATSPI_ROLE_COMBO_BOX, "")->extents.y() - y;
                return button == 4 ? notch > 0 : notch < 0;
            },
            5000);
    };
    ASSERT_TRUE(pickerMoves(slider->extents, 5)) << "the wheel over the slider scrolls the page";
    // On down until the picker shows with a notch of room under it in the pages' stack.
    std::optional<Control> picker;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            picker = reader.use(ATSPI_ROLE_COMBO_BOX, "");
            for (const auto& [role, rect] : picker->ancestors)
                if (role == "layered pane" && rect.bottom() - picker->extents.bottom() > -notch) return true;
            return !wheelOver(slider->extents, 5);
        },
        10000));
    EXPECT_TRUE(pickerMoves(picker->extents, 4)) << "the wheel over the picker scrolls the page";
    EXPECT_TRUE(pickerMoves(reader.use(ATSPI_ROLE_COMBO_BOX, "")->extents, 5));
    ASSERT_TRUE(program.stop());
    EXPECT_EQ(program.savedClips().size(), 900u);
    QJsonObject after = settingsOf(program);
    after.remove(QString::fromUtf8(SettingsWindowController::kFrameAutosaveName));
    EXPECT_EQ(QJsonDocument(after).toJson().toStdString(), QJsonDocument(before).toJson().toStdString());
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
