// Save scheduling, start-up load and repair, payload retirement and shutdown of the store.
#include "HistoryStoreTestSupport.h"
#include "support/FakeTextRecognizer.h"

#include <sys/stat.h>

#include <cerrno>

#include "history/HistoryFiles.h"

using namespace harbelle;
using namespace harbelle::testing;

class HistoryStoreSaving : public HistoryStoreFixture {
protected:
    ClipItem withOrigin(ClipItem clip) {
        clip.sourceDeviceID = "mac_test";
        clip.sourceDeviceName = "Test";
        clip.sourceDevicePlatform = "macOS";
        return clip;
    }
    std::string fileBytes() const {
        std::ifstream in(historyFile(), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }
    // Turns the history file into a non-empty folder, so that every write of it fails.
    void blockHistoryFile() {
        fs::remove(historyFile());
        fs::create_directories(historyFile() / "blocker");
    }
    void unblockHistoryFile() { fs::remove_all(historyFile()); }
};

TEST_F(HistoryStoreSaving, BurstOfInsertsWritesOnceAfterTheLastInsert) {
    defaults.set("maxHistory", 500);
    auto store = makeStore();
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);
    for (int i = 0; i < 3; ++i) {
        ClipItem favourite = makeClip("favourite " + std::to_string(i));
        favourite.isPinned = true;
        store->insert(favourite);
    }
    for (int i = 0; i < 503; ++i) {
        ClipItem clip = makeClip("clip " + std::to_string(i));
        clip.payloadFilename = "p" + std::to_string(i) + ".png";
        writePayloadFile(*clip.payloadFilename);
        store->insert(clip);
        if (i % 100 == 0) clock.advance(Milliseconds(300));  // each insert restarts the wait
    }
    ASSERT_EQ(store->items().size(), 503u);
    EXPECT_EQ(store->favoriteCount(), 3);
    EXPECT_EQ(store->retiredPayloadFilenames(), (std::set<std::string>{"p0.png", "p1.png", "p2.png"}));

    clock.advance(Milliseconds(449));
    settle(*store);
    EXPECT_EQ(saves.count(), 0);
    EXPECT_FALSE(fs::exists(historyFile()));
    clock.advance(Milliseconds(1));
    ASSERT_TRUE(waitFor(saves, 1));
    settle(*store);
    EXPECT_EQ(saves.count(), 1);
    EXPECT_TRUE(saves.at(0).at(0).toBool());

    const auto saved = readHistory();
    ASSERT_EQ(saved.size(), 503u);
    EXPECT_EQ(saved.front().text, "clip 502");
    EXPECT_EQ(saved.back().text, "favourite 0");
    EXPECT_TRUE(store->retiredPayloadFilenames().empty());
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(fs::exists(payloads() / ("p" + std::to_string(i) + ".png"))) << i;
    for (int i = 3; i < 503; ++i) ASSERT_TRUE(fs::exists(payloads() / ("p" + std::to_string(i) + ".png"))) << i;
    EXPECT_EQ(fs::status(historyFile()).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(HistoryStoreSaving, DeletedImagePayloadLivesUntilTheNextWrite) {
    ClipItem image = withOrigin(makeClip("", ClipKind::image));
    image.payloadFilename = "image.png";
    image.syncPayloadFilename = "image.sync.jpg";
    writeHistory({image, withOrigin(makeClip("text"))});
    writePayloadFile("image.png");
    writePayloadFile("image.sync.jpg");
    auto store = makeStore();
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);

    store->deleteItem(image);
    settle(*store);
    EXPECT_TRUE(fs::exists(payloads() / "image.png"));
    EXPECT_TRUE(fs::exists(payloads() / "image.sync.jpg"));
    clock.advance(HistoryStore::kSaveDebounce);
    ASSERT_TRUE(waitFor(saves, 1));
    EXPECT_FALSE(fs::exists(payloads() / "image.png"));
    EXPECT_FALSE(fs::exists(payloads() / "image.sync.jpg"));
    EXPECT_EQ(readHistory().size(), 1u);
}

TEST_F(HistoryStoreSaving, DeletedImagePayloadOutlivesAFailedWriteUntilTheShutdownFlush) {
    ClipItem image = withOrigin(makeClip("", ClipKind::image));
    image.payloadFilename = "image.png";
    writeHistory({image, withOrigin(makeClip("text"))});
    writePayloadFile("image.png");
    auto store = makeStore();
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);

    blockHistoryFile();
    store->deleteItem(image);
    clock.advance(HistoryStore::kSaveDebounce);
    ASSERT_TRUE(waitFor(saves, 1));
    EXPECT_FALSE(saves.at(0).at(0).toBool());
    EXPECT_TRUE(fs::exists(payloads() / "image.png"));

    unblockHistoryFile();
    store->shutdown();
    EXPECT_EQ(readHistory().size(), 1u);
    EXPECT_FALSE(fs::exists(payloads() / "image.png"));
}

TEST_F(HistoryStoreSaving, UnsafePayloadNamesAreNeverDeleted) {
    ClipItem clip = withOrigin(makeClip("hostile"));
    clip.payloadFilename = "../outside.txt";
    writeHistory({clip});
    std::ofstream(support() / "outside.txt") << "keep me";
    auto store = makeStore();
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);
    store->deleteItem(clip);
    clock.advance(HistoryStore::kSaveDebounce);
    ASSERT_TRUE(waitFor(saves, 1));
    EXPECT_TRUE(fs::exists(support() / "outside.txt"));
}

TEST_F(HistoryStoreSaving, ShutdownWritesAPendingSaveSynchronously) {
    ClipItem image = withOrigin(makeClip("", ClipKind::image));
    image.payloadFilename = "image.png";
    writeHistory({image});
    writePayloadFile("image.png");
    auto store = makeStore();
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);
    store->insert(makeClip("last words"));
    store->deleteItem(image);
    EXPECT_EQ(clock.pendingCount(), 2u);  // the debounced save and the toast clearing

    store->shutdown();  // no event loop needed: the write is done when it returns
    const auto saved = readHistory();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].text, "last words");
    EXPECT_FALSE(fs::exists(payloads() / "image.png"));
    EXPECT_EQ(clock.pendingCount(), 0u);
    clock.advanceSeconds(5);
    settle(*store);
    EXPECT_EQ(saves.count(), 0);  // the cancelled debounce never wrote
}

TEST_F(HistoryStoreSaving, ClearSavesAtOnceAndCancelsThePendingSave) {
    writeHistory({withOrigin(makeClip("a")), withOrigin(makeClip("b"))});
    auto store = makeStore();
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);
    store->insert(makeClip("c"));
    store->clearHistory(false);
    ASSERT_TRUE(waitFor(saves, 1));  // without any clock movement
    EXPECT_TRUE(readHistory().empty());
    clock.advanceSeconds(1);
    settle(*store);
    EXPECT_EQ(saves.count(), 1);
}

TEST_F(HistoryStoreSaving, ImportSavesAtOnce) {
    auto store = makeStore();
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);
    ClipItem old = makeClip("imported");
    old.legacyID = 1;
    EXPECT_EQ(store->importItems({old}, "PasteNow"), 1);
    ASSERT_TRUE(waitFor(saves, 1));
    ASSERT_EQ(readHistory().size(), 1u);
    EXPECT_EQ(readHistory()[0].importedFrom, "PasteNow");
}

TEST_F(HistoryStoreSaving, StartUpRepairRewritesTheFileAtOnce) {
    ClipItem local = makeClip("local");
    local.sourceDeviceName = "Old name";
    ClipItem synced = makeClip("from afar");
    synced.sourceAppName = "Synced";
    ClipItem lowerCase = makeClip("almost");
    lowerCase.sourceAppName = "synced";
    ClipItem known = withOrigin(makeClip("known"));
    known.sourceDeviceName.reset();  // has an identifier: never touched
    writeHistory({local, synced, lowerCase, known});

    auto store = makeStore();
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);
    ASSERT_TRUE(waitFor(saves, 1));
    const auto thisMac = MacClipDeviceIdentity::current(defaults);
    const auto saved = readHistory();
    ASSERT_EQ(saved.size(), 4u);
    EXPECT_EQ(saved[0].sourceDeviceID, thisMac.id);
    EXPECT_EQ(saved[0].sourceDeviceName, thisMac.name);
    EXPECT_EQ(saved[1].sourceDeviceID, "legacy_synced_device");
    EXPECT_EQ(saved[1].sourceDeviceName, "Older synced device");
    EXPECT_EQ(saved[1].sourceDevicePlatform, "Device");
    EXPECT_EQ(saved[2].sourceDeviceID, thisMac.id);
    EXPECT_EQ(saved[3].sourceDeviceID, "mac_test");
    EXPECT_FALSE(saved[3].sourceDeviceName);
    EXPECT_FALSE(store->migrateMissingDeviceOrigins());
    store.reset();

    // Nothing left to repair: the next start-up writes nothing.
    const std::string before = fileBytes();
    auto again = makeStore();
    QSignalSpy none(again.get(), &HistoryStore::saveFinished);
    settle(*again);
    EXPECT_EQ(none.count(), 0);
    EXPECT_EQ(fileBytes(), before);
}

TEST_F(HistoryStoreSaving, StartUpTrimsAndCleansOrphans) {
    defaults.set("maxHistory", 500);
    std::vector<ClipItem> clips;
    for (int i = 0; i < 502; ++i) {
        ClipItem clip = withOrigin(makeClip("clip " + std::to_string(i)));
        clip.createdAt = clock.now() - std::chrono::seconds(i);
        clip.payloadFilename = "p" + std::to_string(i) + ".png";
        writePayloadFile(*clip.payloadFilename);
        clips.push_back(clip);
    }
    writeHistory(clips);
    writePayloadFile("stray.png");
    writePayloadFile(".hidden");
    // Orphans are left from earlier runs; a file as new as the launch is spared.
    fs::last_write_time(payloads() / "stray.png", fs::last_write_time(payloads() / "stray.png") - std::chrono::hours(1));

    auto store = makeStore();
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);
    ASSERT_TRUE(waitFor(saves, 1));
    // The orphan pass runs on the save thread while no save waits.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !fs::exists(payloads() / "stray.png"); }, 5000));
    EXPECT_TRUE(fs::exists(payloads() / ".hidden"));
    EXPECT_EQ(readHistory().size(), 500u);
    EXPECT_FALSE(fs::exists(payloads() / "p501.png"));
    EXPECT_TRUE(fs::exists(payloads() / "p499.png"));
    EXPECT_EQ(store->selectedID(), clips[0].id);
}

TEST_F(HistoryStoreSaving, UnreadableHistoryStartsEmptyAndKeepsPayloads) {
    fs::create_directories(payloads());
    std::ofstream(historyFile()) << "{ not json";
    writePayloadFile("precious.png");
    auto store = makeStore();
    EXPECT_TRUE(store->items().empty());
    EXPECT_EQ(store->toastMessage(), "History file was preserved for recovery");
    EXPECT_EQ(store->toastTone(), ToastTone::info);
    EXPECT_TRUE(fs::exists(payloads() / "precious.png"));
    store.reset();  // the copy is made on the save thread
    EXPECT_TRUE(fs::exists(support() / "history.backup.json"));
}

TEST_F(HistoryStoreSaving, StorageThatCannotBePreparedIsAnError) {
    fs::create_directories(support());
    std::ofstream(payloads()) << "a file where the folder should be";
    auto store = makeStore();
    EXPECT_EQ(store->toastMessage(), "Could not prepare local history storage");
    EXPECT_EQ(store->toastTone(), ToastTone::error);
    EXPECT_TRUE(store->items().empty());
}

TEST_F(HistoryStoreSaving, FailedSavesShowOneErrorPerRun) {
    writeHistory({withOrigin(makeClip("a"))});
    auto store = makeStore();
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);
    blockHistoryFile();

    store->insert(makeClip("b"));
    clock.advance(HistoryStore::kSaveDebounce);
    ASSERT_TRUE(waitFor(saves, 1));
    EXPECT_FALSE(saves.at(0).at(0).toBool());
    EXPECT_EQ(store->toastMessage(), "Could not save clipboard history: Is a directory");
    EXPECT_EQ(store->toastTone(), ToastTone::error);

    clock.advanceSeconds(3);  // the toast clears; a second failure in the same run stays quiet
    store->insert(makeClip("c"));
    clock.advance(HistoryStore::kSaveDebounce);
    ASSERT_TRUE(waitFor(saves, 2));
    EXPECT_FALSE(store->toastMessage());

    unblockHistoryFile();
    store->insert(makeClip("d"));
    clock.advance(HistoryStore::kSaveDebounce);
    ASSERT_TRUE(waitFor(saves, 3));
    EXPECT_TRUE(saves.at(2).at(0).toBool());
    EXPECT_EQ(readHistory().size(), 4u);

    clock.advanceSeconds(3);
    blockHistoryFile();  // a new run of failures is reported again
    store->insert(makeClip("e"));
    clock.advance(HistoryStore::kSaveDebounce);
    ASSERT_TRUE(waitFor(saves, 4));
    EXPECT_EQ(store->toastMessage(), "Could not save clipboard history: Is a directory");
}

TEST_F(HistoryStoreSaving, FailedFlushKeepsRetiredNames) {
    ClipItem image = withOrigin(makeClip("", ClipKind::image));
    image.payloadFilename = "image.png";
    writeHistory({image});
    writePayloadFile("image.png");
    auto store = makeStore();
    store->deleteItem(image);
    blockHistoryFile();
    EXPECT_FALSE(store->flushHistory());
    EXPECT_EQ(store->retiredPayloadFilenames(), std::set<std::string>{"image.png"});
    EXPECT_TRUE(fs::exists(payloads() / "image.png"));
    unblockHistoryFile();
    EXPECT_TRUE(store->flushHistory());
    EXPECT_TRUE(store->retiredPayloadFilenames().empty());
    store.reset();  // the save thread deletes when idle, at the latest before it ends
    EXPECT_FALSE(fs::exists(payloads() / "image.png"));
}

TEST_F(HistoryStoreSaving, FirstLaunchCreatesNoFileUntilTheFirstChange) {
    auto store = makeStore();
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);
    EXPECT_TRUE(fs::is_directory(payloads()));
    EXPECT_EQ(fs::status(payloads()).permissions() & fs::perms::all, fs::perms::owner_all);
    settle(*store);
    EXPECT_FALSE(fs::exists(historyFile()));
    EXPECT_FALSE(store->toastMessage());
    store->addTextClip("first");
    clock.advance(HistoryStore::kSaveDebounce);
    ASSERT_TRUE(waitFor(saves, 1));
    EXPECT_EQ(readHistory().size(), 1u);
}

TEST_F(HistoryStoreSaving, SyncableCaptureOfAnImageReadsItsUploadCopy) {
    auto store = makeStore();
    ClipItem image = withOrigin(makeClip("", ClipKind::image));
    image.syncPayloadFilename = "copy.sync.PNG";
    image.syncPayloadDigest = "digest";
    image.syncPayloadPixelWidth = 4;
    std::vector<SyncableImagePayload> sent;
    store->onSyncableImageCaptured = [&](const Uuid&, const SyncableImagePayload& p, Date, const ClipSourceDeviceOrigin& o) {
        sent.push_back(p);
        EXPECT_EQ(o.id, "mac_test");
    };
    store->notifySyncableCapture(image);  // no file yet: nothing
    EXPECT_TRUE(sent.empty());
    writePayloadFile("copy.sync.PNG");
    store->notifySyncableCapture(image);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].contentType, "image/png");
    EXPECT_EQ(sent[0].digest, "digest");
    EXPECT_EQ(sent[0].pixelWidth, 4);
    EXPECT_EQ(sent[0].pixelHeight, 0);
    EXPECT_EQ(sent[0].data, (Bytes{'b', 'y', 't', 'e', 's'}));
    image.isSensitive = true;
    store->notifySyncableCapture(image);
    EXPECT_EQ(sent.size(), 1u);
}

namespace {
// Stands in for the capture path's poll step.
class MonitoringStore : public HistoryStore {
public:
    using HistoryStore::HistoryStore;
    void startFakeMonitor(int& ticks) {
        monitorTask_ = clock().schedule(Milliseconds(400), [&ticks] { ++ticks; });
    }
};
}  // namespace

TEST_F(HistoryStoreSaving, ShutdownStopsMonitoring) {
    HistoryStoreOptions options;
    options.applicationSupport = support();
    options.bundleIdentifier = kCurrentBundleIdentifier;
    MonitoringStore store(defaults, clock, options);
    int ticks = 0;
    store.startFakeMonitor(ticks);
    store.shutdown();
    clock.advanceSeconds(1);
    EXPECT_EQ(ticks, 0);
}

// Control characters take six bytes each in the file. A file an earlier build wrote past the
// limit still loads, its largest clip left out (and kept in a recovery copy); a copy that would
// push the file past the limit is refused; what is saved loads back.
TEST_F(HistoryStoreSaving, TheHistoryFileStaysWithinWhatALoadReads) {
    constexpr std::uint64_t kLimit = 128 << 10;
    std::vector<ClipItem> clips;
    for (int i = 0; i < 20; ++i) clips.push_back(withOrigin(makeClip("clip " + std::to_string(i))));
    clips.push_back(withOrigin(makeClip(std::string(30 << 10, '\x01'))));
    writeHistory(clips);
    ASSERT_GT(fs::file_size(historyFile()), kLimit);

    auto store = makeStore({.maximumFileBytes = kLimit});
    EXPECT_EQ(store->items().size(), 20u);
    EXPECT_NE(store->toastMessage().value_or("").find("1 large clip was left out"), std::string::npos);
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);
    ASSERT_TRUE(waitFor(saves, 1));  // the copy is made before the file is replaced
    std::ifstream backup(support() / "history.backup.json");
    const std::string kept((std::istreambuf_iterator<char>(backup)), std::istreambuf_iterator<char>());
    EXPECT_EQ(historycodec::decode(kept).items.size(), 21u);

    store->insert(withOrigin(makeClip(std::string(20 << 10, '\x02'))));
    EXPECT_EQ(store->toastMessage(), HistoryStore::kClipTooLargeMessage);
    store->insert(withOrigin(makeClip("small")));
    ASSERT_TRUE(store->flushHistory());
    EXPECT_LE(fs::file_size(historyFile()), kLimit);
    store.reset();
    EXPECT_EQ(makeStore({.maximumFileBytes = kLimit})->items().size(), 21u);
}

// What a quit finds already in the file, clip for clip, it does not write again.
TEST_F(HistoryStoreSaving, AQuitWritesOnlyWhatChangedSinceTheLastSave) {
    const ClipItem kept = withOrigin(makeClip("kept"));
    const struct {
        const char* change;
        std::function<void(HistoryStore&)> apply;
        bool written;
    } cases[] = {
        {"nothing", [](HistoryStore&) {}, false},
        {"saved already", [&](HistoryStore& store) { store.insert(makeClip("new")); ASSERT_TRUE(store.flushHistory()); }, false},
        {"changed in place", [&](HistoryStore& store) { store.togglePinned(kept); }, true},
        {"deleted", [&](HistoryStore& store) { store.deleteItem(kept); }, true},
    };
    for (const auto& [change, apply, written] : cases) {
        writeHistory({kept});
        auto store = makeStore();
        apply(*store);
        struct stat before {}, after {};
        ::stat(historyFile().c_str(), &before);
        store->shutdown();
        ::stat(historyFile().c_str(), &after);
        EXPECT_EQ(before.st_ino != after.st_ino, written) << change;  // a write replaces the file
    }
}

// The room is the file as its last save measured it, plus what came and minus what went since.
// A change the file has no room for is refused with a toast, and nothing is pushed out of it.
TEST_F(HistoryStoreSaving, NoCopyIsRefusedWhileTheHistoryFileHasRoom) {
    constexpr std::uint64_t kLimit = 1 << 20;
    defaults.set("maxHistory", 500);
    FakeTextRecognizer recognizer;
    const auto sized = [&](const char* name, double share) {  // text and title: twice the text
        return withOrigin(makeClip(name + std::string(std::size_t(share * kLimit / 2), 'x')));
    };
    const ClipItem copy = sized("copy", 0.45), second = sized("second", 0.3), note = withOrigin(makeClip("note"));
    ClipItem old = sized("old", 0.6);
    old.createdAt -= std::chrono::hours(1);
    const auto small = [&](int count) {
        std::vector<ClipItem> clips;
        for (int i = 0; i < count; ++i) clips.push_back(withOrigin(makeClip("clip " + std::to_string(i))));
        return clips;
    };
    // A clip that leaves exactly `spare` bytes of room.
    const auto fill = [&](HistoryStore& store, std::uint64_t spare) {
        ClipItem clip = withOrigin(makeClip(""));
        const std::uint64_t rest = store.historyFileBytesLeft() - spare - historycodec::encodedSize(clip) - 1;
        clip = withOrigin(makeClip(std::string(rest / 2, 'z')));
        clip.sourceAppName += std::string(rest % 2, 'z');
        store.insert(clip);
    };
    std::vector<ClipItem> unrepaired = small(400);  // the start gives each its device
    for (auto& clip : unrepaired) clip.sourceDeviceID.reset();
    const auto stored = [&](HistoryStore& store) { return *store.item(old.id); };
    ClipItem again = old, shot = withOrigin(makeClip("", ClipKind::image));
    again.sourceAppName += std::string(100, 'a');  // copied again, from another app
    shot.payloadFilename = "shot.png";             // its file lost
    const SyncableImagePayload picture{Bytes(64, 1), "image/png", std::string(64, 'd'), 8, 6};
    bool kept = false;
    const struct {
        const char* name;
        std::vector<ClipItem> file;
        std::function<void(HistoryStore&)> act;
        std::function<bool(HistoryStore&)> holds;
        const char* refusal = nullptr;  // the toast of a refused change
    } cases[] = {
        {"behind the import's save", {}, [&](HistoryStore& store) {
             store.importItems({sized("imported", 0.4)}, "PasteNow");
             store.insert(makeClip("small"));
             clock.advance(HistoryStore::kSaveDebounce);
             // When the import's save comes back, the copy's is still queued.
             QObject::connect(&store, &HistoryStore::saveFinished, &store, [&] { store.insert(copy); },
                              Qt::SingleShotConnection);
             QSignalSpy saves(&store, &HistoryStore::saveFinished);
             ASSERT_TRUE(waitFor(saves, 2));
         }, [&](HistoryStore& store) { return store.item(copy.id); }},
        {"after a delete", {old}, [&](HistoryStore& store) {
             store.deleteItem(store.items().back());
             store.insert(copy);
         }, [&](HistoryStore& store) { return store.item(copy.id); }},
        {"at the clip limit, and after its trim", {old}, [&](HistoryStore& store) {
             store.importItems(small(499), "PasteNow");
             store.insert(copy);  // the limit drops the oldest clip first
             store.insert(second);
         }, [&](HistoryStore& store) { return store.item(copy.id) && store.item(second.id); }},
        {"after the trim of an import in steps", {old}, [&](HistoryStore& store) {
             // Right after the merge, before its save comes back.
             QObject::connect(&store, &HistoryStore::itemsChanged, &store, [&] { store.insert(copy); },
                              Qt::SingleShotConnection);
             store.importItemsInSteps(ClipList(small(500)), "PasteNow", [](int, bool) {});
             ASSERT_TRUE(QTest::qWaitFor([&] { return store.items().size() >= 500; }, 5000));
         }, [&](HistoryStore& store) { return store.item(copy.id) && !store.item(old.id); }},
        {"the loaded file", {old}, [&](HistoryStore& store) { store.insert(copy); },
         [&](HistoryStore& store) { return !store.item(copy.id); }, HistoryStore::kClipTooLargeMessage},
        {"the size the start-up repair saved", unrepaired, [&](HistoryStore& store) {
             QSignalSpy saves(&store, &HistoryStore::saveFinished);
             ASSERT_TRUE(waitFor(saves, 1));
         }, [&](HistoryStore& store) { return store.historyFileBytesLeft() == kLimit - fs::file_size(historyFile()); }},
        {"the size a flush wrote", unrepaired, [&](HistoryStore& store) { ASSERT_TRUE(store.flushHistory()); },
         [&](HistoryStore& store) { return store.historyFileBytesLeft() == kLimit - fs::file_size(historyFile()); }},
        {"a new text clip", {old}, [&](HistoryStore& store) {
             fill(store, 10);
             store.startNewTextClip();
         }, [&](HistoryStore& store) { return !store.editingItem(); }, HistoryStore::kClipTooLargeMessage},
        {"an edit that grows", {old}, [&](HistoryStore& store) {
             store.insert(note);
             store.setEditingItem(note);
             kept = store.saveEditedText(note, std::string(std::size_t(0.45 * kLimit), 'e'));
         }, [&](HistoryStore& store) {
             return !kept && store.editingItem() && store.item(note.id) && store.item(note.id)->text == "note";
         },
         HistoryStore::kEditTooLargeMessage},
        {"a paste mark", {old}, [&](HistoryStore& store) {
             fill(store, 10);
             store.markReplaySucceeded(old);
         }, [&](HistoryStore& store) { return !stored(store).lastReplayedAt; }, HistoryStore::kPasteMarkTooLargeMessage},
        {"a copy mark", {old}, [&](HistoryStore& store) {
             fill(store, 10);
             kept = store.markCopySucceeded(old);
         }, [&](HistoryStore& store) { return !kept && !stored(store).lastReplayedAt; },
         HistoryStore::kCopyMarkTooLargeMessage},
        {"a favourite", {old}, [&](HistoryStore& store) {
             store.togglePinned(old);  // "true" is one byte shorter than "false"
             fill(store, 0);
             store.togglePinned(old);
         }, [&](HistoryStore& store) { return stored(store).isPinned; }, HistoryStore::kFavoriteTooLargeMessage},
        {"text found in an image", {old}, [&](HistoryStore& store) {
             fill(store, 10);
             recognizer.linesForFile["shot.png"] = {"more words than there is room for"};
             store.recognizeText("shot.png", old.id);
             recognizer.finishAll();
         }, [&](HistoryStore& store) { return stored(store).searchableText.empty(); },
         HistoryStore::kImageTextTooLargeMessage},
        {"a received promotion", {old}, [&](HistoryStore& store) {
             fill(store, 10);
             store.applySyncPromote(old.id, clock.now(), ClipSourceDeviceOrigin{"phone", std::string(100, 'n'), "iOS"});
         }, [&](HistoryStore& store) { return stored(store).sourceDeviceID == old.sourceDeviceID; },
         HistoryStore::kClipTooLargeMessage},
        {"after a clear", {old}, [&](HistoryStore& store) {
             store.clearHistory(false);
             store.insert(copy);
         }, [&](HistoryStore& store) { return store.item(copy.id); }},
        {"after a received delete", {old}, [&](HistoryStore& store) {
             store.applySyncDelete(old.id);
             store.insert(copy);
         }, [&](HistoryStore& store) { return store.item(copy.id); }},
        {"a clip copied while a save is written", {}, [&](HistoryStore& store) {
             store.insert(sized("first", 0.3));
             clock.advance(HistoryStore::kSaveDebounce);
             store.insert(second);  // counted after the save took the list
             QSignalSpy saves(&store, &HistoryStore::saveFinished);
             ASSERT_TRUE(waitFor(saves, 1));
             store.insert(copy);
         }, [&](HistoryStore& store) { return !store.item(copy.id); }, HistoryStore::kClipTooLargeMessage},
        {"a clip copied again", {old}, [&](HistoryStore& store) {
             fill(store, 10);
             store.insert(again);
         }, [&](HistoryStore& store) { return stored(store).sourceAppName == old.sourceAppName; },
         HistoryStore::kClipTooLargeMessage},
        {"an import", {old}, [&](HistoryStore& store) { store.importItems({copy}, "PasteNow"); },
         [&](HistoryStore& store) { return !store.item(copy.id); }, HistoryStore::kClipTooLargeMessage},
        {"an import in steps", {old}, [&](HistoryStore& store) {
             bool done = false;
             store.importItemsInSteps(ClipList({copy}), "PasteNow", [&](int, bool) { done = true; });
             ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 5000));
         }, [&](HistoryStore& store) { return !store.item(copy.id); }},
        {"a received image for a clip whose file is lost", {old, shot}, [&](HistoryStore& store) {
             fill(store, 10);
             store.applySyncImagePayload(shot.id, picture, std::nullopt);
         }, [&](HistoryStore& store) { return !store.item(shot.id)->syncPayloadFilename; },
         HistoryStore::kClipTooLargeMessage},
        {"an image's upload copy", {old}, [&](HistoryStore& store) {
             fill(store, 10);
             store.applySyncDerivative(old.id, "old.sync.png", picture);
         }, [&](HistoryStore& store) { return !stored(store).syncPayloadFilename; },
         "Image not synced: the history file has no room to name its upload copy"},
    };
    for (const auto& [name, file, act, holds, refusal] : cases) {
        fs::remove_all(support());
        writeHistory(file);
        auto store = makeStore({.textRecognizer = &recognizer, .maximumFileBytes = kLimit});
        act(*store);
        EXPECT_TRUE(holds(*store)) << name;
        if (refusal)
            EXPECT_EQ(store->toastMessage(), refusal) << name;
        else
            EXPECT_NE(store->toastMessage(), HistoryStore::kClipTooLargeMessage) << name;
        // Nothing was pushed out into a recovery copy.
        ASSERT_TRUE(store->flushHistory()) << name;
        EXPECT_EQ(readHistory().size(), store->items().size()) << name;
        EXPECT_FALSE(fs::exists(support() / "history.backup.json")) << name;
    }
}

// Whatever makes a save too large (here an older build's file that grows by the device fields
// the start adds), what it leaves out is kept in a recovery copy, its files with it.
TEST_F(HistoryStoreSaving, ClipsLeftOutOfASaveAreKeptInARecoveryCopy) {
    ClipItem large = makeClip(std::string(20 << 10, 'x'));
    large.payloadFilename = "large.png";
    writePayloadFile("large.png");
    writeHistory({makeClip("a"), makeClip("b"), large});
    const std::uint64_t limit = fs::file_size(historyFile()) + 16;
    auto store = makeStore({.maximumFileBytes = limit});
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);
    ASSERT_TRUE(waitFor(saves, 2));  // refused, then written without the large clip
    EXPECT_TRUE(saves.at(1).at(0).toBool());
    EXPECT_EQ(readHistory().size(), 2u);
    std::ifstream backup(support() / "history.backup.json");
    const std::string copy((std::istreambuf_iterator<char>(backup)), std::istreambuf_iterator<char>());
    ASSERT_EQ(historycodec::decode(copy).items.size(), 1u);
    EXPECT_EQ(historycodec::decode(copy).items[0].payloadFilename, "large.png");
    store->shutdown();
    EXPECT_TRUE(fs::exists(payloads() / "large.png"));

    // The copy's names are kept beside it, and the next start's orphan pass reads them there.
    const fs::path names = support() / "history.backup.json.names";
    std::ifstream kept(names, std::ios::binary);
    const std::string listed((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
    EXPECT_NE(listed.find(std::string("large.png") + '\0'), std::string::npos);
    std::ofstream(names, std::ios::app | std::ios::binary) << "named.png" << '\0';
    for (const char* file : {"named.png", "stray.png"}) {
        writePayloadFile(file);
        fs::last_write_time(payloads() / file, fs::file_time_type::clock::now() - std::chrono::hours(1));
    }
    store.reset();
    store = makeStore({.maximumFileBytes = limit});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !fs::exists(payloads() / "stray.png"); }, 5000));
    EXPECT_TRUE(fs::exists(payloads() / "named.png"));
    EXPECT_TRUE(fs::exists(payloads() / "large.png"));
}

// An older build's oversized file is copied whole, under a temporary name until it is, before
// anything replaces it; a full disk says so and saving resumes by itself; the same file found
// again at a later start is not copied again.
TEST_F(HistoryStoreSaving, AnOversizedOlderFileIsCopiedWholeOnceEvenAfterAFullDisk) {
    constexpr std::uint64_t kLimit = 64 << 10;
    std::vector<ClipItem> clips{withOrigin(makeClip("small")), withOrigin(makeClip(std::string(80 << 10, 'x')))};
    writeHistory(clips);
    const std::string original = fileBytes();
    fs::create_hard_link(historyFile(), support() / "original");  // the same file, to put back later
    const auto copies = [&] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(support()))
            if (entry.path().filename().string().find("backup") != std::string::npos ||
                entry.path().filename().string().find(".tmp-") != std::string::npos)
                names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };

    historyfiles::PendingFile::failWritesForTesting(ENOSPC);
    auto store = makeStore({.maximumFileBytes = kLimit});
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);
    ASSERT_TRUE(waitFor(saves, 1));
    EXPECT_FALSE(saves.at(0).at(0).toBool());
    EXPECT_EQ(store->toastMessage(), "Could not save clipboard history: the disk is full");
    EXPECT_EQ(copies(), std::vector<std::string>{}) << "nothing half-written, under any name";
    EXPECT_EQ(fileBytes(), original);

    historyfiles::PendingFile::failWritesForTesting(0);
    clock.advance(HistoryStore::kSaveRetry);
    ASSERT_TRUE(waitFor(saves, 2));
    EXPECT_TRUE(saves.at(1).at(0).toBool());
    EXPECT_EQ(copies(), (std::vector<std::string>{"history.backup.json", "history.backup.json.names"}));
    store.reset();

    fs::rename(support() / "original", historyFile());  // still the file that was copied
    store = makeStore({.maximumFileBytes = kLimit});
    QSignalSpy again(store.get(), &HistoryStore::saveFinished);
    ASSERT_TRUE(waitFor(again, 1));
    EXPECT_EQ(copies(), (std::vector<std::string>{"history.backup.json", "history.backup.json.names"}));
    EXPECT_EQ(store->items().size(), 1u);
}
