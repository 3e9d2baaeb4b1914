#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/XcbConnection.h"

namespace harbelle::linux_x11 {

// Reads the CLIPBOARD selection on a private connection and window, with deadlines, so that
// an owner that never answers cannot hold the caller: Qt's own reads wait 5 s per format.
class X11SelectionReader {
public:
    enum class Status { ok, noOwner, refused, timedOut, tooLarge, failed };
    struct Result {
        Status status = Status::failed;
        std::vector<std::uint8_t> data;
        std::uint32_t owner = 0;
    };
    using Duration = std::chrono::milliseconds;

    X11SelectionReader();
    ~X11SelectionReader();

    bool isValid() const;
    std::uint32_t owner();
    // Names of the offered targets, as the owner lists them.
    Result targets(Duration& idleBudget, std::vector<std::string>& names);
    // One target's data. `idleBudget` is the time left to wait for an owner that sends
    // nothing; waiting uses it up. A transfer in progress also ends after `totalLimit`.
    Result read(const std::string& target, Duration& idleBudget, std::size_t maxBytes,
                Duration totalLimit = Duration(3000));

private:
    XcbConnection connection_;
    xcb_window_t window_ = XCB_WINDOW_NONE;
    unsigned nextProperty_ = 0;

    void discardPendingEvents();
    // Waits for an event matching `accept` until the budget or the total deadline runs out.
    template <typename Accept>
    xcb_generic_event_t* waitFor(Accept accept, Duration& idleBudget,
                                 std::chrono::steady_clock::time_point hardDeadline);
};

}  // namespace harbelle::linux_x11
