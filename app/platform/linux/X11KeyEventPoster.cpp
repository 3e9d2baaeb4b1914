#include "platform/linux/X11KeyEventPoster.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cstdlib>

#include "platform/linux/X11Keyboard.h"

namespace harbelle {

X11KeyEventPoster::X11KeyEventPoster() {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return;
    }
    connection_ = connection;
    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(connection_, &xcb_test_id);
    hasXTest_ = xtest && xtest->present;
    keyboard_ = std::make_unique<x11::X11Keyboard>(connection_);
}

X11KeyEventPoster::~X11KeyEventPoster() {
    releaseAllPressed();
    keyboard_.reset();
    if (connection_) xcb_disconnect(connection_);
}

bool X11KeyEventPoster::canPostEvents() {
    std::lock_guard lock(mutex_);
    return connection_ && hasXTest_ && !xcb_connection_has_error(connection_);
}

bool X11KeyEventPoster::fakeKey(bool press, std::uint8_t keycode) {
    xcb_test_fake_input(connection_, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode, XCB_CURRENT_TIME,
                        XCB_NONE, 0, 0, 0);
    if (press) {
        pressed_.push_back(keycode);
    } else {
        pressed_.erase(std::remove(pressed_.begin(), pressed_.end(), keycode), pressed_.end());
    }
    return xcb_flush(connection_) > 0;
}

bool X11KeyEventPoster::postPasteKeyDown(std::int64_t, PasteShortcut shortcut) {
    std::lock_guard lock(mutex_);
    if (!connection_ || !hasXTest_ || xcb_connection_has_error(connection_)) return false;
    std::vector<std::uint32_t> keysyms;
    switch (shortcut) {
    case PasteShortcut::controlV: keysyms = {x11::keysym::controlL, x11::keysym::v}; break;
    case PasteShortcut::controlShiftV: keysyms = {x11::keysym::controlL, x11::keysym::shiftL, x11::keysym::v}; break;
    case PasteShortcut::shiftInsert: keysyms = {x11::keysym::shiftL, x11::keysym::insert}; break;
    }
    std::vector<std::uint8_t> keycodes;
    for (const std::uint32_t keysym : keysyms) {
        const auto codes = keyboard_->keycodesFor(keysym);
        if (codes.empty()) return false;
        keycodes.push_back(codes.front());
    }
    pasteKeys_.clear();
    for (const std::uint8_t keycode : keycodes) {
        if (!fakeKey(true, keycode)) return false;
        pasteKeys_.push_back(keycode);
    }
    return true;
}

bool X11KeyEventPoster::postPasteKeyUp(std::int64_t) {
    std::lock_guard lock(mutex_);
    if (!connection_ || !hasXTest_) return false;
    bool ok = true;
    // Only what the key-down pressed, V first, the modifiers after it.
    for (auto keycode = pasteKeys_.rbegin(); keycode != pasteKeys_.rend(); ++keycode)
        if (std::find(pressed_.begin(), pressed_.end(), *keycode) != pressed_.end()) ok = fakeKey(false, *keycode) && ok;
    pasteKeys_.clear();
    return ok;
}

KeyModifiers X11KeyEventPoster::heldModifiers() {
    std::lock_guard lock(mutex_);
    if (!connection_ || xcb_connection_has_error(connection_)) return 0;
    xcb_query_keymap_reply_t* reply = xcb_query_keymap_reply(connection_, xcb_query_keymap(connection_), nullptr);
    if (!reply) return 0;
    std::array<std::uint8_t, 32> keymap{};
    std::copy(std::begin(reply->keys), std::end(reply->keys), keymap.begin());
    std::free(reply);
    const std::set<std::uint8_t> ours(pressed_.begin(), pressed_.end());
    const std::uint16_t mask = x11::pressedModifierMask(keymap, keyboard_->modifierMapping(), ours);
    return x11::fromX11Mask(mask, keyboard_->modifierMasks());
}

void X11KeyEventPoster::releaseAllPressed() {
    std::lock_guard lock(mutex_);
    if (!connection_ || pressed_.empty()) return;
    while (!pressed_.empty()) fakeKey(false, pressed_.back());
    sync();
}

void X11KeyEventPoster::sync() {
    // A round trip: the server has handled every request sent before it.
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
}

}  // namespace harbelle
