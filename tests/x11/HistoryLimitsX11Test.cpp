// The real program with a history at the size its file may hold, and with a payload folder full
// of leftovers: what it saves loads back at the next start, and housekeeping never holds a quit.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "HarbelleProcess.h"
#include "history/HistoryCodec.h"
#include "support/ClipBuilder.h"
#include "support/PasteNowTestDatabase.h"

namespace harbelle::testing {
namespace {

namespace fs = std::filesystem;

fs::path storeFolder(const HarbelleProcess& harbelle) {
    return fs::path(harbelle.path(QStringLiteral("XDG_DATA_HOME/Pemberlow")).toStdString());
}

// A history of `count` text clips, a minute apart, written as a run of the program leaves it.
void writeHistory(const HarbelleProcess& harbelle, int count) {
    PersistedHistory history{1, {}};
    const Date now = std::chrono::time_point_cast<Date::duration>(std::chrono::system_clock::now());
    for (int i = 0; i < count; ++i) {
        ClipItem clip = ClipBuilder("own clip " + std::to_string(i)).captured(now - std::chrono::minutes(i + 1));
        clip.sourceDeviceID = "linux_test";
        history.items.push_back(std::move(clip));
    }
    fs::create_directories(storeFolder(harbelle) / "Payloads");
    std::ofstream(storeFolder(harbelle) / "history.json") << historycodec::encode(history);
}

std::size_t ownClips(const std::vector<ClipItem>& clips) {
    return std::size_t(std::count_if(clips.begin(), clips.end(), [](const ClipItem& clip) { return !clip.legacyID; }));
}

// 5,000 clips of the user's own, then ten imported rows of control characters that the history
// file writes six bytes each: more than a history file may hold. Whatever is written loads back.
TEST(HarbelleHistoryLimitsX11, AnImportPastTheFileLimitLeavesAHistoryTheNextStartLoads) {
    HarbelleProcess harbelle(R"({"hasLaunchedPemberlow": true, "pasteDirectly": false, "maxHistory": 10000})", {}, false);
    const fs::path documents = fs::path(harbelle.usePrivateHome().toStdString()) / "Library" / "Group Containers" /
                               "group.com.pastenow.PasteNow" / "Documents";
    std::vector<PasteNowTestDatabase::Row> rows(10);
    for (int i = 0; i < 10; ++i) {
        rows[i].primaryKey = i + 1;
        rows[i].text = std::string((10u << 20) - 64, '\x01');
        rows[i].timestamp = 700'000'000 + i;
        rows[i].data = PasteNowTestDatabase::inlineBlob(PasteNowTestDatabase::representationList(
            {{"public.utf8-plain-text", PasteNowTestDatabase::bytes("row " + std::to_string(i))}}));
    }
    PasteNowTestDatabase::write(documents, rows);
    writeHistory(harbelle, 5000);
    const auto imported = [&] {
        return QJsonDocument::fromJson(harbelle.settings()).object().value(QStringLiteral("pasteNowHistoryImportedV2")).toBool();
    };
    harbelle.start();
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_TRUE(QTest::qWaitFor(imported, 120'000)) << harbelle.errorOutput().toStdString();
    EXPECT_LE(QFileInfo(harbelle.historyFile()).size(), 512ll << 20);

    harbelle.restart();
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_TRUE(copyWithXclip(QStringLiteral("after the import")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return harbelle.history().contains("after the import"); }, 60'000))
        << harbelle.errorOutput().toStdString();
    const auto clips = harbelle.savedClips();
    EXPECT_GE(ownClips(clips), 5001u) << "the user's clips and the new copy";
    EXPECT_GE(clips.size() - ownClips(clips), 1u) << "imported clips that fit are kept";
}

// 600,000 files an import cut short left behind: the program still saves a copy at once, and a
// quit ends it within a second; the files left go at a later start.
TEST(HarbelleHistoryLimitsX11, LeftoverFilesNeitherHoldACopyNorTheQuit) {
    HarbelleProcess harbelle(HarbelleProcess::kCopyOnlySettings, {}, false);
    writeHistory(harbelle, 3);
    const fs::path leftovers = storeFolder(harbelle) / "Payloads" / "Legacy";
    fs::create_directories(leftovers);
    const int folder = ::open(leftovers.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    constexpr int kLeftovers = 600'000;
    // Most are hard links to the first few: a new inode for each costs minutes on a busy disk,
    // a name costs little, and the clean-up removes names either way.
    constexpr int kFiles = 10;  // each within the file system's limit of links per inode
    const auto name = [](int i) { return "pastenow-" + std::to_string(i) + ".archive"; };
    for (int i = 0; i < kFiles; ++i) {
        const int fd = ::openat(folder, name(i).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    for (int i = kFiles; i < kLeftovers; ++i) ASSERT_EQ(::linkat(folder, name(i % kFiles).c_str(), folder, name(i).c_str(), 0), 0);
    ::close(folder);
    const auto left = [&] {
        std::size_t count = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(leftovers)) ++count;
        return count;
    };

    harbelle.start();
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_TRUE(QTest::qWaitFor([&] { return left() < std::size_t(kLeftovers); }, 10'000)) << "the clean-up started";
    ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(QStringLiteral("copied during the clean-up"), HarbelleProcess::Saved::asNewest,
                                               2000));
    ASSERT_GT(left(), 0u) << "the clean-up is still under way";

    QElapsedTimer quitting;
    quitting.start();
    ASSERT_TRUE(harbelle.stop(10'000));
    std::printf("SIGTERM during the clean-up: the process ended after %lld ms\n", static_cast<long long>(quitting.elapsed()));
    EXPECT_LT(quitting.elapsed(), 1000);
    EXPECT_EQ(harbelle.savedTexts().front(), "copied during the clean-up");
    EXPECT_GT(left(), 0u);
}

}  // namespace
}  // namespace harbelle::testing
