#include "platform/linux/X11KeyboardGrab.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace harbelle::x11 {

namespace {
using SteadyClock = std::chrono::steady_clock;
}

std::shared_ptr<X11KeyboardGrab> X11KeyboardGrab::shared() {
    static std::mutex guard;
    static std::weak_ptr<X11KeyboardGrab> instance;
    std::lock_guard lock(guard);
    auto grab = instance.lock();
    if (!grab) {
        grab = std::shared_ptr<X11KeyboardGrab>(new X11KeyboardGrab());
        instance = grab;
    }
    return grab;
}

X11KeyboardGrab::X11KeyboardGrab() {
    if (!connection_.isValid()) return;
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) return;
    reader_ = std::thread([this] { run(); });
}

X11KeyboardGrab::~X11KeyboardGrab() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        relays_.clear();
        releaseLocked();
        for (const auto& [key, owner] : hotKeys_) xcb_ungrab_key(connection_.get(), key.first, connection_.root(), key.second);
        if (connection_.isValid()) xcb_flush(connection_.get());
    }
    wake();
    if (reader_.joinable()) reader_.join();
    if (wakeFd_ >= 0) close(wakeFd_);
}

int X11KeyboardGrab::grabHotKey(std::uint8_t keycode, std::uint16_t state, const void* owner) {
    if (!isValid()) return -1;
    std::lock_guard lock(mutex_);
    // owner_events off: with one of our own windows focused the press would otherwise come as a
    // plain key event to that window, and its release too. The keyboard freezes at the press,
    // so that nothing typed after it moves before this program has read it.
    xcb_void_cookie_t cookie = xcb_grab_key_checked(connection_.get(), 0, connection_.root(), state, keycode,
                                                    XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_SYNC);
    xcb_generic_error_t* failure = xcb_request_check(connection_.get(), cookie);
    // The round trip may have taken events off the socket, where the reader's poll cannot see them.
    wake();
    if (!failure) {
        hotKeys_[{keycode, state}] = owner;
        return 0;
    }
    const int code = failure->error_code;
    std::free(failure);
    return code;
}

void X11KeyboardGrab::ungrabHotKey(std::uint8_t keycode, std::uint16_t state) {
    if (!isValid()) return;
    std::lock_guard lock(mutex_);
    hotKeys_.erase({keycode, state});
    xcb_ungrab_key(connection_.get(), keycode, connection_.root(), state);
    xcb_flush(connection_.get());
}

void X11KeyboardGrab::setHotKeyRelay(const void* owner, xcb_window_t window) {
    std::lock_guard lock(mutex_);
    if (window != XCB_WINDOW_NONE) relays_[owner] = window;
    else relays_.erase(owner);
}

xcb_window_t X11KeyboardGrab::relayFor(const xcb_key_press_event_t& key) const {
    const auto hotKey = hotKeys_.find({key.detail, std::uint16_t(key.state & 0xff)});
    if (hotKey == hotKeys_.end()) return XCB_WINDOW_NONE;
    const auto relay = relays_.find(hotKey->second);
    return relay == relays_.end() ? xcb_window_t{XCB_WINDOW_NONE} : relay->second;
}

void X11KeyboardGrab::relay(const xcb_key_press_event_t& key, xcb_window_t window) {
    // Sent after the server has given the GUI's client everything that came before the hot key;
    // no event mask: it goes to the window's creator alone.
    xcb_key_press_event_t copy = key;
    copy.response_type = XCB_KEY_PRESS;
    copy.event = window;
    copy.child = XCB_WINDOW_NONE;
    xcb_send_event(connection_.get(), 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&copy));
    xcb_flush(connection_.get());
}

void X11KeyboardGrab::noteRelease(std::uint8_t keycode, std::uint32_t time) {
    std::lock_guard lock(mutex_);
    repeats_.release(keycode, time);
}

void X11KeyboardGrab::hotKeyHandled() {
    std::lock_guard lock(mutex_);
    if (waitingForHandler_) releaseLocked();
}

bool X11KeyboardGrab::hold(xcb_window_t window) {
    if (!isValid() || window == XCB_WINDOW_NONE) return false;
    std::lock_guard lock(mutex_);
    if (!grabbed_) {
        auto cookie = xcb_grab_keyboard(connection_.get(), 0, connection_.root(), XCB_CURRENT_TIME,
                                        XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        xcb_grab_keyboard_reply_t* reply = xcb_grab_keyboard_reply(connection_.get(), cookie, nullptr);
        const bool held = reply && reply->status == XCB_GRAB_STATUS_SUCCESS;
        std::free(reply);
        wake();
        if (!held) return false;
        grabbed_ = true;
    }
    target_ = window;
    if (waitingForHandler_) {
        // The keys typed since the hot key come now, to this window, in the order they were typed.
        waitingForHandler_ = false;
        xcb_allow_events(connection_.get(), XCB_ALLOW_ASYNC_KEYBOARD, XCB_CURRENT_TIME);
    }
    deadline_ = SteadyClock::now() + kLongest;
    xcb_flush(connection_.get());
    wake();
    return true;
}

void X11KeyboardGrab::release() {
    std::lock_guard lock(mutex_);
    if (!grabbed_) return;
    releaseLocked();
    // A round trip: the ungrab is done before any request another client sends after this.
    std::free(xcb_get_input_focus_reply(connection_.get(), xcb_get_input_focus(connection_.get()), nullptr));
    // The round trip may have taken events off the socket, where the reader's poll cannot see them.
    wake();
}

void X11KeyboardGrab::releaseLocked() {
    if (!grabbed_) return;
    grabbed_ = false;
    waitingForHandler_ = false;
    target_ = XCB_WINDOW_NONE;
    // Keys still frozen in the server go on to the focus as if nothing had held them.
    xcb_ungrab_keyboard(connection_.get(), XCB_CURRENT_TIME);
    xcb_flush(connection_.get());
    noteKeyboardGrabEnded();
}

void X11KeyboardGrab::wake() {
    if (wakeFd_ < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(wakeFd_, &one, sizeof one);
}

void X11KeyboardGrab::run() {
    pollfd fds[2] = {{connection_.fileDescriptor(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    for (;;) {
        int timeout = -1;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            if (grabbed_) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - SteadyClock::now());
                timeout = int(std::max<long long>(0, left.count()));
            }
        }
        poll(fds, 2, timeout);
        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto read = ::read(wakeFd_, &count, sizeof count);
        }
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection_.get())) {
            handle(event);
            std::free(event);
        }
        if (xcb_connection_has_error(connection_.get())) return;
        if (grabbed_ && SteadyClock::now() >= deadline_) releaseLocked();
    }
}

void X11KeyboardGrab::handle(xcb_generic_event_t* event) {
    const std::uint8_t kind = event->response_type & 0x7f;
    if (kind != XCB_KEY_PRESS && kind != XCB_KEY_RELEASE) return;
    auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
    if (kind == XCB_KEY_RELEASE) {
        repeats_.release(key->detail, key->time);
        forward(*key, kind);
        return;
    }
    const bool hotKey = hotKeys_.count({key->detail, std::uint16_t(key->state & 0xff)});
    if (!hotKey) {
        forward(*key, kind);
        return;
    }
    const bool fresh = repeats_.press(key->detail, key->time);
    const xcb_window_t relayWindow = fresh ? relayFor(*key) : xcb_window_t{XCB_WINDOW_NONE};
    if (grabbed_) {
        // The hot key still acts while the keyboard is held.
        if (relayWindow != XCB_WINDOW_NONE) relay(*key, relayWindow);
        return;
    }
    // The passive grab froze the keyboard. An active grab keeps it frozen past the key's release
    // until the handler has said where the keys go.
    bool waits = false;
    if (relayWindow != XCB_WINDOW_NONE) {
        auto cookie = xcb_grab_keyboard(connection_.get(), 0, connection_.root(), XCB_CURRENT_TIME,
                                        XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_SYNC);
        xcb_grab_keyboard_reply_t* reply = xcb_grab_keyboard_reply(connection_.get(), cookie, nullptr);
        waits = reply && reply->status == XCB_GRAB_STATUS_SUCCESS;
        std::free(reply);
    }
    if (waits) {
        grabbed_ = true;
        waitingForHandler_ = true;
        target_ = XCB_WINDOW_NONE;
        deadline_ = SteadyClock::now() + kLongest;
    } else {
        xcb_allow_events(connection_.get(), XCB_ALLOW_ASYNC_KEYBOARD, XCB_CURRENT_TIME);
        xcb_flush(connection_.get());
    }
    if (relayWindow != XCB_WINDOW_NONE) relay(*key, relayWindow);
}

void X11KeyboardGrab::forward(const xcb_key_press_event_t& key, std::uint8_t kind) {
    if (!grabbed_ || target_ == XCB_WINDOW_NONE || key.event != connection_.root()) return;
    // A copy addressed to the window goes through the server, ahead of every key that follows.
    // Releases go too: a button clicks when its key is released.
    xcb_key_press_event_t copy = key;
    copy.response_type = kind;
    copy.event = target_;
    copy.child = XCB_WINDOW_NONE;
    xcb_send_event(connection_.get(), 0, target_,
                   kind == XCB_KEY_PRESS ? XCB_EVENT_MASK_KEY_PRESS : XCB_EVENT_MASK_KEY_RELEASE,
                   reinterpret_cast<const char*>(&copy));
    xcb_flush(connection_.get());
}

}  // namespace harbelle::x11
