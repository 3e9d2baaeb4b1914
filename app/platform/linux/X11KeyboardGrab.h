#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <map>
#include <thread>
#include <utility>

#include "platform/linux/X11KeyboardMap.h"
#include "platform/linux/XcbConnection.h"

namespace harbelle::x11 {

// The program's one X client for the keyboard: the hot keys' grabs and the hold that sends every
// key to one of our windows live on one private connection, read by a thread of its own. The
// server lets one client at a time have the keyboard, so both must be the same client.
//
// A hot key freezes the keyboard in the server: the keys typed right after it wait there until
// the program says where they go (hold: to our window; otherwise: where they would have gone).
// The thread, not the GUI thread, answers the freeze's first moment and ends it after kLongest
// at most, so a hung GUI cannot keep the keyboard.
class X11KeyboardGrab {
public:
    static constexpr auto kLongest = std::chrono::milliseconds(1000);

    // The process's instance, made on first use and kept while anyone holds it.
    static std::shared_ptr<X11KeyboardGrab> shared();
    ~X11KeyboardGrab();
    X11KeyboardGrab(const X11KeyboardGrab&) = delete;
    X11KeyboardGrab& operator=(const X11KeyboardGrab&) = delete;

    bool isValid() const { return connection_.isValid(); }

    // A passive grab of one key and exact modifier state on the root window, whose presses go to
    // `owner`'s relay window: 0 or the X error.
    int grabHotKey(std::uint8_t keycode, std::uint16_t state, const void* owner);
    void ungrabHotKey(std::uint8_t keycode, std::uint16_t state);
    // A press of `owner`'s hot keys is sent on to `window`, a window of the GUI's own X client, so
    // that it reaches the GUI behind every event the server gave it before the hot key (a key typed
    // just before it acts first) and carries its time there. XCB_WINDOW_NONE stops it.
    void setHotKeyRelay(const void* owner, xcb_window_t window);
    // A release that reached one of Qt's windows: the hot key's own release once the grab ended.
    void noteRelease(std::uint8_t keycode, std::uint32_t time);
    // The hot key's handler has run: when it did not hold the keyboard, the keys waiting since
    // the hot key go on to the window that has the focus.
    void hotKeyHandled();

    // Sends every key to `window` until release() or for kLongest.
    bool hold(xcb_window_t window);
    // Returns once the server has let go, so that a grab another client asks for next (a menu's)
    // is granted.
    void release();

private:
    X11KeyboardGrab();
    void run();
    void handle(xcb_generic_event_t* event);
    xcb_window_t relayFor(const xcb_key_press_event_t& key) const;
    void relay(const xcb_key_press_event_t& key, xcb_window_t window);
    void forward(const xcb_key_press_event_t& key, std::uint8_t kind);
    void releaseLocked();
    void wake();

    linux_x11::XcbConnection connection_;
    int wakeFd_ = -1;
    std::mutex mutex_;
    std::map<std::pair<std::uint8_t, std::uint16_t>, const void*> hotKeys_;
    std::map<const void*, xcb_window_t> relays_;
    AutoRepeatFilter repeats_;
    bool grabbed_ = false;
    bool waitingForHandler_ = false;  // frozen since a hot key; no hold asked for yet
    xcb_window_t target_ = XCB_WINDOW_NONE;
    std::chrono::steady_clock::time_point deadline_;
    bool stopping_ = false;
    std::thread reader_;
};

}  // namespace harbelle::x11
