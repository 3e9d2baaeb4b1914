// The launch-at-login toggle.
#include "history/HistoryStore.h"
#include "history/LaunchAtLoginRegistration.h"

namespace harbelle {

void HistoryStore::updateLaunchAtLogin(bool enabled) {
    if (!loginItemService_) {
        // Nothing can register the program: the wish stays as it was.
        showToast("Could not change login setting", ToastTone::error);
        return;
    }
    const bool on = LaunchAtLoginRegistration::updateLaunchAtLogin(
        enabled, defaults_, *loginItemService_,
        [this](const std::string& message, ToastTone tone) { showToast(message, tone); });
    launchAtLogin_ = on;
    emit launchAtLoginChanged();
}

}  // namespace harbelle
