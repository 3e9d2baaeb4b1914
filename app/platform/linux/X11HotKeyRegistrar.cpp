#include "platform/linux/X11HotKeyRegistrar.h"

#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <cstdlib>

#include "platform/linux/X11Keyboard.h"
#include "platform/linux/X11KeyboardGrab.h"

namespace harbelle {

X11HotKeyRegistrar::X11HotKeyRegistrar() {
    auto* x11App = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11App || !x11App->connection()) return;
    connection_ = x11App->connection();
    keyboard_ = std::make_unique<x11::X11Keyboard>(connection_);
    grab_ = x11::X11KeyboardGrab::shared();
    if (!grab_->isValid()) {
        connection_ = nullptr;
        return;
    }
    // The hot key's presses come back through Qt's client, in order with the events Qt reads.
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    relay_ = xcb_generate_id(connection_);
    xcb_generic_error_t* failure = xcb_request_check(
        connection_, xcb_create_window_checked(connection_, 0, relay_, root, -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                                               XCB_COPY_FROM_PARENT, 0, nullptr));
    if (failure) {
        std::free(failure);
        connection_ = nullptr;
        return;
    }
    grab_->setHotKeyRelay(this, relay_);
    QCoreApplication::instance()->installNativeEventFilter(this);
}

X11HotKeyRegistrar::~X11HotKeyRegistrar() {
    if (!connection_) return;
    if (auto* app = QCoreApplication::instance()) app->removeNativeEventFilter(this);
    grab_->setHotKeyRelay(this, XCB_WINDOW_NONE);
    for (auto& [id, registration] : registrations_)
        for (const Grab& grab : registration.grabs) ungrab(grab);
    xcb_destroy_window(connection_, relay_);
    xcb_flush(connection_);
    // A press whose handler will not run any more lets the keys go on.
    grab_->hotKeyHandled();
}

HotKeyResult X11HotKeyRegistrar::registerHotKey(const HotKeyCombination& combination, Handler onPress) {
    if (!connection_) return HotKeyError{HotKeyError::Kind::installFailed, noDisplayStatus};

    // The map is read at each registration: NumLock and Super move between Mod2..Mod5.
    const x11::ModifierMasks masks = keyboard_->modifierMasks();
    const auto base = x11::toX11Mask(combination.modifiers, masks);
    const auto keycodes = keyboard_->keycodesFor(combination.keysym);
    if (!base || keycodes.empty()) return HotKeyError{HotKeyError::Kind::registrationFailed, unmappableStatus};

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
        [&](std::size_t i) { return grab_->grabHotKey(registration.grabs[i].keycode, registration.grabs[i].modifiers, this); },
        [&](std::size_t i) { ungrab(registration.grabs[i]); });
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
    registrations_.erase(found);
}

void X11HotKeyRegistrar::ungrab(const Grab& grab) {
    grab_->ungrabHotKey(grab.keycode, grab.modifiers);
}

void X11HotKeyRegistrar::fire(std::uint8_t keycode, std::uint16_t state) {
    Handler handler;
    for (const auto& [id, registration] : registrations_)
        for (const Grab& grab : registration.grabs)
            if (grab.keycode == keycode && grab.modifiers == (state & 0xff)) handler = registration.handler;
    if (handler) handler();
    grab_->hotKeyHandled();
}

bool X11HotKeyRegistrar::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t") return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    const std::uint8_t type = event->response_type & 0x7f;
    if (type == XCB_MAPPING_NOTIFY) {
        keyboard_->refresh(event);
        return false;
    }
    if (type == XCB_KEY_PRESS) {
        auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
        if (key->event != relay_) return false;
        // Answered from the event loop. Qt goes on to take the press's time as the latest user
        // action (the shelf's activation needs it) and finds no window of its own for it.
        QMetaObject::invokeMethod(
            &context_, [this, keycode = key->detail, state = key->state] { fire(keycode, state); },
            Qt::QueuedConnection);
        return false;
    }
    // Once the grab has ended, the hot key's own release reaches the window with the focus,
    // which may be ours; it counts for telling a new press from auto-repeat.
    if (type == XCB_KEY_RELEASE) {
        auto* key = reinterpret_cast<xcb_key_release_event_t*>(event);
        grab_->noteRelease(key->detail, key->time);
    }
    return false;
}

}  // namespace harbelle
