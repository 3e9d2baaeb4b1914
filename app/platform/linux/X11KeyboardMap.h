#pragma once

// Keyboard bookkeeping for the X11 layers, free of any connection so that it can be tested alone.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "platform/KeyModifiers.h"

namespace harbelle::x11 {

constexpr std::uint16_t shiftMask = 1 << 0;
constexpr std::uint16_t lockMask = 1 << 1;
constexpr std::uint16_t controlMask = 1 << 2;

// The server's modifier map: eight rows (Shift, Lock, Control, Mod1..Mod5) of
// `keycodesPerModifier` keycodes each, 0 for an empty slot.
struct ModifierMapping {
    int keycodesPerModifier = 0;
    std::vector<std::uint8_t> keycodes;
};

// The modifier bit of the first row that holds one of `keycodes`, or 0 when none does.
std::uint16_t modifierMaskOf(const ModifierMapping& mapping, const std::vector<std::uint8_t>& keycodes);

// Where Alt, Super and NumLock sit in this server's map (they move between Mod1..Mod5).
struct ModifierMasks {
    std::uint16_t alt = 0;
    std::uint16_t super = 0;
    std::uint16_t numLock = 0;
};

// The X mask of our modifiers; nothing when one of them is on no modifier at all.
std::optional<std::uint16_t> toX11Mask(KeyModifiers modifiers, const ModifierMasks& masks);
KeyModifiers fromX11Mask(std::uint16_t mask, const ModifierMasks& masks);

// A grab must hold whatever the state of CapsLock and NumLock: the base mask alone, with Lock,
// with NumLock and with both (two variants when NumLock is on no modifier).
std::vector<std::uint16_t> lockVariants(std::uint16_t base, std::uint16_t numLockMask);

// The modifier bits that have at least one pressed key in a query_keymap bit vector; keycodes
// in `ignored` (keys we pressed ourselves) do not count.
std::uint16_t pressedModifierMask(const std::array<std::uint8_t, 32>& keymap, const ModifierMapping& mapping,
                                  const std::set<std::uint8_t>& ignored = {});

// Runs `grab` for 0..count-1 in order; the first non-zero X error stops it, `ungrab` releases
// every grab already taken, and that error is returned. Nothing is left half-grabbed.
std::optional<int> grabAllOrNone(std::size_t count, const std::function<int(std::size_t)>& grab,
                                 const std::function<void(std::size_t)>& ungrab);

// A keyboard grab of this program ended: a key held through it may have been released in
// another program's window, where no release reaches this program.
void noteKeyboardGrabEnded();

// Tells a real press from auto-repeat. X repeats a held key either as presses without releases
// (detectable auto-repeat) or as release/press pairs carrying the same timestamp. A key held
// when a keyboard grab ended counts as released.
class AutoRepeatFilter {
public:
    // True when this press is a new one.
    bool press(std::uint8_t keycode, std::uint32_t time);
    void release(std::uint8_t keycode, std::uint32_t time);

private:
    struct KeyState {
        bool held = false;
        std::optional<std::uint32_t> releasedAt;
        std::uint64_t grabsEnded = 0;
    };
    std::map<std::uint8_t, KeyState> keys_;
};

}  // namespace harbelle::x11
