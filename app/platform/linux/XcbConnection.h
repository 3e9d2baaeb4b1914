#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace harbelle::linux_x11 {

// A private connection to the X server (never Qt's: its events are ours alone).
class XcbConnection {
public:
    XcbConnection();  // $DISPLAY
    ~XcbConnection();
    XcbConnection(const XcbConnection&) = delete;
    XcbConnection& operator=(const XcbConnection&) = delete;

    bool isValid() const;
    xcb_connection_t* get() const { return connection_; }
    xcb_window_t root() const { return root_; }
    int fileDescriptor() const;

    xcb_atom_t atom(const std::string& name);
    // Names of several atoms in one round trip; empty strings for unknown atoms.
    std::vector<std::string> atomNames(const std::vector<xcb_atom_t>& atoms);

    struct Property {
        xcb_atom_t type = XCB_ATOM_NONE;
        std::uint8_t format = 0;
        std::vector<std::uint8_t> value;
    };
    std::optional<Property> property(xcb_window_t window, xcb_atom_t property, bool deleteAfter = false,
                                     std::uint32_t maxBytes = 1u << 20);
    std::optional<std::uint32_t> cardinal(xcb_window_t window, const std::string& property);
    std::optional<xcb_window_t> windowProperty(xcb_window_t window, const std::string& property);
    std::vector<xcb_window_t> windowList(xcb_window_t window, const std::string& property);

private:
    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = XCB_WINDOW_NONE;
    std::unordered_map<std::string, xcb_atom_t> atoms_;
};

}  // namespace harbelle::linux_x11
