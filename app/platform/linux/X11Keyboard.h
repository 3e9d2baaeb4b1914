#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <vector>

#include "platform/linux/X11KeyboardMap.h"

struct _XCBKeySymbols;

namespace harbelle::x11 {

namespace keysym {
constexpr std::uint32_t v = 0x76;
constexpr std::uint32_t insert = 0xff63;
constexpr std::uint32_t numLock = 0xff7f;
constexpr std::uint32_t shiftL = 0xffe1;
constexpr std::uint32_t controlL = 0xffe3;
constexpr std::uint32_t metaL = 0xffe7, metaR = 0xffe8;
constexpr std::uint32_t altL = 0xffe9, altR = 0xffea;
constexpr std::uint32_t superL = 0xffeb, superR = 0xffec;
}  // namespace keysym

// The keyboard as one X connection sees it: keysym to keycode lookups and the modifier map.
class X11Keyboard {
public:
    explicit X11Keyboard(xcb_connection_t* connection);
    ~X11Keyboard();
    X11Keyboard(const X11Keyboard&) = delete;
    X11Keyboard& operator=(const X11Keyboard&) = delete;

    std::vector<std::uint8_t> keycodesFor(std::uint32_t keysym) const;
    ModifierMapping modifierMapping() const;
    ModifierMasks modifierMasks() const;
    // After a MappingNotify: forget the cached keysym table.
    void refresh(xcb_generic_event_t* mappingNotify);

private:
    xcb_connection_t* connection_;
    _XCBKeySymbols* symbols_;
};

}  // namespace harbelle::x11
