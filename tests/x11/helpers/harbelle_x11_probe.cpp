// A small X client for the integration tests, outside the test process:
//   harbelle_x11_probe own TYPE=FILE...   owns CLIPBOARD, offering each file under its type,
//                                         until another client takes the selection
//   harbelle_x11_probe window CLASS       maps a window of that class, until killed
//   harbelle_x11_probe held KEYSYM        exits 0 when another client holds Shift+Super+KEYSYM
//                                         (hex) as a hot key; the check grabs the server meanwhile
//   harbelle_x11_probe cursor -           prints a fingerprint of the pointer's shown cursor image
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

xcb_connection_t* c;
xcb_window_t root;

xcb_atom_t atom(const std::string& name) {
    auto reply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, name.size(), name.data()), nullptr);
    xcb_atom_t a = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(reply);
    return a;
}

xcb_window_t makeWindow(bool mapped) {
    xcb_window_t window = xcb_generate_id(c);
    const uint32_t values[] = {XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, root, 100, 100, 320, 200, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, values);
    const uint32_t pid = static_cast<uint32_t>(getpid());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
    if (mapped) xcb_map_window(c, window);
    return window;
}

int own(const std::map<std::string, std::string>& offers) {
    const xcb_window_t window = makeWindow(false);
    const xcb_atom_t clipboard = atom("CLIPBOARD"), targets = atom("TARGETS"), timestamp = atom("TIMESTAMP");
    std::map<xcb_atom_t, std::string> data;
    for (const auto& [type, contents] : offers) data[atom(type)] = contents;
    xcb_set_selection_owner(c, window, clipboard, XCB_CURRENT_TIME);
    xcb_flush(c);
    while (xcb_generic_event_t* event = xcb_wait_for_event(c)) {
        const uint8_t type = event->response_type & 0x7f;
        if (type == XCB_SELECTION_CLEAR) {
            std::free(event);
            return 0;
        }
        if (type == XCB_SELECTION_REQUEST) {
            auto* request = reinterpret_cast<xcb_selection_request_event_t*>(event);
            xcb_selection_notify_event_t notify{};
            notify.response_type = XCB_SELECTION_NOTIFY;
            notify.time = request->time;
            notify.requestor = request->requestor;
            notify.selection = request->selection;
            notify.target = request->target;
            notify.property = request->property == XCB_ATOM_NONE ? request->target : request->property;
            if (request->target == targets) {
                std::vector<xcb_atom_t> list{targets, timestamp};
                for (const auto& entry : data) list.push_back(entry.first);
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, request->requestor, notify.property, XCB_ATOM_ATOM, 32,
                                    list.size(), list.data());
            } else if (auto it = data.find(request->target); it != data.end()) {
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, request->requestor, notify.property, request->target, 8,
                                    it->second.size(), it->second.data());
            } else {
                notify.property = XCB_ATOM_NONE;
            }
            xcb_send_event(c, 0, request->requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&notify));
            xcb_flush(c);
        }
        std::free(event);
    }
    return 1;
}

int window(const std::string& cls) {
    const xcb_window_t w = makeWindow(true);
    const std::string wmClass = std::string("probe") + '\0' + cls + '\0';
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, wmClass.size(),
                        wmClass.data());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, cls.size(), cls.data());
    xcb_flush(c);
    while (xcb_generic_event_t* event = xcb_wait_for_event(c)) std::free(event);
    return 0;
}

// Whether another client has grabbed Shift+Super+the key: a grab of our own is refused then.
// The server is held meanwhile, so our probe never stands in another client's way.
int held(const char* keysymHex) {
    const xcb_keysym_t wanted = static_cast<xcb_keysym_t>(std::strtoul(keysymHex, nullptr, 16));
    const xcb_setup_t* setup = xcb_get_setup(c);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    auto* mapping = xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, setup->min_keycode, count), nullptr);
    if (!mapping) return 3;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(mapping);
    xcb_keycode_t keycode = 0;
    for (int i = 0; i < count * mapping->keysyms_per_keycode && !keycode; ++i)
        if (syms[i] == wanted) keycode = static_cast<xcb_keycode_t>(setup->min_keycode + i / mapping->keysyms_per_keycode);
    std::free(mapping);
    if (!keycode) return 3;
    const std::uint16_t modifiers = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4;
    xcb_grab_server(c);
    xcb_generic_error_t* error = xcb_request_check(
        c, xcb_grab_key_checked(c, 0, root, modifiers, keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    const bool taken = error && error->error_code == 10;  // BadAccess
    if (!error) xcb_ungrab_key(c, keycode, root, modifiers);
    std::free(error);
    xcb_ungrab_server(c);
    xcb_flush(c);
    xcb_disconnect(c);
    return taken ? 0 : 1;
}

// The cursor as the user sees it: its size, hot spot and pixels, hashed (FNV-1a).
int cursor() {
    auto* version = xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr);
    std::free(version);
    auto* image = xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr);
    if (!image) return 3;
    std::uint64_t hash = 1469598103934665603ull;
    const auto mix = [&](std::uint32_t value) {
        for (int i = 0; i < 4; ++i) hash = (hash ^ ((value >> (8 * i)) & 0xff)) * 1099511628211ull;
    };
    for (std::uint32_t value : {std::uint32_t(image->width), std::uint32_t(image->height), std::uint32_t(image->xhot),
                                std::uint32_t(image->yhot)})
        mix(value);
    const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(image);
    for (int i = 0, n = xcb_xfixes_get_cursor_image_cursor_image_length(image); i < n; ++i) mix(pixels[i]);
    std::printf("%016llx\n", static_cast<unsigned long long>(hash));
    std::free(image);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    int screenNumber = 0;
    c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c)) return 3;
    auto it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i) xcb_screen_next(&it);
    root = it.data->root;
    const std::string mode = argv[1];
    if (mode == "window") return window(argv[2]);
    if (mode == "held") return held(argv[2]);
    if (mode == "cursor") return cursor();
    if (mode != "own") return 2;
    std::map<std::string, std::string> offers;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto equals = arg.find('=');
        if (equals == std::string::npos) return 2;
        std::ifstream file(arg.substr(equals + 1), std::ios::binary);
        offers[arg.substr(0, equals)] = std::string(std::istreambuf_iterator<char>(file), {});
    }
    return own(offers);
}
