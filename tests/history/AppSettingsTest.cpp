// Every stored setting: its default, how a bad stored value reads, what a set writes and
// announces, and that it comes back from the settings file.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTemporaryDir>
#include <functional>

#include "history/AppSettings.h"
#include "platform/linux/JsonFileDefaults.h"
#include "support/InMemoryDefaults.h"

using namespace harbelle;
using namespace harbelle::testing;
using nlohmann::json;

namespace {

struct Row {
    const char* key;
    json fresh;     // read with nothing stored
    json bad;       // a stored value of the wrong kind or out of bounds
    json badReads;  // what it reads as
    json given;     // handed to the setter
    json stored;    // what the setter keeps and writes
    std::function<json(const AppSettings&)> get;
    std::function<void(AppSettings&, const json&)> set;
    void (AppSettings::*changed)();
};

#define BOOL_ROW(name, Name, fresh, bad, badReads)                                                                  \
    Row{#name, fresh, bad, badReads, !(fresh), !(fresh), [](const AppSettings& s) { return json(s.name()); },    \
        [](AppSettings& s, const json& v) { s.set##Name(v.get<bool>()); }, &AppSettings::name##Changed}

const std::vector<Row> rows{
    BOOL_ROW(capturePaused, CapturePaused, false, "YES", true),
    BOOL_ROW(captureImages, CaptureImages, true, "NO", true),
    BOOL_ROW(skipSensitiveContent, SkipSensitiveContent, true, 0, true),
    BOOL_ROW(replayLocallyOnly, ReplayLocallyOnly, true, "false", true),
    BOOL_ROW(pasteDirectly, PasteDirectly, true, nullptr, true),
    BOOL_ROW(pasteUsesSystemShortcut, PasteUsesSystemShortcut, true, 1, true),
    BOOL_ROW(alwaysPastePlainText, AlwaysPastePlainText, false, 1, false),
    BOOL_ROW(directPasteVerified, DirectPasteVerified, false, 1, true),
    BOOL_ROW(autoHideEnabled, AutoHideEnabled, true, "yes", true),
    Row{"maxHistory", 1000, 200, 500, 12, 500, [](const AppSettings& s) { return json(s.maxHistory()); },
        [](AppSettings& s, const json& v) { s.setMaxHistory(v.get<std::int64_t>()); }, &AppSettings::maxHistoryChanged},
    Row{"barTransparency", 0.18, "dark", 0.18, 2.0, 0.85, [](const AppSettings& s) { return json(s.barTransparency()); },
        [](AppSettings& s, const json& v) { s.setBarTransparency(v.get<double>()); },
        &AppSettings::barTransparencyChanged},
    Row{"autoHideDelay", 5.0, 90, 60.0, 7.4, 7.0, [](const AppSettings& s) { return json(s.autoHideDelay()); },
        [](AppSettings& s, const json& v) { s.setAutoHideDelay(v.get<double>()); }, &AppSettings::autoHideDelayChanged},
    Row{"shelfPlacement", "bottom", "diagonal", "bottom", "left", "left",
        [](const AppSettings& s) { return json(std::string(shelfplacement::rawValue(s.shelfPlacement()))); },
        [](AppSettings& s, const json& v) { s.setShelfPlacement(*shelfplacement::fromRawValue(v.get<std::string>())); },
        &AppSettings::shelfPlacementChanged},
    Row{"shelfSizeMode", "full", "huge", "full", "compact", "compact",
        [](const AppSettings& s) { return json(std::string(shelfsizemode::rawValue(s.shelfSizeMode()))); },
        [](AppSettings& s, const json& v) { s.setShelfSizeMode(*shelfsizemode::fromRawValue(v.get<std::string>())); },
        &AppSettings::shelfSizeModeChanged},
};

TEST(AppSettings, DefaultsAndBadStoredValues) {
    for (const Row& row : rows) {
        InMemoryDefaults empty;
        EXPECT_EQ(row.get(AppSettings(empty)), row.fresh) << row.key;
        EXPECT_EQ(empty.writeCount(), 0) << row.key;  // reading writes nothing back

        InMemoryDefaults broken;
        broken.set(row.key, row.bad);
        EXPECT_EQ(row.get(AppSettings(broken)), row.badReads) << row.key;
    }
}

TEST(AppSettings, SetWritesAndAnnouncesOnlyChanges) {
    for (const Row& row : rows) {
        InMemoryDefaults defaults;
        AppSettings settings(defaults);
        QSignalSpy changed(&settings, row.changed);
        row.set(settings, row.given);
        EXPECT_EQ(row.get(settings), row.stored) << row.key;
        EXPECT_EQ(defaults.object(row.key), row.stored) << row.key;
        EXPECT_EQ(defaults.writeCount(), 1) << row.key;
        EXPECT_EQ(changed.count(), 1) << row.key;

        row.set(settings, row.given);  // the same again: nothing
        EXPECT_EQ(defaults.writeCount(), 1) << row.key;
        EXPECT_EQ(changed.count(), 1) << row.key;

        // The value held but not the one stored: the file is put right without an announcement.
        InMemoryDefaults broken;
        broken.set(row.key, row.bad);
        AppSettings repaired(broken);
        QSignalSpy quiet(&repaired, row.changed);
        row.set(repaired, row.badReads);
        EXPECT_EQ(broken.object(row.key), row.badReads) << row.key;
        EXPECT_EQ(quiet.count(), 0) << row.key;
    }
}

TEST(AppSettings, SetValuesSurviveARestart) {
    QTemporaryDir folder;
    const std::filesystem::path path = folder.path().toStdString();
    {
        JsonFileDefaults defaults(JsonFileDefaults::kDefaultIdentifier, path);
        AppSettings settings(defaults);
        settings.recordCustomShelfSize(640, 180);  // along the bottom, before the rows move it
        for (const Row& row : rows) row.set(settings, row.given);
    }
    JsonFileDefaults reopened(JsonFileDefaults::kDefaultIdentifier, path);
    AppSettings settings(reopened);
    for (const Row& row : rows) EXPECT_EQ(row.get(settings), row.stored) << row.key;
    EXPECT_EQ(settings.customShelfSize(ShelfPlacement::top), (CustomShelfSize{640, 180}));
}

}  // namespace
