// The shell's global hot key on a real X server: the fallback when another client holds
// Shift+Super+V, and the toggle of the real program's shelf.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
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

    // Shows the icon as a panel does: reparented into a panel window at the screen's top left,
    // at the panel's icon size, and told that it is embedded.
    static constexpr int kPanel = 40, kInset = 8, kIcon = 24;
    void embed(xcb_window_t icon, QRgb background) {
        icon_ = icon;
        panel_ = xcb_generate_id(connection_);
        const std::uint32_t values[] = {background & 0xffffff, 1};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, panel_, root_, 0, 0, kPanel, kPanel, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(connection_, panel_);
        xcb_change_save_set(connection_, XCB_SET_MODE_INSERT, icon);
        xcb_reparent_window(connection_, icon, panel_, kInset, kInset);
        const std::uint32_t size[] = {kIcon, kIcon};
        xcb_configure_window(connection_, icon, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
        xcb_map_window(connection_, icon);
        xcb_client_message_event_t embedded{};
        embedded.response_type = XCB_CLIENT_MESSAGE;
        embedded.format = 32;
        embedded.window = icon;
        embedded.type = atom("_XEMBED");
        embedded.data.data32[0] = XCB_CURRENT_TIME;  // [1] = 0: XEMBED_EMBEDDED_NOTIFY
        embedded.data.data32[3] = panel_;
        xcb_send_event(connection_, 0, icon, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&embedded));
        xcb_flush(connection_);
    }
    // Repaints the panel in another colour, as after a theme change.
    void setBackground(QRgb background) {
        const std::uint32_t value = background & 0xffffff;
        xcb_change_window_attributes(connection_, panel_, XCB_CW_BACK_PIXEL, &value);
        xcb_clear_area(connection_, 1, panel_, 0, 0, 0, 0);
        xcb_clear_area(connection_, 1, icon_, 0, 0, 0, 0);
        xcb_flush(connection_);
    }
    // Another client holds the keyboard, as an open popup menu does.
    bool keyboardGrabbed() {
        xcb_grab_keyboard_reply_t* reply = xcb_grab_keyboard_reply(
            connection_,
            xcb_grab_keyboard(connection_, 0, root_, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
            nullptr);
        const bool grabbed = reply && reply->status == XCB_GRAB_STATUS_ALREADY_GRABBED;
        if (reply && reply->status == XCB_GRAB_STATUS_SUCCESS) xcb_ungrab_keyboard(connection_, XCB_CURRENT_TIME);
        xcb_flush(connection_);
        std::free(reply);
        return grabbed;
    }
    // What the panel shows; null when it cannot be read.
    QImage panelImage() {
        xcb_get_image_reply_t* reply = xcb_get_image_reply(
            connection_, xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, panel_, 0, 0, kPanel, kPanel, ~0u),
            nullptr);
        QImage image;
        if (reply && xcb_get_image_data_length(reply) == kPanel * kPanel * 4)
            image = QImage(xcb_get_image_data(reply), kPanel, kPanel, QImage::Format_RGB32).copy();
        std::free(reply);
        return image;
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
    xcb_window_t panel_ = XCB_NONE;
    xcb_window_t icon_ = XCB_NONE;
};

// The contrast ratio of two colours, from 1 (alike) to 21 (black on white).
double contrast(QRgb a, QRgb b) {
    auto luminance = [](QRgb c) {
        auto channel = [](int v) {
            const double s = v / 255.0;
            return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The pixels of the panel that differ from its colour at all, and those that stand out from
// it by the 3:1 a graphic needs to be seen.
struct IconPixels {
    int drawn = 0;
    int readable = 0;
    double strongest = 1;
};
IconPixels iconPixels(const QImage& panel, QRgb background) {
    IconPixels pixels;
    for (int y = 0; y < panel.height(); ++y)
        for (int x = 0; x < panel.width(); ++x) {
            const QRgb pixel = panel.pixel(x, y);
            if ((pixel & 0xffffff) == (background & 0xffffff)) continue;
            const double ratio = contrast(pixel, background);
            ++pixels.drawn;
            if (ratio >= 3) ++pixels.readable;
            pixels.strongest = std::max(pixels.strongest, ratio);
        }
    return pixels;
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
    ASSERT_TRUE(tray.ownsTray());
    HarbelleProcess harbelle(nullptr);
    const xcb_window_t icon = tray.dockedIcon(10000);
    ASSERT_NE(icon, xcb_window_t(XCB_NONE));
    const struct {
        const char* name;
        QRgb colour;
    } panels[] = {{"light", qRgb(0xf2, 0xf2, 0xf2)}, {"dark", qRgb(0x2b, 0x2b, 0x2b)}};
    tray.embed(icon, panels[0].colour);
    for (const auto& panel : panels) {
        SCOPED_TRACE(panel.name);
        tray.setBackground(panel.colour);
        // Drawn on this panel: the icon's corner shows the panel through, and the mark is there.
        QImage shown;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                shown = tray.panelImage();
                return !shown.isNull() && shown.pixel(TrayHost::kInset, TrayHost::kInset) == panel.colour &&
                       iconPixels(shown, panel.colour).drawn > 100;
            },
            5000));
        const IconPixels pixels = iconPixels(shown, panel.colour);
        // A quarter of the mark's pixels at 3:1 or more draws its whole outline.
        EXPECT_GE(pixels.readable * 4, pixels.drawn)
            << pixels.readable << " of " << pixels.drawn << " pixels at 3:1; strongest " << pixels.strongest << ":1";
    }
}

// The tray menu's Ctrl+N opens a new clip whose placeholder the first key typed replaces; the
// shelf answers Ctrl+N and Ctrl+Q as the menu shows them.
TEST(HarbelleProgramX11, TheMenuKeysActAndTypingReplacesTheNewClipPlaceholder) {
    TrayHost tray;
    ASSERT_TRUE(tray.ownsTray());
    HarbelleProcess harbelle(nullptr);
    const xcb_window_t icon = tray.dockedIcon(10000);
    ASSERT_NE(icon, xcb_window_t(XCB_NONE));
    tray.embed(icon, qRgb(0xf2, 0xf2, 0xf2));
    ASSERT_TRUE(shelfHasKeyboard()) << "a new user's shelf opens at launch";

    const QString middle = QString::number(TrayHost::kInset + TrayHost::kIcon / 2);
    ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"),
                           {QStringLiteral("mousemove"), middle, middle, QStringLiteral("click"), QStringLiteral("3")}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return tray.keyboardGrabbed(); }, 5000)) << "the tray menu opens";
    ASSERT_TRUE(pressKeys("ctrl+n"));
    ASSERT_TRUE(shelfHasKeyboard()) << "the shelf opens with the editor";
    ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("hello")}));
    ASSERT_TRUE(pressKeys("ctrl+Return"));
    EXPECT_TRUE(harbelle.waitUntilSaved(QStringLiteral("hello"), HarbelleProcess::Saved::asNewest));

    ASSERT_TRUE(shelfHasKeyboard());
    ASSERT_TRUE(pressKeys("ctrl+n"));
    ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("world")}));
    ASSERT_TRUE(pressKeys("ctrl+Return"));
    EXPECT_TRUE(harbelle.waitUntilSaved(QStringLiteral("world"), HarbelleProcess::Saved::asNewest));

    ASSERT_TRUE(shelfHasKeyboard());
    ASSERT_TRUE(pressKeys("ctrl+q"));
    ASSERT_TRUE(harbelle.process().waitForFinished(5000)) << "Ctrl+Q in the shelf quits";
    EXPECT_EQ(harbelle.process().exitStatus(), QProcess::NormalExit);
}

}  // namespace
}  // namespace harbelle::testing
