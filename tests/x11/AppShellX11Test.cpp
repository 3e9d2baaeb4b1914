// The shell's global hot key on a real X server: the fallback when another client holds
// Shift+Super+V, and the toggle of the real program's shelf.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "TextFieldProcess.h"
#include "platform/linux/X11HotKeyRegistrar.h"
#include "platform/linux/X11Keyboard.h"
#include "shell/AppCoordinatorTestSupport.h"
#include "shell/StatusItem.h"

namespace harbelle::testing {
namespace {

// Another X client holding Shift+Super+V in every lock variant, as another application would.
class ShortcutHolder {
public:
    ShortcutHolder() : connection_(xcb_connect(nullptr, nullptr)), keyboard_(connection_) {
        root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
        const auto masks = keyboard_.modifierMasks();
        const std::uint16_t base = *x11::toX11Mask(ShiftModifier | SuperModifier, masks);
        const std::uint8_t keycode = keyboard_.keycodesFor(x11::keysym::v).front();
        for (std::uint16_t locks : {std::uint16_t(0), x11::lockMask, masks.numLock,
                                    std::uint16_t(x11::lockMask | masks.numLock)}) {
            xcb_generic_error_t* error = xcb_request_check(
                connection_, xcb_grab_key_checked(connection_, 1, root_, base | locks, keycode, XCB_GRAB_MODE_ASYNC,
                                                  XCB_GRAB_MODE_ASYNC));
            if (error) held_ = false;
            std::free(error);
        }
    }
    ~ShortcutHolder() { xcb_disconnect(connection_); }
    bool holds() const { return held_; }

private:
    xcb_connection_t* connection_;
    x11::X11Keyboard keyboard_;
    xcb_window_t root_;
    bool held_ = true;
};

bool shelfWindowVisible() {
    QProcess search;
    search.start(QStringLiteral("xdotool"),
                 {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                  QStringLiteral("^Harbelle$")});
    search.waitForFinished(5000);
    return search.exitCode() == 0 && !search.readAllStandardOutput().trimmed().isEmpty();
}

bool pressKeys(const char* keys) {
    return runQuietly(QStringLiteral("xdotool"), {QStringLiteral("key"), QString::fromLatin1(keys)});
}

// The delegate in this process with the real hot-key layer; the rest are twins.
class AppShellX11Test : public AppCoordinatorFixture {
protected:
    X11HotKeyRegistrar x11HotKeys;

    void launchWithRealHotKeys() {
        defaults.setBool(AppCoordinator::kHasLaunchedKey, true);
        defaults.setBool("pasteDirectly", false);
        AppCoordinatorDependencies d = dependencies({});
        d.hotKeyRegistrar = &x11HotKeys;
        coordinator = std::make_unique<AppCoordinator>(std::move(d));
        coordinator->applicationDidFinishLaunching();
    }
};

TEST_F(AppShellX11Test, AHeldShiftSuperVMakesTheShellUseAltSuperV) {
    ShortcutHolder holder;
    ASSERT_TRUE(holder.holds());
    launchWithRealHotKeys();

    EXPECT_EQ(store().globalShortcutLabel(), "\u2325\u2318V");
    EXPECT_EQ(store().toastMessage(),
              std::optional<std::string>("Paste is using \u21e7\u2318V \u2014 Harbelle uses \u2325\u2318V"));
    if (coordinator->statusItem())
        EXPECT_EQ(coordinator->statusItem()->toolTip(), QStringLiteral("Harbelle \u00b7 Option-Command-V"));

    ASSERT_TRUE(pressKeys("alt+super+v"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel().isVisible(); }, 3000));
    ASSERT_TRUE(pressKeys("alt+super+v"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !panel().isVisible(); }, 3000));
}

TEST_F(AppShellX11Test, TheShellTakesShiftSuperVWhenItIsFree) {
    launchWithRealHotKeys();
    EXPECT_EQ(store().globalShortcutLabel(), "\u21e7\u2318V");
    EXPECT_FALSE(store().toastMessage().has_value());
    ASSERT_TRUE(pressKeys("shift+super+v"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel().isVisible(); }, 3000));
}

// The real program in the session, with folders of its own.
class HarbelleProcess {
public:
    HarbelleProcess() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
            const QString folder = dir_.filePath(QString::fromLatin1(name));
            QDir().mkpath(folder);
            env.insert(QString::fromLatin1(name), folder);
        }
        // A later launch with copying only: no sheet and no shelf at launch.
        QFile settings(dir_.filePath(QStringLiteral("XDG_CONFIG_HOME/com.harbelleapp.Harbelle.json")));
        if (settings.open(QIODevice::WriteOnly)) settings.write(R"({"hasLaunchedPemberlow": true, "pasteDirectly": false})");
        settings.close();
        process_.setProcessEnvironment(env);
        process_.setStandardOutputFile(QProcess::nullDevice());
        process_.setStandardErrorFile(QProcess::nullDevice());
        process_.start(QStringLiteral(HARBELLE_BINARY), {});
    }
    ~HarbelleProcess() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(2000);
        }
    }
    // Start-up has built the store (and registered the hot key just after).
    bool waitUntilRunning() {
        const bool built = QTest::qWaitFor(
            [&] { return QDir(dir_.filePath(QStringLiteral("XDG_DATA_HOME/Pemberlow"))).exists(); }, 10000);
        QTest::qWait(300);
        return built && process_.state() == QProcess::Running;
    }
    QProcess& process() { return process_; }
    QString historyFile() const { return dir_.filePath(QStringLiteral("XDG_DATA_HOME/Pemberlow/history.json")); }

private:
    QTemporaryDir dir_;
    QProcess process_;
};

TEST(HarbelleProgramX11, ShiftSuperVTogglesTheShelfWindow) {
    HarbelleProcess harbelle;
    ASSERT_TRUE(harbelle.waitUntilRunning());
    EXPECT_FALSE(shelfWindowVisible());

    ASSERT_TRUE(pressKeys("shift+super+v"));
    EXPECT_TRUE(QTest::qWaitFor([] { return shelfWindowVisible(); }, 5000));
    ASSERT_TRUE(pressKeys("shift+super+v"));
    EXPECT_TRUE(QTest::qWaitFor([] { return !shelfWindowVisible(); }, 5000));

    // Quitting by signal goes through the same steps as the Quit item.
    harbelle.process().terminate();
    ASSERT_TRUE(harbelle.process().waitForFinished(5000));
    EXPECT_EQ(harbelle.process().exitStatus(), QProcess::NormalExit);
    EXPECT_TRUE(QFile::exists(harbelle.historyFile()));
}

TEST(HarbelleProgramX11, WithShiftSuperVHeldTheProgramAnswersAltSuperV) {
    ShortcutHolder holder;
    ASSERT_TRUE(holder.holds());
    HarbelleProcess harbelle;
    ASSERT_TRUE(harbelle.waitUntilRunning());

    ASSERT_TRUE(pressKeys("shift+super+v"));
    QTest::qWait(500);
    EXPECT_FALSE(shelfWindowVisible()) << "the other client has Shift+Super+V";
    ASSERT_TRUE(pressKeys("alt+super+v"));
    EXPECT_TRUE(QTest::qWaitFor([] { return shelfWindowVisible(); }, 5000));
}

}  // namespace
}  // namespace harbelle::testing
