#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/LoginItemService.h"

namespace harbelle {

// The XDG autostart entry "$XDG_CONFIG_HOME/autostart/com.harbelleapp.Harbelle.desktop" that
// starts the program at login by its absolute path.
class XdgAutostartLoginItem final : public LoginItemService {
public:
    static constexpr const char* kFileName = "com.harbelleapp.Harbelle.desktop";
    static constexpr const char* kErrorDomain = "com.harbelleapp.Harbelle.autostart";

    // `executable` defaults to the running program's absolute path.
    explicit XdgAutostartLoginItem(std::optional<std::filesystem::path> executable = std::nullopt);

    LoginItemStatus status() override;
    std::optional<LoginItemError> registerItem() override;
    std::optional<LoginItemError> unregisterItem() override;
    void unregisterItem(Completion completion) override;

    std::filesystem::path entryPath() const;
    const std::filesystem::path& executable() const { return executable_; }
    // The program as an Exec= value: quoted and escaped per the desktop entry rules.
    static std::string execValue(const std::filesystem::path& executable);
    // Whether an Exec= value can name this path exactly: desktop entries are UTF-8 text without
    // control characters, so other paths cannot be started from one.
    static bool canBeWrittenFaithfully(const std::filesystem::path& executable);

private:
    std::filesystem::path executable_;
};

}  // namespace harbelle
