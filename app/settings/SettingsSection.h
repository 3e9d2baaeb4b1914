#pragma once

#include <array>
#include <string_view>

namespace harbelle {

// The settings pages in sidebar order.
enum class SettingsSection { general, appearance, privacy, sync, shortcuts, about };

inline constexpr std::array<SettingsSection, 6> kAllSettingsSections{
    SettingsSection::general, SettingsSection::appearance, SettingsSection::privacy,
    SettingsSection::sync,    SettingsSection::shortcuts,  SettingsSection::about};

// The page's title, which is also its name.
constexpr std::string_view settingsSectionTitle(SettingsSection section) {
    switch (section) {
    case SettingsSection::general: return "General";
    case SettingsSection::appearance: return "Appearance";
    case SettingsSection::privacy: return "Privacy";
    case SettingsSection::sync: return "Sync";
    case SettingsSection::shortcuts: return "Shortcuts";
    case SettingsSection::about: return "About";
    }
    return "General";
}

}  // namespace harbelle
