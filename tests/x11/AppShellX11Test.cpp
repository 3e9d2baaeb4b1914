// The shell's global hot key on a real X server: the fallback when another client holds
// Shift+Super+V, and the toggle of the real program's shelf.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <cstdlib>
#include <string>

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

// A system tray (the freedesktop tray protocol) that starts when the test wants: it owns the
// tray selection, announces itself on the root window and records the icons asking to dock.
class TrayHost {
public:
    TrayHost() : connection_(xcb_connect(nullptr, &screenNumber_)) {
        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
        for (int k = 0; k < screenNumber_; ++k) xcb_screen_next(&screens);
        root_ = screens.data->root;
        window_ = xcb_generate_id(connection_);
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, root_, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        selection_ = atom("_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber_));
        opcode_ = atom("_NET_SYSTEM_TRAY_OPCODE");
        xcb_set_selection_owner(connection_, window_, selection_, XCB_CURRENT_TIME);

        xcb_client_message_event_t manager{};
        manager.response_type = XCB_CLIENT_MESSAGE;
        manager.format = 32;
        manager.window = root_;
        manager.type = atom("MANAGER");
        manager.data.data32[0] = XCB_CURRENT_TIME;
        manager.data.data32[1] = selection_;
        manager.data.data32[2] = window_;
        xcb_send_event(connection_, 0, root_, XCB_EVENT_MASK_STRUCTURE_NOTIFY, reinterpret_cast<const char*>(&manager));
        xcb_flush(connection_);
    }
    ~TrayHost() { xcb_disconnect(connection_); }

    bool ownsTray() {
        xcb_get_selection_owner_reply_t* reply =
            xcb_get_selection_owner_reply(connection_, xcb_get_selection_owner(connection_, selection_), nullptr);
        const bool owns = reply && reply->owner == window_;
        std::free(reply);
        return owns;
    }

    // Whether an icon asked to dock, waiting up to `timeoutMs`.
    bool receivesDockRequest(int timeoutMs) { return dockedIcon(timeoutMs) != XCB_NONE; }

    // The window of the next icon that asks to dock, waiting up to `timeoutMs`; none without.
    xcb_window_t dockedIcon(int timeoutMs) {
        xcb_window_t icon = XCB_NONE;
        (void)QTest::qWaitFor(
            [&] {
                while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
                    const auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
                    if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE && message->type == opcode_ &&
                        message->data.data32[1] == 0)
                        icon = message->data.data32[2];
                    std::free(event);
                }
                return icon != XCB_NONE;
            },
            timeoutMs);
        return icon;
    }

    // Docks the next icon as a panel of `colour` does: in the panel's window, at the top left of
    // the screen. False when no icon asked to dock.
    static constexpr int kInset = 8, kIcon = 22;  // the icon's own size
    bool dockInPanel(QRgb colour) {
        if (!ownsTray() || (icon_ = dockedIcon(10000)) == XCB_NONE) return false;
        const std::uint32_t values[] = {colour & 0xffffff, 1};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_ = xcb_generate_id(connection_), root_, 0, 0,
                          kIcon + 2 * kInset, kIcon + 2 * kInset, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_reparent_window(connection_, icon_, window_, kInset, kInset);
        for (xcb_window_t window : {window_, icon_}) xcb_map_window(connection_, window);
        return xcb_flush(connection_) > 0;
    }
    // Paints the panel in another colour, as a theme change does; the icon draws itself again.
    QImage repaintPanel(QRgb colour) {
        const std::uint32_t value = colour & 0xffffff;
        xcb_change_window_attributes(connection_, window_, XCB_CW_BACK_PIXEL, &value);
        for (xcb_window_t window : {window_, icon_}) xcb_clear_area(connection_, 1, window, 0, 0, 0, 0);
        xcb_flush(connection_);
        return QGuiApplication::primaryScreen()->grabWindow(window_).toImage();
    }
    // Another client holds the keyboard, as an open popup menu does.
    bool keyboardGrabbed() {
        auto* reply = xcb_grab_keyboard_reply(
            connection_, xcb_grab_keyboard(connection_, 0, root_, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
            nullptr);
        const bool grabbed = reply && reply->status == XCB_GRAB_STATUS_ALREADY_GRABBED;
        std::free(reply);
        xcb_ungrab_keyboard(connection_, XCB_CURRENT_TIME);  // ours, if we got it
        return xcb_flush(connection_) > 0 && grabbed;
    }

private:
    xcb_atom_t atom(const std::string& name) {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            connection_, xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
            nullptr);
        const xcb_atom_t value = reply ? reply->atom : XCB_NONE;
        std::free(reply);
        return value;
    }

    int screenNumber_ = 0;
    xcb_connection_t* connection_;
    xcb_window_t root_ = XCB_NONE;
    xcb_window_t window_ = XCB_NONE;
    xcb_atom_t selection_ = XCB_NONE;
    xcb_atom_t opcode_ = XCB_NONE;
    xcb_window_t icon_ = XCB_NONE;
};

// The share of the pixels where the icon drew anything on a panel of `colour` that stand out
// from it by the 3:1 contrast ratio a graphic needs.
double readableShare(const QImage& panel, QRgb colour) {
    auto luminance = [](QRgb c) {  // relative luminance, sRGB taken as gamma 2.2, plus the flare term
        return 0.2126 * std::pow(qRed(c) / 255.0, 2.2) + 0.7152 * std::pow(qGreen(c) / 255.0, 2.2) +
               0.0722 * std::pow(qBlue(c) / 255.0, 2.2) + 0.05;
    };
    int drawn = 0, readable = 0;
    for (int y = 0; y < panel.height(); ++y)
        for (int x = 0; x < panel.width(); ++x) {
            if (panel.pixel(x, y) == colour) continue;
            const double a = luminance(panel.pixel(x, y)), b = luminance(colour);
            drawn += 1;
            readable += std::max(a, b) / std::min(a, b) >= 3;
        }
    return drawn > 100 ? double(readable) / drawn : 0;
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
              std::optional<std::string>("Another program is using Shift+Super+V \u2014 Harbelle uses Alt+Super+V"));
    if (coordinator->statusItem()) {
        EXPECT_EQ(coordinator->statusItem()->toolTip(), QStringLiteral("Harbelle \u00b7 Alt+Super+V"));
    }

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

TEST(HarbelleProgramX11, ATrayStartedAfterTheProgramStillGetsItsIcon) {
    // At login the program can start before the desktop's tray does.
    HarbelleProcess harbelle;
    ASSERT_TRUE(harbelle.waitUntilRunning());
    TrayHost tray;
    ASSERT_TRUE(tray.ownsTray());
    EXPECT_TRUE(tray.receivesDockRequest(5000));
}

TEST(HarbelleProgramX11, TheTrayIconStandsOutOnALightAndOnADarkPanel) {
    TrayHost tray;
    HarbelleProcess harbelle(nullptr);
    ASSERT_TRUE(tray.dockInPanel(qRgb(0xf2, 0xf2, 0xf2)));
    for (QRgb panel : {qRgb(0xf2, 0xf2, 0xf2), qRgb(0x2b, 0x2b, 0x2b)}) {
        SCOPED_TRACE(qGray(panel) > 128 ? "light panel" : "dark panel");
        // Drawn on this panel: the panel shows through the icon's corner, and the mark is there.
        double share = 0;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                const QImage shown = tray.repaintPanel(panel);
                share = readableShare(shown, panel);
                return shown.pixel(TrayHost::kInset, TrayHost::kInset) == panel && share >= 0.25;
            },
            5000))
            << share * 100 << "% of the mark's pixels at 3:1";
    }
}

// The tray menu's Ctrl+N opens a new clip whose placeholder the first key typed replaces; the
// shelf answers Ctrl+N and Ctrl+Q as the menu shows them.
TEST(HarbelleProgramX11, TheMenuKeysActAndTypingReplacesTheNewClipPlaceholder) {
    TrayHost tray;
    HarbelleProcess harbelle(nullptr);
    ASSERT_TRUE(tray.dockInPanel(qRgb(0xf2, 0xf2, 0xf2)));
    ASSERT_TRUE(shelfHasKeyboard()) << "a new user's shelf opens at launch";
    const QString middle = QString::number(TrayHost::kInset + TrayHost::kIcon / 2);
    ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"),
                           {QStringLiteral("mousemove"), middle, middle, QStringLiteral("click"), QStringLiteral("3")}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return tray.keyboardGrabbed(); }, 5000)) << "the tray menu opens";
    for (const char* typed : {"hello", "world"}) {
        ASSERT_TRUE(pressKeys("ctrl+n"));
        ASSERT_TRUE(shelfHasKeyboard());
        ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"), {QStringLiteral("type"), QString::fromLatin1(typed)}));
        ASSERT_TRUE(pressKeys("ctrl+Return"));
        EXPECT_TRUE(harbelle.waitUntilSaved(QString::fromLatin1(typed), HarbelleProcess::Saved::asNewest));
    }
    ASSERT_TRUE(pressKeys("ctrl+q"));
    ASSERT_TRUE(harbelle.process().waitForFinished(5000)) << "Ctrl+Q in the shelf quits";
    EXPECT_EQ(harbelle.process().exitStatus(), QProcess::NormalExit);
}

}  // namespace
}  // namespace harbelle::testing
