#include "history/GlobalShortcutKeys.h"

namespace harbelle {

QString globalShortcutKeys(const std::string& label) {
    if (label == "\u21e7\u2318V") return QStringLiteral("Shift+Super+V");
    if (label == "\u2325\u2318V") return QStringLiteral("Alt+Super+V");
    if (label.empty() || label == "Menu bar") return QString();
    return QString::fromStdString(label);
}

}  // namespace harbelle
