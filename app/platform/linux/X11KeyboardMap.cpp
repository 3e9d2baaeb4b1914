#include "platform/linux/X11KeyboardMap.h"

#include <atomic>

#include <algorithm>

namespace harbelle::x11 {

std::uint16_t modifierMaskOf(const ModifierMapping& mapping, const std::vector<std::uint8_t>& keycodes) {
    const int perRow = mapping.keycodesPerModifier;
    for (int row = 0; row < 8; ++row) {
        for (int slot = 0; slot < perRow; ++slot) {
            const std::size_t index = std::size_t(row * perRow + slot);
            if (index >= mapping.keycodes.size()) return 0;
            const std::uint8_t keycode = mapping.keycodes[index];
            if (keycode != 0 && std::find(keycodes.begin(), keycodes.end(), keycode) != keycodes.end())
                return std::uint16_t(1u << row);
        }
    }
    return 0;
}

std::optional<std::uint16_t> toX11Mask(KeyModifiers modifiers, const ModifierMasks& masks) {
    std::uint16_t mask = 0;
    if (modifiers & ShiftModifier) mask |= shiftMask;
    if (modifiers & ControlModifier) mask |= controlMask;
    if (modifiers & AltModifier) {
        if (!masks.alt) return std::nullopt;
        mask |= masks.alt;
    }
    if (modifiers & SuperModifier) {
        if (!masks.super) return std::nullopt;
        mask |= masks.super;
    }
    return mask;
}

KeyModifiers fromX11Mask(std::uint16_t mask, const ModifierMasks& masks) {
    KeyModifiers modifiers = 0;
    if (mask & shiftMask) modifiers |= ShiftModifier;
    if (mask & controlMask) modifiers |= ControlModifier;
    if (masks.alt && (mask & masks.alt)) modifiers |= AltModifier;
    if (masks.super && (mask & masks.super)) modifiers |= SuperModifier;
    return modifiers;
}

std::vector<std::uint16_t> lockVariants(std::uint16_t base, std::uint16_t numLockMask) {
    std::vector<std::uint16_t> variants;
    auto add = [&](std::uint16_t mask) {
        if (std::find(variants.begin(), variants.end(), mask) == variants.end()) variants.push_back(mask);
    };
    add(base);
    add(base | lockMask);
    if (numLockMask) {
        add(base | numLockMask);
        add(base | lockMask | numLockMask);
    }
    return variants;
}

std::uint16_t pressedModifierMask(const std::array<std::uint8_t, 32>& keymap, const ModifierMapping& mapping,
                                  const std::set<std::uint8_t>& ignored) {
    std::uint16_t mask = 0;
    const int perRow = mapping.keycodesPerModifier;
    for (int row = 0; row < 8; ++row) {
        for (int slot = 0; slot < perRow; ++slot) {
            const std::size_t index = std::size_t(row * perRow + slot);
            if (index >= mapping.keycodes.size()) break;
            const std::uint8_t keycode = mapping.keycodes[index];
            if (keycode == 0 || ignored.count(keycode)) continue;
            if (keymap[keycode / 8] & (1u << (keycode % 8))) mask |= std::uint16_t(1u << row);
        }
    }
    return mask;
}

std::optional<int> grabAllOrNone(std::size_t count, const std::function<int(std::size_t)>& grab,
                                 const std::function<void(std::size_t)>& ungrab) {
    for (std::size_t i = 0; i < count; ++i) {
        const int error = grab(i);
        if (error == 0) continue;
        for (std::size_t taken = i; taken-- > 0;) ungrab(taken);
        return error;
    }
    return std::nullopt;
}

namespace {
std::atomic<std::uint64_t> keyboardGrabsEnded{0};
}  // namespace

void noteKeyboardGrabEnded() { ++keyboardGrabsEnded; }

bool AutoRepeatFilter::press(std::uint8_t keycode, std::uint32_t time) {
    KeyState& key = keys_[keycode];
    const std::uint64_t grabsEnded = keyboardGrabsEnded.load();
    if (key.grabsEnded != grabsEnded) key.held = false;
    key.grabsEnded = grabsEnded;
    const bool repeat = key.held || (key.releasedAt && *key.releasedAt == time);
    key.held = true;
    key.releasedAt.reset();
    return !repeat;
}

void AutoRepeatFilter::release(std::uint8_t keycode, std::uint32_t time) {
    KeyState& key = keys_[keycode];
    key.held = false;
    key.releasedAt = time;
}

}  // namespace harbelle::x11
