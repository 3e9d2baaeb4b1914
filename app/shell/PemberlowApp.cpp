#include "shell/PemberlowApp.h"

#include <QApplication>
#include <QClipboard>
#include <QDeadlineTimer>
#include <QThreadPool>
#include <QTimer>
#include <cstdio>
#include <string_view>

#include <unistd.h>

#include "platform/BundleInfo.h"
#include "platform/Updater.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/FeedUpdater.h"
#include "platform/linux/HttpsFetch.h"
#include "history/HistoryPersistence.h"
#include "platform/ScratchDefaults.h"
#include "platform/linux/JsonFileDefaults.h"
#include "platform/linux/LinuxPasteboard.h"
#include "platform/linux/SingleInstance.h"
#include "platform/linux/LinuxWorkspace.h"
#include "platform/linux/NonGlibEventDispatcher.h"
#include "platform/linux/TesseractTextRecognizer.h"
#include "platform/linux/X11HotKeyRegistrar.h"
#include "platform/linux/X11KeyEventPoster.h"
#include "platform/linux/XdgAutostartLoginItem.h"
#include "shell/AppCoordinator.h"
#include "shell/TerminationSignals.h"

namespace harbelle {

namespace {

bool hasDisplay() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

bool printsAndQuits(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--diagnose-permissions" || argument == "--refresh-login-item-and-exit" ||
            argument == "--snapshot")
            return true;
    }
    return false;
}

// Runs that only report, and demo runs (which touch no stored history), run beside the one
// that owns the data folder; every other run must be the only one.
bool runsBesideOthers(const LaunchArguments& arguments) {
    return arguments.diagnosePermissions() || arguments.refreshLoginItemAndExit() || arguments.demoMode();
}

// How long the end of the process waits for cancelled background work (a recognition between
// two words, a transfer being torn down) before it ends without it.
constexpr int kBackgroundStopMilliseconds = 700;

// Sanitizer builds free everything at the end, so that what stays allocated is a leak.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define HARBELLE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(leak_sanitizer)
#define HARBELLE_SANITIZED 1
#endif
#endif
#ifdef HARBELLE_SANITIZED
constexpr bool kFullTeardown = true;
#else
constexpr bool kFullTeardown = false;
#endif

// Another program asking for our clipboard while the process ends would wait for an answer
// that never comes; let go of it before anything that may take a while.
void releaseClipboard() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard && clipboard->ownsClipboard()) clipboard->clear(QClipboard::Clipboard);
}

}  // namespace

int PemberlowApp::run(int argc, char** argv) {
    // Without any display Qt would abort before we could say anything. The arguments that
    // only report or render still work headless; a normal start explains itself.
    if (!hasDisplay()) {
        if (!printsAndQuits(argc, argv)) {
            std::fprintf(stderr, "Harbelle needs a graphical session: DISPLAY is not set.\n");
            return 1;
        }
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    NonGlibEventDispatcher dispatcherChoice;
    QApplication application(argc, argv);
    dispatcherChoice.restore();
    QApplication::setApplicationName(QStringLiteral("Harbelle"));
    QApplication::setQuitOnLastWindowClosed(false);

    // Two processes on one history would undo each other's changes at every save. A later
    // launch hands over to the running one, which reopens as on any activation. Made before
    // everything else, so that the lock and the socket go last.
    const std::filesystem::path dataFolder = HistoryPersistence::defaultApplicationSupport();
    SingleInstance instance(dataFolder);

    // The platform layers live longer than the delegate that borrows them.
    JsonFileDefaults defaults;
    // Demo and picture runs must leave the user's settings file as it was.
    const LaunchArguments launchArguments(argc, argv);
    ScratchDefaults scratch(defaults);
    const bool keepsSettings = !launchArguments.demoMode() && !launchArguments.snapshotPath();
    Clock& clock = SystemClock::shared();
    LinuxWorkspace workspace;
    AtspiAccessibility accessibility(clock);
    X11KeyEventPoster keyEventPoster;
    X11HotKeyRegistrar hotKeyRegistrar;
    XdgAutostartLoginItem loginItem;
    LinuxPasteboard pasteboard;
    TesseractTextRecognizer textRecognizer;

    const BundleInfo bundle = withUpdateFeedFromEnvironment(BundleInfo::main());

    AppCoordinatorDependencies dependencies;
    dependencies.arguments = LaunchArguments(argc, argv);
    dependencies.defaults = keepsSettings ? static_cast<Defaults*>(&defaults) : &scratch;
    dependencies.clock = &clock;
    dependencies.bundle = &bundle;
    dependencies.workspace = &workspace;
    dependencies.accessibility = &accessibility;
    dependencies.keyEventPoster = &keyEventPoster;
    dependencies.hotKeyRegistrar = &hotKeyRegistrar;
    dependencies.loginItemService = &loginItem;
    dependencies.pasteboard = &pasteboard;
    dependencies.textRecognizer = &textRecognizer;
    dependencies.makeUpdater = makeSystemUpdater;
    AppCoordinator coordinator(std::move(dependencies));

    // Quitting stops what runs in the background first, so that nothing makes the end wait.
    const auto beginQuit = [&instance, &textRecognizer] {
        releaseClipboard();
        instance.stopAnswering();
        textRecognizer.cancelAll();
        cancelAllFetches();
    };
    TerminationSignals terminationSignals([&coordinator, beginQuit](int) {
        beginQuit();
        coordinator.terminate();
    });
    // A quit that does not come through the coordinator (the session ending) still saves.
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &coordinator, [&coordinator, beginQuit] {
        beginQuit();
        coordinator.applicationWillTerminate();
    });
    QObject::connect(&application, &QGuiApplication::applicationStateChanged, &coordinator,
                     [&coordinator](Qt::ApplicationState state) {
                         if (state == Qt::ApplicationActive) coordinator.applicationDidBecomeActive();
                     });
    if (!runsBesideOthers(LaunchArguments(argc, argv)) && !dataFolder.empty()) {
        std::string why;
        switch (instance.claim([&coordinator] { coordinator.reopen(); }, why)) {
        case SingleInstance::Claim::first: break;
        case SingleInstance::Claim::handedOver: return 0;
        case SingleInstance::Claim::failed:
            std::fprintf(stderr, "Harbelle: %s\n", why.c_str());
            return 1;
        }
        // Only now can no other save of ours be running.
        defaults.removeStaleTemporaryFiles();
    }

    // Start-up runs inside the event loop, so its print-and-quit paths can leave it.
    QTimer::singleShot(0, &coordinator, [&coordinator] { coordinator.applicationDidFinishLaunching(); });
    const int status = QApplication::exec();
    keyEventPoster.releaseAllPressed();
    // The history and the settings are on disk by now. Work that was cancelled but has not
    // stopped yet (the engine between two words, a picture still being decoded) is not waited
    // for: the process ends without it, the instance lock going with the process.
    const QDeadlineTimer deadline(kBackgroundStopMilliseconds);
    if (!textRecognizer.waitUntilIdle(static_cast<int>(deadline.remainingTime())) ||
        !QThreadPool::globalInstance()->waitForDone(static_cast<int>(deadline.remainingTime()))) {
        std::fflush(nullptr);
        ::_exit(status);
    }
    if (kFullTeardown) return status;
    // Every write is done once the save thread has finished. What the teardown would still do
    // is free memory (a large history's clips, rows and widgets, a tenth of a second at
    // 100,000 clips) that the process gives back as it ends anyway; the quit does not wait for it.
    coordinator.finishForExit();
    defaults.flush();
    instance.removeSocket();
    std::fflush(nullptr);
    ::_exit(status);
}

}  // namespace harbelle
