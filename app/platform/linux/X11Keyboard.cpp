#include "platform/linux/X11Keyboard.h"

#include <xcb/xcb_keysyms.h>

#include <cstdlib>
#include <memory>

namespace harbelle::x11 {

X11Keyboard::X11Keyboard(xcb_connection_t* connection)
    : connection_(connection), symbols_(xcb_key_symbols_alloc(connection)) {}

X11Keyboard::~X11Keyboard() {
    if (symbols_) xcb_key_symbols_free(symbols_);
}

std::vector<std::uint8_t> X11Keyboard::keycodesFor(std::uint32_t keysym) const {
    std::vector<std::uint8_t> result;
    if (!symbols_) return result;
    std::unique_ptr<xcb_keycode_t, decltype(&std::free)> codes(xcb_key_symbols_get_keycode(symbols_, keysym),
                                                               &std::free);
    if (!codes) return result;
    for (xcb_keycode_t* code = codes.get(); *code != XCB_NO_SYMBOL; ++code) result.push_back(*code);
    return result;
}

ModifierMapping X11Keyboard::modifierMapping() const {
    ModifierMapping mapping;
    std::unique_ptr<xcb_get_modifier_mapping_reply_t, decltype(&std::free)> reply(
        xcb_get_modifier_mapping_reply(connection_, xcb_get_modifier_mapping(connection_), nullptr), &std::free);
    if (!reply) return mapping;
    mapping.keycodesPerModifier = reply->keycodes_per_modifier;
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(reply.get());
    const int count = xcb_get_modifier_mapping_keycodes_length(reply.get());
    mapping.keycodes.assign(codes, codes + count);
    return mapping;
}

ModifierMasks X11Keyboard::modifierMasks() const {
    const ModifierMapping mapping = modifierMapping();
    auto maskOf = [&](std::initializer_list<std::uint32_t> keysyms) -> std::uint16_t {
        std::vector<std::uint8_t> codes;
        for (std::uint32_t sym : keysyms) {
            auto found = keycodesFor(sym);
            codes.insert(codes.end(), found.begin(), found.end());
        }
        return modifierMaskOf(mapping, codes);
    };
    ModifierMasks masks;
    masks.alt = maskOf({keysym::altL, keysym::altR});
    if (!masks.alt) masks.alt = maskOf({keysym::metaL, keysym::metaR});
    masks.super = maskOf({keysym::superL, keysym::superR});
    masks.numLock = maskOf({keysym::numLock});
    return masks;
}

void X11Keyboard::refresh(xcb_generic_event_t* mappingNotify) {
    if (symbols_ && mappingNotify)
        xcb_refresh_keyboard_mapping(symbols_, reinterpret_cast<xcb_mapping_notify_event_t*>(mappingNotify));
}

}  // namespace harbelle::x11
