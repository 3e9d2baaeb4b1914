// The shell's global hot key on a real X server: the fallback when another client holds
// Shift+Super+V, and the toggle of the real program's shelf.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "HarbelleProcess.h"
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
