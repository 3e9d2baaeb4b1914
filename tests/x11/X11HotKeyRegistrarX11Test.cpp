#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QLineEdit>
#include <QMenu>
#include <QWidget>
#include <chrono>
#include <optional>
#include <thread>

#include "TextFieldProcess.h"
#include "platform/linux/LinuxWorkspace.h"
#include "platform/linux/X11HotKeyRegistrar.h"
#include "platform/linux/X11Keyboard.h"

using namespace harbelle;
using harbelle::testing::runQuietly;
using harbelle::testing::TextFieldProcess;

namespace {

// Another X client that grabs keys on the root window, as another application would.
class OtherClient {
public:
    OtherClient() : connection_(xcb_connect(nullptr, nullptr)), keyboard_(connection_) {
        root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    }
    ~OtherClient() { xcb_disconnect(connection_); }
    // Grabs V with the given modifiers and lock variant; returns the X error code, 0 on success.
    int grab(KeyModifiers modifiers, std::uint16_t lockBits) {
        const auto masks = keyboard_.modifierMasks();
        const std::uint16_t mask = *x11::toX11Mask(modifiers, masks) | lockBits;
        const std::uint8_t keycode = keyboard_.keycodesFor(x11::keysym::v).front();
        xcb_generic_error_t* error = xcb_request_check(
            connection_, xcb_grab_key_checked(connection_, 1, root_, mask, keycode, XCB_GRAB_MODE_ASYNC,
                                              XCB_GRAB_MODE_ASYNC));
        const int code = error ? error->error_code : 0;
        std::free(error);
        return code;
    }
    std::uint16_t numLockMask() const { return keyboard_.modifierMasks().numLock; }

private:
    xcb_connection_t* connection_;
    x11::X11Keyboard keyboard_;
    xcb_window_t root_;
};

}  // namespace

TEST(X11HotKeyRegistrar, ShiftSuperVFiresTheHandler) {
    X11HotKeyRegistrar registrar;
    int presses = 0;
    const HotKeyResult result = registrar.registerHotKey(HotKeyCombination::shiftCommandV(), [&] { ++presses; });
    ASSERT_TRUE(result.ok()) << result.error().description();

    ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("shift+super+v")}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return presses == 1; }, 3000));
    // Another combination of the same key does not.
    ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("alt+super+v")}));
    QTest::qWait(200);
    EXPECT_EQ(presses, 1);
    ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("shift+super+v")}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return presses == 2; }, 3000)) << "the hot key still fires";

    // With CapsLock, NumLock or both on, and while this program holds the keyboard.
    LinuxWorkspace workspace;
    QWidget window;
    window.show();
    const struct {
        const char* locks;
        bool held;
    } cases[] = {{"Caps_Lock", false}, {"Num_Lock", false}, {"Caps_Lock Num_Lock", false}, {"", true}};
    for (const auto& [locks, held] : cases) {
        SCOPED_TRACE(locks);
        const QStringList toggles = QString::fromLatin1(locks).split(' ', Qt::SkipEmptyParts);
        if (!toggles.isEmpty()) {
            ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"), QStringList{"key"} + toggles));
        }
        if (held) {
            ASSERT_TRUE(workspace.holdKeyboardFor(window.winId()));
        }
        const int before = presses;
        ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("shift+super+v")}));
        EXPECT_TRUE(QTest::qWaitFor([&] { return presses == before + 1; }, 3000));
        if (held) workspace.releaseKeyboard();
        if (!toggles.isEmpty()) {
            ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"), QStringList{"key"} + toggles));
        }
    }

    registrar.unregisterHotKey(result.id());
    // Freed: another client can take it now.
    OtherClient other;
    EXPECT_EQ(other.grab(ShiftModifier | SuperModifier, 0), 0);
}

TEST(X11HotKeyRegistrar, CombinationHeldElsewhereFailsAndLeavesNothing) {
    OtherClient holder;
    const std::uint16_t numLock = holder.numLockMask();
    ASSERT_NE(numLock, 0);
    // The other client holds only the NumLock variant, so our first variants succeed before
    // the refusal and must be released again.
    ASSERT_EQ(holder.grab(ShiftModifier | SuperModifier, numLock), 0);

    X11HotKeyRegistrar registrar;
    const HotKeyResult refused = registrar.registerHotKey(HotKeyCombination::shiftCommandV(), [] {});
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, HotKeyError::Kind::registrationFailed);
    EXPECT_EQ(refused.error().status, 10);  // BadAccess

    OtherClient third;
    EXPECT_EQ(third.grab(ShiftModifier | SuperModifier, 0), 0) << "the plain variant was left grabbed";
    EXPECT_EQ(third.grab(ShiftModifier | SuperModifier, x11::lockMask), 0) << "the Lock variant was left grabbed";

    // The fallback combination is free, once.
    const HotKeyResult fallback = registrar.registerHotKey(HotKeyCombination::optionCommandV(), [] {});
    EXPECT_TRUE(fallback.ok());
    const HotKeyResult twice = registrar.registerHotKey(HotKeyCombination::optionCommandV(), [] {});
    ASSERT_FALSE(twice.ok());
    EXPECT_EQ(twice.error().status, 10);
}

// The hot key holds the keys typed after it until its handler has run; a handler that hangs the
// GUI thread (and never shows the shelf) still lets them go on to the field within a second.
TEST(X11HotKeyRegistrar, KeysTypedAfterTheHotKeyReachTheFieldWhileTheHandlerHangs) {
    TextFieldProcess gtk({QStringLiteral("--text"), QString()}, harbelle::testing::gtkFieldCommand());
    ASSERT_TRUE(gtk.waitForWindow() && gtk.activate()) << "python3-gi with GTK 3 is needed";
    X11HotKeyRegistrar registrar;
    bool ran = false;
    bool typedWhileHung = false;
    const HotKeyResult result = registrar.registerHotKey(HotKeyCombination::shiftCommandV(), [&] {
        ran = true;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!typedWhileHung && std::chrono::steady_clock::now() < until) {
            typedWhileHung = gtk.content().startsWith(QLatin1Char('a'));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    ASSERT_TRUE(result.ok()) << result.error().description();
    ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("--delay"),
                                                       QStringLiteral("0"), QStringLiteral("shift+super+v"),
                                                       QStringLiteral("a")}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ran; }, 5000));
    EXPECT_TRUE(typedWhileHung) << gtk.content().toStdString();
}

// A menu opened by key right after the hot key, while the keyboard is held for its window, has
// the keys once the hold is over, though the window manager gave that window no focus.
TEST(X11HotKeyRegistrar, AMenuOpenedByKeyRightAfterTheHotKeyKeepsTheKeysAfterTheHold) {
    TextFieldProcess gtk({QStringLiteral("--text"), QString()}, harbelle::testing::gtkFieldCommand());
    ASSERT_TRUE(gtk.waitForWindow() && gtk.activate()) << "python3-gi with GTK 3 is needed";
    QWidget window;
    window.setAttribute(Qt::WA_ShowWithoutActivating);
    window.setContextMenuPolicy(Qt::CustomContextMenu);
    QMenu menu;
    bool picked = false;
    QObject::connect(menu.addAction(QStringLiteral("Pick")), &QAction::triggered, [&] { picked = true; });
    QObject::connect(&window, &QWidget::customContextMenuRequested,
                     [&](const QPoint& at) { menu.popup(window.mapToGlobal(at)); });
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    LinuxWorkspace workspace;
    X11HotKeyRegistrar registrar;
    const HotKeyResult result = registrar.registerHotKey(HotKeyCombination::shiftCommandV(),
                                                         [&] { workspace.holdKeyboardFor(window.winId()); });
    ASSERT_TRUE(result.ok()) << result.error().description();
    ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("--delay"),
                                                       QStringLiteral("0"), QStringLiteral("shift+super+v"),
                                                       QStringLiteral("Menu")}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return menu.isVisible(); }, 5000));
    workspace.releaseKeyboard();
    ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Down"), QStringLiteral("Return")}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return picked; }, 5000)) << "the field has " << gtk.content().toStdString();
}

// A key typed just before the hot key acts before the hot key's handler runs, also when both
// wait for a busy GUI thread.
TEST(X11HotKeyRegistrar, AKeyTypedJustBeforeTheHotKeyActsFirst) {
    QLineEdit field;
    field.show();
    field.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&field));
    X11HotKeyRegistrar registrar;
    std::optional<QString> seen;
    const HotKeyResult result =
        registrar.registerHotKey(HotKeyCombination::shiftCommandV(), [&] { seen = field.text(); });
    ASSERT_TRUE(result.ok()) << result.error().description();
    for (const char* typed : {"a", "ab", "abc"}) {
        seen.reset();
        // xdotool runs while the GUI thread waits for it.
        ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"),
                               {QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("0"),
                                QString::fromLatin1(typed).right(1), QStringLiteral("shift+super+v")}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return seen.has_value(); }, 5000));
        EXPECT_EQ(seen->toStdString(), typed);
    }
}
