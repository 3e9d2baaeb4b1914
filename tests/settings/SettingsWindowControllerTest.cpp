#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QWidget>

#include "history/HistoryStore.h"
#include "settings/SettingsView.h"
#include "settings/SettingsWindowController.h"
#include "settings/UpdateManager.h"
#include "support/InMemoryDefaults.h"
#include "support/ManualClock.h"
#include "syncbridge/SyncCoordinator.h"

using namespace harbelle;
using harbelle::testing::InMemoryDefaults;
using harbelle::testing::ManualClock;
using C = SettingsWindowController;

namespace {

struct SettingsWindowFixture : ::testing::Test {
    QTemporaryDir folder;
    InMemoryDefaults defaults;
    ManualClock clock;
    HistoryStore store{defaults, clock, HistoryStoreOptions{.applicationSupport = folder.path().toStdString()}};
    UpdateManager updates{BundleInfo(nlohmann::json::object()), defaults, clock};
    SyncCoordinator sync{false, defaults, [](const std::string&) { return std::optional<std::string>(); },
                         BundleInfo(nlohmann::json::object())};
    std::vector<bool> reports;

    std::unique_ptr<C> make() {
        store.setShowSettings(true);
        QObject::connect(&store, &HistoryStore::settingsVisibilityAnnounced, &store, [this](bool v) {
            reports.push_back(v);
            if (!v && controller) controller->window()->hide();  // what the shell's handler does
        });
        return std::make_unique<C>(store, updates, sync, [] {}, defaults);
    }
    std::unique_ptr<C> controller;
};

}  // namespace

TEST(SettingsWindowFrames, ConstrainAndFitKeepTheMargin) {
    const QRect visible(0, 0, 800, 600);
    EXPECT_EQ(C::fittedAndCenteredFrame(QSize(920, 650), visible, 12), QRect(12, 12, 776, 576));
    EXPECT_EQ(C::fittedAndCenteredFrame(QSize(400, 300), visible, 12), QRect(200, 150, 400, 300));
    // A window moved mostly off screen comes back inside with the margin.
    EXPECT_EQ(C::constrainedFrame(QRect(1500, -200, 400, 300), visible, 12), QRect(388, 12, 400, 300));
    EXPECT_EQ(C::constrainedFrame(QRect(100, 100, 400, 300), visible, 12), QRect(100, 100, 400, 300));
    EXPECT_EQ(C::constrainedFrame(QRect(100, 100, 2000, 300), visible, 12), QRect(12, 100, 776, 300));
}

TEST_F(SettingsWindowFixture, StartsHiddenWithTitleAndSizes) {
    controller = make();
    QWidget* window = controller->window();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Harbelle Settings");
    EXPECT_EQ(window->minimumSize(), QSize(700, 480));
    EXPECT_EQ(window->size(), QSize(920, 650));
    ASSERT_NE(controller->view(), nullptr);
    EXPECT_EQ(controller->view()->sidebarRow(SettingsSection::general)->text(), "General");
    EXPECT_EQ(controller->view()->sidebarRow(SettingsSection::about)->text(), "About");
}

TEST_F(SettingsWindowFixture, FirstShowCentresOnTheGivenScreenShrinkingToFit) {
    controller = make();
    QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    controller->show(screen);
    EXPECT_TRUE(controller->window()->isVisible());
    EXPECT_TRUE(controller->hasChosenInitialPosition());
    EXPECT_EQ(controller->window()->geometry(),
              C::fittedAndCenteredFrame(QSize(920, 650), screen->availableGeometry(), 12));
}

TEST_F(SettingsWindowFixture, CloseOnlyHidesAndReportsOnce) {
    controller = make();
    controller->show(nullptr);
    QWidget* window = controller->window();
    EXPECT_FALSE(window->close());  // refused: the window lives on
    EXPECT_FALSE(store.showSettings());
    EXPECT_EQ(reports, std::vector<bool>{false});
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(controller->window(), window);

    // Shown again, it keeps its place and the frame was saved when it was hidden.
    const QRect before = window->geometry();
    controller->show(nullptr);
    EXPECT_EQ(window->geometry(), before);
    auto saved = defaults.object("HarbelleSettingsWindow");
    ASSERT_TRUE(saved);
    EXPECT_EQ(*saved, nlohmann::json({before.x(), before.y(), before.width(), before.height()}));
}

TEST_F(SettingsWindowFixture, SavedFrameIsRestoredAndOnlyPulledBackOnScreen) {
    const QRect visible = QGuiApplication::primaryScreen()->availableGeometry();
    defaults.set("HarbelleSettingsWindow", nlohmann::json({visible.x() + 30, visible.y() + 20, 720, 500}));
    controller = make();
    EXPECT_TRUE(controller->hasChosenInitialPosition());
    controller->show(nullptr);
    EXPECT_EQ(controller->window()->geometry(), QRect(visible.x() + 30, visible.y() + 20, 720, 500));
}

TEST_F(SettingsWindowFixture, SnapshotWritesAPngAndReportsWriteErrors) {
    controller = make();
    QTemporaryDir temp;
    const std::string path = (temp.path() + "/settings.png").toStdString();
    controller->captureSnapshot(path);  // also without having been shown
    QImage image(QString::fromStdString(path));
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(920, 650) * controller->window()->devicePixelRatio());

    EXPECT_THROW(controller->captureSnapshot((temp.path() + "/missing/folder/x.png").toStdString()),
                 std::runtime_error);
}
