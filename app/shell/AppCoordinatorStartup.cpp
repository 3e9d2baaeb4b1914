#include <QScreen>

#include "legacyimport/PasteNowImporter.h"
#include "platform/BundleInfo.h"
#include "platform/LoginItemService.h"
#include "settings/SettingsWindowController.h"
#include "settings/UpdateManager.h"
#include "shell/AppCoordinator.h"
#include "shell/ShelfPanel.h"
#include <cstdlib>

#include "syncbridge/SyncCoordinator.h"
#include "syncbridge/SyncDerivativeMaker.h"

namespace harbelle {

void AppCoordinator::applicationDidFinishLaunching() {
    // A termination signal can arrive before the loop's first turn.
    if (launched_ || terminating_) return;
    launched_ = true;
    const LaunchArguments& arguments = deps_.arguments;

    deps_.setAccessoryActivationPolicy();

    if (arguments.diagnosePermissions()) {
        const DirectPastePermissions permissions = deps_.readPermissions();
        for (const auto& line :
             launchreport::permissionReport(permissions.accessibilityTrusted, permissions.eventPostingAllowed)) {
            deps_.writeOutput(line);
        }
        terminate();
        return;
    }

    if (arguments.refreshLoginItemAndExit()) {
        deps_.refreshLoginItem(guarded([this](const LaunchAtLoginRegistration::RefreshResult& result) {
            if (result.succeeded()) {
                deps_.writeOutput(launchreport::loginItemRefreshed(static_cast<int>(*result.status)));
                deps_.exitProcess(0);
            } else {
                const std::string description = result.error ? result.error->localizedDescription : std::string();
                deps_.writeError(launchreport::loginItemRefreshFailed(description));
                deps_.exitProcess(1);
            }
        }));
        return;
    }

    demoMode_ = arguments.demoMode();

    HistoryStoreOptions storeOptions;
    storeOptions.demoMode = demoMode_;
    storeOptions.autoHideOverride = arguments.autoHideOverride();
    storeOptions.pasteboard = deps_.pasteboard;
    storeOptions.workspace = deps_.workspace;
    storeOptions.textRecognizer = deps_.textRecognizer;
    storeOptions.loginItemService = deps_.loginItemService;
    store_ = deps_.makeStore(std::move(storeOptions));
    store_->setAccessibilitySettingsAvailable(static_cast<bool>(deps_.openAccessibilitySettings));
    // Imported clips paste what the outside program preserved, from their archives.
    store_->makeLegacyPasteboardItem = PasteNowImporter::makeLegacyPasteboardItem;

    if (!demoMode_) {
        deps_.prepareUpdateChoiceMigration(UpdateManager::hasValidDirectDistributionConfiguration(*deps_.bundle));
    }

    updateManager_ = deps_.makeUpdateManager();

    if (!demoMode_) {
        // The system's status is read only when the first two conditions hold.
        const bool needsRefresh = store_->migratedLegacyPreferences() && store_->launchAtLogin() &&
                                  !(deps_.loginItemService && isLoginItemOn(deps_.loginItemService->status()));
        if (arguments.refreshLoginItem() || needsRefresh) {
            deps_.refreshLoginItem(guarded([this](const LaunchAtLoginRegistration::RefreshResult& result) {
                if (result.succeeded()) return;
                const std::string description = result.error ? result.error->localizedDescription : std::string();
                deps_.writeError(launchreport::loginItemRefreshWarning(description));
            }));
        } else if (arguments.enableLogin() && !store_->launchAtLogin()) {
            deps_.enableLaunchAtLogin(*store_);
        }
    }

    const std::int64_t focusFailures = arguments.transientFocusFailureCount();

    syncCoordinator_ = deps_.makeSyncCoordinator(*store_, demoMode_);
    if (!demoMode_) SyncDerivativeMaker::install(*store_);

    ShelfPanelControllerOptions panelOptions;
    panelOptions.qaTransientFocusFailureCount = focusFailures;
    {
        QStringList list;
        for (const auto& argument : arguments.arguments()) list << QString::fromStdString(argument);
        panelOptions.launchArguments = list;
    }
    panelOptions.diagnostics = guarded([this](const std::string& line) { pasteDiagnostic(line); });
    UpdateManager* updates = updateManager_.get();
    ShelfUpdateChoice& choice = panelOptions.updateChoice;
    choice.isPresented = [updates] { return updates->presentsAutomaticCheckChoice(); };
    // Saving records what the updater holds now, as the toggle left it.
    choice.finish = [updates] { updates->finishAutomaticCheckChoice(updates->automaticallyChecksForUpdates()); };
    choice.isAvailable = [updates] { return updates->isAvailable(); };
    choice.needsChoice = [updates] { return updates->needsAutomaticCheckChoice(); };
    choice.automaticallyChecks = [updates] { return updates->automaticallyChecksForUpdates(); };
    choice.setAutomaticallyChecks = [updates](bool enabled) { updates->setAutomaticallyChecksForUpdates(enabled); };
    choice.record = [updates](bool enabled) { updates->recordAutomaticCheckChoice(enabled); };
    choice.observeSettings = [updates](QObject* context, std::function<void()> changed) {
        connect(updates, &UpdateManager::updaterSettingsChanged, context, std::move(changed));
    };
    panelController_ = deps_.makePanelController(*store_, std::move(panelOptions));
    ShelfPanelController* panel = panelController_.get();
    connect(updateManager_.get(), &UpdateManager::presentsAutomaticCheckChoiceChanged, panel, [panel] {
        if (panel->mainView()) panel->mainView()->refreshSheets();
    });

    settingsWindowController_ = deps_.makeSettingsWindowController(
        *store_, *updateManager_, *syncCoordinator_, guarded([this] { transitionToPermissionSetup(); }));

    buildPasteEngine();

    if (const auto pid = arguments.pasteTargetPid()) panelController_->setPasteTarget(*pid);

    installStoreCallbacks();

    syncCoordinator_->setActive(true);
    if (const auto mode = arguments.qaSyncAccount()) runQaSyncAccount(*mode);

    refreshPermissionFlags();

    configureStatusItem();
    configureHotKey();

    bool permissionDue = false;
    bool choiceDue = false;
    if (demoMode_) {
        startProtectedServicesIfAllowed();
    } else {
        permissionDue = permissionSetupDue();
        choiceDue = updateManager_->needsAutomaticCheckChoice();
        if (permissionDue) {
            // The permission sheet carries the update choice too.
            store_->setShowPermissionSetup(true);
        } else if (choiceDue) {
            updateManager_->setPresentsAutomaticCheckChoice(true);
        } else {
            startProtectedServicesIfAllowed();
        }
    }

    bool openAtLaunch = demoMode_ || permissionDue || choiceDue || arguments.show();
    if (openAtLaunch) {
        deps_.defaults->setBool(kHasLaunchedKey, true);
    } else {
        const bool hasLaunched = deps_.defaults->boolValue(kHasLaunchedKey).value_or(false);
        deps_.defaults->setBool(kHasLaunchedKey, true);
        openAtLaunch = !hasLaunched;
    }
    scheduleDelayedSteps(openAtLaunch);
}

void AppCoordinator::scheduleDelayedSteps(bool openAtLaunch) {
    const LaunchArguments& arguments = deps_.arguments;
    if (openAtLaunch) {
        later(kShowShelfDelay, [this] { panelController_->show(); });
    }
    if (arguments.showSettings()) {
        later(kShowSettingsDelay, [this] {
            if (!store_->showSettings()) store_->setShowSettings(true);
            store_->announceSettingsVisibility(true);
        });
    }
    if (const auto path = arguments.snapshotPath()) {
        later(kSnapshotDelay, [this, path = *path] {
            try {
                if (store_->showSettings()) {
                    settingsWindowController_->captureSnapshot(path);
                } else {
                    panelController_->captureSnapshot(QString::fromStdString(path));
                }
            } catch (...) {
                // A picture that cannot be written is not worth a message; the run still ends.
            }
            terminate();
        });
    }
    if (arguments.autoPasteDemo()) {
        // A demo run must not change the user's own setting.
        store_->setPasteDirectly(true);
        later(kAutoPasteDelay, [this] {
            if (!store_->items().empty()) store_->requestPaste(store_->items().front(), false);
        });
        // The last step does not depend on the coordinator's life: the run must end.
        deps_.clock->schedule(kAutoPasteQuitDelay, [quit = deps_.quitEventLoop, owner = QPointer(this)] {
            if (owner) {
                owner->terminate();
            } else if (quit) {
                quit();
            }
        }).detach();
    }
}

void AppCoordinator::startProtectedServicesIfAllowed() {
    if (!store_ || terminating_) return;
    if (!demoMode_) {
        if (!importedLegacyHistory_) {
            importedLegacyHistory_ = true;
            deps_.importLegacyHistory(*store_);
        }
        if (permissionSetupDue()) {
            deps_.stopMonitoring(*store_);
            store_->setShowPermissionSetup(true);
            return;
        }
    }
    deps_.startMonitoring(*store_);
}

bool AppCoordinator::permissionSetupDue() const {
    if (!store_->pasteDirectly()) return false;
    if (store_->accessibilityAccessGranted() && store_->eventPostingAccessGranted()) return false;
    // Nothing the sheet asks for could ever be granted here; the session copies only.
    return !directPasteImpossible_;
}

void AppCoordinator::runQaSyncAccount(const std::string& mode) {
    const char* email = std::getenv("HARBELLE_QA_SYNC_EMAIL");
    const char* password = std::getenv("HARBELLE_QA_SYNC_PASSWORD");
    if (!email || !password || !syncCoordinator_) {
        deps_.writeOutput("SYNC_ACCOUNT=error missing HARBELLE_QA_SYNC_EMAIL or HARBELLE_QA_SYNC_PASSWORD");
        return;
    }
    auto report = guarded([this](std::optional<std::string> error) {
        deps_.writeOutput(error ? "SYNC_ACCOUNT=error " + *error : std::string("SYNC_ACCOUNT=ok"));
    });
    if (mode == "create")
        syncCoordinator_->createAccount(email, password, password, report);
    else
        syncCoordinator_->signIn(email, password, report);
}

}  // namespace harbelle
