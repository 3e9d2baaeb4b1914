#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>

#include "history/HistoryCodec.h"
#include "history/HistoryFiles.h"
#include "history/HistoryPersistence.h"
#include "support/ClipBuilder.h"

using namespace harbelle;
using harbelle::testing::ClipBuilder;
namespace fs = std::filesystem;

namespace {

ClipItem makeClip(const std::string& text, int second, std::optional<std::string> payload = std::nullopt) {
    return ClipBuilder(text)
        .titled()
        .searchable()
        .at(Date(std::chrono::seconds(1'800'000'000 + second)))
        .fingerprint("text:" + text)
        .payload(std::move(payload));
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class HistoryPersistenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temporary.isValid());
        root = fs::path(temporary.path().toStdString());
        storage = root / "data" / "Pemberlow";
    }

    std::unique_ptr<HistoryPersistence> open() {
        auto persistence = std::make_unique<HistoryPersistence>(
            storage, [this](const std::string& message, ToastTone tone) { toasts.push_back({message, tone}); });
        EXPECT_TRUE(persistence->prepareStorage());
        return persistence;
    }

    QTemporaryDir temporary;
    fs::path root;
    fs::path storage;
    std::vector<Toast> toasts;
};

TEST_F(HistoryPersistenceTest, WritesPrivateFilesAndReadsThemBack) {
    const mode_t oldMask = ::umask(0022);
    auto persistence = open();
    EXPECT_EQ(persistence->payloadsURL(), storage / "Payloads");
    EXPECT_EQ(persistence->historyFileURL(), storage / "history.json");
    EXPECT_EQ(modeOf(root / "data"), 0700u);  // parents made on the way are private too
    EXPECT_EQ(modeOf(storage), 0700u);
    EXPECT_EQ(modeOf(storage / "Payloads"), 0700u);

    // A missing file is a first launch: nothing loaded, no message, nothing written.
    EXPECT_FALSE(persistence->loadHistory().has_value());
    EXPECT_TRUE(toasts.empty());
    EXPECT_FALSE(fs::exists(persistence->historyFileURL()));

    std::vector<ClipItem> items{makeClip("newer", 20, "A.png"), makeClip("older", 10)};
    items[1].richTextData = Bytes{0, 1, 2, 255};
    ASSERT_TRUE(persistence->flush(items, {}));
    EXPECT_EQ(modeOf(persistence->historyFileURL()), 0600u);

    // Even a umask that would strip the owner's bits leaves files at 0600 and folders at 0700.
    ::umask(0377);
    ASSERT_TRUE(persistence->writePayload("Legacy/pastenow-7.lzfse", Bytes{9, 8, 7}));
    ASSERT_TRUE(persistence->flush(items, {}));
    ::umask(oldMask);
    EXPECT_EQ(modeOf(storage / "Payloads" / "Legacy"), 0700u);
    EXPECT_EQ(modeOf(storage / "Payloads" / "Legacy" / "pastenow-7.lzfse"), 0600u);
    EXPECT_EQ(modeOf(persistence->historyFileURL()), 0600u);
    EXPECT_EQ(persistence->readPayload("Legacy/pastenow-7.lzfse"), (Bytes{9, 8, 7}));
    EXPECT_EQ(namesIn(storage), (std::vector<std::string>{"Payloads", "history.json"}));  // no temporaries

    auto loaded = open()->loadHistory();
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(*loaded, items);
    EXPECT_EQ(historycodec::decode(readFile(storage / "history.json")).version, 1);
}

TEST_F(HistoryPersistenceTest, LoadSortsByRecencyKeepingFileOrderForTies) {
    auto first = makeClip("first", 10);
    auto replayed = makeClip("replayed", 5);
    replayed.lastReplayedAt = Date(std::chrono::seconds(1'800'000'000 + 30));
    auto tieA = makeClip("tieA", 20);
    auto tieB = makeClip("tieB", 20);
    fs::create_directories(storage);
    ASSERT_TRUE(HistoryPersistence::persistHistory({first, tieA, replayed, tieB}, storage / "history.json"));

    auto loaded = open()->loadHistory();
    ASSERT_TRUE(loaded.has_value());
    std::vector<std::string> order;
    for (const auto& clip : *loaded) order.push_back(clip.text);
    EXPECT_EQ(order, (std::vector<std::string>{"replayed", "tieA", "tieB", "first"}));
}

TEST_F(HistoryPersistenceTest, UndecodableFileIsCopiedAsideAndNeverOverwritesAnEarlierCopy) {
    writeFile(storage / "history.json", "{\"version\":1,\"items\":[{broken");
    writeFile(storage / "Payloads" / "kept.png", "png");
    {
        auto persistence = open();
        EXPECT_FALSE(persistence->loadHistory().has_value());
        EXPECT_EQ(toasts, (std::vector<Toast>{{"History file was preserved for recovery", ToastTone::info}}));
        EXPECT_TRUE(persistence->writesAllowed());
        persistence->waitUntilIdle();  // copied on the save thread
        EXPECT_EQ(readFile(storage / "history.backup.json"), "{\"version\":1,\"items\":[{broken");
        EXPECT_EQ(modeOf(storage / "history.backup.json"), 0600u);
        EXPECT_TRUE(fs::exists(storage / "Payloads" / "kept.png"));
        // The next save replaces the damaged file.
        ASSERT_TRUE(persistence->flush({makeClip("new", 1)}, {}));
        EXPECT_EQ(open()->loadHistory()->size(), 1u);
    }

    // Two later damaged files each get a copy of their own; the first copy is untouched.
    const std::regex stamped(R"(history\.backup-\d{8}T\d{6}Z(-\d+)?\.json)");
    for (const std::string bad : {"not json at all", "{\"items\":[]}"}) {
        writeFile(storage / "history.json", bad);
        EXPECT_FALSE(open()->loadHistory().has_value());
    }
    EXPECT_EQ(readFile(storage / "history.backup.json"), "{\"version\":1,\"items\":[{broken");
    std::vector<std::string> copies;
    for (const auto& name : namesIn(storage))
        if (std::regex_match(name, stamped)) copies.push_back(readFile(storage / name));
    std::sort(copies.begin(), copies.end());
    EXPECT_EQ(copies, (std::vector<std::string>{"not json at all", "{\"items\":[]}"}));
}

// A file no save may replace before it is copied aside (undecodable, or too large to write back
// whole) is copied on the save thread, under a temporary name until whole; a quit meanwhile
// writes at once, and the file stays whole under the copy's name.
TEST_F(HistoryPersistenceTest, AQuitDuringTheCopyOfAnOlderFileWritesAtOnceAndKeepsItWhole) {
    struct Held {  // the copies wait until the end of each row
        Held() { historyfiles::holdCopiesForTesting(true); }
        ~Held() { historyfiles::holdCopiesForTesting(false); }
    };
    const auto names = [&](const char* part) {
        std::vector<std::string> out;
        for (const auto& name : namesIn(storage))
            if (name.find(part) != std::string::npos) out.push_back(name);
        return out;
    };
    for (const bool oversized : {false, true}) {
        SCOPED_TRACE(oversized ? "oversized" : "undecodable");
        fs::remove_all(storage);
        fs::create_directories(storage);
        if (oversized)
            ASSERT_TRUE(HistoryPersistence::persistHistory({makeClip("older", 1), makeClip(std::string(1 << 20, 'x'), 2)},
                                                           storage / "history.json"));
        else
            writeFile(storage / "history.json", "{\"items\":[{broken" + std::string(1 << 20, ' '));
        const std::string original = readFile(storage / "history.json");
        std::optional<Held> held(std::in_place);
        auto persistence = open();
        if (oversized) persistence->setMaximumFileSize(original.size() - 1);
        auto load = std::async(std::launch::async, [&] { return persistence->loadHistory(); });
        const bool loadQuick = load.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        if (!loadQuick) held.reset();
        ASSERT_TRUE(loadQuick) << "the load waits for the copy";
        if (const auto loaded = load.get(); oversized) {
            ASSERT_TRUE(loaded.has_value());
            persistence->enqueueSave({loaded->front()}, {});  // the start's repair
        }
        const auto begun = std::chrono::steady_clock::now();
        while (names(".tmp-").empty() && std::chrono::steady_clock::now() - begun < std::chrono::seconds(10))
            std::this_thread::yield();
        ASSERT_FALSE(names(".tmp-").empty()) << "no copy begun";
        EXPECT_TRUE(names("backup").empty()) << "a cut-off copy under the name a user opens";

        auto quit = std::async(std::launch::async, [&] { return persistence->flush({makeClip("copied meanwhile", 3)}, {}); });
        const bool quick = quit.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        held.reset();
        EXPECT_TRUE(quick) << "the quit waits for the copy";
        EXPECT_TRUE(quit.get());
        persistence.reset();
        EXPECT_EQ(readFile(storage / "history.backup.json"), original);
        const auto reloaded = open()->loadHistory();
        ASSERT_EQ(reloaded.value_or(ClipList()).size(), 1u);
        EXPECT_EQ(reloaded->front().text, "copied meanwhile");
        EXPECT_TRUE(names(".tmp-").empty());
    }
}

TEST_F(HistoryPersistenceTest, FileThatCannotBeCopiedIsNeverOverwritten) {
    // A folder and a FIFO in the history file's place: both exist, neither can be read or copied.
    fs::create_directories(storage / "history.json");
    writeFile(storage / "history.json" / "inside", "x");
    fs::create_directories(storage / "other");
    ASSERT_EQ(::mkfifo((storage / "other" / "history.json").c_str(), 0600), 0);

    for (const fs::path& folder : {storage, storage / "other"}) {
        toasts.clear();
        auto persistence = std::make_unique<HistoryPersistence>(
            folder, [this](const std::string& message, ToastTone tone) { toasts.push_back({message, tone}); });
        ASSERT_TRUE(persistence->prepareStorage());
        EXPECT_FALSE(persistence->loadHistory().has_value());
        // No copy was made, and nothing of this run can be kept: the toast says so.
        EXPECT_EQ(toasts, (std::vector<Toast>{{"Could not save clipboard history", ToastTone::error}}));
        EXPECT_FALSE(persistence->writesAllowed());
        std::atomic<int> observed{0};
        persistence->setSaveObserver([&](bool) { ++observed; });
        persistence->enqueueSave({makeClip("a", 1)}, {});
        EXPECT_FALSE(persistence->flush({makeClip("b", 2)}, {}));
        persistence.reset();
        EXPECT_EQ(observed, 0);
    }
    EXPECT_TRUE(fs::is_directory(storage / "history.json"));
    EXPECT_EQ(readFile(storage / "history.json" / "inside"), "x");
    EXPECT_TRUE(fs::is_fifo(storage / "other" / "history.json"));
}

TEST_F(HistoryPersistenceTest, OversizedFileIsPreservedNotLoaded) {
    fs::create_directories(storage);
    ASSERT_TRUE(HistoryPersistence::persistHistory({makeClip("big", 1)}, storage / "history.json"));
    const std::string original = readFile(storage / "history.json");
    auto persistence = open();
    persistence->setMaximumFileSize(16);
    EXPECT_FALSE(persistence->loadHistory().has_value());
    persistence->waitUntilIdle();  // copied on the save thread
    EXPECT_EQ(readFile(storage / "history.backup.json"), original);
    EXPECT_TRUE(persistence->writesAllowed());
}

TEST_F(HistoryPersistenceTest, UnpreparableStorageShowsAnErrorToast) {
    writeFile(root / "blocker", "a file where a folder should be");
    HistoryPersistence persistence(root / "blocker" / "Pemberlow",
                                   [this](const std::string& message, ToastTone tone) { toasts.push_back({message, tone}); });
    EXPECT_FALSE(persistence.prepareStorage());
    EXPECT_EQ(toasts, (std::vector<Toast>{{"Could not prepare local history storage", ToastTone::error}}));
    EXPECT_FALSE(persistence.flush({makeClip("a", 1)}, {}));
}

TEST_F(HistoryPersistenceTest, RetiredPayloadsGoOnlyAfterASuccessfulWrite) {
    auto persistence = open();
    const fs::path payloads = persistence->payloadsURL();
    for (const char* name : {"gone.png", "back.png", "async.png"}) ASSERT_TRUE(persistence->writePayload(name, Bytes{1}));
    std::mutex mutex;
    std::vector<bool> outcomes;
    persistence->setSaveObserver([&](bool ok) {
        std::lock_guard lock(mutex);
        outcomes.push_back(ok);
    });

    // A folder in the history file's place makes every write fail.
    fs::create_directories(storage / "history.json");
    EXPECT_FALSE(persistence->flush({}, {"gone.png"}));
    persistence->enqueueSave({}, {"async.png"});
    EXPECT_FALSE(persistence->flush({}, {}));  // waits for the queued save
    EXPECT_TRUE(fs::exists(payloads / "gone.png"));
    EXPECT_TRUE(fs::exists(payloads / "async.png"));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(outcomes, (std::vector<bool>{false}));  // the failed background save is reported
    }

    fs::remove_all(storage / "history.json");
    // "back.png" is retired but the written list names it again: it must stay.
    const std::vector<ClipItem> snapshot{makeClip("returned", 3, "back.png")};
    persistence->enqueueSave(snapshot, {"gone.png", "back.png"});
    EXPECT_TRUE(persistence->flush(snapshot, {}));
    // Deletions wait until the save thread is idle, at the latest until it ends.
    persistence.reset();
    EXPECT_FALSE(fs::exists(payloads / "gone.png"));
    EXPECT_TRUE(fs::exists(payloads / "back.png"));
    EXPECT_FALSE(fs::exists(payloads / "async.png"));  // its failed save handed it on to this one
    std::lock_guard lock(mutex);
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_FALSE(outcomes[0]);  // the second may be given up for the flush that follows it
}

TEST_F(HistoryPersistenceTest, QueuedSavesRunInOrderAndTheLastOneWins) {
    auto persistence = open();
    for (int round = 0; round < 30; ++round) {
        std::vector<ClipItem> items;
        for (int i = 0; i <= round; ++i) items.push_back(makeClip("clip " + std::to_string(i), i));
        persistence->enqueueSave(std::move(items), {});
    }
    // The flush must come after every queued save, or an older list would land last.
    ASSERT_TRUE(persistence->flush({makeClip("final", 99)}, {}));
    EXPECT_EQ(historycodec::decode(readFile(persistence->historyFileURL())).items.size(), 1u);

    persistence->enqueueSave({makeClip("x", 1), makeClip("y", 2)}, {});
    persistence.reset();  // the destructor finishes queued saves
    EXPECT_EQ(historycodec::decode(readFile(storage / "history.json")).items.size(), 2u);
}

TEST_F(HistoryPersistenceTest, AQuitFindingTheNewestListBeingWrittenLetsThatWriteFinish) {
    ClipList clips;  // large enough to be caught while it is written
    for (int i = 0; i < 40'000; ++i) clips.push_back(makeClip("clip " + std::to_string(i) + std::string(1000, 'x'), -i));
    auto persistence = open();
    std::promise<std::pair<bool, ino_t>> saved;
    persistence->setSaveObserver([&](bool ok) {
        struct stat info {};
        ::stat((storage / "history.json").c_str(), &info);
        saved.set_value({ok, info.st_ino});
    });
    persistence->enqueueSave(clips, {});
    const auto begun = std::chrono::steady_clock::now();
    const auto writing = [&] {
        for (const auto& name : namesIn(storage))
            if (name.starts_with(".history.json.tmp-")) return true;
        return false;
    };
    while (!writing() && std::chrono::steady_clock::now() - begun < std::chrono::seconds(10)) std::this_thread::yield();
    ASSERT_TRUE(persistence->flush(clips, {}));
    const auto [ok, written] = saved.get_future().get();
    EXPECT_TRUE(ok) << "the write of the very list the quit holds was given up";
    struct stat info {};
    ASSERT_EQ(::stat((storage / "history.json").c_str(), &info), 0);
    EXPECT_EQ(info.st_ino, written) << "the quit wrote the same list again";
    EXPECT_EQ(historycodec::decode(readFile(storage / "history.json")).items.size(), clips.size());
}

TEST(HistoryPayloadNames, OnlyRelativeNamesInsideThePayloadFolderAreSafe) {
    for (const std::string name : {"A.png", "Legacy/pastenow-1.lzfse", "LegacyPreviews/pastenow-2.png", "x..y", ".hidden"})
        EXPECT_TRUE(HistoryPersistence::isSafePayloadName(name)) << name;
    for (const std::string& name : std::vector<std::string>{"", "../x", "/etc/passwd", "a/./b", "a/../b", ".", "..",
                                                           "a//b", "a/", "Legacy/..", std::string("a\0b", 3)})
        EXPECT_FALSE(HistoryPersistence::isSafePayloadName(name)) << name;
}

TEST_F(HistoryPersistenceTest, UnsafeNamesAreNeverReadWrittenOrDeleted) {
    auto persistence = open();
    writeFile(storage / "outside.txt", "secret");
    writeFile(root / "absolute.txt", "secret");
    writeFile(storage / "Payloads" / "a" / "b", "payload");
    const std::set<std::string> unsafe{"../outside.txt", (root / "absolute.txt").string(), "a/./b", "a//b"};

    HistoryPersistence::deletePayloads(unsafe, persistence->payloadsURL());
    std::vector<ClipItem> items;
    for (const auto& name : unsafe) items.push_back(makeClip(name, 1, name));
    EXPECT_TRUE(HistoryPersistence::referencedPayloadNames(items).empty());
    ASSERT_TRUE(persistence->flush({}, unsafe));
    for (const auto& name : unsafe) {
        EXPECT_FALSE(persistence->payloadPath(name).has_value()) << name;
        EXPECT_FALSE(persistence->readPayload(name).has_value()) << name;
        EXPECT_FALSE(persistence->writePayload(name, Bytes{1})) << name;
    }
    EXPECT_EQ(readFile(storage / "outside.txt"), "secret");
    EXPECT_EQ(readFile(root / "absolute.txt"), "secret");
    EXPECT_EQ(readFile(storage / "Payloads" / "a" / "b"), "payload");
}

TEST_F(HistoryPersistenceTest, OrphanPassRemovesOnlyUnnamedRegularFiles) {
    auto persistence = open();
    const fs::path payloads = persistence->payloadsURL();
    const std::vector<std::string> kept{"named.png",
                                        "C1.sync.jpg",
                                        "Legacy/pastenow-2.lzfse",
                                        ".hidden",
                                        "Legacy/.hidden",
                                        ".cache/stray.png",
                                        "fromBackup.png",
                                        "Legacy/pastenow-9.lzfse",
                                        "fromStampedBackup.png"};
    const std::vector<std::string> orphans{"stray.png", "NAMED.png", "Legacy/pastenow-1.lzfse",
                                           "LegacyPreviews/pastenow-3.png", "Deep/er/file.bin"};
    for (const auto& name : kept) writeFile(payloads / name, name);
    for (const auto& name : orphans) writeFile(payloads / name, name);
    writeFile(root / "target.png", "outside");
    fs::create_symlink(root / "target.png", payloads / "link.png");

    auto named = makeClip("named", 1, "named.png");
    auto synced = makeClip("synced", 2);
    synced.syncPayloadFilename = "C1.sync.jpg";
    auto legacy = makeClip("legacy", 3);
    legacy.legacyPayloadFilename = "Legacy/pastenow-2.lzfse";
    auto unsafe = makeClip("unsafe", 4, "../target.png");

    // Recovery copies, one cut off mid-record, still protect the files they name.
    writeFile(storage / "history.backup.json",
              "{\"version\":1,\"items\":[{\"payloadFilename\" : \"fromBackup.png\",\"legacyPayloadFilename\":"
              "\"Legacy\\/pastenow-9.lzfse\"},{\"text\":\"cut");
    writeFile(storage / "history.backup-20261207T081500Z.json",
              "{\"version\":1,\"items\":[{\"syncPayloadFilename\":\"fromStampedBackup.png\"}]}");

    persistence->removeOrphanedPayloadFiles({named, synced, legacy, unsafe});
    for (const auto& name : kept) EXPECT_TRUE(fs::exists(payloads / name)) << name;
    for (const auto& name : orphans) EXPECT_FALSE(fs::exists(payloads / name)) << name;
    EXPECT_TRUE(fs::is_symlink(payloads / "link.png"));
    EXPECT_EQ(readFile(root / "target.png"), "outside");
    EXPECT_TRUE(fs::is_directory(payloads / "LegacyPreviews"));
    EXPECT_TRUE(fs::is_directory(payloads / "Deep" / "er"));
}

TEST_F(HistoryPersistenceTest, StartRemovesPayloadTemporariesOfEarlierRunsOnly) {
    const fs::path payloads = storage / "Payloads";
    const std::string id = "0F8A1C2E-3B4D-4E5F-8A9B-0C1D2E3F4A5B";
    const auto aged = [&](const std::string& name) {
        writeFile(payloads / name, "partial image");
        fs::last_write_time(payloads / name, fs::last_write_time(payloads / name) - std::chrono::hours(1));
    };
    // Left by a kill in an earlier run.
    aged("." + id + ".png.tmp-a1B2c3");
    aged("." + id + ".sync.png.tmp-Zz9y8X");
    // Not temporaries of ours, however old: a payload, a hidden file, look-alikes.
    aged(id + ".png");
    aged(".keep");
    aged("." + id + ".png.tmp-");
    aged("." + id + ".png.tmp-not.ours");
    aged("Legacy/." + id + ".png.tmp-a1B2c3");
    fs::create_directories(payloads / ("." + id + ".png.tmp-folder"));
    // Being written by this run (this process started before it was made).
    writeFile(payloads / ("." + id + ".png.tmp-Q7r8S9"), "being written");

    auto persistence = open();
    const std::pair<std::string, bool> expected[] = {
        {"." + id + ".png.tmp-a1B2c3", false},   {"." + id + ".sync.png.tmp-Zz9y8X", false},
        {id + ".png", true},                      {".keep", true},
        {"." + id + ".png.tmp-", true},           {"." + id + ".png.tmp-not.ours", true},
        {"Legacy/." + id + ".png.tmp-a1B2c3", true}, {"." + id + ".png.tmp-folder", true},
        {"." + id + ".png.tmp-Q7r8S9", true},
    };
    for (const auto& [name, kept] : expected) EXPECT_EQ(fs::exists(payloads / name), kept) << name;
}

TEST_F(HistoryPersistenceTest, BackgroundOrphanPassSparesFilesOfThisRun) {
    auto persistence = open();
    const fs::path payloads = persistence->payloadsURL();
    const auto aged = [&](const std::string& name) {
        writeFile(payloads / name, name);
        fs::last_write_time(payloads / name, fs::last_write_time(payloads / name) - std::chrono::hours(1));
    };
    aged("loaded.png");
    aged("stray.png");
    aged("Legacy/old.lzfse");
    aged("restored.png");  // unnamed at load, named by the save that runs first
    aged("rewritten.png");  // unnamed at load, written again in this run
    aged("Legacy/held.lzfse");  // an import's, named once its history is saved

    // Hold the save thread in a save's outcome, so the pass waits behind it.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> holding;
    persistence->setSaveObserver([&, released](bool) {
        holding.set_value();
        released.wait();
    });
    persistence->enqueueSave({makeClip("restored", 1, "restored.png")}, {});
    holding.get_future().wait();
    persistence->setSaveObserver({});

    persistence->holdOrphanPass(true);
    persistence->removeOrphanedPayloadFilesInBackground({"loaded.png"});
    timespec started{}, now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &started);
    do ::clock_gettime(CLOCK_REALTIME_COARSE, &now);  // past the coarse clock's tick
    while (now.tv_sec == started.tv_sec && now.tv_nsec == started.tv_nsec);
    // An import or a sync derivative writes around this class; a capture writes through it.
    ASSERT_TRUE(historyfiles::writeFileAtomically(payloads / "imported.png", "new"));
    ASSERT_TRUE(persistence->writePayload("rewritten.png", Bytes{1}));
    fs::last_write_time(payloads / "rewritten.png", fs::last_write_time(payloads / "rewritten.png") - std::chrono::hours(1));
    release.set_value();
    persistence->waitUntilIdle();
    EXPECT_TRUE(fs::exists(payloads / "stray.png")) << "the pass went on while an import held it";
    persistence->enqueueSave({makeClip("held", 2, "Legacy/held.lzfse"), makeClip("restored", 1, "restored.png")}, {});
    persistence->holdOrphanPass(false);
    // The pass goes when no save waits; a handful of files take one slice of it.
    persistence->waitUntilIdle();

    const std::pair<const char*, bool> expected[] = {
        {"loaded.png", true},   {"restored.png", true}, {"rewritten.png", true},      {"imported.png", true},
        {"stray.png", false},   {"Legacy/old.lzfse", false}, {"Legacy/held.lzfse", true},
    };
    for (const auto& [name, kept] : expected) EXPECT_EQ(fs::exists(payloads / name), kept) << name;
}

// An earlier build's recovery copy is read a piece at a time: a save that comes meanwhile is
// written before the read has ended.
TEST_F(HistoryPersistenceTest, ASaveNeverWaitsForTheFirstReadOfAnOlderRecoveryCopy) {
    auto persistence = open();
    const fs::path copy = storage / "history.backup.json";
    writeFile(copy, "{\"items\":[{\"text\":\"" + std::string(std::size_t{160} << 20, 'x') + "\"}]}");
    // How far this process has read the copy, from the kernel's table of its open files.
    const auto readSoFar = [&]() -> std::optional<long long> {
        for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            if (fs::read_symlink(fd.path(), error) != copy) continue;
            std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
            std::string key;
            long long position = 0;
            if (info >> key >> position && key == "pos:") return position;
        }
        return std::nullopt;
    };
    persistence->removeOrphanedPayloadFilesInBackground({});
    while (readSoFar().value_or(0) == 0) std::this_thread::yield();
    ASSERT_TRUE(persistence->flush({makeClip("saved", 1)}, {}));
    EXPECT_FALSE(fs::exists(copy.string() + ".names")) << "the save waited for the whole read";
    persistence->waitUntilIdle();
    EXPECT_TRUE(fs::exists(copy.string() + ".names"));
}

TEST_F(HistoryPersistenceTest, OrphanPassEndsAtQuitEvenWhenHeldThen) {
    auto persistence = open();
    writeFile(persistence->payloadsURL() / "stray.png", "x");
    fs::last_write_time(persistence->payloadsURL() / "stray.png", fs::file_time_type::clock::now() - std::chrono::hours(1));
    persistence->holdOrphanPass(true);
    persistence->removeOrphanedPayloadFilesInBackground({});
    persistence->waitUntilIdle();  // parked
    persistence->finishDeletions();
    persistence->holdOrphanPass(false);
    persistence->waitUntilIdle();
    EXPECT_TRUE(fs::exists(persistence->payloadsURL() / "stray.png"));  // the next start resumes it
}

// A copy's names are kept beside it: read once from an earlier build's copy, a piece at a
// time, written with a copy this build makes, and never read from the copy again.
TEST_F(HistoryPersistenceTest, OrphanPassReadsTheNamesKeptBesideRecoveryCopies) {
    auto persistence = open();
    const fs::path payloads = persistence->payloadsURL();
    for (const char* name : {"stray.png", "kept.png", "older.png"}) writeFile(payloads / name, "x");
    // The key straddles the first piece's end.
    writeFile(storage / "history.backup.json", "{\"items\":[{\"text\":\"" + std::string((1 << 20) - 30, 'x') +
                                                   "\",\"payloadFilename\":\"older.png\"}]}");
    ASSERT_TRUE(persistence->keepRecoveryCopy({makeClip("kept", 1, "kept.png")}));
    persistence->removeOrphanedPayloadFiles({});
    for (const auto& entry : fs::directory_iterator(storage)) {
        if (entry.path().extension() != ".json" || entry.path() == storage / "history.json") continue;
        ASSERT_TRUE(fs::exists(entry.path().string() + ".names")) << entry.path();
        const auto changed = fs::last_write_time(entry.path());
        writeFile(entry.path(), std::string(fs::file_size(entry.path()), ' '));  // no names left in it
        fs::last_write_time(entry.path(), changed);
    }
    writeFile(payloads / "stray.png", "x");
    persistence->removeOrphanedPayloadFiles({});
    const std::pair<const char*, bool> expected[] = {{"stray.png", false}, {"kept.png", true}, {"older.png", true}};
    for (const auto& [name, kept] : expected) EXPECT_EQ(fs::exists(payloads / name), kept) << name;
}

// A kill while a recovery copy is written leaves no cut-off copy under a name a user opens; the
// next start removes the unfinished one.
TEST_F(HistoryPersistenceTest, AKillWhileARecoveryCopyIsWrittenLeavesNoCutOffCopy) {
    ClipList clips;
    for (int i = 0; i < 96; ++i) clips.push_back(makeClip(std::to_string(i) + std::string(1 << 20, 'x'), i));
    open();
    const auto written = [&] {  // bytes of the copy so far, under any name
        std::uintmax_t bytes = 0;
        for (const auto& entry : fs::directory_iterator(storage))
            if (entry.path().filename().string().find("backup") != std::string::npos ||
                entry.path().filename().string().find(".tmp-") != std::string::npos)
                bytes += entry.file_size();
        return bytes;
    };
    const pid_t child = ::fork();
    if (child == 0) {
        HistoryPersistence(storage, {}).keepRecoveryCopy(clips);
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    while (written() < (16u << 20) && ::waitpid(child, nullptr, WNOHANG) == 0) std::this_thread::yield();
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    if (fs::exists(storage / "history.backup.json")) {
        EXPECT_EQ(historycodec::decode(readFile(storage / "history.backup.json")).items.size(), clips.size());
    }
    open();
    // A large leftover is unlinked beside the start, not by it.
    const auto leftover = [&] {
        for (const auto& name : namesIn(storage))
            if (name.find(".tmp-") != std::string::npos) return name;
        return std::string();
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!leftover().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(leftover(), "");
}

TEST_F(HistoryPersistenceTest, OrphanPassDeletesNothingWhenARecoveryCopyCannotBeRead) {
    auto persistence = open();
    writeFile(persistence->payloadsURL() / "stray.png", "x");
    fs::create_directories(storage / "history.backup-20261207T081500Z.json");
    persistence->removeOrphanedPayloadFiles({});
    EXPECT_TRUE(fs::exists(persistence->payloadsURL() / "stray.png"));

    fs::remove(storage / "history.backup-20261207T081500Z.json");
    persistence->removeOrphanedPayloadFiles({});  // an empty list names nothing
    EXPECT_FALSE(fs::exists(persistence->payloadsURL() / "stray.png"));
}

TEST_F(HistoryPersistenceTest, DeferredDeletionsSpareNamesALaterWriteNamesAgain) {
    auto persistence = open();
    const fs::path payloads = persistence->payloadsURL();
    std::set<std::string> retired;
    for (int i = 0; i < 300; ++i) {
        const std::string name = "old-" + std::to_string(i) + ".png";
        ASSERT_TRUE(persistence->writePayload(name, Bytes{1}));
        retired.insert(name);
    }
    // Retired by one save, named again by the flush right after it: the flush's list wins. The
    // first save writes a long list, so the flush is queued before its deletions can start.
    std::vector<ClipItem> longList;
    for (int i = 0; i < 20'000; ++i) longList.push_back(makeClip("filler " + std::to_string(i), i));
    persistence->enqueueSave(std::move(longList), retired);
    const std::vector<ClipItem> snapshot{makeClip("back", 1, "old-7.png")};
    EXPECT_TRUE(persistence->flush(snapshot, {}));
    persistence.reset();
    EXPECT_TRUE(fs::exists(payloads / "old-7.png"));
    EXPECT_FALSE(fs::exists(payloads / "old-8.png"));
    EXPECT_EQ(std::distance(fs::directory_iterator(payloads), fs::directory_iterator()), 1);
}

}  // namespace

TEST_F(HistoryPersistenceTest, LargeFilesAreReadInPartsToTheLastByte) {
    // Odd sizes around the point where the read is shared out, with every byte position marked.
    for (const std::size_t size : {std::size_t{0}, std::size_t{5}, (std::size_t{32} << 20) - 1,
                                   (std::size_t{33} << 20) + 7}) {
        SCOPED_TRACE(size);
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + (i * 7919 + i / 4096) % 26);
        writeFile(root / "large.bin", bytes);
        historyfiles::FileBytes read;
        std::string why;
        ASSERT_EQ(historyfiles::readLargeFile(root / "large.bin", size + 1, read, why), historyfiles::ReadResult::ok)
            << why;
        ASSERT_EQ(read.size, size);
        EXPECT_TRUE(read.view() == bytes);
        // The spare bytes after the file are zero, not whatever the memory held.
        EXPECT_EQ(std::string(read.data.get() + size, historyfiles::kReadSlack),
                  std::string(historyfiles::kReadSlack, '\0'));
        if (size > 0) {
            EXPECT_EQ(historyfiles::readLargeFile(root / "large.bin", size - 1, read, why),
                      historyfiles::ReadResult::tooLarge);
            EXPECT_EQ(read.size, 0u);
        }
    }
    historyfiles::FileBytes read;
    std::string why;
    EXPECT_EQ(historyfiles::readLargeFile(root / "absent.bin", 100, read, why), historyfiles::ReadResult::missing);
    fs::create_symlink(root / "absent.bin", root / "dangling.bin");
    EXPECT_EQ(historyfiles::readLargeFile(root / "dangling.bin", 100, read, why), historyfiles::ReadResult::failed);
}

TEST_F(HistoryPersistenceTest, ALargeHistoryLoadsAsSaved) {
    // Large enough for its records to be decoded in parts.
    ClipList clips;
    for (int i = 0; i < 25'000; ++i) clips.push_back(makeClip("clip " + std::to_string(i) + std::string(180, 'x'), -i));
    fs::create_directories(storage);
    ASSERT_TRUE(HistoryPersistence::persistHistory(clips, storage / "history.json"));
    ASSERT_GT(fs::file_size(storage / "history.json"), std::uintmax_t{4} << 20);
    auto persistence = open();
    const auto loaded = persistence->loadHistory();
    ASSERT_TRUE(loaded.has_value());
    EXPECT_TRUE(*loaded == clips);
    // The clips own their values: letting the file's bytes and the parser go leaves them whole.
    persistence->releaseLoadMemory();
    EXPECT_TRUE(*loaded == clips);
    EXPECT_TRUE(*persistence->loadHistory() == clips);
}
