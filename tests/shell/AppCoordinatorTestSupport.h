#pragma once

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/Base64.h"
#include "platform/BundleInfo.h"
#include "settings/SettingsWindowController.h"
#include "settings/UpdateManager.h"
#include "shell/AppCoordinator.h"
#include "support/FakeAccessibility.h"
#include "support/FakeHotKeyRegistrar.h"
#include "support/FakeKeyEventPoster.h"
#include "support/FakeLoginItemService.h"
#include "support/FakePasteboard.h"
#include "support/FakeUpdater.h"
#include "support/FakeWorkspace.h"
#include "support/InMemoryDefaults.h"
#include "support/ManualClock.h"
#include "syncbridge/SyncCoordinator.h"

namespace harbelle::testing {

// Hot keys that also write each attempt into the call log.
class LoggingHotKeyRegistrar final : public HotKeyRegistrar {
public:
    explicit LoggingHotKeyRegistrar(std::vector<std::string>& log) : log_(log) {}
    HotKeyResult registerHotKey(const HotKeyCombination& combination, Handler onPress) override {
        log_.push_back(combination == HotKeyCombination::shiftCommandV() ? "hotKey shift+super+v"
                                                                         : "hotKey alt+super+v");
        return fake.registerHotKey(combination, std::move(onPress));
    }
    void unregisterHotKey(HotKeyId id) override { fake.unregisterHotKey(id); }
    FakeHotKeyRegistrar fake;

private:
    std::vector<std::string>& log_;
};

// An application delegate over twins: every builder and service writes the call log, the store
// keeps its files in a temporary folder, and sync is configured (so its activation shows).
class AppCoordinatorFixture : public ::testing::Test {
protected:
    static constexpr ProcessID kOwnPID = 4242;
    static constexpr ProcessID kEditorPID = 501;

    QTemporaryDir temp;
    InMemoryDefaults defaults;
    ManualClock clock;
    FakeWorkspace workspace;
    FakeAccessibility accessibility{clock};
    FakeKeyEventPoster poster;
    std::vector<std::string> log;
    LoggingHotKeyRegistrar hotKeys{log};
    FakeLoginItemService loginItems;
    FakePasteboard pasteboard;
    bool updatesAvailable = false;
    bool trayAvailable = true;
    std::vector<std::string> output;
    std::vector<std::string> errors;
    std::vector<int> exits;
    int quits = 0;
    std::unique_ptr<AppCoordinator> coordinator;
    // Changes the twins' dependencies before a launch, e.g. clears a service to get the real one.
    std::function<void(AppCoordinatorDependencies&)> adjustDependencies;

    std::filesystem::path support() const { return std::filesystem::path(temp.path().toStdString()) / "Pemberlow"; }

    static nlohmann::json bundleDictionary(bool updates) {
        nlohmann::json dictionary = {{"CFBundleIdentifier", "com.harbelleapp.Harbelle"}};
        if (updates) {
            dictionary["HarbelleDirectDistribution"] = true;
            dictionary["SUFeedURL"] = "https://updates.example.com/appcast.xml";
            dictionary["SUPublicEDKey"] = encodeBase64(Bytes(32, 7));
        }
        return dictionary;
    }

    void SetUp() override {
        RunningApplication editor;
        editor.processIdentifier = kEditorPID;
        editor.bundleIdentifier = "gedit";
        editor.localizedName = "gedit";
        workspace.running = {editor};
        workspace.frontmost = editor;
        accessibility.addApplication(kEditorPID);
    }

    AppCoordinatorDependencies dependencies(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "harbelle");
        AppCoordinatorDependencies d;
        d.arguments = LaunchArguments(std::move(arguments));
        d.defaults = &defaults;
        d.clock = &clock;
        bundle_ = std::make_unique<BundleInfo>(bundleDictionary(updatesAvailable));
        d.bundle = bundle_.get();
        d.workspace = &workspace;
        d.accessibility = &accessibility;
        d.keyEventPoster = &poster;
        d.hotKeyRegistrar = &hotKeys;
        d.loginItemService = &loginItems;
        d.pasteboard = &pasteboard;

        d.makeStore = [this](HistoryStoreOptions options) {
            log.push_back(options.demoMode ? "store demo" : "store");
            options.applicationSupport = support();
            options.bundleIdentifier = "com.harbelleapp.Harbelle";
            return std::make_unique<HistoryStore>(defaults, clock, std::move(options));
        };
        d.makeUpdateManager = [this] {
            log.push_back("updateManager");
            return std::make_unique<UpdateManager>(BundleInfo(bundleDictionary(updatesAvailable)), defaults, clock,
                                                   [this](const BundleInfo&, Defaults&, Clock&) {
                                                       auto fake = std::make_unique<FakeUpdater>();
                                                       updater = fake.get();
                                                       return fake;
                                                   });
        };
        d.makeSyncCoordinator = [this](HistoryStore& store, bool demoMode) {
            log.push_back("syncCoordinator");
            const BundleInfo bundle(nlohmann::json::object());
            SyncCoordinatorOptions options;
            options.environment = [](const std::string& name) {
                return name == SyncCoordinator::kBaseURLEnvironmentVariable
                           ? std::optional<std::string>("https://sync.example.org")
                           : std::nullopt;
            };
            options.bundle = &bundle;
            options.clock = &clock;
            return std::make_unique<SyncCoordinator>(&store, demoMode, defaults, std::move(options));
        };
        d.makePanelController = [this](HistoryStore& store, ShelfPanelControllerOptions options) {
            log.push_back("panelController");
            options.ownProcessID = kOwnPID;
            options.visibleFrameOverride = [] { return std::optional<QRectF>(QRectF(0, 25, 1440, 875)); };
            return std::make_unique<ShelfPanelController>(store, workspace, accessibility, clock, std::move(options));
        };
        d.makeSettingsWindowController = [this](HistoryStore& store, UpdateManager& updates, SyncCoordinator& sync,
                                                std::function<void()> onReviewAccess) {
            log.push_back("settingsWindowController");
            return std::make_unique<SettingsWindowController>(store, updates, sync, std::move(onReviewAccess),
                                                              defaults);
        };

        d.setAccessoryActivationPolicy = [this] { log.push_back("accessoryPolicy"); };
        d.writeOutput = [this](const std::string& line) { output.push_back(line); };
        d.writeError = [this](const std::string& line) { errors.push_back(line); };
        d.quitEventLoop = [this] {
            log.push_back("quit");
            ++quits;
        };
        d.exitProcess = [this](int status) {
            log.push_back("exit " + std::to_string(status));
            exits.push_back(status);
        };
        d.readPermissions = [this] {
            std::string entry = "permissions";
            // The store's connections are made together with the update manager's hook.
            if (coordinator && coordinator->updateManager() &&
                coordinator->updateManager()->onAutomaticCheckChoiceFinished)
                entry += " callbacks";
            if (coordinator && coordinator->syncCoordinator() && coordinator->syncCoordinator()->wantsActive())
                entry += " syncActive";
            log.push_back(entry);
            DirectPastePermissions permissions;
            permissions.accessibilityAvailable = accessibility.isAvailable();
            permissions.accessibilityTrusted = accessibility.isTrusted();
            permissions.eventPostingAllowed = poster.canPostEvents();
            return permissions;
        };
        d.requestAccessibility = [this] {
            log.push_back("requestAccessibility");
            accessibility.requestTrust();
        };
        d.requestEventPosting = [this] { log.push_back("requestEventPosting"); };
        d.openAccessibilitySettings = [this] { log.push_back("openAccessibilitySettings"); };
        d.prepareUpdateChoiceMigration = [this](bool direct) {
            log.push_back(std::string("updateChoiceMigration ") + (direct ? "direct" : "other"));
        };
        d.refreshLoginItem = [this](LaunchAtLoginRegistration::RefreshCompletion completion) {
            log.push_back("refreshLoginItem");
            LaunchAtLoginRegistration::refresh(defaults, loginItems, std::move(completion));
        };
        d.enableLaunchAtLogin = [this](HistoryStore&) { log.push_back("enableLaunchAtLogin"); };
        d.importLegacyHistory = [this](HistoryStore&) { log.push_back("legacyImport"); };
        d.startMonitoring = [this](HistoryStore&) { log.push_back("startMonitoring"); };
        d.stopMonitoring = [this](HistoryStore&) { log.push_back("stopMonitoring"); };
        d.setCapturePaused = [this](HistoryStore&, bool paused) {
            log.push_back(paused ? "pause" : "resume");
        };
        d.beep = [this] { log.push_back("beep"); };
        d.systemTrayAvailable = [this] {
            log.push_back("statusItem");
            return trayAvailable;
        };
        return d;
    }

    // Builds the delegate and runs its start-up, as the event loop's first turn would.
    void launch(std::vector<std::string> arguments = {}) {
        AppCoordinatorDependencies d = dependencies(std::move(arguments));
        if (adjustDependencies) adjustDependencies(d);
        coordinator = std::make_unique<AppCoordinator>(std::move(d));
        coordinator->applicationDidFinishLaunching();
    }

    void TearDown() override { coordinator.reset(); }

    // A focused text field in the editor's window, which is the active one.
    static constexpr std::uint32_t kEditorWindow = 0x3a00007;
    AXElement addEditorField(const std::string& value = "") {
        ElementInfo info;
        info.role = "text";
        info.value = value;
        info.characterCount = static_cast<int>(value.size());
        info.caretOffset = static_cast<int>(value.size());
        info.editable = true;
        info.focused = true;
        AXElement field = accessibility.addElement(kEditorPID, info);
        accessibility.setFocusedElement(kEditorPID, field);
        accessibility.setFocusedWindow(kEditorPID, accessibility.addElement(kEditorPID, ElementInfo{.role = "frame"}));
        workspace.frontmostWindowID = kEditorWindow;
        return field;
    }
    std::string fieldValue(const AXElement& field) const { return accessibility.info(field).value.value_or(""); }

    HistoryStore& store() const { return *coordinator->store(); }
    ShelfPanelController& panel() const { return *coordinator->panelController(); }

    // The call log from the first entry equal to `from` on.
    std::vector<std::string> logFrom(const std::string& from) const {
        auto it = std::find(log.begin(), log.end(), from);
        return {it, log.end()};
    }
    bool logged(const std::string& entry) const { return std::find(log.begin(), log.end(), entry) != log.end(); }

    FakeUpdater* updater = nullptr;

private:
    std::unique_ptr<BundleInfo> bundle_;
};

}  // namespace harbelle::testing
