#pragma once

#include <optional>
#include <string>

#include "settings/SettingsSection.h"

namespace harbelle {

// What the settings view remembers between showings for the life of the process: the page,
// the clear alert and the Sync forms. Nothing of it is saved.
struct SettingsViewState {
    SettingsSection selection = SettingsSection::general;
    bool showClearConfirmation = false;
    std::string syncEmail;
    std::string syncPassword;
    std::string syncConfirmPassword;
    std::optional<std::string> syncError;
    bool syncBusy = false;
    bool showChangePassword = false;
    std::string newSyncPassword;
    std::string newSyncPasswordConfirm;
    std::optional<std::string> changePasswordNotice;
};

}  // namespace harbelle
