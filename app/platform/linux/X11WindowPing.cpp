#include "platform/linux/X11WindowPing.h"

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/linux/XcbConnection.h"

namespace harbelle {

using linux_x11::XcbConnection;

namespace {
struct Waiting {
    std::uint32_t window = 0;
    std::function<void(bool)> answered;
};
}  // namespace

struct X11WindowPing::Impl {
    XcbConnection x;
    QObject context;
    std::unique_ptr<QSocketNotifier> notifier;
    // Keyed by the serial sent as the ping's time stamp, which the answer carries back.
    std::map<std::uint32_t, Waiting> waiting;
    std::uint32_t nextSerial = 1;
    bool watchingRoot = false;

    bool takesPings(xcb_window_t window) {
        auto protocols = x.property(window, x.atom("WM_PROTOCOLS"), false, 4096);
        if (!protocols || protocols->format != 32) return false;
        std::vector<xcb_atom_t> atoms(protocols->value.size() / 4);
        if (!atoms.empty()) std::memcpy(atoms.data(), protocols->value.data(), atoms.size() * 4);
        return std::find(atoms.begin(), atoms.end(), x.atom("_NET_WM_PING")) != atoms.end();
    }

    // Answers go to the root window for whoever follows its substructure (GTK) or its own
    // structure (Qt); followed only while a ping waits, as every window's changes come with it.
    void watchRoot(bool watch) {
        if (watch == watchingRoot) return;
        watchingRoot = watch;
        const std::uint32_t mask = watch ? XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_STRUCTURE_NOTIFY
                                         : XCB_EVENT_MASK_NO_EVENT;
        xcb_change_window_attributes(x.get(), x.root(), XCB_CW_EVENT_MASK, &mask);
        xcb_flush(x.get());
    }
};

X11WindowPing::X11WindowPing() : impl_(std::make_unique<Impl>()) {
    if (!impl_->x.isValid()) return;
    impl_->notifier = std::make_unique<QSocketNotifier>(impl_->x.fileDescriptor(), QSocketNotifier::Read);
    QObject::connect(impl_->notifier.get(), &QSocketNotifier::activated, &impl_->context, [this] { readAnswers(); });
}

X11WindowPing::~X11WindowPing() = default;

void X11WindowPing::ping(std::uint32_t window, std::chrono::milliseconds within, std::function<void(bool)> answered) {
    Impl& d = *impl_;
    if (!d.x.isValid() || window == XCB_WINDOW_NONE || !d.takesPings(window)) {
        answered(true);
        return;
    }
    const std::uint32_t serial = d.nextSerial++;
    d.waiting.emplace(serial, Waiting{window, std::move(answered)});
    d.watchRoot(true);
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = d.x.atom("WM_PROTOCOLS");
    event.data.data32[0] = d.x.atom("_NET_WM_PING");
    event.data.data32[1] = serial;
    event.data.data32[2] = window;
    xcb_send_event(d.x.get(), 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
    xcb_flush(d.x.get());
    QTimer::singleShot(std::max(within, std::chrono::milliseconds(0)), &d.context,
                       [this, serial] { finish(serial, false); });
    // Replies read above may have pulled an answer off the socket already.
    QTimer::singleShot(0, &d.context, [this] { readAnswers(); });
}

void X11WindowPing::readAnswers() {
    Impl& d = *impl_;
    if (!d.x.isValid()) return;
    std::vector<std::uint32_t> answered;
    while (xcb_generic_event_t* event = xcb_poll_for_event(d.x.get())) {
        if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
            auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
            const auto found = d.waiting.find(message->data.data32[1]);
            if (message->format == 32 && message->type == d.x.atom("WM_PROTOCOLS") &&
                message->data.data32[0] == d.x.atom("_NET_WM_PING") && found != d.waiting.end() &&
                message->data.data32[2] == found->second.window)
                answered.push_back(found->first);
        }
        std::free(event);
    }
    for (std::uint32_t serial : answered) finish(serial, true);
}

void X11WindowPing::finish(std::uint32_t serial, bool answered) {
    const auto found = impl_->waiting.find(serial);
    if (found == impl_->waiting.end()) return;
    std::function<void(bool)> reply = std::move(found->second.answered);
    impl_->waiting.erase(found);
    if (impl_->waiting.empty()) impl_->watchRoot(false);
    reply(answered);
}

}  // namespace harbelle
