// The real program launched on a stored history: the shelf opens with its clips, and the
// start-up orphan pass, which runs behind the shelf, still clears payload files no clip names.
#include <gtest/gtest.h>

#include <QTest>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "HarbelleProcess.h"
#include "history/HistoryCodec.h"
#include "support/ClipBuilder.h"

namespace harbelle::testing {
namespace {

namespace fs = std::filesystem;

void writeAged(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    // Orphans are left by earlier runs.
    fs::last_write_time(path, fs::last_write_time(path) - std::chrono::hours(2));
}

TEST(HarbelleLaunchX11, TheShelfOpensOnAStoredHistoryAndOrphansGo) {
    HarbelleProcess program(HarbelleProcess::kCopyOnlySettings, {}, /*startNow=*/false);
    const fs::path support = program.path(QStringLiteral("XDG_DATA_HOME/Pemberlow")).toStdString();
    const fs::path payloads = support / "Payloads";

    PersistedHistory history{1, {}};
    for (int i = 0; i < 3; ++i) {
        const std::string text = "stored clip " + std::to_string(i);
        ClipItem clip = ClipBuilder(text)
                            .titled()
                            .at(Date(std::chrono::seconds(1'800'000'000 - i * 60)))
                            .app("Text Editor")
                            .fingerprint("text:" + text)
                            .payload(i == 1 ? std::optional<std::string>("named.png") : std::nullopt);
        // With an origin already, the start-up repair has nothing to write.
        clip.sourceDeviceID = "linux_test";
        clip.sourceDeviceName = "Test";
        clip.sourceDevicePlatform = "Linux";
        history.items.push_back(std::move(clip));
    }
    fs::create_directories(payloads);
    std::ofstream(support / "history.json", std::ios::binary) << historycodec::encode(history);
    writeAged(payloads / "named.png", "named");
    writeAged(payloads / "stray.png", "stray");
    writeAged(payloads / "Legacy" / "pastenow-1.lzfse", "old");

    program.start({QStringLiteral("--show")});
    ASSERT_TRUE(QTest::qWaitFor([] { return shelfWindowVisible(); }, 15000)) << program.errorOutput().toStdString();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return !fs::exists(payloads / "stray.png") && !fs::exists(payloads / "Legacy" / "pastenow-1.lzfse"); },
        10000));
    EXPECT_TRUE(fs::exists(payloads / "named.png"));

    ASSERT_TRUE(program.stop());
    // Capture runs too, so a clipboard left by an earlier program may add a clip.
    const auto saved = historycodec::decode(program.history().toStdString());
    for (const auto& stored : history.items) {
        const auto found = std::find_if(saved.items.begin(), saved.items.end(),
                                        [&](const ClipItem& clip) { return clip.id == stored.id; });
        ASSERT_NE(found, saved.items.end()) << stored.text;
        EXPECT_EQ(found->payloadFilename, stored.payloadFilename);
    }
}

}  // namespace
}  // namespace harbelle::testing
