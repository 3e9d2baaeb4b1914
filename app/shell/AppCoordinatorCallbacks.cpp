#include <QScreen>
#include <QWidget>

#include "settings/SettingsWindowController.h"
#include "settings/UpdateManager.h"
#include "shell/AppCoordinator.h"
#include "shell/ShelfPanel.h"

namespace harbelle {

void AppCoordinator::installStoreCallbacks() {
    HistoryStore& store = *store_;
    connect(&store, &HistoryStore::pasteRequested, this,
            guarded([this](const ClipItem& item, bool plainText) { paste(item, plainText); }));
    connect(&store, &HistoryStore::hideRequested, this, guarded([this] { hideShelfAndReturn(); }));
    connect(&store, &HistoryStore::quitRequested, this, guarded([this] { quit(); }));
    connect(&store, &HistoryStore::directPasteAccessRequested, this,
            guarded([this] { requestDirectPastePermissions(); }));
    connect(&store, &HistoryStore::directPasteAccessRefreshRequested, this,
            guarded([this] { refreshPermissionFlags(); }));
    connect(&store, &HistoryStore::accessibilitySettingsRequested, this,
            guarded([this] { openAccessibilitySettings(); }));
    // Accessibility switched on or off anywhere shows at once (the set-up sheet follows it).
    if (deps_.accessibility) deps_.accessibility->onTrustChanged = guarded([this] { refreshPermissionFlags(); });
    auto finished = guarded([this] {
        startProtectedServicesIfAllowed();
        hideShelfAndReturn();
    });
    connect(&store, &HistoryStore::permissionSetupFinished, this, finished);
    updateManager_->onAutomaticCheckChoiceFinished = finished;
    connect(&store, &HistoryStore::shelfSizeSettingChanged, this,
            guarded([this] { panelController_->applyPreferredSize(); }));
    connect(&store, &HistoryStore::shelfPlacementSettingChanged, this,
            guarded([this] { panelController_->applyPreferredSize(); }));
    connect(&store, &HistoryStore::autoHideSettingChanged, this,
            guarded([this] { panelController_->restartAutoHideCountdown(); }));
    connect(&store, &HistoryStore::settingsVisibilityAnnounced, this,
            guarded([this](bool visible) { settingsVisibilityChanged(visible); }));
}

void AppCoordinator::hideShelfAndReturn() {
    if (panelController_ && panelController_->panel()) panelController_->hideShelf();
}

void AppCoordinator::settingsVisibilityChanged(bool visible) {
    if (visible) {
        QScreen* screen = nullptr;
        ShelfPanel* panel = panelController_->panel();
        if (panel) screen = panel->screen();
        // The shelf opened first and stays open behind the settings window.
        settingsWindowController_->show(screen, panel);
    } else if (QWidget* window = settingsWindowController_->window()) {
        window->hide();
    }
    panelController_->restartAutoHideCountdown();
}

void AppCoordinator::refreshPermissionFlags() {
    if (!store_) return;
    const DirectPastePermissions permissions = deps_.readPermissions();
    directPasteImpossible_ = permissions.directPasteImpossible();
    store_->setAccessibilityBusAvailable(permissions.accessibilityAvailable);
    store_->updateDirectPastePermissionStatus(permissions.accessibilityTrusted, permissions.eventPostingAllowed);
}

void AppCoordinator::forgetPasteTarget() {
    panelController_->forgetPasteTarget();
}

void AppCoordinator::requestDirectPastePermissions() {
    forgetPasteTarget();
    const DirectPastePermissions before = deps_.readPermissions();
    if (!before.accessibilityTrusted) deps_.requestAccessibility();
    if (!before.eventPostingAllowed) deps_.requestEventPosting();
    refreshPermissionFlags();
    // The user answers outside the program; follow the answer for a while.
    for (int k = 0; k < kPermissionRefreshCount; ++k) {
        later(kPermissionRefreshInterval * (k + 1), [this] { refreshPermissionFlags(); });
    }
}

void AppCoordinator::openAccessibilitySettings() {
    forgetPasteTarget();
    if (deps_.openAccessibilitySettings) deps_.openAccessibilitySettings();
}

void AppCoordinator::transitionToPermissionSetup() {
    if (store_->showSettings()) store_->setShowSettings(false);
    store_->announceSettingsVisibility(false);
    if (panelController_->show()) store_->setShowPermissionSetup(true);
}

}  // namespace harbelle
