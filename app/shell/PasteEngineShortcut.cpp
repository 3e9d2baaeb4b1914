// Which key pastes into a window. Terminals hand Ctrl+V to the program inside as a control
// character, so they paste with Ctrl+Shift+V; the xterm family has no key for the clipboard at
// all in its default set-up, only Shift+Insert for the primary selection. Told apart by the
// window class (WM_CLASS), compared without case.
#include <QString>
#include <array>
#include <string_view>

#include "shell/PasteEngine.h"

namespace harbelle {

namespace {

constexpr std::array<std::string_view, 36> kCtrlShiftVTerminals{
    "gnome-terminal", "gnome-terminal-server", "org.gnome.terminal", "org.gnome.console", "kgx",
    "konsole", "org.kde.konsole", "xfce4-terminal", "kitty", "alacritty", "lxterminal", "terminator",
    "tilix", "com.gexperts.tilix", "mate-terminal", "qterminal", "sakura", "terminology", "guake",
    "tilda", "st", "st-256color", "wezterm", "org.wezfurlong.wezterm", "foot", "footclient",
    "roxterm", "deepin-terminal", "io.elementary.terminal", "cool-retro-term", "ptyxis",
    "org.gnome.ptyxis", "com.raggesilver.blackbox", "ghostty", "com.mitchellh.ghostty", "contour"};

// Their default Shift+Insert pastes the primary selection; they have no key for the clipboard.
constexpr std::array<std::string_view, 7> kPrimarySelectionTerminals{
    "xterm", "uxterm", "rxvt", "urxvt", "urxvt-unicode", "aterm", "eterm"};

// No key pastes anything here: the mouse does.
constexpr std::array<std::string_view, 1> kTerminalsWithoutPasteKey{"9term"};

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& names, const std::string& name) {
    for (std::string_view known : names)
        if (name == known) return true;
    return false;
}

}  // namespace

std::optional<PasteShortcut> PasteEngine::pasteShortcutFor(const std::optional<std::string>& windowClass) {
    if (!windowClass) return PasteShortcut::controlV;
    const std::string name = QString::fromStdString(*windowClass).trimmed().toLower().toStdString();
    if (contains(kCtrlShiftVTerminals, name)) return PasteShortcut::controlShiftV;
    if (contains(kPrimarySelectionTerminals, name)) return PasteShortcut::shiftInsert;
    if (contains(kTerminalsWithoutPasteKey, name)) return std::nullopt;
    return PasteShortcut::controlV;
}

}  // namespace harbelle
