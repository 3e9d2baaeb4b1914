#include "shell/AppCoordinator.h"

#include <QApplication>
#include <QProcess>
#include <QSystemTrayIcon>
#include <cstdio>

#include "legacyimport/PasteNowImporter.h"
#include "platform/Accessibility.h"
#include "platform/BundleInfo.h"
#include "platform/DesktopSettings.h"
#include "platform/KeyEventPoster.h"
#include "platform/LoginItemService.h"
#include "platform/Pasteboard.h"
#include "platform/Workspace.h"
#include "settings/AutomaticUpdateChoiceMigration.h"
#include "settings/SettingsWindowController.h"
#include "settings/UpdateManager.h"
#include "shell/ShelfPanel.h"
#include "shell/GlobalHotKey.h"
#include "shell/PasteDiagnostics.h"
#include "shell/StatusItem.h"
#include "sync/KeychainSyncStore.h"
#include "syncbridge/SyncCoordinator.h"

namespace harbelle {

namespace {

void writeLine(std::FILE* stream, const std::string& line) {
    std::fputs(line.c_str(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

}  // namespace

void AppCoordinatorDependencies::fillDefaults() {
    Defaults* defaultsPtr = defaults;
    Clock* clockPtr = clock;
    const BundleInfo* bundlePtr = bundle ? bundle : &BundleInfo::main();
    bundle = bundlePtr;
    Workspace* workspacePtr = workspace;
    Accessibility* accessibilityPtr = accessibility;
    KeyEventPoster* posterPtr = keyEventPoster;
    LoginItemService* loginPtr = loginItemService;

    if (!makeStore) {
        makeStore = [defaultsPtr, clockPtr](HistoryStoreOptions options) {
            return std::make_unique<HistoryStore>(*defaultsPtr, *clockPtr, std::move(options));
        };
    }
    if (!makeUpdateManager) {
        makeUpdateManager = [bundlePtr, defaultsPtr, clockPtr, updaterFactory = makeUpdater] {
            return std::make_unique<UpdateManager>(*bundlePtr, *defaultsPtr, *clockPtr, updaterFactory);
        };
    }
    if (!makeSyncCoordinator) {
        makeSyncCoordinator = [defaultsPtr, clockPtr, bundlePtr](HistoryStore& store, bool demoMode) {
            SyncCoordinatorOptions options;
            options.bundle = bundlePtr;
            options.clock = clockPtr;
            // The signed-in session lives in the login keyring.
            options.secureStore =
                std::make_shared<sync::KeychainSyncStore>(SyncCoordinator::keychainServiceName(*bundlePtr));
            return std::make_unique<SyncCoordinator>(&store, demoMode, *defaultsPtr, std::move(options));
        };
    }
    if (!makePanelController) {
        makePanelController = [workspacePtr, accessibilityPtr, clockPtr](HistoryStore& store,
                                                                          ShelfPanelControllerOptions options) {
            return std::make_unique<ShelfPanelController>(store, *workspacePtr, *accessibilityPtr, *clockPtr,
                                                          std::move(options));
        };
    }
    if (!makeSettingsWindowController) {
        makeSettingsWindowController = [defaultsPtr, bundlePtr](HistoryStore& store, UpdateManager& updates,
                                                                         SyncCoordinator& sync,
                                                                         std::function<void()> onReviewAccess) {
            return std::make_unique<SettingsWindowController>(store, updates, sync, std::move(onReviewAccess),
                                                              *defaultsPtr, bundlePtr);
        };
    }

    if (!setAccessoryActivationPolicy) {
        setAccessoryActivationPolicy = [] { QApplication::setQuitOnLastWindowClosed(false); };
    }
    if (!writeOutput) writeOutput = [](const std::string& line) { writeLine(stdout, line); };
    if (!writeError) writeError = [](const std::string& line) { writeLine(stderr, line); };
    if (!quitEventLoop) quitEventLoop = [] { QCoreApplication::exit(0); };
    if (!exitProcess) {
        exitProcess = [](int status) {
            std::fflush(stdout);
            std::fflush(stderr);
            QCoreApplication::exit(status);
        };
    }
    if (!readPermissions) {
        readPermissions = [accessibilityPtr, posterPtr] {
            return probeDirectPastePermissions(*accessibilityPtr, *posterPtr);
        };
    }
    if (!requestAccessibility) requestAccessibility = [accessibilityPtr] { accessibilityPtr->requestTrust(); };
    // XTest is there or not; there is nobody to ask.
    if (!requestEventPosting) requestEventPosting = [] {};
    // Left unset where the desktop has no accessibility settings: the sheet then says what to do.
    if (!openAccessibilitySettings) {
        if (auto command = accessibilitySettingsCommand()) {
            openAccessibilitySettings = [command = *command] {
                QProcess::startDetached(command.program, command.arguments);
            };
        }
    }
    if (!prepareUpdateChoiceMigration) {
        prepareUpdateChoiceMigration = [defaultsPtr](bool isDirectDistribution) {
            AutomaticUpdateChoiceMigration::prepare(isDirectDistribution, *defaultsPtr);
        };
    }
    if (!refreshLoginItem) {
        refreshLoginItem = [defaultsPtr, loginPtr](LaunchAtLoginRegistration::RefreshCompletion completion) {
            LaunchAtLoginRegistration::refresh(*defaultsPtr, *loginPtr, std::move(completion));
        };
    }
    if (!enableLaunchAtLogin) {
        enableLaunchAtLogin = [](HistoryStore& store) { store.updateLaunchAtLogin(true); };
    }
    if (!importLegacyHistory) importLegacyHistory = [](HistoryStore& store) { PasteNowImporter::importIfNeeded(store); };
    if (!startMonitoring) startMonitoring = [](HistoryStore& store) { store.startMonitoring(); };
    if (!stopMonitoring) stopMonitoring = [](HistoryStore& store) { store.stopMonitoring(); };
    if (!setCapturePaused) setCapturePaused = [](HistoryStore& store, bool paused) { store.setPaused(paused); };
    if (!beep) beep = [] { QApplication::beep(); };
    if (!systemTrayAvailable) systemTrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
}

AppCoordinator::AppCoordinator(AppCoordinatorDependencies dependencies, QObject* parent)
    : QObject(parent), deps_(std::move(dependencies)) {
    deps_.fillDefaults();
}

AppCoordinator::~AppCoordinator() {
    // Closures handed out check this before touching anything.
    lifetime_.reset();
    waitingPasteDeadline_.cancel();
    if (store_) disconnect(store_.get(), nullptr, this, nullptr);
}

void AppCoordinator::later(Milliseconds delay, std::function<void()> step) {
    // The guard, not a kept task, ends these steps with the coordinator.
    deps_.clock->schedule(delay, guarded([this, step = std::move(step)] {
        if (terminating_) return;
        step();
    })).detach();
}

void AppCoordinator::pasteDiagnostic(const std::string& message) const {
    PasteDiagnostics(deps_.arguments, [this](const std::string& line) { deps_.writeOutput(line); }).log(message);
}

void AppCoordinator::buildPasteEngine() {
    AppPasteEngineHost::Services services;
    // The engine lives inside the coordinator, so these closures never outlive it.
    services.readPermissions = [this] {
        const DirectPastePermissions permissions = deps_.readPermissions();
        directPasteImpossible_ = permissions.directPasteImpossible();
        return permissions;
    };
    services.directPasteImpossible = [this] { return directPasteImpossible_; };
    services.beep = guarded([this] { deps_.beep(); });
    services.diagnostic = guarded([this](const std::string& line) { pasteDiagnostic(line); });
    services.demoMode = demoMode_;
    services.forceEventPaste = deps_.arguments.forceEventPaste();
    pasteHost_ = std::make_unique<AppPasteEngineHost>(*store_, *panelController_, std::move(services));
    pasteEngine_ = std::make_unique<PasteEngine>(*pasteHost_, *deps_.workspace, *deps_.accessibility,
                                                 *deps_.keyEventPoster, *deps_.clock);
    connect(panelController_.get(), &ShelfPanelController::pasteTargetCaptured, this, [this] { runWaitingPaste(); });
}

void AppCoordinator::paste(const ClipItem& item, bool plainText) {
    if (!pasteEngine_ || terminating_) return;
    // A direct paste needs the target's focused field, which the shelf may still be reading:
    // the request waits for it. A newer request replaces a waiting one.
    if (pasteHost_->pasteDirectly() && panelController_->isCapturingTarget()) {
        waitingPaste_ = WaitingPaste{item, plainText};
        waitingPasteDeadline_.cancel();
        waitingPasteDeadline_ = deps_.clock->schedule(kTargetCaptureWait, guarded([this] { runWaitingPaste(); }));
        return;
    }
    waitingPaste_.reset();
    waitingPasteDeadline_.cancel();
    pasteEngine_->paste(item, plainText);
}

void AppCoordinator::runWaitingPaste() {
    if (!waitingPaste_ || terminating_) return;
    WaitingPaste request = std::move(*waitingPaste_);
    waitingPaste_.reset();
    waitingPasteDeadline_.cancel();
    pasteEngine_->paste(request.item, request.plainText);
}

void AppCoordinator::cancelActivePasteOperation() {
    // A paste still waiting for its target is abandoned as silently as a running one.
    waitingPaste_.reset();
    waitingPasteDeadline_.cancel();
    if (pasteEngine_) pasteEngine_->cancelActivePasteOperation();
}

}  // namespace harbelle
