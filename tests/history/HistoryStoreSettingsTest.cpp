// Settings, preference migration, toast and demo mode of the history store.
#include <cmath>
#include <limits>

#include "HistoryStoreTestSupport.h"

using namespace harbelle;
using namespace harbelle::testing;
using nlohmann::json;

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
}  // namespace

class HistoryStoreSettings : public HistoryStoreFixture {};

TEST_F(HistoryStoreSettings, FirstLaunchDefaults) {
    auto store = makeStore();
    EXPECT_FALSE(store->isPaused());
    EXPECT_EQ(store->maxHistory(), 1000);
    EXPECT_TRUE(store->captureImages());
    EXPECT_TRUE(store->skipSensitiveContent());
    EXPECT_TRUE(store->replayLocallyOnly());
    EXPECT_TRUE(store->pasteDirectly());
    EXPECT_TRUE(store->pasteUsesSystemShortcut());
    EXPECT_FALSE(store->alwaysPastePlainText());
    EXPECT_FALSE(store->directPasteVerified());
    EXPECT_EQ(store->shelfPlacement(), ShelfPlacement::bottom);
    EXPECT_EQ(store->shelfSizeMode(), ShelfSizeMode::full);
    EXPECT_DOUBLE_EQ(store->barTransparency(), 0.18);
    EXPECT_TRUE(store->autoHideEnabled());
    EXPECT_DOUBLE_EQ(store->autoHideDelay(), 5);
    EXPECT_EQ(store->globalShortcutLabel(), "⇧⌘V");
    EXPECT_FALSE(store->accessibilityAccessGranted());
    EXPECT_FALSE(store->eventPostingAccessGranted());
    EXPECT_FALSE(store->launchAtLogin());
    EXPECT_TRUE(store->items().empty());
    EXPECT_FALSE(store->selectedID());
    EXPECT_FALSE(store->toastMessage());
    EXPECT_EQ(store->applicationSupportURL(), support());
    EXPECT_EQ(store->payloadsURL(), payloads());
    // Reading settings writes none of them back.
    for (const char* key : {"maxHistory", "autoHideDelay", "barTransparency", "shelfPlacement", "captureImages"})
        EXPECT_FALSE(defaults.object(key)) << key;
}

TEST_F(HistoryStoreSettings, StoredFalseStaysFalse) {
    for (const char* key : {"capturePaused", "captureImages", "skipSensitiveContent", "replayLocallyOnly", "pasteDirectly",
                            "pasteUsesSystemShortcut", "alwaysPastePlainText", "directPasteVerified", "autoHideEnabled"})
        defaults.set(key, false);
    auto store = makeStore();
    EXPECT_FALSE(store->isPaused());
    EXPECT_FALSE(store->captureImages());
    EXPECT_FALSE(store->skipSensitiveContent());
    EXPECT_FALSE(store->replayLocallyOnly());
    EXPECT_FALSE(store->pasteDirectly());
    EXPECT_FALSE(store->pasteUsesSystemShortcut());
    EXPECT_FALSE(store->alwaysPastePlainText());
    EXPECT_FALSE(store->autoHideEnabled());
}

TEST_F(HistoryStoreSettings, BooleanReadersByKey) {
    // Strict keys: anything but a Boolean gives the default.
    defaults.set("captureImages", "NO");
    defaults.set("alwaysPastePlainText", 1);
    // Lenient keys also take numbers and Boolean-like strings.
    defaults.set("capturePaused", "YES");
    defaults.set("directPasteVerified", 1);
    auto store = makeStore();
    EXPECT_TRUE(store->captureImages());
    EXPECT_FALSE(store->alwaysPastePlainText());
    EXPECT_TRUE(store->isPaused());
    EXPECT_TRUE(store->directPasteVerified());

    defaults.set("capturePaused", "0");
    defaults.set("directPasteVerified", kNaN);
    auto again = makeStore();
    EXPECT_FALSE(again->isPaused());
    EXPECT_FALSE(again->directPasteVerified());
}

TEST_F(HistoryStoreSettings, MaxHistoryBounds) {
    const std::vector<std::pair<json, std::int64_t>> cases{
        {200, 500}, {500, 500}, {501, 501}, {5000, 5000}, {"many", 500}, {kNaN, 1000}, {kInfinity, 1000}, {-7, 500},
        {2000.9, 2000}, {"2000", 2000}};
    for (const auto& [stored, expected] : cases) {
        defaults.set("maxHistory", stored);
        EXPECT_EQ(makeStore()->maxHistory(), expected) << stored.dump();
    }
    auto store = makeStore();
    store->updateMaxHistory(0);
    EXPECT_EQ(store->maxHistory(), 500);
    EXPECT_EQ(defaults.integerValue("maxHistory"), 500);
    store->updateMaxHistory(750);
    EXPECT_EQ(defaults.integerValue("maxHistory"), 750);
}

TEST_F(HistoryStoreSettings, AutoHideDelayBounds) {
    const std::vector<std::pair<json, double>> cases{{1, 5}, {2, 2}, {90, 60}, {"7", 5}, {kNaN, 5}, {kInfinity, 5}};
    for (const auto& [stored, expected] : cases) {
        defaults.set("autoHideDelay", stored);
        EXPECT_DOUBLE_EQ(makeStore()->autoHideDelay(), expected) << stored.dump();
    }
    auto store = makeStore();
    int callbacks = 0;
    QObject::connect(store.get(), &HistoryStore::autoHideSettingChanged, [&] { ++callbacks; });
    const std::vector<std::pair<double, double>> updates{{1, 2}, {2.5, 3}, {7.4, 7}, {200, 60}, {kInfinity, 60}, {-kInfinity, 2}};
    for (const auto& [given, expected] : updates) {
        store->updateAutoHideDelay(given);
        EXPECT_DOUBLE_EQ(store->autoHideDelay(), expected) << given;
        EXPECT_EQ(defaults.doubleValue("autoHideDelay"), expected) << given;
    }
    EXPECT_EQ(callbacks, 6);
    store->updateAutoHideDelay(kNaN);  // ignored
    EXPECT_DOUBLE_EQ(store->autoHideDelay(), 2);
    EXPECT_EQ(defaults.doubleValue("autoHideDelay"), 2);
    EXPECT_EQ(callbacks, 6);

    store->updateAutoHideEnabled(false);
    EXPECT_EQ(defaults.boolValue("autoHideEnabled"), false);
    EXPECT_EQ(callbacks, 7);
}

TEST_F(HistoryStoreSettings, BarTransparencyBounds) {
    defaults.set("barTransparency", 0.95);
    EXPECT_DOUBLE_EQ(makeStore()->barTransparency(), 0.95);  // used unchanged at launch
    defaults.set("barTransparency", kNaN);
    EXPECT_DOUBLE_EQ(makeStore()->barTransparency(), 0.18);
    defaults.set("barTransparency", "dark");
    EXPECT_DOUBLE_EQ(makeStore()->barTransparency(), 0.18);

    auto store = makeStore();
    store->updateBarTransparency(0.95);
    EXPECT_EQ(defaults.doubleValue("barTransparency"), 0.85);
    store->updateBarTransparency(-0.2);
    EXPECT_EQ(defaults.doubleValue("barTransparency"), 0.0);
    store->updateBarTransparency(kNaN);
    EXPECT_DOUBLE_EQ(store->barTransparency(), 0.0);
    EXPECT_EQ(defaults.doubleValue("barTransparency"), 0.0);
    store->updateBarTransparency(kInfinity);
    EXPECT_DOUBLE_EQ(store->barTransparency(), 0.85);
}

TEST_F(HistoryStoreSettings, PlacementAndSizeMode) {
    defaults.set("shelfPlacement", "diagonal");
    defaults.set("shelfSizeMode", "huge");
    auto store = makeStore();
    EXPECT_EQ(store->shelfPlacement(), ShelfPlacement::bottom);
    EXPECT_EQ(store->shelfSizeMode(), ShelfSizeMode::full);

    int placementCalls = 0, sizeCalls = 0;
    QObject::connect(store.get(), &HistoryStore::shelfPlacementSettingChanged, [&] { ++placementCalls; });
    QObject::connect(store.get(), &HistoryStore::shelfSizeSettingChanged, [&] { ++sizeCalls; });
    const int writes = defaults.writeCount();
    store->updateShelfPlacement(ShelfPlacement::bottom);  // unchanged: no write, no callback
    EXPECT_EQ(defaults.writeCount(), writes);
    EXPECT_EQ(placementCalls, 0);
    store->updateShelfPlacement(ShelfPlacement::left);
    EXPECT_EQ(defaults.stringValue("shelfPlacement"), "left");
    EXPECT_EQ(placementCalls, 1);

    store->updateShelfSizeMode(ShelfSizeMode::full);  // unchanged, still written and announced
    EXPECT_EQ(defaults.stringValue("shelfSizeMode"), "full");
    EXPECT_EQ(sizeCalls, 1);
    store->updateShelfSizeMode(ShelfSizeMode::compact);
    EXPECT_EQ(sizeCalls, 2);

    defaults.set("shelfPlacement", "right");
    defaults.set("shelfSizeMode", "medium");
    auto again = makeStore();
    EXPECT_EQ(again->shelfPlacement(), ShelfPlacement::right);
    EXPECT_EQ(again->shelfSizeMode(), ShelfSizeMode::medium);
}

TEST_F(HistoryStoreSettings, CustomShelfSizePerAxis) {
    auto store = makeStore();
    int sizeCalls = 0;
    QObject::connect(store.get(), &HistoryStore::shelfSizeSettingChanged, [&] { ++sizeCalls; });
    store->updateShelfPlacement(ShelfPlacement::left);
    store->recordCustomShelfSize(420, 900);
    EXPECT_EQ(store->shelfSizeMode(), ShelfSizeMode::custom);
    EXPECT_EQ(defaults.stringValue("shelfSizeMode"), "custom");
    EXPECT_EQ(sizeCalls, 0);
    EXPECT_EQ(defaults.doubleValue("shelfCustomVerticalWidth"), 420);
    EXPECT_EQ(defaults.doubleValue("shelfCustomVerticalHeight"), 900);
    EXPECT_FALSE(defaults.object("shelfCustomWidth"));
    EXPECT_FALSE(defaults.object("shelfPanelHeight"));
    EXPECT_EQ(store->customShelfSize(ShelfPlacement::right), (CustomShelfSize{420, 900}));
    EXPECT_FALSE(store->customShelfSize(ShelfPlacement::top));

    defaults.set("shelfCustomWidth", 0);
    defaults.set("shelfPanelHeight", 300);
    EXPECT_FALSE(store->customShelfSize(ShelfPlacement::bottom));

    store->recordCustomShelfSize(kNaN, 500);  // ignored: the last good size stays
    EXPECT_EQ(store->customShelfSize(ShelfPlacement::left), (CustomShelfSize{420, 900}));
}

TEST_F(HistoryStoreSettings, DirectPastePermissions) {
    auto store = makeStore();
    store->updateDirectPastePermissionStatus(true, false);
    store->updatePasteDirectly(false);
    EXPECT_FALSE(store->showPermissionSetup());
    EXPECT_EQ(defaults.boolValue("pasteDirectly"), false);
    store->updatePasteDirectly(true);
    EXPECT_TRUE(store->showPermissionSetup());

    store->setShowPermissionSetup(false);
    store->updateDirectPastePermissionStatus(true, true);
    store->setDirectPasteVerified(true);
    EXPECT_EQ(defaults.boolValue("directPasteVerified"), true);
    store->updatePasteDirectly(true);
    EXPECT_FALSE(store->showPermissionSetup());
    store->updateDirectPastePermissionStatus(true, true);  // both granted: verification stays
    EXPECT_TRUE(store->directPasteVerified());
    store->updateDirectPastePermissionStatus(false, true);
    EXPECT_FALSE(store->directPasteVerified());
    EXPECT_EQ(defaults.boolValue("directPasteVerified"), false);
    EXPECT_FALSE(defaults.object("accessibilityAccessGranted"));
}

TEST_F(HistoryStoreSettings, PlainBooleanSettersWriteTheirKeys) {
    auto store = makeStore();
    QSignalSpy spy(store.get(), &HistoryStore::captureImagesChanged);
    store->updateCaptureImages(false);
    store->updateSkipSensitiveContent(false);
    store->updateReplayLocallyOnly(false);
    store->updateAlwaysPastePlainText(true);
    store->updatePasteUsesSystemShortcut(false);
    EXPECT_EQ(spy.count(), 1);
    EXPECT_EQ(defaults.boolValue("captureImages"), false);
    EXPECT_EQ(defaults.boolValue("skipSensitiveContent"), false);
    EXPECT_EQ(defaults.boolValue("replayLocallyOnly"), false);
    EXPECT_EQ(defaults.boolValue("alwaysPastePlainText"), true);
    EXPECT_EQ(defaults.boolValue("pasteUsesSystemShortcut"), false);
    auto again = makeStore();
    EXPECT_FALSE(again->captureImages());
    EXPECT_TRUE(again->alwaysPastePlainText());
}

TEST_F(HistoryStoreSettings, AutoHideOverride) {
    defaults.set("autoHideEnabled", false);
    HistoryStoreOptions options;
    options.autoHideOverride = 0.1;
    auto store = makeStore(options);
    EXPECT_TRUE(store->autoHideEnabled());
    EXPECT_DOUBLE_EQ(store->autoHideDelay(), 0.25);
    EXPECT_EQ(defaults.boolValue("autoHideEnabled"), false);  // the stored wish is untouched

    options.autoHideOverride = kNaN;  // not a number: as if none was given
    options.demoMode = true;
    auto demo = makeStore(options);
    EXPECT_FALSE(demo->autoHideEnabled());
    EXPECT_DOUBLE_EQ(demo->autoHideDelay(), 5);

    options.autoHideOverride = std::numeric_limits<double>::infinity();  // nor is infinity
    auto endless = makeStore(options);
    EXPECT_FALSE(endless->autoHideEnabled());
    EXPECT_DOUBLE_EQ(endless->autoHideDelay(), 5);
}

TEST_F(HistoryStoreSettings, LegacyPreferencesCopiedOnce) {
    defaults.setPersistentDomain("com.brantlemoor.Pemberlow",
                                 {{"maxHistory", 2000}, {"shelfPlacement", "left"}, {"hasLaunchedPemberlow", true}});
    auto store = makeStore();
    EXPECT_TRUE(store->migratedLegacyPreferences());
    EXPECT_EQ(store->maxHistory(), 2000);
    EXPECT_EQ(store->shelfPlacement(), ShelfPlacement::left);
    EXPECT_EQ(defaults.boolValue("hasLaunchedPemberlow"), true);
    EXPECT_EQ(defaults.boolValue("harbelleLegacyPreferencesMigratedV1"), true);

    defaults.setPersistentDomain("com.brantlemoor.Pemberlow", {{"captureImages", false}});
    auto second = makeStore();
    EXPECT_FALSE(second->migratedLegacyPreferences());
    EXPECT_TRUE(second->captureImages());
}

TEST_F(HistoryStoreSettings, LegacyPreferencesNeverOverwrite) {
    defaults.set("maxHistory", 750);
    defaults.setPersistentDomain("com.brantlemoor.Pemberlow", {{"maxHistory", 2000}, {"shelfPlacement", "left"}});
    auto store = makeStore();
    EXPECT_EQ(store->maxHistory(), 750);
    EXPECT_EQ(store->shelfPlacement(), ShelfPlacement::left);
}

TEST_F(HistoryStoreSettings, LegacyPreferencesOnlyUnderThisIdentifierAndOutsideDemo) {
    defaults.setPersistentDomain("com.brantlemoor.Pemberlow", {{"maxHistory", 2000}});
    HistoryStoreOptions other;
    other.bundleIdentifier = "org.example.Other";
    EXPECT_FALSE(makeStore(other)->migratedLegacyPreferences());
    HistoryStoreOptions demo;
    demo.demoMode = true;
    EXPECT_FALSE(makeStore(demo)->migratedLegacyPreferences());
    EXPECT_FALSE(defaults.object("harbelleLegacyPreferencesMigratedV1"));
    EXPECT_FALSE(defaults.object("maxHistory"));

    defaults.removePersistentDomain("com.brantlemoor.Pemberlow");
    EXPECT_FALSE(makeStore()->migratedLegacyPreferences());
    EXPECT_EQ(defaults.boolValue("harbelleLegacyPreferencesMigratedV1"), true);
    defaults.setPersistentDomain("com.brantlemoor.Pemberlow", {{"maxHistory", 2000}});  // too late
    EXPECT_EQ(makeStore()->maxHistory(), 1000);
}

TEST_F(HistoryStoreSettings, LaunchAtLoginWish) {
    HistoryStoreOptions options;
    int asked = 0;
    options.loginItemActive = [&] { ++asked; return true; };
    EXPECT_TRUE(makeStore(options)->launchAtLogin());  // seeded from the login item and saved
    EXPECT_EQ(defaults.boolValue("launchAtLoginRequested"), true);

    defaults.set("launchAtLoginRequested", false);
    const int writes = defaults.writeCount();
    EXPECT_FALSE(makeStore(options)->launchAtLogin());
    EXPECT_EQ(defaults.writeCount(), writes);
    EXPECT_EQ(asked, 1);

    options.demoMode = true;  // demo: the login item's state, the wish neither read nor written
    EXPECT_TRUE(makeStore(options)->launchAtLogin());
    EXPECT_EQ(defaults.boolValue("launchAtLoginRequested"), false);
}

TEST_F(HistoryStoreSettings, ToastReplacesAndClears) {
    auto store = makeStore();
    QSignalSpy spy(store.get(), &HistoryStore::toastChanged);
    store->showToast("First", ToastTone::error);
    clock.advanceSeconds(1);
    store->showToast("Second", ToastTone::info);
    EXPECT_EQ(store->toastMessage(), "Second");
    EXPECT_EQ(store->toastTone(), ToastTone::info);
    clock.advanceSeconds(2.399);
    EXPECT_EQ(store->toastMessage(), "Second");  // the first toast's clearing never ran
    clock.advanceSeconds(0.001);
    EXPECT_FALSE(store->toastMessage());
    EXPECT_EQ(store->toastTone(), ToastTone::info);
    EXPECT_EQ(spy.count(), 3);

    store->showToast("Last", ToastTone::success);
    store->shutdown();  // a toast shown at termination is never cleared
    clock.advanceSeconds(10);
    EXPECT_EQ(store->toastMessage(), "Last");
}

TEST_F(HistoryStoreSettings, DemoModeSampleHistory) {
    HistoryStoreOptions options;
    options.demoMode = true;
    options.loginItemActive = [] { return false; };
    auto store = makeStore(options);
    const auto& items = store->items();
    ASSERT_EQ(items.size(), 7u);
    const std::vector<std::string> titles{"Your personal clipboard time machine", "design.example.org",
                                          "A tiny SwiftUI view", "Product inspiration", "Project brief.pdf",
                                          "Warm orange", "Meeting follow-up"};
    const std::vector<int> ages{0, 90, 240, 900, 2400, 4800, 7200};
    const auto origin = MacClipDeviceIdentity::current(defaults);
    for (std::size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].title, titles[i]);
        EXPECT_EQ(clock.now() - items[i].createdAt, std::chrono::seconds(ages[i]));
        EXPECT_EQ(items[i].sourceDeviceID, origin.id);
    }
    EXPECT_EQ(items[2].text, "struct WelcomeView: View {\n    var body: some View {\n        Text(\"Hello, Harbelle\")\n    }\n}");
    EXPECT_EQ(items[4].fileURLs, std::vector<std::string>{"/Users/you/Documents/Project brief.pdf"});
    EXPECT_EQ(store->selectedID(), items[0].id);
    EXPECT_TRUE(store->accessibilityAccessGranted());
    EXPECT_TRUE(store->eventPostingAccessGranted());
    EXPECT_FALSE(store->autoHideEnabled());

    store->setQuery("colorful");
    ASSERT_EQ(store->filteredItems().size(), 1u);
    EXPECT_EQ(store->filteredItems()[0].kind, ClipKind::image);
    store->setQuery("");
    store->setActiveFilter(ClipFilter::favorites);
    ASSERT_EQ(store->filteredItems().size(), 1u);
    EXPECT_EQ(store->filteredItems()[0].title, titles[0]);
    EXPECT_EQ(store->favoriteCount(), 1);

    // Changes live only in memory; settings are still written.
    store->deleteItem(items[1]);
    store->togglePinned(items[2]);
    store->clearHistory(true);
    store->updateShelfPlacement(ShelfPlacement::top);
    EXPECT_TRUE(store->flushHistory());
    store->shutdown();
    clock.advanceSeconds(5);
    settle(*store);
    EXPECT_FALSE(fs::exists(support()));
    EXPECT_EQ(defaults.stringValue("shelfPlacement"), "top");

    auto later = makeStore(options);
    EXPECT_EQ(later->items().size(), 7u);
    EXPECT_NE(later->items()[0].id, store->items()[0].id);
}
