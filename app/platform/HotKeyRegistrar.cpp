#include "platform/HotKeyRegistrar.h"

namespace harbelle {

std::string HotKeyError::description() const {
    const std::string code = std::to_string(status);
    if (kind == Kind::installFailed) return "Could not install the hotkey handler (" + code + ").";
    return "Shift+Super+V is already used by another program (" + code + ").";
}

}  // namespace harbelle
