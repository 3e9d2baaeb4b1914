#include <gtest/gtest.h>

#include <QAction>
#include <QSignalSpy>

#include "platform/Base64.h"
#include "settings/UpdateManager.h"
#include "support/FakeUpdater.h"
#include "support/InMemoryDefaults.h"
#include "support/ManualClock.h"

using namespace harbelle;
using harbelle::testing::FakeUpdater;
using harbelle::testing::InMemoryDefaults;
using harbelle::testing::ManualClock;

namespace {

const std::string kGoodKey = encodeBase64(Bytes(32, 7));

nlohmann::json validDictionary() {
    return {{"HarbelleDirectDistribution", true},
            {"SUFeedURL", "https://updates.example.com/appcast.xml"},
            {"SUPublicEDKey", kGoodKey}};
}

bool availableWith(const std::string& key, const nlohmann::json& value) {
    auto dictionary = validDictionary();
    if (value.is_null()) dictionary.erase(key);
    else dictionary[key] = value;
    return UpdateManager::hasValidDirectDistributionConfiguration(BundleInfo(dictionary));
}

struct Fixture : ::testing::Test {
    InMemoryDefaults defaults;
    ManualClock clock;
    FakeUpdater* updater = nullptr;
    int factoryCalls = 0;

    std::unique_ptr<UpdateManager> make(nlohmann::json dictionary = validDictionary()) {
        return std::make_unique<UpdateManager>(
            BundleInfo(std::move(dictionary)), defaults, clock,
            [this](const BundleInfo&, Defaults&, Clock&) {
                ++factoryCalls;
                auto fake = std::make_unique<FakeUpdater>();
                updater = fake.get();
                return fake;
            });
    }
};

}  // namespace

TEST(UpdateAvailability, RequiresEveryKeyInItsForm) {
    EXPECT_TRUE(UpdateManager::hasValidDirectDistributionConfiguration(BundleInfo(validDictionary())));
    EXPECT_TRUE(availableWith("SUFeedURL", "HTTPS://updates.example.com/feed"));

    EXPECT_FALSE(availableWith("HarbelleDirectDistribution", nullptr));
    EXPECT_FALSE(availableWith("HarbelleDirectDistribution", false));
    EXPECT_FALSE(availableWith("HarbelleDirectDistribution", "true"));

    EXPECT_FALSE(availableWith("SUFeedURL", nullptr));
    EXPECT_FALSE(availableWith("SUFeedURL", ""));
    EXPECT_FALSE(availableWith("SUFeedURL", "http://updates.example.com/feed"));
    EXPECT_FALSE(availableWith("SUFeedURL", "https:///feed"));
    EXPECT_FALSE(availableWith("SUFeedURL", "https://exa mple.com/feed"));
    EXPECT_FALSE(availableWith("SUFeedURL", 42));

    EXPECT_FALSE(availableWith("SUPublicEDKey", nullptr));
    EXPECT_FALSE(availableWith("SUPublicEDKey", encodeBase64(Bytes(31, 1))));
    EXPECT_FALSE(availableWith("SUPublicEDKey", encodeBase64(Bytes(33, 1))));
    EXPECT_FALSE(availableWith("SUPublicEDKey", kGoodKey.substr(0, 20) + "\n" + kGoodKey.substr(20)));
    EXPECT_FALSE(availableWith("SUPublicEDKey", " " + kGoodKey));
    EXPECT_FALSE(availableWith("SUPublicEDKey", kGoodKey.substr(0, kGoodKey.size() - 1)));  // unpadded
}

TEST_F(Fixture, UnavailableManagerHasNoUpdaterAndIgnoresSettings) {
    auto dictionary = validDictionary();
    dictionary["SUFeedURL"] = "http://insecure.example.com";
    auto manager = make(dictionary);
    EXPECT_FALSE(manager->isAvailable());
    EXPECT_EQ(factoryCalls, 0);
    EXPECT_EQ(manager->updaterController(), nullptr);
    EXPECT_EQ(manager->makeCheckForUpdatesMenuItem(), nullptr);
    EXPECT_FALSE(manager->needsAutomaticCheckChoice());

    QSignalSpy settings(manager.get(), &UpdateManager::updaterSettingsChanged);
    manager->setAutomaticallyChecksForUpdates(true);
    manager->setAutomaticallyDownloadsUpdates(true);
    EXPECT_FALSE(manager->automaticallyChecksForUpdates());
    EXPECT_FALSE(manager->automaticallyDownloadsUpdates());
    EXPECT_EQ(settings.count(), 0);

    // Recording still writes the key and closes the sheet.
    manager->setPresentsAutomaticCheckChoice(true);
    manager->recordAutomaticCheckChoice(true);
    EXPECT_EQ(defaults.boolValue(UpdateManager::kChoiceRecordedKey), true);
    EXPECT_FALSE(manager->presentsAutomaticCheckChoice());
    EXPECT_FALSE(defaults.object("SUEnableAutomaticChecks"));
}

TEST_F(Fixture, AvailableManagerStartsItsUpdaterOnceAndMakesTheMenuItem) {
    auto manager = make();
    ASSERT_TRUE(manager->isAvailable());
    ASSERT_NE(updater, nullptr);
    EXPECT_EQ(updater->startCount, 1);

    std::unique_ptr<QAction> item(manager->makeCheckForUpdatesMenuItem());
    ASSERT_TRUE(item);
    EXPECT_EQ(item->text(), QString::fromUtf8("Check for Updates\u2026"));
    EXPECT_TRUE(item->shortcut().isEmpty());
    item->trigger();
    item->trigger();
    EXPECT_EQ(updater->checkCount, 2);

    // An action that outlives the manager does nothing.
    manager.reset();
    item->trigger();
}

TEST_F(Fixture, ChoiceIsNeededUntilAnythingIsRecorded) {
    auto manager = make();
    EXPECT_TRUE(manager->needsAutomaticCheckChoice());
    defaults.setBool(UpdateManager::kChoiceRecordedKey, false);  // presence counts, not the value
    EXPECT_FALSE(manager->needsAutomaticCheckChoice());
}

TEST_F(Fixture, SettingsBindThroughTheUpdaterAndAnnounceChanges) {
    auto manager = make();
    QSignalSpy settings(manager.get(), &UpdateManager::updaterSettingsChanged);
    manager->setAutomaticallyDownloadsUpdates(true);
    EXPECT_TRUE(updater->automaticDownloads);
    EXPECT_TRUE(manager->automaticallyDownloadsUpdates());
    manager->setAutomaticallyChecksForUpdates(true);
    EXPECT_TRUE(manager->automaticallyChecksForUpdates());
    EXPECT_EQ(settings.count(), 2);
}

TEST_F(Fixture, FinishingRecordsAndCallsBackOnceLater) {
    auto manager = make();
    QSignalSpy presents(manager.get(), &UpdateManager::presentsAutomaticCheckChoiceChanged);
    manager->setPresentsAutomaticCheckChoice(true);
    manager->setPresentsAutomaticCheckChoice(true);  // no change, no signal
    int finished = 0;
    manager->onAutomaticCheckChoiceFinished = [&] { ++finished; };

    manager->finishAutomaticCheckChoice(false);
    EXPECT_EQ(finished, 0);  // never inside the call
    EXPECT_FALSE(updater->automaticChecks);
    EXPECT_EQ(updater->settingWrites, 1);
    EXPECT_TRUE(defaults.object(UpdateManager::kChoiceRecordedKey));
    EXPECT_FALSE(manager->presentsAutomaticCheckChoice());
    ASSERT_EQ(presents.count(), 2);
    EXPECT_EQ(presents.at(1).at(0).toBool(), false);

    clock.runDue();
    EXPECT_EQ(finished, 1);
    clock.runDue();
    EXPECT_EQ(finished, 1);

    manager->finishAutomaticCheckChoice(true);
    EXPECT_TRUE(updater->automaticChecks);
    clock.runDue();
    EXPECT_EQ(finished, 2);
}

TEST_F(Fixture, FinishCallbackIsSkippedWhenTheManagerIsGone) {
    auto manager = make();
    int finished = 0;
    manager->onAutomaticCheckChoiceFinished = [&] { ++finished; };
    manager->finishAutomaticCheckChoice(true);
    manager.reset();
    clock.runDue();
    EXPECT_EQ(finished, 0);
}
