#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "platform/KeyModifiers.h"

namespace harbelle {

// One system-wide key combination: a key named by its X keysym (lower-case letters are
// their ASCII code) and the modifiers that must be held with it.
struct HotKeyCombination {
    std::uint32_t keysym = 0;
    KeyModifiers modifiers = 0;

    static constexpr std::uint32_t keysymV = 0x76;
    // Shift-Command-V: Shift+Super+V.
    static HotKeyCombination shiftCommandV() { return {keysymV, ShiftModifier | SuperModifier}; }
    // Option-Command-V: Alt+Super+V, the fallback.
    static HotKeyCombination optionCommandV() { return {keysymV, AltModifier | SuperModifier}; }

    bool operator==(const HotKeyCombination&) const = default;
};

struct HotKeyError {
    enum class Kind { installFailed, registrationFailed };
    Kind kind = Kind::registrationFailed;
    // The display server's error code (10 is BadAccess: another client holds the combination),
    // or a negative value for a failure of our own.
    std::int32_t status = 0;

    std::string description() const;
    bool operator==(const HotKeyError&) const = default;
};

using HotKeyId = std::uint64_t;

// The outcome of a registration: an id to unregister with, or the error.
class HotKeyResult {
public:
    HotKeyResult(HotKeyId id) : value_(id) {}
    HotKeyResult(HotKeyError error) : value_(error) {}
    bool ok() const { return std::holds_alternative<HotKeyId>(value_); }
    HotKeyId id() const { return std::get<HotKeyId>(value_); }
    const HotKeyError& error() const { return std::get<HotKeyError>(value_); }

private:
    std::variant<HotKeyId, HotKeyError> value_;
};

// System-wide hot keys. A registration is exclusive: a combination that another client holds
// is refused with `registrationFailed`, and a refused registration leaves nothing behind.
// The press handler runs on the main thread, after the key event has been answered; holding
// the keys down (auto-repeat) presses once.
class HotKeyRegistrar {
public:
    using Handler = std::function<void()>;
    virtual ~HotKeyRegistrar() = default;
    virtual HotKeyResult registerHotKey(const HotKeyCombination& combination, Handler onPress) = 0;
    // Unknown or already removed ids are ignored.
    virtual void unregisterHotKey(HotKeyId id) = 0;
};

}  // namespace harbelle
