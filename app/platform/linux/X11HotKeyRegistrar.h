#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <map>
#include <memory>
#include <vector>

#include "platform/HotKeyRegistrar.h"
#include "platform/linux/X11KeyboardMap.h"

typedef struct xcb_connection_t xcb_connection_t;

namespace harbelle {

namespace x11 {
class X11Keyboard;
class X11KeyboardGrab;
}

// Hot keys as passive key grabs on the root window, made by the program's keyboard client (which
// also holds the keyboard for the shelf). Their presses come back through Qt's own client, so a
// handler runs on the GUI thread after the keys typed before its hot key. Every lock-key
// variant is grabbed; a refusal of any variant (BadAccess: another client holds it) releases the
// others.
class X11HotKeyRegistrar final : public HotKeyRegistrar, private QAbstractNativeEventFilter {
public:
    // Without an X11 Qt application every registration fails with `installFailed`.
    X11HotKeyRegistrar();
    ~X11HotKeyRegistrar() override;

    HotKeyResult registerHotKey(const HotKeyCombination& combination, Handler onPress) override;
    void unregisterHotKey(HotKeyId id) override;

    static constexpr std::int32_t badAccess = 10;
    static constexpr std::int32_t noDisplayStatus = -1;
    static constexpr std::int32_t unmappableStatus = -2;

private:
    struct Grab {
        std::uint8_t keycode;
        std::uint16_t modifiers;
    };
    struct Registration {
        std::vector<std::uint8_t> keycodes;
        std::uint16_t modifiers = 0;
        std::vector<Grab> grabs;
        Handler handler;
    };

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;
    void ungrab(const Grab& grab);
    void fire(std::uint8_t keycode, std::uint16_t state);

    xcb_connection_t* connection_ = nullptr;
    std::uint32_t relay_ = 0;  // on Qt's client: the hot key's presses come to it
    std::unique_ptr<x11::X11Keyboard> keyboard_;
    std::shared_ptr<x11::X11KeyboardGrab> grab_;
    std::map<HotKeyId, Registration> registrations_;
    HotKeyId nextId_ = 1;
    QObject context_;  // queued press handlers die with the registrar
};

}  // namespace harbelle
