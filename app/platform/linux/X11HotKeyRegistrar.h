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
}

// Hot keys as passive key grabs on the root window, made on the X connection of the running
// Qt application so that the presses arrive through Qt's event loop. Every lock-key variant is
// grabbed; a refusal of any variant (BadAccess: another client holds it) releases the others.
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

    xcb_connection_t* connection_ = nullptr;
    std::uint32_t root_ = 0;
    std::unique_ptr<x11::X11Keyboard> keyboard_;
    std::uint16_t lockMasks_ = x11::lockMask;
    std::map<HotKeyId, Registration> registrations_;
    HotKeyId nextId_ = 1;
    x11::AutoRepeatFilter repeats_;
    QObject context_;  // queued press handlers die with the registrar
};

}  // namespace harbelle
