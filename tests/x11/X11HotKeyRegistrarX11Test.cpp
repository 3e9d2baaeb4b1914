#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include "TextFieldProcess.h"
#include "platform/linux/X11HotKeyRegistrar.h"
#include "platform/linux/X11Keyboard.h"

using namespace harbelle;
using harbelle::testing::runQuietly;

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
