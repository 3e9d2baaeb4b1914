#include <gtest/gtest.h>

#include <atspi/atspi.h>

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

namespace harbelle::testing {
namespace {

// What a screen reader sees of one control.
struct Control {
    bool found = false;
    bool checked = false;
    std::string name;
    std::string text;  // the shown text, for a choice box its current entry
    std::vector<std::string> actions;
};

// Walks the program's accessibility tree for the first element with `role` and `name`. Runs
// on a thread of its own: AT-SPI calls block on the bus.
class ScreenReader {
public:
    explicit ScreenReader(qint64 pid) : pid_(pid) {}

    // Reads the control (the first of its role when `name` is empty), optionally doing the named action on it first.
    std::optional<Control> use(AtspiRole role, const std::string& name, const std::string& action = {}) {
        return std::async(std::launch::async, [=, this] { return useNow(role, name, action); }).get();
    }

private:
    std::optional<Control> useNow(AtspiRole role, const std::string& name, const std::string& action) {
        atspi_init();
        AtspiAccessible* desktop = atspi_get_desktop(0);
        std::optional<Control> result;
        const int apps = atspi_accessible_get_child_count(desktop, nullptr);
        for (int i = 0; i < apps && !result; ++i) {
            AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, nullptr);
            if (!app) continue;
            if (atspi_accessible_get_process_id(app, nullptr) == static_cast<guint>(pid_))
                result = search(app, role, name, action, 0);
            g_object_unref(app);
        }
        g_object_unref(desktop);
        return result;
    }

    std::optional<Control> search(AtspiAccessible* node, AtspiRole role, const std::string& name,
                                  const std::string& action, int depth) {
        if (depth > 40) return std::nullopt;
        gchar* nodeName = atspi_accessible_get_name(node, nullptr);
        const std::string own = nodeName ? nodeName : "";
        g_free(nodeName);
        if (atspi_accessible_get_role(node, nullptr) == role && (name.empty() || own == name)) {
            auto control = read(node, action);
            control->name = own;
            return control;
        }
        const int children = atspi_accessible_get_child_count(node, nullptr);
        for (int i = 0; i < children; ++i) {
            AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, nullptr);
            if (!child) continue;
            auto found = search(child, role, name, action, depth + 1);
            g_object_unref(child);
            if (found) return found;
        }
        return std::nullopt;
    }

    static std::optional<Control> read(AtspiAccessible* node, const std::string& action) {
        Control control;
        control.found = true;
        AtspiStateSet* states = atspi_accessible_get_state_set(node);
        control.checked = atspi_state_set_contains(states, ATSPI_STATE_CHECKED);
        g_object_unref(states);
        if (AtspiText* text = atspi_accessible_get_text_iface(node)) {
            gchar* shown = atspi_text_get_text(text, 0, -1, nullptr);
            control.text = shown ? shown : "";
            g_free(shown);
            g_object_unref(text);
        }
        if (AtspiAction* actions = atspi_accessible_get_action_iface(node)) {
            const int count = atspi_action_get_n_actions(actions, nullptr);
            for (int i = 0; i < count; ++i) {
                gchar* actionName = atspi_action_get_action_name(actions, i, nullptr);
                control.actions.push_back(actionName ? actionName : "");
                g_free(actionName);
                if (!action.empty() && control.actions.back() == action) atspi_action_do_action(actions, i, nullptr);
            }
            g_object_unref(actions);
        }
        return control;
    }

    qint64 pid_;
};

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

// The program as a user starts it with the settings open, visible to screen readers.
struct AccessibleLaunch {
    AccessibleLaunch() { qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1"); }
    ~AccessibleLaunch() { qunsetenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"); }
};

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
    ASSERT_TRUE(settingsWindowShown());
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
