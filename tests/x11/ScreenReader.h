#pragma once

// What a screen reader sees of the program (its AT-SPI tree), and what the X server shows of
// its windows (geometry and stacking as the window manager keeps them).

#include <atspi/atspi.h>

#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QStringList>

#include <future>
#include <optional>
#include <string>
#include <vector>

namespace harbelle::testing {

// What a screen reader sees of one control.
struct Control {
    bool found = false;
    bool checked = false;
    bool focused = false;  // has the keyboard focus in its window
    std::string name;
    std::string text;  // the shown text, for a choice box its current entry
    std::vector<std::string> actions;
    QRect extents;  // on the screen
    // The vertical scroll bar of the nearest scroll area around it, when that shows one.
    std::optional<double> paneScrollValue;
    // Its ancestors from the application down: role names and screen rectangles.
    std::vector<std::pair<std::string, QRect>> ancestors;

    // What its ancestors leave of the screen: a control scrolled out of a scroll area's
    // viewport lies outside it.
    QRect visibleArea() const {
        QRect area(QPoint(-100000, -100000), QPoint(100000, 100000));
        for (const auto& [role, rect] : ancestors)
            if (!rect.isEmpty()) area &= rect;
        return area;
    }
};

// Walks the program's accessibility tree for the first element with `role` and `name`. Runs
// on a thread of its own: AT-SPI calls block on the bus.
class ScreenReader {
public:
    explicit ScreenReader(qint64 pid) : pid_(pid) {}

    // Reads the control (the first of its role when `name` is empty), optionally doing the named action on it first.
    // A shown control comes before a hidden one of the same role and name (a sheet not presented).
    std::optional<Control> use(AtspiRole role, const std::string& name, const std::string& action = {}) {
        return std::async(std::launch::async, [=, this] { return useNow(role, name, action); }).get();
    }

private:
    struct Pane {
        std::optional<double> scrollValue;
    };
    // Where the first match that is not showing is kept while the search goes on.
    struct Hidden {
        AtspiAccessible** node;
        Pane* pane;
        std::vector<std::pair<std::string, QRect>>* path;
    };

    static std::optional<Control> found(AtspiAccessible* node, const std::string& action, Pane pane,
                                        std::vector<std::pair<std::string, QRect>> path) {
        auto control = read(node, action);
        gchar* nodeName = atspi_accessible_get_name(node, nullptr);
        control->name = nodeName ? nodeName : "";
        g_free(nodeName);
        control->paneScrollValue = pane.scrollValue;
        control->ancestors = std::move(path);
        return control;
    }

    std::optional<Control> useNow(AtspiRole role, const std::string& name, const std::string& action) {
        atspi_init();
        AtspiAccessible* desktop = atspi_get_desktop(0);
        std::optional<Control> result;
        AtspiAccessible* hidden = nullptr;
        Pane hiddenPane;
        std::vector<std::pair<std::string, QRect>> hiddenPath;
        const int apps = atspi_accessible_get_child_count(desktop, nullptr);
        for (int i = 0; i < apps && !result; ++i) {
            AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, nullptr);
            if (!app) continue;
            if (atspi_accessible_get_process_id(app, nullptr) == static_cast<guint>(pid_)) {
                Hidden first{&hidden, &hiddenPane, &hiddenPath};
                result = search(app, role, name, action, 0, Pane{}, {}, &first);
            }
            g_object_unref(app);
        }
        if (!result && hidden) result = found(hidden, action, hiddenPane, std::move(hiddenPath));
        if (hidden) g_object_unref(hidden);
        g_object_unref(desktop);
        return result;
    }

    std::optional<Control> search(AtspiAccessible* node, AtspiRole role, const std::string& name,
                                  const std::string& action, int depth, Pane pane,
                                  std::vector<std::pair<std::string, QRect>> path = {}, Hidden* hidden = nullptr) {
        if (depth > 40) return std::nullopt;
        gchar* nodeName = atspi_accessible_get_name(node, nullptr);
        const std::string own = nodeName ? nodeName : "";
        g_free(nodeName);
        const AtspiRole nodeRole = atspi_accessible_get_role(node, nullptr);
        if (nodeRole == role && (name.empty() || own == name)) {
            AtspiStateSet* states = atspi_accessible_get_state_set(node);
            const bool showing = atspi_state_set_contains(states, ATSPI_STATE_SHOWING);
            g_object_unref(states);
            if (showing || !hidden) return found(node, action, pane, std::move(path));
            if (!*hidden->node) {
                *hidden->node = static_cast<AtspiAccessible*>(g_object_ref(node));
                *hidden->pane = pane;
                *hidden->path = path;
            }
            return std::nullopt;
        }
        const int children = atspi_accessible_get_child_count(node, nullptr);
        // Qt names a scroll area's node a plain client area: it is the one with a scroll bar.
        if (nodeRole == ATSPI_ROLE_SCROLL_PANE || hasScrollBar(node, children)) pane = readPane(node, children);
        gchar* roleName = atspi_accessible_get_role_name(node, nullptr);
        path.emplace_back(roleName ? roleName : "", extentsOf(node));
        g_free(roleName);
        for (int i = 0; i < children; ++i) {
            AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, nullptr);
            if (!child) continue;
            auto match = search(child, role, name, action, depth + 1, pane, path, hidden);
            g_object_unref(child);
            if (match) return match;
        }
        return std::nullopt;
    }

    static QRect extentsOf(AtspiAccessible* node) {
        QRect rect;
        if (AtspiComponent* component = atspi_accessible_get_component_iface(node)) {
            if (AtspiRect* r = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, nullptr)) {
                rect = QRect(r->x, r->y, r->width, r->height);
                g_free(r);
            }
            g_object_unref(component);
        }
        return rect;
    }

    static bool hasScrollBar(AtspiAccessible* node, int children) {
        bool found = false;
        for (int i = 0; i < children && !found; ++i) {
            AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, nullptr);
            if (!child) continue;
            found = atspi_accessible_get_role(child, nullptr) == ATSPI_ROLE_SCROLL_BAR;
            g_object_unref(child);
        }
        return found;
    }

    static Pane readPane(AtspiAccessible* node, int children) {
        Pane pane;
        for (int i = 0; i < children; ++i) {
            AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, nullptr);
            if (!child) continue;
            AtspiStateSet* states = atspi_accessible_get_state_set(child);
            const bool showing = atspi_state_set_contains(states, ATSPI_STATE_SHOWING);
            const bool vertical = atspi_state_set_contains(states, ATSPI_STATE_VERTICAL);
            g_object_unref(states);
            if (atspi_accessible_get_role(child, nullptr) == ATSPI_ROLE_SCROLL_BAR && showing && vertical) {
                if (AtspiValue* value = atspi_accessible_get_value_iface(child)) {
                    pane.scrollValue = atspi_value_get_current_value(value, nullptr);
                    g_object_unref(value);
                }
            }
            g_object_unref(child);
        }
        return pane;
    }

    static std::optional<Control> read(AtspiAccessible* node, const std::string& action) {
        Control control;
        control.found = true;
        AtspiStateSet* states = atspi_accessible_get_state_set(node);
        control.checked = atspi_state_set_contains(states, ATSPI_STATE_CHECKED);
        control.focused = atspi_state_set_contains(states, ATSPI_STATE_FOCUSED);
        g_object_unref(states);
        control.extents = extentsOf(node);
        if (AtspiText* text = atspi_accessible_get_text_iface(node)) {
            gchar* shown = atspi_text_get_text(text, 0, -1, nullptr);
            control.text = shown ? shown : "";
            g_free(shown);
            g_object_unref(text);
        }
        if (AtspiAction* actions = atspi_accessible_get_action_iface(node)) {
            const int count = atspi_action_get_n_actions(actions, nullptr);
            for (int i = 0; i < count; ++i) {
                gchar* actionName = atspi_action_get_action_name(actions, i, nullptr);
                control.actions.push_back(actionName ? actionName : "");
                g_free(actionName);
                if (!action.empty() && control.actions.back() == action) atspi_action_do_action(actions, i, nullptr);
            }
            g_object_unref(actions);
        }
        return control;
    }

    qint64 pid_;
};

// The program started with its accessibility tree on, whatever the desktop's switch says, so
// that a test can read it as a screen reader would.
struct AccessibleLaunch {
    AccessibleLaunch() { qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1"); }
    ~AccessibleLaunch() { qunsetenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"); }
};

// ---- What the X server shows ----------------------------------------------------------------------

inline QString runAndRead(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(5000);
    return QString::fromUtf8(process.readAllStandardOutput());
}

// The shown windows whose title matches `pattern` (a regular expression).
inline std::vector<quint32> visibleWindowsNamed(const QString& pattern) {
    std::vector<quint32> windows;
    const QString out = runAndRead(QStringLiteral("xdotool"),
                                   {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"), pattern});
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) windows.push_back(line.trimmed().toUInt());
    return windows;
}

// A menu or list the program shows: a window of its own that bypasses the window manager, at least
// `minHeight` tall (a tooltip is smaller than the placement menu's four entries).
inline bool popupShown(qint64 pid, int minHeight = 80) {
    const QString windows = runAndRead(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                                                   QStringLiteral("--pid"), QString::number(pid)});
    for (const QString& window : windows.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString info = runAndRead(QStringLiteral("xwininfo"), {QStringLiteral("-id"), window.trimmed()});
        const QRegularExpressionMatch height = QRegularExpression(QStringLiteral("Height: (\\d+)")).match(info);
        if (info.contains(QStringLiteral("Override Redirect State: yes")) && height.hasMatch() &&
            height.captured(1).toInt() >= minHeight)
            return true;
    }
    return false;
}

// A window's rectangle on the screen as the X server has it; with `frame`, the window manager's
// frame around it (title bar and borders) included.
inline QRect windowGeometry(quint32 window, bool frame = false) {
    QStringList arguments = {QStringLiteral("-id"), QString::number(window)};
    if (frame) arguments.prepend(QStringLiteral("-frame"));
    const QString out = runAndRead(QStringLiteral("xwininfo"), arguments);
    auto number = [&](const char* label) {
        const QRegularExpression pattern(QString::fromLatin1(label) + QStringLiteral(":\\s+(-?\\d+)"));
        const auto match = pattern.match(out);
        return match.hasMatch() ? match.captured(1).toInt() : -1;
    };
    return QRect(number("Absolute upper-left X"), number("Absolute upper-left Y"), number("Width"), number("Height"));
}

// The managed windows from bottom to top (_NET_CLIENT_LIST_STACKING).
inline std::vector<quint32> stackingOrder() {
    std::vector<quint32> windows;
    const QString out = runAndRead(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_CLIENT_LIST_STACKING")});
    const QRegularExpression id(QStringLiteral("0x[0-9a-fA-F]+"));
    for (auto it = id.globalMatch(out); it.hasNext();) windows.push_back(it.next().captured(0).toUInt(nullptr, 16));
    return windows;
}

// Whether `upper` is stacked above `lower`; false when either is not managed.
inline bool stackedAbove(quint32 upper, quint32 lower) {
    const auto order = stackingOrder();
    const auto u = std::find(order.begin(), order.end(), upper);
    const auto l = std::find(order.begin(), order.end(), lower);
    return u != order.end() && l != order.end() && u > l;
}

}  // namespace harbelle::testing
