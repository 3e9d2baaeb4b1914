#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "history/HistoryStore.h"
#include "history/LaunchAtLoginRegistration.h"
#include "platform/DirectPastePermissions.h"
#include "platform/HotKeyRegistrar.h"
#include "settings/UpdateManager.h"
#include "shell/LaunchArguments.h"
#include "shell/AppPasteEngineHost.h"
#include "shell/PasteEngine.h"
#include "shell/ShelfPanel.h"
#include "shell/ShelfPanelController.h"

namespace harbelle {

class Accessibility;
class BundleInfo;
class GlobalHotKey;
class KeyEventPoster;
class LoginItemService;
class Pasteboard;
class SettingsWindowController;
class StatusItem;
class TextRecognizer;
class SyncCoordinator;
class UpdateManager;
class Workspace;

class AppCoordinator;

// Everything the application delegate builds on or calls outside itself. The platform layers
// are borrowed; each builder and service left empty gets the real one (fillDefaults), so the
// program passes only the layers and tests replace what they watch.
struct AppCoordinatorDependencies {
    LaunchArguments arguments;

    Defaults* defaults = nullptr;
    Clock* clock = nullptr;
    const BundleInfo* bundle = nullptr;
    Workspace* workspace = nullptr;
    Accessibility* accessibility = nullptr;
    KeyEventPoster* keyEventPoster = nullptr;
    HotKeyRegistrar* hotKeyRegistrar = nullptr;
    LoginItemService* loginItemService = nullptr;
    Pasteboard* pasteboard = nullptr;
    TextRecognizer* textRecognizer = nullptr;

    // ---- Builders -------------------------------------------------------------------------------
    std::function<std::unique_ptr<HistoryStore>(HistoryStoreOptions)> makeStore;
    std::function<std::unique_ptr<UpdateManager>()> makeUpdateManager;
    // The platform's updater, for the default UpdateManager; none leaves updates unavailable.
    UpdateManager::UpdaterFactory makeUpdater;
    std::function<std::unique_ptr<SyncCoordinator>(HistoryStore& store, bool demoMode)> makeSyncCoordinator;
    std::function<std::unique_ptr<ShelfPanelController>(HistoryStore&, ShelfPanelControllerOptions)>
        makePanelController;
    std::function<std::unique_ptr<SettingsWindowController>(HistoryStore&, UpdateManager&, SyncCoordinator&,
                                                            std::function<void()> onReviewAccess)>
        makeSettingsWindowController;

    // ---- Services -------------------------------------------------------------------------------
    // No task-bar entry and no quitting when the last window closes.
    std::function<void()> setAccessoryActivationPolicy;
    // One line on standard output / standard error, flushed; the line feed is added.
    std::function<void(const std::string&)> writeOutput;
    std::function<void(const std::string&)> writeError;
    // Leaves the event loop after the termination steps ran.
    std::function<void()> quitEventLoop;
    // Ends the process with a status, without the termination steps.
    std::function<void(int status)> exitProcess;
    std::function<DirectPastePermissions()> readPermissions;
    // Asks for accessibility (switches it on on the bus); returns nothing useful.
    std::function<void()> requestAccessibility;
    // Asks for event posting; X11 has nothing to ask.
    std::function<void()> requestEventPosting;
    std::function<void()> openAccessibilitySettings;
    std::function<void(bool isDirectDistribution)> prepareUpdateChoiceMigration;
    std::function<void(LaunchAtLoginRegistration::RefreshCompletion)> refreshLoginItem;
    std::function<void(HistoryStore&)> enableLaunchAtLogin;
    std::function<void(HistoryStore&)> importLegacyHistory;
    // Capture as the store runs it; tests watch the calls.
    std::function<void(HistoryStore&)> startMonitoring;
    std::function<void(HistoryStore&)> stopMonitoring;
    std::function<void(HistoryStore&, bool paused)> setCapturePaused;
    std::function<void()> beep;
    std::function<bool()> systemTrayAvailable;

    // Gives every empty builder and service its real implementation. The platform pointers
    // must be set.
    void fillDefaults();
};

// The application delegate: builds and wires everything at launch in a fixed order, serves the
// launch arguments, owns the store, the update manager, the sync bridge, the shelf, the settings
// window, the hot key and the status item until the process ends, and shuts them down in order.
// Main thread only.
class AppCoordinator final : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kHasLaunchedKey = "hasLaunchedPemberlow";
    static constexpr Milliseconds kShowShelfDelay{350};
    static constexpr Milliseconds kShowSettingsDelay{550};
    static constexpr Milliseconds kAutoPasteDelay{1100};
    static constexpr Milliseconds kSnapshotDelay{1200};
    static constexpr Milliseconds kAutoPasteQuitDelay{2800};
    static constexpr int kPermissionRefreshCount = 16;
    static constexpr Milliseconds kPermissionRefreshInterval{500};
    // A paste asked for while the shelf still reads its target's focused field waits for it,
    // at most this long (each of the two reads has its own shorter deadline).
    static constexpr Milliseconds kTargetCaptureWait{2000};

    static constexpr const char* kPrimaryShortcutLabel = "\u21e7\u2318V";
    static constexpr const char* kFallbackShortcutLabel = "\u2325\u2318V";
    static constexpr const char* kMenuBarShortcutLabel = "Menu bar";
    static constexpr const char* kFallbackToolTip = "Harbelle \u00b7 Alt+Super+V";
    static constexpr const char* kMenuOnlyToolTip = "Harbelle \u00b7 Click to open";
    static constexpr const char* kFallbackToast = "Another program is using Shift+Super+V \u2014 Harbelle uses Alt+Super+V";
    static constexpr const char* kMenuOnlyToast = "Open Harbelle from its tray icon";

    explicit AppCoordinator(AppCoordinatorDependencies dependencies, QObject* parent = nullptr);
    ~AppCoordinator() override;

    // ---- Application events --------------------------------------------------------------------
    // The start-up sequence; called once, from the running event loop.
    void applicationDidFinishLaunching();
    void applicationDidBecomeActive();
    // The start-up sync account operation of "--qa-sync-account".
    void runQaSyncAccount(const std::string& mode);
    // A later launch of the program while this one runs: re-activate and open the shelf.
    void reopen();
    static bool applicationShouldTerminateAfterLastWindowClosed() { return false; }
    // The termination steps; runs once.
    void applicationWillTerminate();
    // Quit: the termination steps, then leave the event loop. Also the path of the signals.
    void terminate();
    // After the event loop, for a process that ends without its teardown: what the teardown
    // would still do that anyone outside sees (the history's last writes, the hot key's grab).
    void finishForExit();
    bool isTerminating() const { return terminating_; }

    // ---- Start-up helpers ----------------------------------------------------------------------
    // Starts the legacy import (once) and capture, or asks for the permission set-up instead.
    void startProtectedServicesIfAllowed();

    // ---- Permissions and callbacks -------------------------------------------------------------
    void requestDirectPastePermissions();
    void openAccessibilitySettings();
    void transitionToPermissionSetup();
    void refreshPermissionFlags();
    // Direct paste can never be granted here (no accessibility bus or no XTest).
    bool directPasteImpossible() const { return directPasteImpossible_; }

    // ---- Status item, hot key and the shelf toggle ---------------------------------------------
    void configureStatusItem();
    void configureHotKey();
    void toggleShelf();
    void showShelf();
    void newTextClip();
    void toggleCapture();
    void showSettings();
    void quit() { terminate(); }

    void paste(const ClipItem& item, bool plainText);
    void cancelActivePasteOperation();

    // ---- Parts ---------------------------------------------------------------------------------
    HistoryStore* store() const { return store_.get(); }
    UpdateManager* updateManager() const { return updateManager_.get(); }
    SyncCoordinator* syncCoordinator() const { return syncCoordinator_.get(); }
    ShelfPanelController* panelController() const { return panelController_.get(); }
    SettingsWindowController* settingsWindowController() const { return settingsWindowController_.get(); }
    GlobalHotKey* globalHotKey() const { return globalHotKey_.get(); }
    StatusItem* statusItem() const { return statusItem_.get(); }
    PasteEngine* pasteEngine() const { return pasteEngine_.get(); }
    // A direct paste waiting for the shelf to finish capturing its target.
    bool hasPasteWaitingForTarget() const { return waitingPaste_.has_value(); }
    bool demoMode() const { return demoMode_; }
    bool importedLegacyHistory() const { return importedLegacyHistory_; }
    const AppCoordinatorDependencies& dependencies() const { return deps_; }

    // One paste diagnostic line (without its prefix), printed only with "--paste-diagnostics".
    void pasteDiagnostic(const std::string& message) const;

private:
    void installStoreCallbacks();
    void hideShelfAndReturn();
    void settingsVisibilityChanged(bool visible);
    void forgetPasteTarget();
    bool permissionSetupDue() const;
    void scheduleDelayedSteps(bool openAtLaunch);
    void buildPasteEngine();
    void runWaitingPaste();
    // Runs `step` later unless the coordinator is gone or terminating.
    void later(Milliseconds delay, std::function<void()> step);
    // Wraps a closure so that it does nothing once the coordinator is gone.
    template <class F>
    auto guarded(F f) {
        std::weak_ptr<int> alive = lifetime_;
        return [alive, f = std::move(f)](auto&&... args) {
            if (alive.expired()) return;
            f(std::forward<decltype(args)>(args)...);
        };
    }

    AppCoordinatorDependencies deps_;
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);

    // Declared in building order, so they are torn down in the reverse one.
    std::unique_ptr<HistoryStore> store_;
    std::unique_ptr<UpdateManager> updateManager_;
    std::unique_ptr<SyncCoordinator> syncCoordinator_;
    std::unique_ptr<ShelfPanelController> panelController_;
    std::unique_ptr<SettingsWindowController> settingsWindowController_;
    std::unique_ptr<AppPasteEngineHost> pasteHost_;
    std::unique_ptr<PasteEngine> pasteEngine_;
    std::unique_ptr<StatusItem> statusItem_;
    std::unique_ptr<GlobalHotKey> globalHotKey_;

    struct WaitingPaste {
        ClipItem item;
        bool plainText = false;
    };
    std::optional<WaitingPaste> waitingPaste_;
    ScheduledTask waitingPasteDeadline_;

    bool demoMode_ = false;
    bool importedLegacyHistory_ = false;
    bool directPasteImpossible_ = false;
    bool launched_ = false;
    bool terminating_ = false;
};

}  // namespace harbelle
