#include "shell/GlobalHotKey.h"

namespace harbelle {

std::unique_ptr<GlobalHotKey> GlobalHotKey::make(HotKeyRegistrar& registrar, const HotKeyCombination& combination,
                                                 std::function<void()> handler, HotKeyError* error) {
    HotKeyResult result = registrar.registerHotKey(combination, std::move(handler));
    if (!result.ok()) {
        if (error) *error = result.error();
        return nullptr;
    }
    return std::unique_ptr<GlobalHotKey>(new GlobalHotKey(registrar, combination, result.id()));
}

GlobalHotKey::~GlobalHotKey() { registrar_.unregisterHotKey(id_); }

}  // namespace harbelle
