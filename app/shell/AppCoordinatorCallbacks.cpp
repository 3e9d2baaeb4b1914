#include <QScreen>
#include <QWidget>

#include "settings/SettingsWindowController.h"
#include "settings/UpdateManager.h"
#include "shell/AppCoordinator.h"
#include "shell/ShelfPanel.h"

namespace harbelle {

void AppCoordinator::installStoreCallbacks() {
    HistoryStore& store = *store_;
    store.onPasteRequested = guarded([this](const ClipItem& item, bool plainText) { paste(item, plainText); });
    store.onHideRequested = guarded([this] { hideShelfAndReturn(); });
    store.onRequestDirectPasteAccess = guarded([this] { requestDirectPastePermissions(); });
    store.onRefreshDirectPasteAccess = guarded([this] { refreshPermissionFlags(); });
    store.onOpenAccessibilitySettings = guarded([this] { openAccessibilitySettings(); });
    auto finished = guarded([this] {
        startProtectedServicesIfAllowed();
        hideShelfAndReturn();
    });
    store.onPermissionSetupFinished = finished;
    updateManager_->onAutomaticCheckChoiceFinished = finished;
    store.onShelfSizeChanged = guarded([this] { panelController_->applyPreferredSize(); });
    store.onShelfPlacementChanged = guarded([this] { panelController_->applyPreferredSize(); });
    store.onAutoHideChanged = guarded([this] { panelController_->restartAutoHideCountdown(); });
    store.onSettingsVisibilityChanged = guarded([this](bool visible) { settingsVisibilityChanged(visible); });
}

void AppCoordinator::hideShelfAndReturn() {
    if (panelController_ && panelController_->panel()) panelController_->hideShelf();
}

void AppCoordinator::settingsVisibilityChanged(bool visible) {
    if (visible) {
        QScreen* screen = nullptr;
        if (ShelfPanel* panel = panelController_->panel()) screen = panel->screen();
        settingsWindowController_->show(screen);
    } else if (QWidget* window = settingsWindowController_->window()) {
        window->hide();
    }
    panelController_->restartAutoHideCountdown();
}

void AppCoordinator::refreshPermissionFlags() {
    if (!store_) return;
    const DirectPastePermissions permissions = deps_.readPermissions();
    directPasteImpossible_ = permissions.directPasteImpossible();
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
    deps_.openAccessibilitySettings();
}

void AppCoordinator::transitionToPermissionSetup() {
    if (store_->showSettings()) store_->setShowSettings(false);
    if (store_->onSettingsVisibilityChanged) store_->onSettingsVisibilityChanged(false);
    if (panelController_->show()) store_->setShowPermissionSetup(true);
}

}  // namespace harbelle
