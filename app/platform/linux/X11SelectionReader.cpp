#include "platform/linux/X11SelectionReader.h"

#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace harbelle::linux_x11 {

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kPropertyCount = 8;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XcbPtr = std::unique_ptr<T, FreeDeleter>;

std::uint8_t eventType(const xcb_generic_event_t* event) { return event->response_type & 0x7f; }

}  // namespace

X11SelectionReader::X11SelectionReader() {
    if (!connection_.isValid()) return;
    xcb_connection_t* c = connection_.get();
    window_ = xcb_generate_id(c);
    const std::uint32_t mask = XCB_CW_EVENT_MASK;
    const std::uint32_t values[] = {XCB_EVENT_MASK_PROPERTY_CHANGE};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, connection_.root(), -10, -10, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, mask, values);
    xcb_flush(c);
}

X11SelectionReader::~X11SelectionReader() {
    if (connection_.isValid() && window_ != XCB_WINDOW_NONE) {
        xcb_destroy_window(connection_.get(), window_);
        xcb_flush(connection_.get());
    }
}

bool X11SelectionReader::isValid() const { return connection_.isValid() && window_ != XCB_WINDOW_NONE; }

std::uint32_t X11SelectionReader::owner() {
    if (!isValid()) return XCB_WINDOW_NONE;
    auto cookie = xcb_get_selection_owner(connection_.get(), connection_.atom("CLIPBOARD"));
    XcbPtr<xcb_get_selection_owner_reply_t> reply(
        xcb_get_selection_owner_reply(connection_.get(), cookie, nullptr));
    return reply ? reply->owner : static_cast<std::uint32_t>(XCB_WINDOW_NONE);
}

void X11SelectionReader::discardPendingEvents() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_.get())) std::free(event);
}

template <typename Accept>
xcb_generic_event_t* X11SelectionReader::waitFor(Accept accept, Duration& idleBudget, Clock::time_point hardDeadline) {
    xcb_connection_t* c = connection_.get();
    const auto start = Clock::now();
    auto charge = [&] {
        idleBudget -= std::chrono::duration_cast<Duration>(Clock::now() - start);
        if (idleBudget < Duration(0)) idleBudget = Duration(0);
    };
    for (;;) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
            if (accept(event)) {
                charge();
                return event;
            }
            std::free(event);
        }
        if (xcb_connection_has_error(c)) break;
        const auto now = Clock::now();
        const auto idleLeft = idleBudget - std::chrono::duration_cast<Duration>(now - start);
        const auto hardLeft = std::chrono::duration_cast<Duration>(hardDeadline - now);
        const auto left = std::min(idleLeft, hardLeft);
        if (left <= Duration(0)) break;
        pollfd descriptor{xcb_get_file_descriptor(c), POLLIN, 0};
        ::poll(&descriptor, 1, static_cast<int>(left.count()) + 1);
    }
    charge();
    return nullptr;
}

X11SelectionReader::Result X11SelectionReader::read(const std::string& target, Duration& idleBudget,
                                                    std::size_t maxBytes, Duration totalLimit) {
    Result result;
    if (!isValid()) return result;
    xcb_connection_t* c = connection_.get();
    result.owner = owner();
    if (result.owner == XCB_WINDOW_NONE) {
        result.status = Status::noOwner;
        return result;
    }
    if (idleBudget <= Duration(0)) {
        result.status = Status::timedOut;
        return result;
    }
    const xcb_atom_t clipboard = connection_.atom("CLIPBOARD");
    const xcb_atom_t targetAtom = connection_.atom(target);
    const xcb_atom_t incr = connection_.atom("INCR");
    // A fresh property per request, so a late answer to an abandoned request is never taken
    // for the answer to this one.
    const xcb_atom_t property =
        connection_.atom("HARBELLE_SELECTION_" + std::to_string(nextProperty_++ % kPropertyCount));
    const auto hardDeadline = Clock::now() + totalLimit;

    discardPendingEvents();
    xcb_delete_property(c, window_, property);
    xcb_convert_selection(c, window_, clipboard, targetAtom, property, XCB_CURRENT_TIME);
    xcb_flush(c);

    XcbPtr<xcb_generic_event_t> notify(waitFor(
        [&](xcb_generic_event_t* event) {
            if (eventType(event) != XCB_SELECTION_NOTIFY) return false;
            auto* n = reinterpret_cast<xcb_selection_notify_event_t*>(event);
            return n->requestor == window_ && n->selection == clipboard && n->target == targetAtom &&
                   (n->property == property || n->property == XCB_ATOM_NONE);
        },
        idleBudget, hardDeadline));
    if (!notify) {
        result.status = xcb_connection_has_error(c) ? Status::failed : Status::timedOut;
        return result;
    }
    if (reinterpret_cast<xcb_selection_notify_event_t*>(notify.get())->property == XCB_ATOM_NONE) {
        result.status = Status::refused;
        return result;
    }

    const std::uint32_t words = static_cast<std::uint32_t>(std::min<std::size_t>(maxBytes / 4 + 1, 0x3fffffff));
    auto fetch = [&]() -> XcbPtr<xcb_get_property_reply_t> {
        auto cookie = xcb_get_property(c, 1, window_, property, XCB_GET_PROPERTY_TYPE_ANY, 0, words);
        return XcbPtr<xcb_get_property_reply_t>(xcb_get_property_reply(c, cookie, nullptr));
    };
    auto first = fetch();
    if (!first) return result;
    if (first->type != incr) {
        const int length = xcb_get_property_value_length(first.get());
        if (first->bytes_after > 0 || static_cast<std::size_t>(length) > maxBytes) {
            result.status = Status::tooLarge;
            return result;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(xcb_get_property_value(first.get()));
        result.data.assign(bytes, bytes + length);
        result.status = Status::ok;
        return result;
    }

    // Incremental transfer: deleting the property (done by the read above) asks for each chunk;
    // an empty chunk ends it.
    xcb_flush(c);
    for (;;) {
        XcbPtr<xcb_generic_event_t> event(waitFor(
            [&](xcb_generic_event_t* e) {
                if (eventType(e) != XCB_PROPERTY_NOTIFY) return false;
                auto* p = reinterpret_cast<xcb_property_notify_event_t*>(e);
                return p->window == window_ && p->atom == property && p->state == XCB_PROPERTY_NEW_VALUE;
            },
            idleBudget, hardDeadline));
        if (!event) {
            result.status = xcb_connection_has_error(c) ? Status::failed : Status::timedOut;
            result.data.clear();
            return result;
        }
        auto chunk = fetch();
        if (!chunk) return result;
        xcb_flush(c);
        const int length = xcb_get_property_value_length(chunk.get());
        if (length == 0) {
            result.status = Status::ok;
            return result;
        }
        if (result.data.size() + static_cast<std::size_t>(length) > maxBytes) {
            result.status = Status::tooLarge;
            result.data.clear();
            return result;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(xcb_get_property_value(chunk.get()));
        result.data.insert(result.data.end(), bytes, bytes + length);
    }
}

X11SelectionReader::Result X11SelectionReader::targets(Duration& idleBudget, std::vector<std::string>& names) {
    names.clear();
    Result result = read("TARGETS", idleBudget, 64 * 1024);
    if (result.status != Status::ok) return result;
    std::vector<xcb_atom_t> atoms(result.data.size() / 4);
    if (!atoms.empty()) std::memcpy(atoms.data(), result.data.data(), atoms.size() * 4);
    for (auto& name : connection_.atomNames(atoms))
        if (!name.empty()) names.push_back(std::move(name));
    return result;
}

}  // namespace harbelle::linux_x11
