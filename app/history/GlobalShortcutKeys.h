#pragma once

#include <QString>
#include <string>

namespace harbelle {

// The keys of the global shortcut in force, written as the shelf's key hints write them
// ("Shift+Super+V"), from the store's `globalShortcutLabel` ("⇧⌘V", "⌥⌘V" or "Menu bar"): the
// store keeps the design's labels, the user presses Super for Command here. Empty when no
// global shortcut is registered; a label of another form is shown as it is.
QString globalShortcutKeys(const std::string& label);

}  // namespace harbelle
