#include <algorithm>
#include "platform/linux/LinuxWorkspace.h"

#include <xcb/res.h>

#include <QCoreApplication>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include "platform/linux/AccessibilityBusStatus.h"
#include "platform/linux/X11KeyboardGrab.h"
#include "platform/linux/X11WindowPing.h"
#include "platform/linux/XcbConnection.h"

namespace harbelle {

using linux_x11::XcbConnection;

namespace {

// Qt's menus take the keyboard themselves as they open, which the server refuses while the hold
// has it: a menu of ours that opens during the hold ends it first, and so keeps the keys for as
// long as it is open, wherever the window manager has put the focus.
class PopupWatch final : public QObject {
public:
    explicit PopupWatch(x11::X11KeyboardGrab& keyboard) : keyboard_(keyboard) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched->isWidgetType() &&
            static_cast<QWidget*>(watched)->windowType() == Qt::Popup)
            keyboard_.release();
        return false;
    }

private:
    x11::X11KeyboardGrab& keyboard_;
};

}  // namespace

struct LinuxWorkspace::Impl {
    // Shared with the hot keys: the keys frozen since the hot key come to the hold.
    std::shared_ptr<x11::X11KeyboardGrab> keyboard = x11::X11KeyboardGrab::shared();
    std::unique_ptr<PopupWatch> popupWatch;
    XcbConnection x;
    X11WindowPing ping;
    QObject context;
    std::unique_ptr<QSocketNotifier> notifier;
    std::map<ObserverID, ActivationObserver> observers;
    ObserverID nextObserver = 1;
    bool drainScheduled = false;
    LinuxWorkspace* owner = nullptr;

    // The class part of WM_CLASS ("instance\0class\0").
    std::optional<std::string> windowClass(xcb_window_t window) {
        auto value = x.property(window, XCB_ATOM_WM_CLASS, false, 4096);
        if (!value || value->format != 8) return std::nullopt;
        const std::string raw(value->value.begin(), value->value.end());
        const auto split = raw.find('\0');
        if (split == std::string::npos) return raw.empty() ? std::nullopt : std::optional(raw);
        std::string cls = raw.substr(split + 1);
        if (auto end = cls.find('\0'); end != std::string::npos) cls.resize(end);
        if (cls.empty()) cls = raw.substr(0, split);
        if (cls.empty()) return std::nullopt;
        return cls;
    }

    std::optional<ProcessID> windowPID(xcb_window_t window) {
        if (auto pid = x.cardinal(window, "_NET_WM_PID"); pid && *pid > 0) return static_cast<ProcessID>(*pid);
        return clientPID(window);
    }

    // The pid of the client that made a window, from the X-Resource extension (local clients).
    std::optional<ProcessID> clientPID(xcb_window_t window) {
        if (!x.isValid() || window == XCB_WINDOW_NONE) return std::nullopt;
        xcb_res_client_id_spec_t query{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        auto cookie = xcb_res_query_client_ids(x.get(), 1, &query);
        xcb_res_query_client_ids_reply_t* reply = xcb_res_query_client_ids_reply(x.get(), cookie, nullptr);
        if (!reply) return std::nullopt;
        std::optional<ProcessID> result;
        for (auto it = xcb_res_query_client_ids_ids_iterator(reply); it.rem; xcb_res_client_id_value_next(&it)) {
            // Only the local-pid kind was asked for, so every value is a pid.
            if (xcb_res_client_id_value_value_length(it.data) < 1) continue;
            result = static_cast<ProcessID>(*xcb_res_client_id_value_value(it.data));
            break;
        }
        std::free(reply);
        return result;
    }

    // A window of the task bar: a normal or dialog window not asking to be skipped. Docks,
    // desktops, panels and skip-taskbar windows belong to accessory programs.
    ActivationPolicy windowPolicy(xcb_window_t window) {
        auto atomsOf = [&](const char* name) {
            std::vector<xcb_atom_t> atoms;
            auto value = x.property(window, x.atom(name), false, 4096);
            if (!value || value->format != 32) return atoms;
            atoms.resize(value->value.size() / 4);
            if (!atoms.empty()) std::memcpy(atoms.data(), value->value.data(), atoms.size() * 4);
            return atoms;
        };
        for (xcb_atom_t state : atomsOf("_NET_WM_STATE"))
            if (state == x.atom("_NET_WM_STATE_SKIP_TASKBAR")) return ActivationPolicy::accessory;
        const auto types = atomsOf("_NET_WM_WINDOW_TYPE");
        if (types.empty()) return ActivationPolicy::regular;  // no type: normal by the EWMH rule
        const xcb_atom_t first = types.front();
        if (first == x.atom("_NET_WM_WINDOW_TYPE_NORMAL") || first == x.atom("_NET_WM_WINDOW_TYPE_DIALOG"))
            return ActivationPolicy::regular;
        return ActivationPolicy::accessory;
    }

    RunningApplication application(std::optional<ProcessID> pid, std::optional<std::string> cls) {
        RunningApplication app;
        app.processIdentifier = pid;
        app.bundleIdentifier = cls;
        if (cls) app.localizedName = cls;
        else if (pid) app.localizedName = processName(*pid);
        return app;
    }

    // Client windows, topmost last.
    std::vector<xcb_window_t> clientWindows() {
        auto windows = x.windowList(x.root(), "_NET_CLIENT_LIST_STACKING");
        if (windows.empty()) windows = x.windowList(x.root(), "_NET_CLIENT_LIST");
        return windows;
    }

    void scheduleDrain() {
        // Replies read on this connection may have pulled events off the socket, where the
        // notifier no longer sees them.
        if (drainScheduled) return;
        drainScheduled = true;
        QTimer::singleShot(0, &context, [this] { drain(); });
    }

    void drain() {
        drainScheduled = false;
        if (!x.isValid()) return;
        const xcb_atom_t active = x.atom("_NET_ACTIVE_WINDOW");
        bool changed = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(x.get())) {
            if ((event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY) {
                auto* notify = reinterpret_cast<xcb_property_notify_event_t*>(event);
                if (notify->window == x.root() && notify->atom == active) changed = true;
            }
            std::free(event);
        }
        if (!changed || observers.empty()) return;
        const auto frontmost = owner->frontmostApplication();
        auto copy = observers;  // an observer may remove itself
        for (auto& [id, observer] : copy)
            if (observers.count(id)) observer(frontmost);
    }
};

LinuxWorkspace::LinuxWorkspace()
    : impl_(std::make_unique<Impl>()), busStatus_(std::make_unique<AccessibilityBusStatus>()) {
    impl_->owner = this;
    busStatus_->start(false);
    if (!impl_->x.isValid()) return;
    const std::uint32_t values[] = {XCB_EVENT_MASK_PROPERTY_CHANGE};
    xcb_change_window_attributes(impl_->x.get(), impl_->x.root(), XCB_CW_EVENT_MASK, values);
    xcb_flush(impl_->x.get());
    impl_->notifier = std::make_unique<QSocketNotifier>(impl_->x.fileDescriptor(), QSocketNotifier::Read);
    QObject::connect(impl_->notifier.get(), &QSocketNotifier::activated, &impl_->context, [this] { impl_->drain(); });
}

LinuxWorkspace::~LinuxWorkspace() = default;

std::optional<std::string> LinuxWorkspace::processName(ProcessID pid) {
    if (pid <= 0) return std::nullopt;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!comm || !std::getline(comm, name) || name.empty()) return std::nullopt;
    return name;
}

std::optional<std::uint32_t> LinuxWorkspace::frontmostWindow() {
    if (!impl_->x.isValid()) return std::nullopt;
    auto window = impl_->x.windowProperty(impl_->x.root(), "_NET_ACTIVE_WINDOW");
    // The property can outlive its window, and X reuses window ids for new clients: only a
    // window the window manager still lists counts as frontmost.
    if (window && *window != XCB_WINDOW_NONE) {
        const auto clients = impl_->clientWindows();
        if (std::find(clients.begin(), clients.end(), *window) == clients.end()) window.reset();
    } else {
        window.reset();
    }
    impl_->scheduleDrain();
    return window;
}

std::optional<RunningApplication> LinuxWorkspace::frontmostApplication() {
    const auto window = frontmostWindow();
    if (!window) return std::nullopt;
    auto app = impl_->application(impl_->windowPID(*window), impl_->windowClass(*window));
    app.activationPolicy = impl_->windowPolicy(*window);
    impl_->scheduleDrain();
    return app;
}

std::optional<RunningApplication> LinuxWorkspace::runningApplication(ProcessID pid) {
    if (pid <= 0) return std::nullopt;
    std::optional<std::string> cls;
    if (impl_->x.isValid()) {
        const auto windows = impl_->clientWindows();
        for (auto it = windows.rbegin(); it != windows.rend() && !cls; ++it)
            if (impl_->windowPID(*it) == pid) cls = impl_->windowClass(*it);
        impl_->scheduleDrain();
    }
    if (!cls && !processName(pid)) return std::nullopt;  // no such process
    return impl_->application(pid, cls);
}

bool LinuxWorkspace::activateWindow(std::uint32_t window) {
    if (!impl_->x.isValid() || window == XCB_WINDOW_NONE) return false;
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = impl_->x.atom("_NET_ACTIVE_WINDOW");
    event.data.data32[0] = 2;  // from a pager: window managers honour these without focus-stealing rules
    event.data.data32[1] = XCB_CURRENT_TIME;
    event.data.data32[2] = impl_->x.windowProperty(impl_->x.root(), "_NET_ACTIVE_WINDOW").value_or(XCB_WINDOW_NONE);
    xcb_send_event(impl_->x.get(), 0, impl_->x.root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(impl_->x.get());
    impl_->scheduleDrain();
    return true;
}

bool LinuxWorkspace::activate(ProcessID pid) {
    if (!impl_->x.isValid() || pid <= 0) return false;
    const auto windows = impl_->clientWindows();
    for (auto it = windows.rbegin(); it != windows.rend(); ++it)
        if (impl_->windowPID(*it) == pid) return activateWindow(*it);
    impl_->scheduleDrain();
    return false;
}

std::optional<ProcessID> LinuxWorkspace::clipboardOwnerProcess() {
    if (!impl_->x.isValid()) return std::nullopt;
    auto cookie = xcb_get_selection_owner(impl_->x.get(), impl_->x.atom("CLIPBOARD"));
    xcb_get_selection_owner_reply_t* reply = xcb_get_selection_owner_reply(impl_->x.get(), cookie, nullptr);
    if (!reply) return std::nullopt;
    const xcb_window_t owner = reply->owner;
    std::free(reply);
    if (owner == XCB_WINDOW_NONE) return std::nullopt;
    auto pid = impl_->windowPID(owner);
    impl_->scheduleDrain();
    return pid;
}

bool LinuxWorkspace::holdKeyboardFor(std::uint64_t window) {
    if (!impl_->popupWatch && QCoreApplication::instance()) {
        impl_->popupWatch = std::make_unique<PopupWatch>(*impl_->keyboard);
        QCoreApplication::instance()->installEventFilter(impl_->popupWatch.get());
    }
    return impl_->keyboard->hold(static_cast<xcb_window_t>(window));
}

void LinuxWorkspace::releaseKeyboard() { impl_->keyboard->release(); }

void LinuxWorkspace::pingWindow(std::uint32_t window, std::chrono::milliseconds within,
                                std::function<void(bool)> answered) {
    impl_->ping.ping(window, within, std::move(answered));
}

bool LinuxWorkspace::screenReaderEnabled() {
    return busStatus_ && busStatus_->screenReaderEnabled();
}

Workspace::ObserverID LinuxWorkspace::addActivationObserver(ActivationObserver observer) {
    const ObserverID id = impl_->nextObserver++;
    impl_->observers.emplace(id, std::move(observer));
    return id;
}

void LinuxWorkspace::removeActivationObserver(ObserverID id) { impl_->observers.erase(id); }

}  // namespace harbelle
