#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>

#include "history/HistoryStoreTestSupport.h"
#include "settings/SettingsView.h"
#include "settings/SettingsWindowController.h"
#include "settings/UpdateManager.h"
#include "support/ScriptedSyncAccount.h"

namespace harbelle::testing {
namespace {

// Pictures of every settings page as the window draws them, for the README's docs/ when
// $HARBELLE_SCREENSHOT_DIR is set, else into a temporary folder.
TEST_F(HistoryStoreFixture, SettingsScreenshotsOfEveryPage) {
    const QByteArray dir = qgetenv("HARBELLE_SCREENSHOT_DIR");
    const QString out = dir.isEmpty() ? temp.path() : QString::fromLocal8Bit(dir);
    std::vector<ClipItem> clips;
    for (int i = 0; i < 1240; ++i) {
        ClipItem clip = makeClip("clip " + std::to_string(i));
        clip.isPinned = i % 100 == 0;
        clips.push_back(clip);
    }
    writeHistory(clips);
    auto store = makeStore();
    store->updateDirectPastePermissionStatus(true, true);  // as on a desktop with direct paste
    UpdateManager updates(BundleInfo(nlohmann::json::object()), defaults, clock);
    ScriptedSyncAccount sync;
    SyncAccountStatus status;
    status.isSignedIn = true;
    status.isRunning = true;
    status.email = "ann@example.org";
    status.deviceName = "ann-laptop";
    status.lastSyncAt = clock.now() - std::chrono::minutes(2);
    status.syncedClipCount = 1180;
    sync.current = status;
    const BundleInfo bundle(nlohmann::json{{"CFBundleShortVersionString", "1.0"}});
    SettingsWindowController controller(*store, updates, sync, [] {}, defaults, &bundle);
    controller.window()->show();

    for (SettingsSection section : kAllSettingsSections) {
        controller.view()->select(section);
        for (int i = 0; i < 3; ++i) QApplication::processEvents();
        const QString name = QString::fromUtf8(settingsSectionTitle(section).data()).toLower();
        const QString path = out + "/settings-" + name + ".png";
        controller.captureSnapshot(path.toStdString());
        const QImage image(path);
        ASSERT_FALSE(image.isNull()) << path.toStdString();
        EXPECT_EQ(image.size(), QSize(920, 650) * controller.window()->devicePixelRatio());
    }
}

}  // namespace
}  // namespace harbelle::testing
