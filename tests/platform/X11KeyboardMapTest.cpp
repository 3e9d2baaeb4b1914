#include <gtest/gtest.h>

#include "platform/linux/X11KeyboardMap.h"

using namespace harbelle;
using namespace harbelle::x11;

namespace {

// Rows: Shift, Lock, Control, Mod1..Mod5; two keycodes each.
ModifierMapping mapping(std::vector<std::vector<std::uint8_t>> rows) {
    ModifierMapping map;
    map.keycodesPerModifier = 2;
    for (auto& row : rows) {
        row.resize(2, 0);
        map.keycodes.insert(map.keycodes.end(), row.begin(), row.end());
    }
    return map;
}

const std::uint8_t shiftL = 50, capsLock = 66, controlL = 37, altL = 64, numLock = 77, superL = 133, superR = 134;

}  // namespace

TEST(X11KeyboardMap, FindsModifiersWhereverTheServerPutThem) {
    // A usual layout: Alt on Mod1, NumLock on Mod2, Super on Mod4.
    auto usual = mapping({{shiftL}, {capsLock}, {controlL}, {altL}, {numLock}, {}, {superL, superR}, {}});
    EXPECT_EQ(modifierMaskOf(usual, {numLock}), 1 << 4);
    EXPECT_EQ(modifierMaskOf(usual, {superR}), 1 << 6);
    EXPECT_EQ(modifierMaskOf(usual, {altL}), 1 << 3);
    // A remapped server: NumLock on Mod5, Super on Mod3.
    auto moved = mapping({{shiftL}, {capsLock}, {controlL}, {altL}, {}, {superL}, {}, {numLock}});
    EXPECT_EQ(modifierMaskOf(moved, {numLock}), 1 << 7);
    EXPECT_EQ(modifierMaskOf(moved, {superL, superR}), 1 << 5);
    EXPECT_EQ(modifierMaskOf(moved, {99}), 0);
    // A truncated reply finds nothing instead of reading past it.
    ModifierMapping broken{4, {shiftL}};
    EXPECT_EQ(modifierMaskOf(broken, {superL}), 0);
}

TEST(X11KeyboardMap, LockVariantsCoverCapsAndNumLock) {
    const std::uint16_t superShift = (1 << 6) | shiftMask;
    EXPECT_EQ(lockVariants(superShift, 1 << 4),
              (std::vector<std::uint16_t>{superShift, std::uint16_t(superShift | lockMask),
                                          std::uint16_t(superShift | (1 << 4)),
                                          std::uint16_t(superShift | lockMask | (1 << 4))}));
    // NumLock on no modifier: only the Lock variants, no duplicates.
    EXPECT_EQ(lockVariants(superShift, 0),
              (std::vector<std::uint16_t>{superShift, std::uint16_t(superShift | lockMask)}));
}

TEST(X11KeyboardMap, TranslatesOurModifiers) {
    const ModifierMasks masks{1 << 3, 1 << 6, 1 << 4};
    EXPECT_EQ(toX11Mask(ShiftModifier | SuperModifier, masks), std::uint16_t(shiftMask | (1 << 6)));
    EXPECT_EQ(toX11Mask(AltModifier | SuperModifier, masks), std::uint16_t((1 << 3) | (1 << 6)));
    // A server without a Super modifier cannot grab Super combinations at all.
    EXPECT_FALSE(toX11Mask(ShiftModifier | SuperModifier, ModifierMasks{1 << 3, 0, 0}).has_value());
    EXPECT_EQ(fromX11Mask(controlMask | (1 << 6) | lockMask | (1 << 4), masks), ControlModifier | SuperModifier);
}

TEST(X11KeyboardMap, PressedModifiersIgnoreOurOwnKeys) {
    auto map = mapping({{shiftL}, {capsLock}, {controlL}, {altL}, {numLock}, {}, {superL, superR}, {}});
    std::array<std::uint8_t, 32> keymap{};
    auto press = [&](std::uint8_t keycode) { keymap[keycode / 8] |= std::uint8_t(1 << (keycode % 8)); };
    press(shiftL);
    press(superR);
    press(controlL);
    press(55);  // the V key: no modifier
    EXPECT_EQ(pressedModifierMask(keymap, map), std::uint16_t(shiftMask | controlMask | (1 << 6)));
    // The Control we pressed ourselves for the paste is not the user's.
    EXPECT_EQ(pressedModifierMask(keymap, map, {controlL}), std::uint16_t(shiftMask | (1 << 6)));
    EXPECT_EQ(pressedModifierMask({}, map), 0);
}

TEST(X11KeyboardMap, RefusedGrabReleasesWhatWasTaken) {
    std::vector<std::string> log;
    auto error = grabAllOrNone(
        4,
        [&](std::size_t i) {
            log.push_back("grab " + std::to_string(i));
            return i == 2 ? 10 : 0;  // BadAccess on the third variant
        },
        [&](std::size_t i) { log.push_back("ungrab " + std::to_string(i)); });
    ASSERT_EQ(error, 10);
    EXPECT_EQ(log, (std::vector<std::string>{"grab 0", "grab 1", "grab 2", "ungrab 1", "ungrab 0"}));

    log.clear();
    EXPECT_EQ(grabAllOrNone(
                  2, [&](std::size_t i) { return i == 0 ? 10 : 0; },
                  [&](std::size_t i) { log.push_back("ungrab " + std::to_string(i)); }),
              10);
    EXPECT_TRUE(log.empty());
    EXPECT_FALSE(grabAllOrNone(3, [](std::size_t) { return 0; }, [](std::size_t) {}).has_value());
}

TEST(X11KeyboardMap, AutoRepeatPressesOnce) {
    AutoRepeatFilter filter;
    EXPECT_TRUE(filter.press(55, 1000));
    // Detectable auto-repeat: presses without releases.
    EXPECT_FALSE(filter.press(55, 1030));
    // Classic auto-repeat: a release and a press with the same time.
    filter.release(55, 1060);
    EXPECT_FALSE(filter.press(55, 1060));
    filter.release(55, 1200);
    EXPECT_TRUE(filter.press(55, 1450));  // a real second press
    // Other keys are tracked apart.
    EXPECT_TRUE(filter.press(56, 1450));
}
