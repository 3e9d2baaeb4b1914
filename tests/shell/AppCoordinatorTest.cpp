#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QFile>
#include <QApplication>
#include <QImage>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>
#include <fstream>
#include <sstream>

#include "history/HistoryCodec.h"
#include "shell/AppCoordinatorTestSupport.h"
#include "shell/GlobalHotKey.h"
#include "shelf/AutomaticUpdateSetupView.h"
#include "shelf/PermissionSetupView.h"
#include "shelf/ShelfSheet.h"
#include "shell/StatusItem.h"
#include "support/ClipBuilder.h"

namespace harbelle::testing {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

class AppCoordinatorTest : public AppCoordinatorFixture {
protected:
    void withoutDirectPasteAccess() { accessibility.setTrusted(false); }
    void notFirstLaunch() { defaults.setBool(AppCoordinator::kHasLaunchedKey, true); }
    void directPasteOff() { defaults.setBool("pasteDirectly", false); }

    // Whether the shelf is open after moving the clock to `at` from launch.
    bool shelfVisibleAt(Milliseconds at) {
        clock.advance(at - elapsed_);
        elapsed_ = at;
        return panel().isVisible();
    }

    QStringList menuTitles() const {
        QStringList titles;
        coordinator->statusItem()->makeStatusMenu();
        for (QAction* action : coordinator->statusItem()->menu()->actions())
            titles << (action->isSeparator() ? QStringLiteral("---") : action->text());
        return titles;
    }

    ClipItem textClip(const std::string& text) const { return ClipBuilder(text).captured(clock.now()); }

private:
    Milliseconds elapsed_{0};
};

// ---- Start-up order ------------------------------------------------------------------------------

TEST_F(AppCoordinatorTest, FreshInstallWithoutAccessOpensThePermissionSheetAndHoldsCaptureBack) {
    withoutDirectPasteAccess();
    launch();

    EXPECT_EQ(log, (Strings{"accessoryPolicy", "store", "updateChoiceMigration other", "updateManager",
                            "syncCoordinator", "panelController", "settingsWindowController",
                            "permissions callbacks syncActive", "statusItem", "hotKey shift+super+v"}));
    EXPECT_TRUE(store().showPermissionSetup());
    EXPECT_FALSE(store().accessibilityAccessGranted());
    EXPECT_EQ(defaults.boolValue(AppCoordinator::kHasLaunchedKey), true);

    EXPECT_FALSE(shelfVisibleAt(349ms));
    EXPECT_TRUE(shelfVisibleAt(350ms));

    // Access granted, then the sheet is finished: the import and capture start, the shelf hides.
    accessibility.setTrusted(true);
    store().refreshDirectPasteAccess();
    log.clear();
    store().setShowPermissionSetup(false);
    store().finishPermissionSetup();
    EXPECT_EQ(log, (Strings{"legacyImport", "startMonitoring"}));
    EXPECT_FALSE(panel().isVisible());
}

TEST_F(AppCoordinatorTest, ANewUserRequestsAccessOnTheSheetAndItsContinueRecordsTheUpdateChoice) {
    withoutDirectPasteAccess();
    updatesAvailable = true;
    launch();
    ASSERT_TRUE(shelfVisibleAt(350ms));
    PermissionSetupView& sheet = *panel().mainView()->permissionSetupView();
    ASSERT_EQ(panel().mainView()->presentedSheet(), MainShelfView::SheetKind::permissionSetup);
    EXPECT_TRUE(sheet.updateCard()->isVisibleTo(&sheet)) << "a new installation is asked";
    EXPECT_FALSE(coordinator->updateManager()->presentsAutomaticCheckChoice());

    sheet.button(PermissionSetupView::kRequestTitle)->click();
    EXPECT_EQ(sheet.badge(0)->text(), QStringLiteral("Allowed"));
    sheet.updateToggle()->click();
    EXPECT_TRUE(updater->automaticChecks) << "the toggle takes effect at once";

    log.clear();
    sheet.button(PermissionSetupView::kContinueTitle)->click();
    EXPECT_EQ(defaults.boolValue(UpdateManager::kChoiceRecordedKey), true);
    EXPECT_FALSE(store().showPermissionSetup());
    QApplication::processEvents();
    clock.runDue();
    EXPECT_EQ(log, (Strings{"legacyImport", "startMonitoring"}));
    EXPECT_FALSE(coordinator->updateManager()->presentsAutomaticCheckChoice()) << "the update sheet does not follow";
    EXPECT_FALSE(panel().isVisible());
}

TEST_F(AppCoordinatorTest, AccessibilitySwitchedOnElsewhereReachesTheStoreAtOnce) {
    withoutDirectPasteAccess();
    launch();
    accessibility.setTrusted(true);
    ASSERT_TRUE(accessibility.onTrustChanged);
    accessibility.onTrustChanged();
    EXPECT_TRUE(store().accessibilityAccessGranted());
}

TEST_F(AppCoordinatorTest, FinishingTheSheetWithoutAccessAsksAgainAndImportsOnlyOnce) {
    withoutDirectPasteAccess();
    launch();
    log.clear();
    store().setShowPermissionSetup(false);
    store().finishPermissionSetup();
    EXPECT_EQ(log, (Strings{"legacyImport", "stopMonitoring"}));
    EXPECT_TRUE(store().showPermissionSetup());

    log.clear();
    store().updatePasteDirectly(false);
    store().finishPermissionSetup();
    EXPECT_EQ(log, (Strings{"startMonitoring"})) << "the import runs once per process";
}

TEST_F(AppCoordinatorTest, WithAccessCaptureStartsDuringStartUpAndALaterLaunchStaysClosed) {
    notFirstLaunch();
    launch();
    EXPECT_EQ(logFrom("statusItem"), (Strings{"statusItem", "hotKey shift+super+v", "legacyImport", "startMonitoring"}));
    EXPECT_FALSE(store().showPermissionSetup());
    EXPECT_FALSE(shelfVisibleAt(2000ms));
}

TEST_F(AppCoordinatorTest, FirstLaunchWithDirectPasteOffCapturesAtOnceAndOpensTheShelfOnce) {
    directPasteOff();
    withoutDirectPasteAccess();
    launch();
    EXPECT_EQ(logFrom("hotKey shift+super+v"), (Strings{"hotKey shift+super+v", "legacyImport", "startMonitoring"}));
    EXPECT_TRUE(shelfVisibleAt(350ms));
    EXPECT_EQ(defaults.boolValue(AppCoordinator::kHasLaunchedKey), true);

    coordinator.reset();
    log.clear();
    launch();
    clock.advance(1s);
    EXPECT_FALSE(panel().isVisible());

    // "--show" opens it on every launch.
    coordinator.reset();
    launch({"--show"});
    clock.advance(350ms);
    EXPECT_TRUE(panel().isVisible());
}

TEST_F(AppCoordinatorTest, ThePermissionSheetCarriesTheUpdateChoiceWhenBothAreDue) {
    updatesAvailable = true;
    withoutDirectPasteAccess();
    launch();
    EXPECT_TRUE(store().showPermissionSetup());
    EXPECT_FALSE(coordinator->updateManager()->presentsAutomaticCheckChoice());
    EXPECT_EQ(log.at(2), "updateChoiceMigration direct");
}

TEST_F(AppCoordinatorTest, AnUpdateChoiceAloneOpensTheShelfAndCaptureWaitsForIt) {
    updatesAvailable = true;
    notFirstLaunch();
    launch();
    EXPECT_TRUE(coordinator->updateManager()->presentsAutomaticCheckChoice());
    EXPECT_FALSE(logged("startMonitoring"));
    EXPECT_TRUE(shelfVisibleAt(350ms));
    EXPECT_EQ(panel().mainView()->presentedSheet(), MainShelfView::SheetKind::updateChoice);

    // Saving records what the updater holds; automatic checks are not switched on for the user.
    panel().mainView()->automaticUpdateSetupView()->saveButton()->click();
    clock.runDue();
    EXPECT_FALSE(updater->automaticChecks);
    EXPECT_EQ(defaults.boolValue(UpdateManager::kChoiceRecordedKey), true);
    EXPECT_TRUE(logged("startMonitoring"));
    EXPECT_FALSE(coordinator->updateManager()->presentsAutomaticCheckChoice());
    EXPECT_FALSE(panel().isVisible());
}

TEST_F(AppCoordinatorTest, WhereDirectPasteCanNeverBeGrantedCaptureStillStartsWithoutTheSheet) {
    // A session without an accessibility bus and without XTest: nothing could grant access.
    accessibility.setAvailable(false);
    poster.setAllowed(false);
    notFirstLaunch();
    launch();
    EXPECT_TRUE(coordinator->directPasteImpossible());
    EXPECT_FALSE(store().accessibilityBusAvailable()) << "the set-up sheet says so";
    EXPECT_TRUE(store().pasteDirectly()) << "the user's setting is kept";
    EXPECT_FALSE(store().showPermissionSetup());
    EXPECT_TRUE(logged("startMonitoring"));
    EXPECT_FALSE(shelfVisibleAt(1000ms));
}

TEST_F(AppCoordinatorTest, DemoModeSkipsMigrationLoginAndImportAndAlwaysOpensTheShelf) {
    notFirstLaunch();
    withoutDirectPasteAccess();
    launch({"--demo", "--enable-login", "--refresh-login-item"});
    EXPECT_EQ(log, (Strings{"accessoryPolicy", "store demo", "updateManager", "syncCoordinator", "panelController",
                            "settingsWindowController", "permissions callbacks", "statusItem",
                            "hotKey shift+super+v", "startMonitoring"}));
    EXPECT_FALSE(store().showPermissionSetup());
    EXPECT_FALSE(shelfVisibleAt(349ms));
    EXPECT_TRUE(shelfVisibleAt(350ms));
}

TEST_F(AppCoordinatorTest, DemoStepsRunAtTheirTimesAndTheSnapshotShowsTheSettingsWindow) {
    const AXElement field = addEditorField();
    const QString picture = temp.filePath(QStringLiteral("settings.png"));
    launch({"--demo", "--show-settings", "--snapshot", picture.toStdString(), "--auto-paste-demo"});
    EXPECT_TRUE(store().pasteDirectly()) << "switched on at once";

    clock.advance(350ms);
    EXPECT_TRUE(panel().isVisible());
    clock.advance(199ms);
    EXPECT_FALSE(store().showSettings());
    clock.advance(1ms);
    EXPECT_TRUE(store().showSettings());
    EXPECT_TRUE(coordinator->settingsWindowController()->window()->isVisible());

    const ClipItem newest = store().items().front();
    clock.advance(549ms);
    EXPECT_EQ(fieldValue(field), "");
    clock.advance(1ms);  // 1.1 s: the newest clip goes straight into the editor's field
    EXPECT_EQ(fieldValue(field), newest.text);
    EXPECT_TRUE(pasteboard.writes.empty()) << "inserted, not pasted through the clipboard";

    clock.advance(99ms);
    EXPECT_EQ(quits, 0);
    clock.advance(1ms);  // 1.2 s: the picture, then quit
    EXPECT_EQ(quits, 1);
    const QImage image(picture);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.width(), coordinator->settingsWindowController()->window()->width());

    clock.advance(2s);  // the 2.8 s quit finds the program terminating already
    EXPECT_EQ(quits, 1);
}

TEST_F(AppCoordinatorTest, AutoPasteDemoWithAnEmptyHistoryPastesNothingAndStillQuits) {
    directPasteOff();
    withoutDirectPasteAccess();
    launch({"--demo", "--auto-paste-demo"});
    EXPECT_TRUE(store().pasteDirectly());
    EXPECT_EQ(defaults.boolValue("pasteDirectly"), false) << "the demo run leaves the user's setting alone";
    EXPECT_FALSE(store().showPermissionSetup());
    store().clearHistory(false);
    clock.advance(2799ms);
    EXPECT_TRUE(pasteboard.writes.empty());
    EXPECT_EQ(quits, 0);
    clock.advance(1ms);
    EXPECT_EQ(quits, 1);
}

TEST_F(AppCoordinatorTest, ASnapshotThatCannotBeWrittenStillQuits) {
    launch({"--snapshot", "/nonexistent-folder/shelf.png"});
    clock.advance(1200ms);
    EXPECT_EQ(quits, 1);
    EXPECT_FALSE(QFile::exists(QStringLiteral("/nonexistent-folder/shelf.png")));
}

// ---- Launch arguments ----------------------------------------------------------------------------

// How values read is the arguments' own business; here only that they reach the shelf.
TEST_F(AppCoordinatorTest, ArgumentValuesReachTheShelf) {
    launch({"--paste-target-pid", std::to_string(kEditorPID)});
    ASSERT_TRUE(panel().pasteTarget().isExplicit());
    EXPECT_EQ(panel().pasteTarget().application()->processIdentifier, kEditorPID);

    coordinator.reset();
    launch({"--demo", "--qa-transient-focus-failures", "4"});
    EXPECT_FALSE(panel().pasteTarget().isExplicit());
    EXPECT_EQ(panel().qaRemainingTransientFocusFailures(), 4);

    // "--show" taken as the pid's value still opens the shelf.
    coordinator.reset();
    notFirstLaunch();
    launch({"--paste-target-pid", "--show"});
    clock.advance(350ms);
    EXPECT_TRUE(panel().isVisible());
}

TEST_F(AppCoordinatorTest, AutoHideOverrideOnlyInDemoAndOnlyWhenItReads) {
    launch({"--demo", "--qa-auto-hide-seconds", "2.5"});
    EXPECT_TRUE(store().autoHideEnabled());
    EXPECT_DOUBLE_EQ(store().autoHideDelay(), 2.5);

    coordinator.reset();
    launch({"--demo", "--qa-auto-hide-seconds", "abc"});
    EXPECT_FALSE(store().autoHideEnabled()) << "demo mode without an override turns auto-hide off";
}

TEST_F(AppCoordinatorTest, LoginItemArgumentsDuringANormalStartUp) {
    launch({"--enable-login"});
    EXPECT_EQ(log.at(4), "enableLaunchAtLogin");

    // A refresh takes precedence over "--enable-login" and reports only failures.
    coordinator.reset();
    log.clear();
    launch({"--refresh-login-item", "--enable-login"});
    EXPECT_TRUE(logged("refreshLoginItem"));
    EXPECT_FALSE(logged("enableLaunchAtLogin"));
    EXPECT_TRUE(errors.empty());

    coordinator.reset();
    log.clear();
    defaults.setBool("launchAtLoginRequested", true);
    loginItems.registerError = LoginItemError{"autostart", 5, "The folder is read-only"};
    launch({"--refresh-login-item"});
    EXPECT_EQ(errors, (Strings{"Could not refresh login item: The folder is read-only"}));
    EXPECT_TRUE(logged("syncCoordinator")) << "start-up goes on";
}

TEST_F(AppCoordinatorTest, OlderPreferencesWishingLaunchAtLoginRefreshTheMissingLoginItem) {
    defaults.setPersistentDomain("com.brantlemoor.Pemberlow", {{"launchAtLoginRequested", true}});
    launch();
    ASSERT_TRUE(store().migratedLegacyPreferences());
    EXPECT_EQ(log.at(4), "refreshLoginItem");
    EXPECT_EQ(loginItems.registerCalls, 1);

    // With the login item on already nothing is refreshed.
    coordinator.reset();
    log.clear();
    defaults.removeObject("harbelleLegacyPreferencesMigratedV1");
    loginItems.currentStatus = LoginItemStatus::requiresApproval;
    launch();
    EXPECT_FALSE(logged("refreshLoginItem"));
}

TEST_F(AppCoordinatorTest, PermissionReportPrintsTwoLinesAndQuitsBeforeAnythingIsBuilt) {
    accessibility.setTrusted(true);
    poster.setAllowed(false);
    launch({"--diagnose-permissions", "--demo", "--show"});
    EXPECT_EQ(output, (Strings{"AX_TRUSTED=true", "POST_EVENT_ALLOWED=false"}));
    EXPECT_EQ(log, (Strings{"accessoryPolicy", "permissions", "quit"}));
    EXPECT_EQ(coordinator->store(), nullptr);
    EXPECT_EQ(coordinator->statusItem(), nullptr);
    EXPECT_EQ(hotKeys.fake.registrationCount(), 0u);
}

TEST_F(AppCoordinatorTest, LoginItemReportPrintsTheStatusOrTheErrorAndExits) {
    loginItems.currentStatus = LoginItemStatus::requiresApproval;
    loginItems.statusAfterRegister = LoginItemStatus::requiresApproval;
    defaults.setBool("launchAtLoginRequested", true);
    launch({"--refresh-login-item-and-exit", "--demo"});
    loginItems.deliverPending();
    EXPECT_EQ(output, (Strings{"LOGIN_ITEM_REFRESHED=true STATUS=2"}));
    EXPECT_EQ(exits, (std::vector<int>{0}));
    EXPECT_EQ(quits, 0) << "the process exits directly, without the termination steps";
    EXPECT_EQ(coordinator->store(), nullptr);

    coordinator.reset();
    output.clear();
    exits.clear();
    loginItems.currentStatus = LoginItemStatus::notRegistered;
    loginItems.registerError = LoginItemError{"autostart", 5, "No autostart folder"};
    launch({"--refresh-login-item-and-exit"});
    loginItems.deliverPending();
    EXPECT_TRUE(output.empty());
    EXPECT_EQ(errors, (Strings{"LOGIN_ITEM_REFRESHED=false ERROR=No autostart folder"}));
    EXPECT_EQ(exits, (std::vector<int>{1}));
}

TEST_F(AppCoordinatorTest, PasteDiagnosticsAreWrittenOnlyWithTheirArgument) {
    launch({"--paste-target-pid", std::to_string(kEditorPID)});
    EXPECT_TRUE(output.empty());

    coordinator.reset();
    launch({"--paste-diagnostics", "--paste-target-pid", std::to_string(kEditorPID)});
    ASSERT_FALSE(output.empty());
    EXPECT_EQ(output.front(), "[DirectPaste] explicit target pid=" + std::to_string(kEditorPID));
}

// ---- Store callbacks and permissions -------------------------------------------------------------

TEST_F(AppCoordinatorTest, RequestingAccessForgetsTheTargetAndRereadsForEightSeconds) {
    withoutDirectPasteAccess();
    accessibility.setGrantsTrustOnRequest(false);
    launch({"--paste-target-pid", std::to_string(kEditorPID)});
    ASSERT_TRUE(panel().pasteTarget().isExplicit());
    log.clear();

    store().requestDirectPasteAccess();
    EXPECT_FALSE(panel().pasteTarget().isExplicit());
    EXPECT_FALSE(panel().pasteTarget().application().has_value());
    EXPECT_EQ(log, (Strings{"permissions callbacks syncActive", "requestAccessibility",
                            "permissions callbacks syncActive"}));

    // The user grants it 3.2 s later: the 3.5 s re-read sees it.
    clock.advance(3200ms);
    accessibility.setTrusted(true);
    EXPECT_FALSE(store().accessibilityAccessGranted());
    clock.advance(300ms);
    EXPECT_TRUE(store().accessibilityAccessGranted());

    log.clear();
    clock.advance(4500ms);
    EXPECT_EQ(std::count(log.begin(), log.end(), "permissions callbacks syncActive"), 9);
    clock.advance(5s);
    EXPECT_EQ(std::count(log.begin(), log.end(), "permissions callbacks syncActive"), 9) << "16 re-reads in all";
}

TEST_F(AppCoordinatorTest, ReviewingAccessFromTheSettingsClosesThemAndShowsTheSheet) {
    notFirstLaunch();
    launch();
    coordinator->showSettings();
    ASSERT_TRUE(coordinator->settingsWindowController()->window()->isVisible());
    panel().hideShelf();

    coordinator->transitionToPermissionSetup();
    EXPECT_FALSE(store().showSettings());
    EXPECT_FALSE(coordinator->settingsWindowController()->window()->isVisible());
    EXPECT_TRUE(panel().isVisible());
    EXPECT_TRUE(store().showPermissionSetup());
}

TEST_F(AppCoordinatorTest, SettingsVisibilityAndOpeningTheAccessibilitySettings) {
    notFirstLaunch();
    launch({"--paste-target-pid", std::to_string(kEditorPID)});
    store().announceSettingsVisibility(true);
    EXPECT_TRUE(coordinator->settingsWindowController()->window()->isVisible());
    store().announceSettingsVisibility(false);
    EXPECT_FALSE(coordinator->settingsWindowController()->window()->isVisible());

    store().openAccessibilitySettings();
    EXPECT_TRUE(logged("openAccessibilitySettings"));
    EXPECT_FALSE(panel().pasteTarget().isExplicit());
}

TEST_F(AppCoordinatorTest, CopyOnlyPasteCopiesAnnouncesAndHidesTheShelfLater) {
    notFirstLaunch();
    directPasteOff();
    launch({"--paste-diagnostics"});
    store().insert(textClip("hello"));
    panel().show();
    clock.runDue();
    workspace.activations.clear();
    output.clear();

    store().requestPaste(store().items().front(), false);
    ASSERT_EQ(pasteboard.writes.size(), 1u);
    EXPECT_EQ(store().toastMessage(), std::optional<std::string>("Copied to the clipboard"));
    EXPECT_EQ(store().toastTone(), ToastTone::success);
    EXPECT_TRUE(store().items().front().lastReplayedAt.has_value());
    EXPECT_TRUE(panel().pasteTransactionIsActive());
    EXPECT_EQ(output, (Strings{"[DirectPaste] copy-only requested kind=text wroteClipboard=true"}));

    clock.advance(449ms);
    EXPECT_TRUE(panel().isVisible());
    clock.advance(1ms);
    EXPECT_FALSE(panel().isVisible());
    EXPECT_FALSE(panel().pasteTransactionIsActive());
    EXPECT_EQ(workspace.activations, (std::vector<ProcessID>{kEditorPID})) << "the user's application is back";
}

TEST_F(AppCoordinatorTest, AClipThatCannotBeWrittenBeepsAndOpensNoTransaction) {
    notFirstLaunch();
    directPasteOff();
    launch();
    const ClipItem image = ClipBuilder("", ClipKind::image).payload("missing.png");
    coordinator->paste(image, false);
    EXPECT_TRUE(pasteboard.writes.empty());
    EXPECT_EQ(store().toastMessage(), std::optional<std::string>("That clip is no longer available"));
    EXPECT_EQ(store().toastTone(), ToastTone::error);
    EXPECT_TRUE(logged("beep"));
    EXPECT_FALSE(coordinator->pasteEngine()->activePasteOperationGeneration().has_value());
}

// ---- Hot key and status item ---------------------------------------------------------------------

TEST_F(AppCoordinatorTest, TheHotKeyFallsBackToAltSuperVAndThenToTheMenuBar) {
    notFirstLaunch();
    launch();
    EXPECT_EQ(store().globalShortcutLabel(), "\u21e7\u2318V");
    EXPECT_EQ(coordinator->statusItem()->toolTip(), QStringLiteral("Harbelle \u00b7 Shift+Super+V"));
    EXPECT_FALSE(store().toastMessage().has_value());
    ASSERT_NE(coordinator->globalHotKey(), nullptr);
    EXPECT_EQ(coordinator->globalHotKey()->combination(), HotKeyCombination::shiftCommandV());

    coordinator.reset();
    log.clear();
    hotKeys.fake.refuse(HotKeyCombination::shiftCommandV());
    launch();
    EXPECT_EQ(logFrom("statusItem"), (Strings{"statusItem", "hotKey shift+super+v", "hotKey alt+super+v",
                                              "legacyImport", "startMonitoring"}));
    EXPECT_EQ(store().globalShortcutLabel(), "\u2325\u2318V");
    EXPECT_EQ(coordinator->statusItem()->toolTip(), QStringLiteral("Harbelle \u00b7 Alt+Super+V"));
    EXPECT_EQ(store().toastMessage(),
              std::optional<std::string>("Another program is using Shift+Super+V \u2014 Harbelle uses Alt+Super+V"));
    EXPECT_EQ(coordinator->globalHotKey()->combination(), HotKeyCombination::optionCommandV());

    coordinator.reset();
    hotKeys.fake.refuse(HotKeyCombination::optionCommandV());
    launch();
    EXPECT_EQ(coordinator->globalHotKey(), nullptr);
    EXPECT_EQ(store().globalShortcutLabel(), "Menu bar");
    EXPECT_EQ(coordinator->statusItem()->toolTip(), QStringLiteral("Harbelle \u00b7 Click to open"));
    EXPECT_EQ(store().toastMessage(), std::optional<std::string>("Open Harbelle from its tray icon"));

    // The status item still toggles the shelf.
    coordinator->statusItem()->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(panel().isVisible());
}

TEST_F(AppCoordinatorTest, TheHotKeyTogglesTheShelfAndAbandonsARunningPaste) {
    notFirstLaunch();
    directPasteOff();
    launch({"--paste-diagnostics"});
    store().insert(textClip("hello"));

    ASSERT_TRUE(hotKeys.fake.press(HotKeyCombination::shiftCommandV()));
    clock.runDue();
    EXPECT_TRUE(panel().isVisible());
    workspace.activations.clear();

    store().requestPaste(store().items().front(), false);
    ASSERT_TRUE(coordinator->pasteEngine()->activePasteOperationGeneration().has_value());
    output.clear();
    hotKeys.fake.press(HotKeyCombination::shiftCommandV());
    EXPECT_EQ(output, (Strings{"[DirectPaste] cancelled stale paste operation"}));
    EXPECT_FALSE(panel().isVisible());
    EXPECT_EQ(workspace.activations, (std::vector<ProcessID>{kEditorPID}));

    // The abandoned transaction's finishing step finds itself stale.
    hotKeys.fake.press(HotKeyCombination::shiftCommandV());
    clock.runDue();
    ASSERT_TRUE(panel().isVisible());
    clock.advance(450ms);
    EXPECT_TRUE(panel().isVisible());
}

TEST_F(AppCoordinatorTest, WithoutASystemTrayTheProgramRunsOnTheHotKeyAlone) {
    trayAvailable = false;
    hotKeys.fake.refuse(HotKeyCombination::shiftCommandV());
    notFirstLaunch();
    launch();
    // The item waits for a tray with the tooltip the hot key left.
    ASSERT_NE(coordinator->statusItem(), nullptr);
    EXPECT_EQ(coordinator->statusItem()->toolTip(), QStringLiteral("Harbelle \u00b7 Alt+Super+V"));
    EXPECT_EQ(store().globalShortcutLabel(), "\u2325\u2318V");
    hotKeys.fake.press(HotKeyCombination::optionCommandV());
    EXPECT_TRUE(panel().isVisible());
}

TEST_F(AppCoordinatorTest, StatusMenuItemsWithAndWithoutTheUpdateItem) {
    notFirstLaunch();
    launch();
    EXPECT_EQ(menuTitles(), (QStringList{"Open Shelf", "New Text Clip", "---", "Pause Capture", "Settings\u2026",
                                         "---", "Quit Harbelle"}));
    const auto actions = coordinator->statusItem()->menu()->actions();
    EXPECT_EQ(actions.at(1)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_N));
    EXPECT_EQ(actions.at(4)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
    EXPECT_EQ(actions.at(6)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));

    coordinator.reset();
    updatesAvailable = true;
    defaults.setBool(UpdateManager::kChoiceRecordedKey, true);
    launch();
    EXPECT_EQ(menuTitles(), (QStringList{"Open Shelf", "New Text Clip", "---", "Pause Capture", "Settings\u2026",
                                         "---", "Check for Updates\u2026", "---", "Quit Harbelle"}));
    coordinator->statusItem()->menu()->actions().at(6)->trigger();
    EXPECT_EQ(updater->checkCount, 1);

    // The manual check's outcome is shown, as plain text; a scheduled failure shows nothing.
    const auto answerBox = [] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget->objectName() == QLatin1String("updateCheckAnswer") && widget->isVisible())
                return qobject_cast<QMessageBox*>(widget);
        return static_cast<QMessageBox*>(nullptr);
    };
    UpdateCheckResult failed;
    failed.error = "Could not read the update feed. <b>status 503</b>";
    updater->finishCheck(failed);
    EXPECT_FALSE(answerBox());
    failed.userInitiated = true;
    updater->finishCheck(failed);
    QMessageBox* box = answerBox();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    EXPECT_TRUE(box->text().contains(QStringLiteral("<b>status 503</b>"))) << box->text().toStdString();
    box->close();
    QApplication::processEvents();
}

TEST_F(AppCoordinatorTest, StatusMenuActions) {
    notFirstLaunch();
    launch();
    auto trigger = [this](const QString& title) {
        coordinator->statusItem()->makeStatusMenu();
        for (QAction* action : coordinator->statusItem()->menu()->actions())
            if (action->text() == title) return action->trigger();
        FAIL() << title.toStdString();
    };

    trigger(QStringLiteral("New Text Clip"));
    EXPECT_TRUE(panel().isVisible());
    ASSERT_TRUE(store().editingItem().has_value());
    EXPECT_EQ(store().editingItem()->text, "New reusable snippet");
    EXPECT_EQ(store().items().front().id, store().editingItem()->id);
    store().setEditingItem(std::nullopt);

    trigger(QStringLiteral("Pause Capture"));
    EXPECT_TRUE(logged("pause"));

    panel().hideShelf();
    trigger(QStringLiteral("Settings\u2026"));
    EXPECT_TRUE(panel().isVisible()) << "the shelf opens behind the settings";
    EXPECT_TRUE(store().showSettings());
    EXPECT_TRUE(coordinator->settingsWindowController()->window()->isVisible());

    // Opening never hides.
    trigger(QStringLiteral("Open Shelf"));
    EXPECT_TRUE(panel().isVisible());

    trigger(QStringLiteral("Quit Harbelle"));
    EXPECT_EQ(quits, 1);
    EXPECT_FALSE(coordinator->settingsWindowController()->window()->isVisible());
}

// ---- Termination and re-activation ---------------------------------------------------------------

TEST_F(AppCoordinatorTest, QuittingWhileAStartUpStepIsPendingWritesTheHistoryAndStopsEverything) {
    launch({"--snapshot", temp.filePath(QStringLiteral("late.png")).toStdString()});
    store().insert(textClip("keep me"));
    const auto history = support() / "history.json";
    ASSERT_FALSE(std::filesystem::exists(history)) << "the save waits 0.45 s";

    coordinator->quit();
    ASSERT_TRUE(std::filesystem::exists(history));
    std::ifstream in(history, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const auto decoded = historycodec::decode(bytes.str());
    ASSERT_EQ(decoded.items.size(), 1u);
    EXPECT_EQ(decoded.items.front().text, "keep me");
    EXPECT_FALSE(coordinator->syncCoordinator()->wantsActive());
    EXPECT_EQ(quits, 1);

    // The pending shelf opening and snapshot never run.
    clock.advance(2s);
    EXPECT_FALSE(panel().isVisible());
    EXPECT_FALSE(QFile::exists(temp.filePath(QStringLiteral("late.png"))));
    EXPECT_EQ(quits, 1);
}

TEST_F(AppCoordinatorTest, BecomingActiveRereadsThePermissionsAndReactivatesSync) {
    withoutDirectPasteAccess();
    notFirstLaunch();
    launch();
    const auto generation = coordinator->syncCoordinator()->lifecycleGeneration();
    accessibility.setTrusted(true);
    // Within 30 s of the launch's activation: the permissions are read, sync is not restarted.
    clock.advance(29s);
    coordinator->applicationDidBecomeActive();
    EXPECT_TRUE(store().accessibilityAccessGranted());
    EXPECT_EQ(coordinator->syncCoordinator()->lifecycleGeneration(), generation);
    clock.advance(1s);
    coordinator->applicationDidBecomeActive();
    EXPECT_EQ(coordinator->syncCoordinator()->lifecycleGeneration(), generation + 1);
    EXPECT_FALSE(AppCoordinator::applicationShouldTerminateAfterLastWindowClosed());
}

TEST_F(AppCoordinatorTest, ALaterLaunchReactivatesAndOpensTheShelf) {
    withoutDirectPasteAccess();
    directPasteOff();
    notFirstLaunch();
    launch();
    clock.advance(30s);
    ASSERT_FALSE(panel().isVisible());
    const auto generation = coordinator->syncCoordinator()->lifecycleGeneration();
    accessibility.setTrusted(true);
    coordinator->reopen();
    EXPECT_TRUE(panel().isVisible());
    EXPECT_TRUE(store().accessibilityAccessGranted());
    EXPECT_EQ(coordinator->syncCoordinator()->lifecycleGeneration(), generation + 1);
}

}  // namespace
}  // namespace harbelle::testing
