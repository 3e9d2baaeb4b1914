#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/HotKeyRegistrar.h"

namespace harbelle {

// Owner of one registered system-wide hot key: either fully registered or never handed out.
// Dropping it unregisters the key.
class GlobalHotKey final {
public:
    using HotKeyError = harbelle::HotKeyError;

    // Registers the combination, or returns nothing and fills `error`.
    static std::unique_ptr<GlobalHotKey> make(HotKeyRegistrar& registrar, const HotKeyCombination& combination,
                                              std::function<void()> handler, HotKeyError* error = nullptr);
    ~GlobalHotKey();

    GlobalHotKey(const GlobalHotKey&) = delete;
    GlobalHotKey& operator=(const GlobalHotKey&) = delete;

    const HotKeyCombination& combination() const { return combination_; }

private:
    GlobalHotKey(HotKeyRegistrar& registrar, HotKeyCombination combination, HotKeyId id)
        : registrar_(registrar), combination_(combination), id_(id) {}

    HotKeyRegistrar& registrar_;
    HotKeyCombination combination_;
    HotKeyId id_;
};

}  // namespace harbelle
