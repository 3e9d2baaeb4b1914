#pragma once

#include <cstdint>

namespace harbelle {

// Keyboard modifiers as the program names them. "Command" of the global hot key is Super;
// the paste shortcut's Command is Control.
enum KeyModifier : std::uint8_t {
    ShiftModifier = 1 << 0,
    ControlModifier = 1 << 1,
    AltModifier = 1 << 2,
    SuperModifier = 1 << 3,
};
using KeyModifiers = std::uint8_t;

}  // namespace harbelle
