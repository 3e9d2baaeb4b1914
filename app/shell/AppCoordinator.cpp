#include "shell/AppCoordinator.h"

#include <QApplication>
#include <QProcess>
#include <QSystemTrayIcon>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "history/ClipPasteboardPayload.h"
#include "history/HistoryPersistence.h"
#include "legacyimport/PasteNowImporter.h"
#include "platform/Accessibility.h"
#include "platform/BundleInfo.h"
#include "platform/KeyEventPoster.h"
#include "platform/LoginItemService.h"
#include "platform/Pasteboard.h"
#include "platform/Workspace.h"
#include "settings/AutomaticUpdateChoiceMigration.h"
#include "settings/SettingsWindowController.h"
#include "settings/UpdateManager.h"
#include "shell/CopyOnlyPaste.h"
#include "shell/ShelfPanel.h"
#include "shell/GlobalHotKey.h"
#include "shell/PasteDiagnostics.h"
#include "shell/StatusItem.h"
#include "syncbridge/SyncCoordinator.h"

namespace harbelle {

namespace {

void writeLine(std::FILE* stream, const std::string& line) {
    std::fputs(line.c_str(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// The clip's clipboard objects, its payload file read from the store's payload folder.
bool writeClipToPasteboard(Pasteboard& pasteboard, HistoryStore& store, const ClipItem& clip, bool plainText) {
    std::optional<std::filesystem::path> payloadURL;
    const std::filesystem::path folder = store.payloadsURL();
    if (clip.payloadFilename && !folder.empty() && HistoryPersistence::isSafePayloadName(*clip.payloadFilename)) {
        std::error_code ec;
        const auto path = folder / *clip.payloadFilename;
        if (std::filesystem::is_regular_file(path, ec)) payloadURL = path;
    }
    auto read = [payloadURL](const std::string&) -> std::optional<Bytes> {
        if (!payloadURL) return std::nullopt;
        std::ifstream in(*payloadURL, std::ios::binary);
        if (!in) return std::nullopt;
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    const auto objects = ClipPasteboardPayload::objects(clip, payloadURL, plainText, false, read);
    if (objects.empty()) return false;
    return pasteboard.write(objects);
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
    Pasteboard* pasteboardPtr = pasteboard;

    if (!makeStore) {
        makeStore = [defaultsPtr, clockPtr](HistoryStoreOptions options) {
            return std::make_unique<HistoryStore>(*defaultsPtr, *clockPtr, std::move(options));
        };
    }
    if (!makeUpdateManager) {
        makeUpdateManager = [bundlePtr, defaultsPtr, clockPtr] {
            return std::make_unique<UpdateManager>(*bundlePtr, *defaultsPtr, *clockPtr);
        };
    }
    if (!makeSyncCoordinator) {
        makeSyncCoordinator = [defaultsPtr](bool demoMode) {
            return std::make_unique<SyncCoordinator>(demoMode, *defaultsPtr);
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
        makeSettingsWindowController = [defaultsPtr](SettingsStoreLink link, UpdateManager& updates,
                                                     SyncCoordinator& sync, std::function<void()> onReviewAccess) {
            return std::make_unique<SettingsWindowController>(std::move(link), updates, sync,
                                                              std::move(onReviewAccess), *defaultsPtr);
        };
    }
    if (!makePasteOperations) {
        makePasteOperations = [clockPtr](AppCoordinator& coordinator) -> std::unique_ptr<PasteOperations> {
            QPointer<AppCoordinator> owner(&coordinator);
            CopyOnlyPaste::Hooks hooks;
            hooks.writeToPasteboard = [owner](const ClipItem& item, bool plainText) {
                if (!owner || !owner->store()) return false;
                const auto& write = owner->dependencies().writeToPasteboard;
                return write && write(*owner->store(), item, plainText);
            };
            hooks.beep = [owner] {
                if (owner && owner->dependencies().beep) owner->dependencies().beep();
            };
            hooks.diagnostic = [owner](const std::string& line) {
                if (owner) owner->pasteDiagnostic(line);
            };
            return std::make_unique<CopyOnlyPaste>(*coordinator.store(), *coordinator.panelController(), *clockPtr,
                                                   std::move(hooks));
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
    if (!openAccessibilitySettings) {
        openAccessibilitySettings = [] {
            QProcess::startDetached(QStringLiteral("gnome-control-center"), {QStringLiteral("universal-access")});
        };
    }
    if (!prepareUpdateChoiceMigration) {
        prepareUpdateChoiceMigration = [defaultsPtr](bool isDirectDistribution) {
            AutomaticUpdateChoiceMigration::prepare(isDirectDistribution, *defaultsPtr);
        };
    }
    if (!refreshLoginItem) {
        refreshLoginItem = [defaultsPtr, loginPtr](LoginItemRefreshCompletion completion) {
            loginitem::refresh(*defaultsPtr, *loginPtr, std::move(completion));
        };
    }
    if (!enableLaunchAtLogin) {
        enableLaunchAtLogin = [defaultsPtr, loginPtr](HistoryStore& store) {
            loginitem::enable(*defaultsPtr, *loginPtr,
                              [&store](const std::string& message, ToastTone tone) { store.showToast(message, tone); });
        };
    }
    if (!importLegacyHistory) importLegacyHistory = [](HistoryStore& store) { PasteNowImporter::importIfNeeded(store); };
    // Capture's poll loop is not part of the store yet; until it is, there is nothing to start.
    if (!startMonitoring) startMonitoring = [](HistoryStore&) {};
    if (!stopMonitoring) stopMonitoring = [](HistoryStore&) {};
    if (!setCapturePaused) setCapturePaused = [](HistoryStore&, bool) {};
    if (!writeToPasteboard) {
        writeToPasteboard = [pasteboardPtr](HistoryStore& store, const ClipItem& clip, bool plainText) {
            return pasteboardPtr && writeClipToPasteboard(*pasteboardPtr, store, clip, plainText);
        };
    }
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
    if (store_) {
        store_->onPasteRequested = nullptr;
        store_->onSettingsVisibilityChanged = nullptr;
    }
}

void AppCoordinator::later(Milliseconds delay, std::function<void()> step) {
    deps_.clock->schedule(delay, guarded([this, step = std::move(step)] {
        if (terminating_) return;
        step();
    }));
}

void AppCoordinator::pasteDiagnostic(const std::string& message) const {
    PasteDiagnostics(deps_.arguments, [this](const std::string& line) { deps_.writeOutput(line); }).log(message);
}

void AppCoordinator::paste(const ClipItem& item, bool plainText) {
    if (pasteOperations_) pasteOperations_->paste(item, plainText);
}

void AppCoordinator::cancelActivePasteOperation() {
    if (pasteOperations_) pasteOperations_->cancelActivePasteOperation();
}

}  // namespace harbelle
