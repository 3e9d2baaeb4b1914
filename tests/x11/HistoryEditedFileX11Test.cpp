// The real program launched on a history file someone edited by hand: a byte-order mark in
// front, a second "items" array and a wide integer. Every clip loads and keeps its image.
#include <gtest/gtest.h>

#include <QTest>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "HarbelleProcess.h"
#include "history/HistoryCodec.h"
#include "support/ClipBuilder.h"

namespace harbelle::testing {
namespace {

namespace fs = std::filesystem;

// The array text of `clip` alone, as the program writes it.
std::string itemsOf(const std::string& text, const std::string& image) {
    ClipItem clip = ClipBuilder(text, ClipKind::image)
                        .titled()
                        .at(Date(std::chrono::seconds(1'800'000'000)))
                        .app("Text Editor")
                        .fingerprint("image:" + image)
                        .payload(image);
    clip.sourceDeviceID = "linux_test";
    clip.sourceDeviceName = "Test";
    clip.sourceDevicePlatform = "Linux";
    const std::string file = historycodec::encode({1, {clip}});
    const std::size_t from = file.find("\"items\":") + 8;
    return file.substr(from, file.size() - 1 - from);
}

TEST(HarbelleHistoryFileX11, AHandEditedHistoryLoadsEveryClipAndKeepsTheirImages) {
    HarbelleProcess program(HarbelleProcess::kCopyOnlySettings, {}, /*startNow=*/false);
    const fs::path support = program.path(QStringLiteral("XDG_DATA_HOME/Pemberlow")).toStdString();
    const fs::path payloads = support / "Payloads";
    fs::create_directories(payloads);
    std::ofstream(support / "history.json", std::ios::binary)
        << "\xEF\xBB\xBF{\"version\":1,\n  \"items\":" << itemsOf("first", "first.png")
        << ",\n  \"note\":123456789012345678901234567890,\n  \"items\":" << itemsOf("second", "second.png") << "}\n";
    for (const char* name : {"first.png", "second.png", "stray.png"}) {
        std::ofstream(payloads / name, std::ios::binary) << "png";
        // Left by an earlier run, so the orphan pass would take them if no clip named them.
        fs::last_write_time(payloads / name, fs::last_write_time(payloads / name) - std::chrono::hours(2));
    }

    program.start({QStringLiteral("--show")});
    ASSERT_TRUE(QTest::qWaitFor([] { return shelfWindowVisible(); }, 15000)) << program.errorOutput().toStdString();
    // The orphan pass runs behind the shelf.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !fs::exists(payloads / "stray.png"); }, 10000));
    ASSERT_TRUE(program.stop());

    EXPECT_FALSE(fs::exists(support / "history.backup.json")) << "read as unreadable";
    EXPECT_TRUE(fs::exists(payloads / "first.png"));
    EXPECT_TRUE(fs::exists(payloads / "second.png"));
    const auto saved = historycodec::decode(program.history().toStdString());
    int found = 0;
    for (const auto& clip : saved.items) found += clip.text == "first" || clip.text == "second" ? 1 : 0;
    EXPECT_EQ(found, 2);
}

}  // namespace
}  // namespace harbelle::testing
