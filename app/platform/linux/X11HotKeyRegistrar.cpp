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
    grab_->setHotKeyListener(this, [this](std::uint8_t keycode, std::uint16_t state) {
        // The handler runs from the GUI thread's event loop.
        QMetaObject::invokeMethod(&context_, [this, keycode, state] { fire(keycode, state); }, Qt::QueuedConnection);
    });
    QCoreApplication::instance()->installNativeEventFilter(this);
}

X11HotKeyRegistrar::~X11HotKeyRegistrar() {
    if (!connection_) return;
    if (auto* app = QCoreApplication::instance()) app->removeNativeEventFilter(this);
    grab_->setHotKeyListener(this, nullptr);
    for (auto& [id, registration] : registrations_)
        for (const Grab& grab : registration.grabs) ungrab(grab);
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
    // Once the grab has ended, the hot key's own release reaches the window with the focus,
    // which may be ours; it counts for telling a new press from auto-repeat.
    if (type == XCB_KEY_RELEASE) {
        auto* key = reinterpret_cast<xcb_key_release_event_t*>(event);
        grab_->noteRelease(key->detail, key->time);
    }
    return false;
}

}  // namespace harbelle
