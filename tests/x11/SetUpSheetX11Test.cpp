// What a new user sees on a 1280x800 desktop: the set-up sheets and the preview of a side shelf
// whole, in front of the shelf, their buttons on the screen without scrolling, and the settings
// window in front of the shelf.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include <optional>
#include <utility>
#include <vector>

#include "AccessibilityBus.h"
#include "HarbelleProcess.h"
#include "ScreenReader.h"
#include "TestUpdateFeed.h"
#include "platform/DesktopSettings.h"
#include "settings/UpdateManager.h"
#include "shelf/AutomaticUpdateSetupView.h"
#include "shelf/PermissionSetupView.h"
#include "shelf/ShelfSheet.h"
#include "shell/AppCoordinatorTestSupport.h"

namespace harbelle::testing {
namespace {

// The private desktop's screen (scripts/x11-session.sh sets its size).
QRect screenRect() { return QGuiApplication::primaryScreen()->geometry(); }

QString windowRole(quint32 window) {
    return runAndRead(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(window),
                                                QStringLiteral("WM_WINDOW_ROLE")});
}

// The program's shown shelf window and the sheet window in front of it.
struct ShelfWindows {
    quint32 shelf = 0;
    quint32 sheet = 0;
};
ShelfWindows shelfWindows() {
    ShelfWindows found;
    for (quint32 window : visibleWindowsNamed(QStringLiteral("^Harbelle$"))) {
        if (windowRole(window).contains(QStringLiteral("\"sheet\""))) found.sheet = window;
        else found.shelf = window;
    }
    return found;
}

// Moves the pointer, waits until it is there, then clicks. (`mousemove --sync` to where the pointer
// already is waits for a motion that never comes.)
bool clickAt(QPoint point) {
    const QString x = QString::number(point.x()), y = QString::number(point.y());
    if (!runQuietly(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), x, y})) return false;
    const bool there = QTest::qWaitFor(
        [&] {
            QProcess query;
            query.start(QStringLiteral("xdotool"), {QStringLiteral("getmouselocation"), QStringLiteral("--shell")});
            if (!query.waitForFinished(5000)) return false;
            const QString out = QString::fromUtf8(query.readAllStandardOutput());
            return out.contains(QStringLiteral("X=") + x + QLatin1Char('\n')) &&
                   out.contains(QStringLiteral("Y=") + y + QLatin1Char('\n'));
        },
        5000);
    return there && runQuietly(QStringLiteral("xdotool"), {QStringLiteral("click"), QStringLiteral("1")});
}

// A new user's first launch with the shelf at `placement` ("bottom" needs no settings file at all).
// With `withUpdateFeed` the program offers updates (a loopback feed where nothing listens), so
// the sheet also carries its update card.
void expectPermissionSheetWholeAndCopyOnlyStartingCapture(const char* settingsJson, bool withUpdateFeed = false) {
    std::optional<TestFeed> feed;
    if (withUpdateFeed) feed.emplace("https://127.0.0.1:9/appcast.xml");
    AccessibilityBusSwitch bus(false);
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    AccessibleLaunch accessible;
    HarbelleProcess harbelle(settingsJson);
    ASSERT_TRUE(harbelle.waitUntilRunning()) << harbelle.errorOutput().toStdString();
    ScreenReader reader(harbelle.process().processId());
    const std::string copyOnly = PermissionSetupView::kCopyOnlyTitle;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            auto button = reader.use(ATSPI_ROLE_PUSH_BUTTON, copyOnly);
            return button && !button->extents.isEmpty() && shelfWindows().sheet != 0;
        },
        10000))
        << "the permission sheet comes up at launch";
    // The window manager places and stacks the sheet after it is mapped: measured once it is done.
    (void)QTest::qWaitFor(
        [] {
            const ShelfWindows shown = shelfWindows();
            return shown.shelf && stackedAbove(shown.sheet, shown.shelf) &&
                   screenRect().contains(windowGeometry(shown.sheet));
        },
        5000);

    const ShelfWindows windows = shelfWindows();
    ASSERT_NE(windows.shelf, 0u);
    const QRect sheet = windowGeometry(windows.sheet);
    EXPECT_EQ(sheet.width(), 600);
    EXPECT_TRUE(screenRect().contains(sheet)) << sheet.y() << "+" << sheet.height();
    EXPECT_TRUE(stackedAbove(windows.sheet, windows.shelf));

    std::vector<std::pair<AtspiRole, const char*>> controls = {
        {ATSPI_ROLE_PUSH_BUTTON, PermissionSetupView::kRequestTitle},
        {ATSPI_ROLE_PUSH_BUTTON, PermissionSetupView::kCheckAgainTitle},
        {ATSPI_ROLE_PUSH_BUTTON, PermissionSetupView::kCopyOnlyTitle}};
    // Shown only where the desktop has accessibility settings to open.
    if (accessibilitySettingsCommand()) controls.emplace_back(ATSPI_ROLE_PUSH_BUTTON, PermissionSetupView::kOpenSettingsTitle);
    if (withUpdateFeed) controls.emplace_back(ATSPI_ROLE_CHECK_BOX, "Automatically check for signed updates");
    for (const auto& [role, name] : controls) {
        SCOPED_TRACE(name);
        const auto control = reader.use(role, name);
        ASSERT_TRUE(control);
        const QRect at = control->extents;
        EXPECT_TRUE(screenRect().contains(at)) << at.y();
        EXPECT_TRUE(sheet.contains(at)) << at.y() << " in " << sheet.y() << "+" << sheet.height();
        // Inside what the sheet's scrolling column shows, scrolled to its start.
        EXPECT_TRUE(control->visibleArea().contains(at)) << at.y() << " below " << control->visibleArea().bottom();
        EXPECT_EQ(control->paneScrollValue.value_or(0), 0);
    }

    // The user clicks where the button shows.
    const auto button = reader.use(ATSPI_ROLE_PUSH_BUTTON, copyOnly);
    ASSERT_TRUE(button);
    ASSERT_TRUE(clickAt(button->extents.center()));
    EXPECT_TRUE(QTest::qWaitFor([] { return !shelfWindowVisible(); }, 5000)) << "the choice closes the sheet and shelf";
    const QString text = QStringLiteral("first copy %1").arg(QDateTime::currentMSecsSinceEpoch());
    EXPECT_TRUE(harbelle.copyAndWaitUntilSaved(text)) << "capture starts";
    const QJsonObject settings = QJsonDocument::fromJson(harbelle.settings()).object();
    EXPECT_EQ(settings.value(QStringLiteral("pasteDirectly")), QJsonValue(false));
    if (withUpdateFeed) {
        EXPECT_EQ(settings.value(QStringLiteral("harbelle.automaticUpdateCheckChoiceRecorded")), QJsonValue(true));
    }
}

TEST(SetUpSheetX11, PermissionSheetIsWholeInFrontOfABottomShelf) {
    expectPermissionSheetWholeAndCopyOnlyStartingCapture(nullptr);
}

TEST(SetUpSheetX11, PermissionSheetIsWholeInFrontOfALeftShelf) {
    expectPermissionSheetWholeAndCopyOnlyStartingCapture(R"({"shelfPlacement": "left"})");
}

// A build that offers updates: the sheet's update card comes on top, and all of it still fits.
TEST(SetUpSheetX11, PermissionSheetWithItsUpdateCardIsWholeInFrontOfABottomShelf) {
    expectPermissionSheetWholeAndCopyOnlyStartingCapture(nullptr, true);
}

// Space on a side shelf: the preview stands in front of the narrow shelf with every button whole.
TEST(SetUpSheetX11, PreviewOfASideShelfIsWholeInFrontOfIt) {
    const char* const cases[] = {
        R"({"hasLaunchedPemberlow": true, "pasteDirectly": false, "shelfPlacement": "left", "shelfSizeMode": "compact"})",
        R"({"hasLaunchedPemberlow": true, "pasteDirectly": false, "shelfPlacement": "right", "shelfSizeMode": "full"})"};
    AccessibilityBusSwitch bus(false);
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    AccessibleLaunch accessible;
    for (const char* settings : cases) {
        SCOPED_TRACE(settings);
        HarbelleProcess harbelle(settings);
        ASSERT_TRUE(harbelle.waitUntilRunning());
        ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(QStringLiteral("A clip whose first line is far wider than any side shelf")));
        ASSERT_TRUE(openShelfWithHotKey());
        ASSERT_TRUE(pressKeys("space"));
        ScreenReader reader(harbelle.process().processId());
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                // Copy-only mode: choosing the clip copies it, and the button says so.
                auto paste = reader.use(ATSPI_ROLE_PUSH_BUTTON, "Copy");
                return paste && !paste->extents.isEmpty() && shelfWindows().sheet != 0;
            },
            5000));

        const ShelfWindows windows = shelfWindows();
        const QRect sheet = windowGeometry(windows.sheet);
        EXPECT_TRUE(screenRect().contains(sheet)) << sheet.x() << "+" << sheet.width();
        EXPECT_TRUE(stackedAbove(windows.sheet, windows.shelf));
        for (const char* name : {"Favorite", "Delete", "Copy as Plain Text", "Copy"}) {
            const auto button = reader.use(ATSPI_ROLE_PUSH_BUTTON, name);
            ASSERT_TRUE(button) << name;
            EXPECT_TRUE(sheet.contains(button->extents)) << name << " at " << button->extents.x() << "+"
                                                         << button->extents.width() << " in " << sheet.x() << "+"
                                                         << sheet.width();
        }
    }
}

// Ctrl+comma on the open shelf: the settings window stands whole in front of it and stays there
// while the user works in it; the shelf does not hide meanwhile.
TEST(SetUpSheetX11, SettingsWindowStandsInFrontOfTheOpenShelf) {
    AccessibilityBusSwitch bus(false);
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    AccessibleLaunch accessible;
    HarbelleProcess harbelle;
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_TRUE(pressKeys("shift+super+v"));
    ASSERT_TRUE(QTest::qWaitFor([] { return activeWindowName() == QStringLiteral("Harbelle"); }, 5000));
    ASSERT_TRUE(pressKeys("ctrl+comma"));
    ASSERT_TRUE(QTest::qWaitFor([] { return !visibleWindowsNamed(QStringLiteral("^Harbelle Settings$")).empty(); }, 5000));
    const quint32 settings = visibleWindowsNamed(QStringLiteral("^Harbelle Settings$")).front();
    (void)QTest::qWaitFor(
        [&] {
            const quint32 shown = shelfWindows().shelf;
            return shown && stackedAbove(settings, shown) && screenRect().contains(windowGeometry(settings, true));
        },
        5000);
    const quint32 shelf = shelfWindows().shelf;
    ASSERT_NE(shelf, 0u);
    const QRect frame = windowGeometry(settings, true);
    EXPECT_TRUE(screenRect().contains(frame)) << frame.x() << "," << frame.y() << " " << frame.width() << "x" << frame.height();
    EXPECT_TRUE(stackedAbove(settings, shelf));

    // A click in the settings window's lower part, where the shelf stood in front before (the
    // sidebar's empty stretch above "Open Local Data").
    const QRect client = windowGeometry(settings);
    ASSERT_TRUE(clickAt(QPoint(client.x() + 110, client.bottom() - 120)));
    QTest::qWait(300);
    EXPECT_TRUE(stackedAbove(settings, shelf));
    // Past the shelf's auto-hide delay (5 s): the open settings hold the shelf open.
    QTest::qWait(5600);
    EXPECT_TRUE(shelfWindowVisible());
    EXPECT_TRUE(stackedAbove(settings, shelf));
}

// "Check for Updates…" in the settings window opened over the shelf: the answer (here the
// feed's failure, nothing listens there) opens in front of both, with the keyboard.
TEST(SetUpSheetX11, UpdateAnswerOpensInFrontOfTheSettingsAndTheShelf) {
    const TestFeed feed("https://127.0.0.1:9/appcast.xml");
    AccessibleLaunch accessible;
    HarbelleProcess harbelle(R"({"hasLaunchedPemberlow": true, "pasteDirectly": false,
                                "harbelle.automaticUpdateCheckChoiceRecorded": true, "SUEnableAutomaticChecks": false})");
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_TRUE(openShelfWithHotKey());
    ASSERT_TRUE(pressKeys("ctrl+comma"));
    ScreenReader reader(harbelle.process().processId());
    std::optional<Control> check;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            check = reader.use(ATSPI_ROLE_PUSH_BUTTON, UpdateManager::kCheckForUpdatesTitle);
            return check && check->visibleArea().contains(check->extents);
        },
        10000));
    const quint32 settings = visibleWindowsNamed(QStringLiteral("^Harbelle Settings$")).front();
    const quint32 shelf = shelfWindows().shelf;
    ASSERT_NE(shelf, 0u);
    ASSERT_TRUE(clickAt(check->extents.center()));

    ASSERT_TRUE(QTest::qWaitFor([] { return activeWindowName() == QStringLiteral("Software Update"); }, 10000))
        << "the answer has the keyboard";
    const quint32 answer = visibleWindowsNamed(QStringLiteral("^Software Update$")).front();
    EXPECT_TRUE(stackedAbove(answer, settings));
    EXPECT_TRUE(stackedAbove(answer, shelf));
    ASSERT_TRUE(pressKeys("Return"));
    EXPECT_TRUE(QTest::qWaitFor([] { return visibleWindowsNamed(QStringLiteral("^Software Update$")).empty(); }, 5000));
}

// The update-choice sheet of a build with an update feed, on a desktop whose accessibility is
// on (so the permission sheet is not due): the delegate in this process, its updater a twin.
class UpdateSheetX11 : public AppCoordinatorFixture {
protected:
    void launchOnTheRealScreen(const char* placement) {
        updatesAvailable = true;
        defaults.setBool(AppCoordinator::kHasLaunchedKey, true);
        defaults.set("shelfPlacement", std::string(placement));
        adjustDependencies = [this](AppCoordinatorDependencies& d) {
            d.makePanelController = [this](HistoryStore& store, ShelfPanelControllerOptions options) {
                options.ownProcessID = kOwnPID;
                return std::make_unique<ShelfPanelController>(store, workspace, accessibility, clock,
                                                              std::move(options));
            };
        };
        launch();
        clock.advance(AppCoordinator::kShowShelfDelay);
    }

    void expectSaveButtonWholeAndWorking() {
        ASSERT_TRUE(panel().isVisible());
        ASSERT_EQ(panel().mainView()->presentedSheet(), MainShelfView::SheetKind::updateChoice);
        QWidget* window = panel().mainView()->sheet()->aboveWindow();
        ASSERT_TRUE(window);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        const auto sheetId = static_cast<quint32>(window->winId());
        const auto shelfId = static_cast<quint32>(panel().panel()->winId());
        (void)QTest::qWaitFor(
            [&] { return stackedAbove(sheetId, shelfId) && screenRect().contains(windowGeometry(sheetId)); }, 5000);
        const QRect frame = windowGeometry(static_cast<quint32>(window->winId()));
        EXPECT_EQ(frame.width(), 600);
        EXPECT_TRUE(screenRect().contains(frame)) << frame.y() << "+" << frame.height();
        EXPECT_TRUE(stackedAbove(static_cast<quint32>(window->winId()), static_cast<quint32>(panel().panel()->winId())));

        AutomaticUpdateSetupView& sheet = *panel().mainView()->automaticUpdateSetupView();
        QPushButton* save = sheet.saveButton();
        const QRect button(save->mapToGlobal(QPoint(0, 0)), save->size());
        EXPECT_TRUE(frame.contains(button)) << button.y() << " in " << frame.y() << "+" << frame.height();
        auto* scroll = sheet.findChild<QScrollArea*>();
        const QRect viewport(scroll->viewport()->mapToGlobal(QPoint(0, 0)), scroll->viewport()->size());
        EXPECT_TRUE(viewport.contains(button));
        EXPECT_EQ(scroll->verticalScrollBar()->maximum(), 0) << "the frame fits its content";

        ASSERT_TRUE(clickAt(button.center()));
        ASSERT_TRUE(QTest::qWaitFor([&] { return defaults.boolValue(UpdateManager::kChoiceRecordedKey) == true; }, 5000));
        QApplication::processEvents();
        clock.runDue();
        EXPECT_TRUE(logged("startMonitoring"));
        EXPECT_FALSE(panel().isVisible());
        EXPECT_FALSE(window->isVisible());
    }
};

TEST_F(UpdateSheetX11, SaveUpdateChoiceIsWholeInFrontOfABottomShelf) {
    launchOnTheRealScreen("bottom");
    expectSaveButtonWholeAndWorking();
}

TEST_F(UpdateSheetX11, SaveUpdateChoiceIsWholeInFrontOfALeftShelf) {
    launchOnTheRealScreen("left");
    expectSaveButtonWholeAndWorking();
}

}  // namespace
}  // namespace harbelle::testing
