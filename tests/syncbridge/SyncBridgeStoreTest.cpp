#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QSignalSpy>
#include <sys/stat.h>

#include <algorithm>

#include "history/PasteboardCaptureReader.h"
#include "syncbridge/SyncBridgeTestSupport.h"
#include "syncbridge/SyncImageCompressor.h"

using namespace harbelle;
using namespace harbelle::testing;
using namespace std::chrono_literals;

namespace {

class SyncBridgeStore : public SyncBridgeFixture {
protected:
    std::optional<ClipSourceDeviceOrigin> phone() const { return ClipSourceDeviceOrigin{"phone_1", "Phone", "iOS"}; }
};

Bytes encoded(const QImage& image, const char* format, int quality = -1) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (quality >= 0) writer.setQuality(quality);
    writer.write(image);
    return Bytes(bytes.begin(), bytes.end());
}

Bytes smallPNG(QColor color = Qt::red) {
    QImage image(8, 6, QImage::Format_RGB32);
    image.fill(color);
    return encoded(image, "png");
}

SyncableImagePayload payloadOf(const Bytes& data, const std::string& type = "image/png") {
    return {data, type, SyncImageCompressor::sha256Hex(data), 8, 6};
}

}  // namespace

// Mend: a first sign-in pulling an older history must not trim away newer local clips.
TEST_F(SyncBridgeStore, OlderReceivedClipsIntoAFullHistoryKeepEveryNewerLocalClip) {
    store->updateMaxHistory(HistoryStore::kMinimumMaxHistory);
    std::vector<Uuid> local;
    for (int i = 0; i < 500; ++i) local.push_back(addText("local " + std::to_string(i)));
    const auto selected = store->selectedID();
    for (int i = 0; i < 100; ++i)
        store->applySyncInsert(Uuid::random(), "remote " + std::to_string(i), clock.now() - 24h + std::chrono::minutes(i),
                               phone());
    ASSERT_EQ(store->items().size(), 500u);
    for (const auto& id : local) EXPECT_TRUE(store->item(id));
    EXPECT_EQ(store->selectedID(), selected);

    // Newer received clips take their place by date, and the order survives a reload.
    store->applySyncInsert(Uuid::random(), "newest remote", clock.now() + 1s, phone());
    store->applySyncInsert(Uuid::random(), "in the middle", store->items()[10].createdAt - 5ms, phone());
    EXPECT_EQ(store->items()[0].text, "newest remote");
    EXPECT_EQ(store->items()[11].text, "in the middle");
    std::vector<Uuid> order;
    for (const auto& clip : store->items()) order.push_back(clip.id);
    ASSERT_TRUE(store->flushHistory());
    store.reset();
    store = makeStore();
    std::vector<Uuid> reloaded;
    for (const auto& clip : store->items()) reloaded.push_back(clip.id);
    EXPECT_EQ(reloaded, order);
}

TEST_F(SyncBridgeStore, ReceivedTextsPromoteOnlyWithANewerDate) {
    int hooks = 0;
    store->onSyncableTextCaptured = [&](auto&&...) { ++hooks; };
    const Uuid older = addText("shared text");
    const Uuid other = addText("other");
    const Date created = store->item(older)->createdAt;

    store->applySyncInsert(Uuid::random(), "shared text", created - 1s, phone());  // older: nothing
    EXPECT_EQ(store->items()[0].id, other);
    store->applySyncInsert(older, "a different text, same id", created - 1s, phone());
    EXPECT_EQ(store->items()[0].id, other);
    store->applySyncInsert(Uuid::random(), "", clock.now() + 1h, phone());  // empty: nothing
    EXPECT_EQ(store->items().size(), 2u);

    store->applySyncInsert(Uuid::random(), "shared text", created + 1h, phone());
    const ClipItem& top = store->items()[0];
    EXPECT_EQ(top.id, older) << "keeps its identifier";
    EXPECT_EQ(top.createdAt, created + 1h);
    EXPECT_EQ(top.sourceAppName, "Synced");
    EXPECT_EQ(top.sourceDeviceName, "Phone");
    EXPECT_EQ(hooks, 2) << "only the two local captures";

    // A promotion with an older date still moves the clip up, keeping its date.
    store->applySyncPromote(other, created - 1h, std::nullopt);
    EXPECT_EQ(store->items()[0].id, other);
    EXPECT_LT(store->items()[0].createdAt, created + 1h);
    store->applySyncPromote(older, std::nullopt, std::nullopt);  // neither: nothing moves
    EXPECT_EQ(store->items()[0].id, other);
}

TEST_F(SyncBridgeStore, ReceivedImagesAreWrittenUnderTheirIdOnce) {
    const Uuid id = Uuid::random();
    const Bytes png = smallPNG();
    store->applySyncImageInsert(id, payloadOf(png), clock.now(), phone());
    const ClipItem* clip = store->item(id);
    ASSERT_TRUE(clip);
    EXPECT_EQ(clip->payloadFilename, id.uppercaseString() + ".png");
    EXPECT_EQ(clip->syncPayloadFilename, clip->payloadFilename);
    EXPECT_EQ(clip->syncPayloadDigest, SyncImageCompressor::sha256Hex(png));
    struct stat info {};
    ASSERT_EQ(::stat((payloads() / *clip->payloadFilename).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600);

    // The same bytes under another id: no second file, no second clip.
    const Uuid again = Uuid::random();
    store->applySyncImageInsert(again, payloadOf(png), clock.now() + 1h, phone());
    EXPECT_FALSE(store->item(again));
    EXPECT_FALSE(fs::exists(payloads() / (again.uppercaseString() + ".png")));
    EXPECT_EQ(store->items().size(), 1u);

    // A JPEG keeps its own extension.
    const Uuid jpeg = Uuid::random();
    QImage image(8, 6, QImage::Format_RGB32);
    image.fill(Qt::blue);
    store->applySyncImageInsert(jpeg, payloadOf(encoded(image, "jpeg"), "image/jpeg"), clock.now(), phone());
    ASSERT_TRUE(store->item(jpeg));
    EXPECT_EQ(store->item(jpeg)->payloadFilename, jpeg.uppercaseString() + ".jpg");

    // A promotion with a blob restores a lost payload file, never overwrites one.
    fs::remove(payloads() / (id.uppercaseString() + ".png"));
    store->applySyncImagePayload(id, payloadOf(smallPNG(Qt::green)));
    EXPECT_TRUE(fs::exists(payloads() / (id.uppercaseString() + ".png")));
    const auto before = store->readPayloadFile(id.uppercaseString() + ".png");
    store->applySyncImagePayload(id, payloadOf(smallPNG(Qt::yellow)));
    EXPECT_EQ(store->readPayloadFile(id.uppercaseString() + ".png"), before);
}

TEST_F(SyncBridgeStore, CanonicalizationMergesAndIsIdempotent) {
    const Uuid canonical = addText("same words");
    const Uuid local = addText("local words");
    {
        // Local pinned and selected with a payload; canonical updated later with a derivative.
        std::vector<ClipItem> items = store->items();
        for (auto& clip : items) {
            if (clip.id == local) {
                clip.isPinned = true;
                clip.copyCount = 2;
                clip.payloadFilename = "L.png";
                clip.payloadContentType = "image/png";
                clip.fileURLs = {"/b", "/a"};
                // The same content, as a genuine duplicate answer has it.
                clip.text = "same words";
                clip.title = "local title";
                clip.fingerprint = ClipItem::makeFingerprint(clip.kind, clip.text, {}, std::nullopt, nullptr);
            } else {
                clip.copyCount = 5;
                clip.updatedAt = clock.now() + 1h;
                clip.syncPayloadFilename = "C.sync.jpg";
                clip.syncPayloadDigest = "cd";
                clip.syncBlobKey = "key";
                clip.fileURLs = {"/a", "/c"};
            }
        }
        store.reset();
        writeHistory(items);
        store = makeStore();
    }
    store->setSelectedID(local);
    store->setPreviewItem(*store->item(canonical));
    EXPECT_TRUE(store->applySyncCanonicalization(local, canonical));
    ASSERT_EQ(store->items().size(), 1u);
    const ClipItem merged = store->items()[0];
    EXPECT_EQ(merged.id, canonical);
    EXPECT_EQ(merged.title, "same words") << "the later-updated clip gives the content";
    EXPECT_EQ(merged.createdAt, store->items()[0].createdAt);
    EXPECT_TRUE(merged.isPinned);
    EXPECT_EQ(merged.copyCount, 5);
    EXPECT_EQ(merged.fileURLs, (std::vector<std::string>{"/a", "/b", "/c"}));
    EXPECT_EQ(merged.payloadFilename, "L.png");
    EXPECT_EQ(merged.payloadContentType, "image/png") << "a payload name keeps its type";
    EXPECT_EQ(merged.syncPayloadFilename, "C.sync.jpg");
    EXPECT_EQ(merged.syncPayloadDigest, "cd");
    EXPECT_EQ(merged.syncBlobKey, "key");
    EXPECT_EQ(store->selectedID(), canonical);
    ASSERT_TRUE(store->previewItem());
    EXPECT_EQ(*store->previewItem(), merged);

    store->applySyncCanonicalization(local, canonical);
    EXPECT_EQ(store->items(), std::vector<ClipItem>{merged});

    // Without a canonical clip the local one is only re-keyed.
    const Uuid lone = addText("lone");
    const Uuid target = Uuid::random();
    store->applySyncCanonicalization(lone, target);
    ASSERT_TRUE(store->item(target));
    EXPECT_EQ(store->item(target)->text, "lone");
    EXPECT_FALSE(store->item(lone));
}

TEST_F(SyncBridgeStore, RemoteDeletesKeepFavouritesAndMoveTheSelection) {
    const Uuid a = addText("a");
    const Uuid b = addText("b");
    const Uuid pinned = addText("pinned");
    store->togglePinned(*store->item(pinned));
    store->setSelectedID(b);
    EXPECT_FALSE(store->applySyncDelete(pinned));
    EXPECT_TRUE(store->item(pinned));
    EXPECT_TRUE(store->applySyncDelete(b));
    EXPECT_EQ(store->selectedID(), store->filteredItems().front().id);
    EXPECT_TRUE(store->item(a));
}

// Mend: a retired name that was written again after the save was queued keeps its new file.
TEST_F(SyncBridgeStore, ARetiredPayloadWrittenAgainIsNotDeleted) {
    {
        HistoryPersistence persistence(support(), {});
        ASSERT_TRUE(persistence.prepareStorage());
        ASSERT_TRUE(persistence.writePayload("BACK.png", Bytes{1}));
        ASSERT_TRUE(persistence.writePayload("GONE.png", Bytes{2}));
        // A folder where the history file goes makes the first save fail, which keeps the
        // retired names (with what was known of them) for the next save.
        fs::create_directories(historyFile());
        std::promise<bool> first;
        persistence.setSaveObserver([&](bool ok) { first.set_value(ok); });
        persistence.enqueueSave({}, {"BACK.png", "GONE.png"});
        ASSERT_FALSE(first.get_future().get());
        persistence.setSaveObserver({});
        ASSERT_TRUE(persistence.writePayload("BACK.png", Bytes{3}));  // the clip came back meanwhile
        fs::remove(historyFile());
        ASSERT_TRUE(persistence.flush({}, {}));
    }  // the save thread has finished its deletions
    EXPECT_TRUE(fs::exists(payloads() / "BACK.png"));
    EXPECT_FALSE(fs::exists(payloads() / "GONE.png"));
}

// Mend: what another device sends is checked before it is stored.
TEST(SyncReceivedImage, IsCheckedForTypeDigestAndSize) {
    const Bytes png = smallPNG();
    QImage image(8, 6, QImage::Format_RGB32);
    image.fill(Qt::green);
    const Bytes jpeg = encoded(image, "jpeg");
    Bytes truncated(png.begin(), png.begin() + static_cast<std::ptrdiff_t>(png.size() / 2));
    QImage huge(8001, 8000, QImage::Format_Mono);
    huge.fill(0);
    const Bytes big = encoded(huge, "png");
    const Bytes text{'h', 'e', 'l', 'l', 'o'};
    auto digest = [](const Bytes& b) { return SyncImageCompressor::sha256Hex(b); };
    struct Case {
        const char* name;
        const Bytes& data;
        std::string type;
        std::string digest;
        bool ok;
    };
    const std::vector<Case> cases{
        {"png", png, "image/png", digest(png), true},
        {"jpeg", jpeg, "image/jpeg", digest(jpeg), true},
        {"png declared jpeg", png, "image/jpeg", digest(png), false},
        {"wrong digest", png, "image/png", digest(jpeg), false},
        {"truncated", truncated, "image/png", digest(truncated), false},
        {"over 64 megapixels", big, "image/png", digest(big), false},
        {"not an image", text, "image/png", digest(text), false},
        {"other type", png, "image/gif", digest(png), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SyncImageCompressor::isAcceptableReceivedImage(c.data, c.type, c.digest), c.ok) << c.name;
}

TEST_F(SyncBridgeStore, ABadReceivedImageIsDroppedButCountsAsReported) {
    makeCoordinator();
    signInScripted();
    const Bytes png = smallPNG();
    const Uuid bad = Uuid::random();
    sync::SyncBlobPayload blob{"", SyncImageCompressor::sha256Hex(Bytes{9}), "image/png", 8, 6,
                               std::string(png.begin(), png.end())};
    engine->callbacks.applyMergeAction(sync::SyncMergeInsertNew{bad.lowercaseString(), "", clock.now(), {}, blob});
    ASSERT_TRUE(pumpUntil([&] { return sync->receivedWaiting() == 0; })) << "checked on a worker";
    EXPECT_FALSE(store->item(bad));
    EXPECT_FALSE(fs::exists(payloads() / (bad.uppercaseString() + ".png")));
    EXPECT_TRUE(sync->bookkeeping().state(kEmail).reportedIDs.count(bad.lowercaseString()));

    const Uuid good = Uuid::random();
    blob.digest = SyncImageCompressor::sha256Hex(png);
    engine->callbacks.applyMergeAction(sync::SyncMergeInsertNew{good.lowercaseString(), "", clock.now(), {}, blob});
    ASSERT_TRUE(pumpUntil([&] { return sync->receivedWaiting() == 0; }));
    ASSERT_TRUE(store->item(good));
    EXPECT_EQ(store->item(good)->kind, ClipKind::image);
}

// The worker that checks a received image writes its file before the main thread takes the
// clip, and a quit right then keeps the clip. A file no clip takes goes with the next save.
TEST_F(SyncBridgeStore, AReceivedImageIsWrittenOffTheMainThreadAndKeptByAQuit) {
    const auto blobOf = [](const Bytes& data) {
        return sync::SyncBlobPayload{"", SyncImageCompressor::sha256Hex(data), "image/png", 8, 6,
                                     std::string(data.begin(), data.end())};
    };
    const auto fileOf = [&](const Uuid& id) { return payloads() / (id.uppercaseString() + ".png"); };
    const auto receive = [&](const Uuid& id, const Bytes& png) {
        engine->callbacks.applyMergeAction(sync::SyncMergeInsertNew{id.lowercaseString(), "", clock.now(), {}, blobOf(png)});
    };
    // No turn of the event loop: only a worker can write the file.
    const auto waitForFile = [&](const Uuid& id) {
        QElapsedTimer waited;
        waited.start();
        while (!fs::exists(fileOf(id)) && waited.elapsed() < 10000) QThread::msleep(1);
        return fs::exists(fileOf(id));
    };
    struct Case {
        const char* name;
        std::function<void(const Uuid& id)> receive;
        bool writtenAhead;  // else never written at all
    };
    const Bytes held = smallPNG(Qt::blue);
    const std::vector<Case> untaken{
        {"same bytes as a clip held here", [&](const Uuid& id) { receive(id, held); }, false},
        {"same bytes as an image just before it",
         [&](const Uuid& id) {
             const Uuid first = Uuid::random();
             receive(first, smallPNG(Qt::yellow));
             ASSERT_TRUE(waitForFile(first));
             receive(id, smallPNG(Qt::yellow));
         },
         false},
        {"deleted by the next action",
         [&](const Uuid& id) {
             receive(id, smallPNG(Qt::cyan));
             engine->callbacks.applyMergeAction(sync::SyncMergeDeleteExisting{id.lowercaseString()});
         },
         true},
        {"no room left",
         [&](const Uuid& id) {
             for (std::size_t n = 64 << 10; n > 32; n -= 32) {  // the file full to within 32 bytes
                 addText(std::string(n, 'x'));
                 if (store->items().front().text.size() == n) break;
             }
             receive(id, smallPNG(Qt::magenta));
         },
         true},
    };
    store = makeStore({.maximumFileBytes = 64 << 10});
    makeCoordinator();
    signInScripted();
    store->applySyncImageInsert(Uuid::random(), payloadOf(held), clock.now() - 1h, phone());
    for (const auto& c : untaken) {
        const Uuid id = Uuid::random();
        c.receive(id);
        ASSERT_TRUE(pumpUntil([&] { return sync->receivedWaiting() == 0; })) << c.name;
        EXPECT_FALSE(store->item(id)) << c.name;
        EXPECT_TRUE(c.writtenAhead || !fs::exists(fileOf(id))) << c.name;
        std::set<std::string> images;  // one clip for the same bytes
        for (const auto& clip : store->items())
            EXPECT_TRUE(clip.kind != ClipKind::image || images.insert(clip.fingerprint).second) << c.name;
        ASSERT_TRUE(store->flushHistory()) << c.name;
        EXPECT_FALSE(fs::exists(fileOf(id))) << c.name;
    }

    store->deleteItem(store->items().front());
    const Uuid id = Uuid::random();
    const Bytes png = smallPNG(Qt::darkGreen);
    receive(id, png);
    ASSERT_TRUE(waitForFile(id)) << "written off the main thread";
    EXPECT_FALSE(store->item(id));
    sync->shutdown();
    store->shutdown();
    store = makeStore();
    ASSERT_TRUE(store->item(id)) << "kept by the quit";
    EXPECT_EQ(store->readPayloadFile(id.uppercaseString() + ".png"), png);
}

// A received clip the history file has no room for is refused as a copy is: with its notice.
TEST_F(SyncBridgeStore, AReceivedClipWithNoRoomIsRefusedWithTheNoticeACopyGets) {
    store = makeStore({.maximumFileBytes = 64 << 10});
    makeCoordinator();
    signInScripted();
    const Uuid big = Uuid::random();
    engine->callbacks.applyMergeAction(
        sync::SyncMergeInsertNew{big.lowercaseString(), std::string(80 << 10, 'x'), clock.now(), {}, {}});
    ASSERT_TRUE(pumpUntil([&] { return sync->receivedWaiting() == 0; }));
    EXPECT_FALSE(store->item(big));
    EXPECT_EQ(store->toastMessage(), HistoryStore::kClipTooLargeMessage);
}

// A pulled page arrives one clip per main-thread step: the views hear of it once, not per clip.
TEST_F(SyncBridgeStore, ReceivedChangesAreAnnouncedOnceAndAPlainChangeCarriesThem) {
    const Uuid kept = addText("kept");
    const Uuid gone = addText("deleted elsewhere");
    QSignalSpy announced(store.get(), &HistoryStore::itemsChanged);
    const auto shows = [&](const std::function<bool(const ClipItem&)>& match) {
        const auto& shown = store->filteredItems();
        return std::any_of(shown.begin(), shown.end(), match);
    };
    struct Step {
        const char* name;
        std::function<void()> apply;
        std::function<bool()> visible;
    };
    const std::vector<Step> steps{
        {"insert", [&] { store->applySyncInsert(Uuid::random(), "from the phone", clock.now() - 1h, phone()); },
         [&] { return shows([](const ClipItem& c) { return c.text == "from the phone"; }); }},
        {"promote", [&] { store->applySyncPromote(kept, clock.now() + 1s, phone()); },
         [&] { return store->filteredItems().front().id == kept; }},
        {"delete", [&] { store->applySyncDelete(gone); },
         [&] { return !shows([&](const ClipItem& c) { return c.id == gone; }); }},
    };
    for (const auto& step : steps) {
        step.apply();
        EXPECT_TRUE(step.visible()) << step.name;  // the list itself is current at once
        EXPECT_EQ(announced.count(), 0) << step.name;
        clock.advance(10ms);
    }
    clock.advance(HistoryStore::kReceivedChangeInterval - 31ms);
    EXPECT_EQ(announced.count(), 0);
    clock.advance(1ms);
    EXPECT_EQ(announced.count(), 1);
    clock.advance(1s);
    EXPECT_EQ(announced.count(), 1);

    // A plain change announces at once and takes a waiting received change with it.
    store->applySyncInsert(Uuid::random(), "another", clock.now() - 2h, phone());
    store->insert(makeClip("typed here"));
    EXPECT_EQ(announced.count(), 2);
    clock.advance(1s);
    EXPECT_EQ(announced.count(), 2);
}

TEST_F(SyncBridgeStore, ARunOfReceivedClipsIsSavedOnceAQuietSpellAfterTheLast) {
    addText("local");
    QSignalSpy saves(store.get(), &HistoryStore::saveFinished);
    clock.advance(HistoryStore::kSaveDebounce);
    ASSERT_TRUE(waitFor(saves, 1));
    saves.clear();

    for (int i = 0; i < 4; ++i) {
        store->applySyncInsert(Uuid::random(), "remote " + std::to_string(i), clock.now() - 1h, phone());
        clock.advance(300ms);  // each gap shorter than the debounce
    }
    clock.advance(HistoryStore::kSaveDebounce - 301ms);
    settle(*store);
    EXPECT_EQ(saves.count(), 0);
    clock.advance(1ms);
    ASSERT_TRUE(waitFor(saves, 1));
    EXPECT_EQ(readHistory().size(), 5u);
    clock.advance(2s);
    settle(*store);
    EXPECT_EQ(saves.count(), 1);
}

TEST_F(SyncBridgeStore, ReceivedMarksAreWrittenTogetherAndOnQuit) {
    makeCoordinator();
    signInScripted();
    clock.advance(SyncCoordinator::kBookkeepingWriteInterval);
    const auto storedReported = [&](const std::vector<std::string>& ids) {
        std::size_t found = 0;
        const auto stored = defaults.object(SyncCoordinator::kBookkeepingStorageKey);
        if (!stored || !stored->contains("accounts")) return found;
        for (const auto& [scope, account] : (*stored)["accounts"].items())
            for (const auto& id : account.value("reported_ids", nlohmann::json::array()))
                found += std::count(ids.begin(), ids.end(), id.get<std::string>());
        return found;
    };
    const auto receive = [&](std::vector<std::string>& ids, int count) {
        for (int i = 0; i < count; ++i) {
            ids.push_back(Uuid::random().lowercaseString());
            engine->callbacks.applyMergeAction(sync::SyncMergeInsertNew{
                ids.back(), "remote " + ids.back(), clock.now() - 1h, sync::SyncClipOrigin{"phone_1", "Phone", "iOS"}, {}});
            pump(5);
        }
    };
    std::vector<std::string> ids;
    const int writesBefore = defaults.writeCount();
    receive(ids, 20);
    EXPECT_EQ(storedReported(ids), 0u);
    clock.advance(SyncCoordinator::kBookkeepingWriteInterval);
    EXPECT_EQ(storedReported(ids), 20u);
    EXPECT_EQ(defaults.writeCount() - writesBefore, 1);

    receive(ids, 5);
    sync.reset();
    EXPECT_EQ(storedReported(ids), 25u);
}

TEST(SyncCaptureOrientation, ARotatedPhotoIsCapturedUpright) {
    QImage wide(40, 20, QImage::Format_RGB32);
    wide.fill(Qt::white);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setTransformation(QImageIOHandler::TransformationRotate90);
    ASSERT_TRUE(writer.write(wide));
    const auto png = PasteboardCaptureReader::pngEncoding(Bytes(bytes.begin(), bytes.end()), "image/jpeg");
    ASSERT_TRUE(png);
    QImage stored;
    ASSERT_TRUE(stored.loadFromData(png->data(), static_cast<int>(png->size()), "png"));
    EXPECT_EQ(stored.size(), QSize(20, 40));
}
