#include "platform/linux/XcbConnection.h"

#include <cstdlib>
#include <cstring>

namespace harbelle::linux_x11 {

XcbConnection::XcbConnection() {
    if (!std::getenv("DISPLAY")) return;
    int screenNumber = 0;
    connection_ = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection_)) return;
    auto it = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
    if (it.rem) root_ = it.data->root;
}

XcbConnection::~XcbConnection() {
    if (connection_) xcb_disconnect(connection_);
}

bool XcbConnection::isValid() const {
    return connection_ && !xcb_connection_has_error(connection_) && root_ != XCB_WINDOW_NONE;
}

int XcbConnection::fileDescriptor() const { return isValid() ? xcb_get_file_descriptor(connection_) : -1; }

xcb_atom_t XcbConnection::atom(const std::string& name) {
    if (!isValid()) return XCB_ATOM_NONE;
    if (auto it = atoms_.find(name); it != atoms_.end()) return it->second;
    auto cookie = xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.data());
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection_, cookie, nullptr);
    if (!reply) return XCB_ATOM_NONE;
    const xcb_atom_t result = reply->atom;
    std::free(reply);
    atoms_.emplace(name, result);
    return result;
}

std::vector<std::string> XcbConnection::atomNames(const std::vector<xcb_atom_t>& atoms) {
    std::vector<std::string> names(atoms.size());
    if (!isValid()) return names;
    std::vector<xcb_get_atom_name_cookie_t> cookies;
    cookies.reserve(atoms.size());
    for (auto atom : atoms) cookies.push_back(xcb_get_atom_name(connection_, atom));
    for (std::size_t i = 0; i < atoms.size(); ++i) {
        xcb_get_atom_name_reply_t* reply = xcb_get_atom_name_reply(connection_, cookies[i], nullptr);
        if (!reply) continue;
        names[i].assign(xcb_get_atom_name_name(reply), xcb_get_atom_name_name_length(reply));
        std::free(reply);
    }
    return names;
}

std::optional<XcbConnection::Property> XcbConnection::property(xcb_window_t window, xcb_atom_t property,
                                                               bool deleteAfter, std::uint32_t maxBytes) {
    if (!isValid() || window == XCB_WINDOW_NONE || property == XCB_ATOM_NONE) return std::nullopt;
    auto cookie = xcb_get_property(connection_, deleteAfter ? 1 : 0, window, property, XCB_GET_PROPERTY_TYPE_ANY,
                                   0, (maxBytes + 3) / 4);
    xcb_get_property_reply_t* reply = xcb_get_property_reply(connection_, cookie, nullptr);
    if (!reply) return std::nullopt;
    Property result;
    result.type = reply->type;
    result.format = reply->format;
    const int length = xcb_get_property_value_length(reply);
    if (length > 0) {
        const auto* data = static_cast<const std::uint8_t*>(xcb_get_property_value(reply));
        result.value.assign(data, data + length);
    }
    std::free(reply);
    if (result.type == XCB_ATOM_NONE) return std::nullopt;
    return result;
}

std::optional<std::uint32_t> XcbConnection::cardinal(xcb_window_t window, const std::string& name) {
    auto value = property(window, atom(name), false, 4);
    if (!value || value->format != 32 || value->value.size() < 4) return std::nullopt;
    std::uint32_t result;
    std::memcpy(&result, value->value.data(), 4);
    return result;
}

std::optional<xcb_window_t> XcbConnection::windowProperty(xcb_window_t window, const std::string& name) {
    auto value = cardinal(window, name);
    if (!value || *value == XCB_WINDOW_NONE) return std::nullopt;
    return static_cast<xcb_window_t>(*value);
}

std::vector<xcb_window_t> XcbConnection::windowList(xcb_window_t window, const std::string& name) {
    std::vector<xcb_window_t> result;
    auto value = property(window, atom(name), false, 1u << 20);
    if (!value || value->format != 32) return result;
    result.resize(value->value.size() / 4);
    if (!result.empty()) std::memcpy(result.data(), value->value.data(), result.size() * 4);  // data() may be null
    return result;
}

}  // namespace harbelle::linux_x11
