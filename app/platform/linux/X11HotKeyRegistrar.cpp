#include "platform/linux/X11HotKeyRegistrar.h"

#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <cstdlib>

#include "platform/linux/X11Keyboard.h"

namespace harbelle {

X11HotKeyRegistrar::X11HotKeyRegistrar() {
    auto* x11App = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11App || !x11App->connection()) return;
    connection_ = x11App->connection();
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    if (!screens.rem) {
        connection_ = nullptr;
        return;
    }
    root_ = screens.data->root;
    keyboard_ = std::make_unique<x11::X11Keyboard>(connection_);
    QCoreApplication::instance()->installNativeEventFilter(this);
}

X11HotKeyRegistrar::~X11HotKeyRegistrar() {
    if (!connection_) return;
    if (auto* app = QCoreApplication::instance()) app->removeNativeEventFilter(this);
    for (auto& [id, registration] : registrations_)
        for (const Grab& grab : registration.grabs) ungrab(grab);
    xcb_flush(connection_);
}

HotKeyResult X11HotKeyRegistrar::registerHotKey(const HotKeyCombination& combination, Handler onPress) {
    if (!connection_) return HotKeyError{HotKeyError::Kind::installFailed, noDisplayStatus};

    // The map is read at each registration: NumLock and Super move between Mod2..Mod5.
    const x11::ModifierMasks masks = keyboard_->modifierMasks();
    const auto base = x11::toX11Mask(combination.modifiers, masks);
    const auto keycodes = keyboard_->keycodesFor(combination.keysym);
    if (!base || keycodes.empty()) return HotKeyError{HotKeyError::Kind::registrationFailed, unmappableStatus};
    lockMasks_ = x11::lockMask | masks.numLock;

    // The server lets a client grab the same keys twice; the registration stays exclusive here too.
    for (const auto& [id, existing] : registrations_)
        if (existing.modifiers == *base && existing.keycodes == keycodes)
            return HotKeyError{HotKeyError::Kind::registrationFailed, badAccess};

    Registration registration;
    registration.keycodes = keycodes;
    registration.modifiers = *base;
    for (std::uint8_t keycode : keycodes)
        for (std::uint16_t variant : x11::lockVariants(*base, masks.numLock))
            registration.grabs.push_back({keycode, variant});

    const auto error = x11::grabAllOrNone(
        registration.grabs.size(),
        [&](std::size_t i) {
            const Grab& grab = registration.grabs[i];
            // owner_events off: with one of our own windows focused the press would otherwise
            // come as a plain key event to that window, and its release too, so the key
            // would neither close the shelf nor count as let go.
            xcb_void_cookie_t cookie = xcb_grab_key_checked(connection_, 0, root_, grab.modifiers, grab.keycode,
                                                            XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
            xcb_generic_error_t* failure = xcb_request_check(connection_, cookie);
            if (!failure) return 0;
            const int code = failure->error_code;
            std::free(failure);
            return code;
        },
        [&](std::size_t i) { ungrab(registration.grabs[i]); });
    xcb_flush(connection_);
    if (error) return HotKeyError{HotKeyError::Kind::registrationFailed, *error};

    registration.handler = std::move(onPress);
    const HotKeyId id = nextId_++;
    registrations_.emplace(id, std::move(registration));
    return id;
}

void X11HotKeyRegistrar::unregisterHotKey(HotKeyId id) {
    auto found = registrations_.find(id);
    if (found == registrations_.end()) return;
    for (const Grab& grab : found->second.grabs) ungrab(grab);
    xcb_flush(connection_);
    registrations_.erase(found);
}

void X11HotKeyRegistrar::ungrab(const Grab& grab) {
    xcb_ungrab_key(connection_, grab.keycode, root_, grab.modifiers);
}

bool X11HotKeyRegistrar::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t") return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    const std::uint8_t type = event->response_type & 0x7f;
    if (type == XCB_MAPPING_NOTIFY) {
        keyboard_->refresh(event);
        return false;
    }
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) return false;
    auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
    // A release counts wherever it lands: once the shelf holds the keyboard or has the focus, the
    // hot key's own release reaches the shelf's window, not the root.
    if (type == XCB_KEY_RELEASE) {
        repeats_.release(key->detail, key->time);
        return false;
    }
    if (key->event != root_) return false;
    const bool fresh = repeats_.press(key->detail, key->time);
    const std::uint16_t state = key->state & 0xff & ~lockMasks_;
    for (auto& [id, registration] : registrations_) {
        if (registration.modifiers != state) continue;
        bool matches = false;
        for (std::uint8_t keycode : registration.keycodes) matches = matches || keycode == key->detail;
        if (!matches) continue;
        // Answer the event first; the handler runs from the event loop.
        if (fresh && registration.handler)
            QMetaObject::invokeMethod(&context_, registration.handler, Qt::QueuedConnection);
        return true;
    }
    return false;
}

}  // namespace harbelle
