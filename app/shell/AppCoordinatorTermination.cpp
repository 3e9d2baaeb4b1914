#include <QWidget>

#include "legacyimport/PasteNowImporter.h"
#include "settings/SettingsWindowController.h"
#include "history/HistoryStore.h"
#include "shell/AppCoordinator.h"
#include "shell/GlobalHotKey.h"
#include "shell/ShelfPanel.h"
#include "syncbridge/SyncCoordinator.h"

namespace harbelle {

void AppCoordinator::applicationDidBecomeActive() {
    if (terminating_) return;
    if (store_) refreshPermissionFlags();
    // Coalesced: the shelf opening makes the program active again and again.
    if (syncCoordinator_) syncCoordinator_->applicationDidBecomeActive();
}

void AppCoordinator::reopen() {
    if (!launched_ || terminating_ || !panelController_) return;
    applicationDidBecomeActive();
    showShelf();
}

void AppCoordinator::applicationWillTerminate() {
    if (terminating_) return;
    terminating_ = true;
    // A running legacy import stops at its next step instead of holding up the exit.
    PasteNowImporter::cancelRunningImport();
    // Abandons a running paste, drops its pending steps and lets any held key go.
    cancelActivePasteOperation();
    if (pasteEngine_) pasteEngine_->shutdown();
    // Stopped and joined now, so no sync step runs after the history is written.
    if (syncCoordinator_) syncCoordinator_->shutdown();
    // Writes the history before the process goes on.
    if (store_) store_->shutdown();
    if (panelController_) panelController_->shutdown();
    if (settingsWindowController_) {
        if (QWidget* window = settingsWindowController_->window()) window->hide();
    }
    // Settings changed in the last moment reach the disk before the process ends.
    if (deps_.defaults) deps_.defaults->flush();
}

void AppCoordinator::finishForExit() {
    applicationWillTerminate();
    globalHotKey_.reset();
    if (store_) store_->finishWritesForExit();
}

void AppCoordinator::terminate() {
    const bool first = !terminating_;
    applicationWillTerminate();
    if (first) deps_.quitEventLoop();
}

}  // namespace harbelle
