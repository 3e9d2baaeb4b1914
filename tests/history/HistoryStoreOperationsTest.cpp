// List operations, typed clips, selection, paste requests and batch import.
#include <QLocale>
#include <QElapsedTimer>
#include <QThread>
#include <QThreadPool>

#include "HistoryStoreTestSupport.h"

using namespace harbelle;
using namespace harbelle::testing;

class HistoryStoreOperations : public HistoryStoreFixture {
protected:
    // Counts are formatted by the default locale; the tests pin it and put it back.
    QLocale savedLocale;
    void TearDown() override { QLocale::setDefault(savedLocale); }

    // A store whose history holds `clips` top to bottom, each a minute older than the last.
    // The dates written are set on the caller's clips too.
    std::unique_ptr<HistoryStore> storeWith(std::vector<ClipItem>&& clips) { return storeWith(clips); }
    std::unique_ptr<HistoryStore> storeWith(std::vector<ClipItem>& clips) {
        for (std::size_t i = 0; i < clips.size(); ++i) {
            clips[i].createdAt = clock.now() - std::chrono::minutes(i + 1);
            clips[i].updatedAt = clips[i].createdAt;
            if (!clips[i].sourceDeviceID) {
                clips[i].sourceDeviceID = "mac_test";
                clips[i].sourceDeviceName = "Test";
                clips[i].sourceDevicePlatform = "macOS";
            }
        }
        writeHistory(clips);
        return makeStore();
    }
    std::vector<ClipItem> textClips(int count, const std::string& prefix = "clip ") {
        std::vector<ClipItem> clips;
        for (int i = 0; i < count; ++i) clips.push_back(makeClip(prefix + std::to_string(i)));
        return clips;
    }
    static std::vector<std::string> texts(const std::vector<ClipItem>& items) {
        std::vector<std::string> out;
        for (const auto& c : items) out.push_back(c.text);
        return out;
    }
};

TEST_F(HistoryStoreOperations, InsertOfKnownContentMovesTheStoredClip) {
    auto clips = textClips(8);
    clips[5].isPinned = true;
    clips[5].copyCount = 4;
    clips[5].payloadFilename = "kept.png";
    clips[5].lastReplayedAt = clock.now() - std::chrono::hours(3);
    auto store = storeWith(clips);
    ASSERT_EQ(store->items()[5].text, "clip 5");
    std::vector<Uuid> announced;
    store->onSyncableTextCaptured = [&](const Uuid& id, const std::string& text, Date, const ClipSourceDeviceOrigin&) {
        announced.push_back(id);
        EXPECT_EQ(text, "clip 5");
    };

    clock.advanceSeconds(30);
    ClipItem again = makeClip("clip 5");
    again.sourceAppName = "Terminal";
    again.sourceBundleID = "org.example.Terminal";
    again.payloadFilename = "dropped.png";
    again.copyCount = 9;
    store->insert(again);

    ASSERT_EQ(store->items().size(), 8u);
    const ClipItem& top = store->items()[0];
    EXPECT_EQ(top.id, clips[5].id);
    EXPECT_EQ(store->selectedID(), clips[5].id);
    EXPECT_EQ(top.createdAt, clock.now());
    EXPECT_EQ(top.updatedAt, clock.now());
    EXPECT_FALSE(top.lastReplayedAt);
    EXPECT_EQ(top.sourceAppName, "Terminal");
    EXPECT_EQ(top.sourceBundleID, "org.example.Terminal");
    EXPECT_EQ(top.sourceDeviceID, MacClipDeviceIdentity::current(defaults).id);
    EXPECT_TRUE(top.isPinned);
    EXPECT_EQ(top.copyCount, 4);
    EXPECT_EQ(top.payloadFilename, "kept.png");
    EXPECT_EQ(texts(store->items()),
              (std::vector<std::string>{"clip 5", "clip 0", "clip 1", "clip 2", "clip 3", "clip 4", "clip 6", "clip 7"}));
    EXPECT_EQ(announced, std::vector<Uuid>{clips[5].id});
    EXPECT_TRUE(store->retiredPayloadFilenames().empty());
}

TEST_F(HistoryStoreOperations, InsertFillsThisMachinesOriginOnlyWhenMissing) {
    auto store = makeStore();
    const auto thisMac = MacClipDeviceIdentity::current(defaults);
    ClipItem local = makeClip("local");
    local.sourceDeviceName = "Someone's laptop";
    store->insert(local);
    EXPECT_EQ(store->items()[0].sourceDeviceID, thisMac.id);
    EXPECT_EQ(store->items()[0].sourceDeviceName, thisMac.name);
    EXPECT_EQ(store->items()[0].sourceDevicePlatform, "macOS");

    ClipItem foreign = makeClip("foreign");
    foreign.sourceDeviceID = "phone_1";
    store->insert(foreign);
    EXPECT_EQ(store->items()[0].sourceDeviceID, "phone_1");
    EXPECT_FALSE(store->items()[0].sourceDeviceName);
}

TEST_F(HistoryStoreOperations, TrimKeepsFavouritesAndRetiresDroppedPayloads) {
    auto clips = textClips(600);
    for (int i = 0; i < 600; ++i) clips[i].payloadFilename = std::to_string(i) + ".png";
    clips[599].isPinned = true;  // the very last clip, far beyond the limit
    clips[598].legacyPayloadFilename = "Legacy/pastenow-598.lzfse";
    clips[598].syncPayloadFilename = "x.sync.png";
    auto store = storeWith(clips);
    ASSERT_EQ(store->items().size(), 600u);
    const auto selected = store->selectedID();

    store->updateMaxHistory(500);
    ASSERT_EQ(store->items().size(), 501u);
    EXPECT_EQ(store->items()[499].text, "clip 499");
    EXPECT_EQ(store->items()[500].text, "clip 599");
    EXPECT_EQ(store->retiredPayloadFilenames().size(), 99u + 2u);
    EXPECT_TRUE(store->retiredPayloadFilenames().count("500.png"));
    EXPECT_TRUE(store->retiredPayloadFilenames().count("Legacy/pastenow-598.lzfse"));
    EXPECT_TRUE(store->retiredPayloadFilenames().count("x.sync.png"));
    EXPECT_FALSE(store->retiredPayloadFilenames().count("599.png"));
    EXPECT_EQ(store->selectedID(), selected);

    store->trimHistoryIfNeeded();  // 500 unpinned plus a favourite: nothing more to drop
    EXPECT_EQ(store->items().size(), 501u);
}

TEST_F(HistoryStoreOperations, RetiringNamesOnceAndNeverUnsafeOnes) {
    auto store = makeStore();
    ClipItem clip = makeClip("x");
    clip.payloadFilename = "a.png";
    clip.syncPayloadFilename = "../../outside.png";
    clip.legacyPayloadFilename = "/etc/passwd";
    store->retirePayload(clip);
    store->retirePayload(clip);
    EXPECT_EQ(store->retiredPayloadFilenames(), std::set<std::string>{"a.png"});
}

TEST_F(HistoryStoreOperations, DeleteSelectsTheFirstShownClipAndTellsSync) {
    auto clips = textClips(4);
    ClipItem file = makeClip("/tmp/a.txt", ClipKind::file);
    ClipItem empty = makeClip("", ClipKind::text);
    ClipItem image = makeClip("", ClipKind::image);
    image.payloadFilename = "image.png";
    clips.insert(clips.end(), {file, empty, image});
    auto store = storeWith(clips);
    std::vector<std::vector<Uuid>> deletions;
    store->onSyncableClipsDeleted = [&](const std::vector<Uuid>& ids, const std::vector<Date>&) { deletions.push_back(ids); };

    store->setSelectedID(clips[1].id);
    store->deleteItem(store->items()[0]);  // not selected: the selection stays
    EXPECT_EQ(store->selectedID(), clips[1].id);
    EXPECT_EQ(store->toastMessage(), "Clip deleted");
    EXPECT_EQ(store->toastTone(), ToastTone::success);

    store->deleteItem(store->items()[0]);  // the selected clip, passed as a list element
    EXPECT_EQ(store->selectedID(), clips[2].id);
    EXPECT_EQ(deletions, (std::vector<std::vector<Uuid>>{{clips[0].id}, {clips[1].id}}));

    store->setQuery("no such words");
    store->deleteItem(clips[2]);
    EXPECT_FALSE(store->selectedID());
    store->setQuery("");

    store->deleteItem(file);
    store->deleteItem(empty);
    EXPECT_EQ(deletions.size(), 3u);  // neither a file clip nor an empty text clip syncs
    store->deleteItem(image);
    EXPECT_EQ(deletions.back(), std::vector<Uuid>{image.id});
    EXPECT_TRUE(store->retiredPayloadFilenames().count("image.png"));

    clock.advanceSeconds(3);
    const auto count = store->items().size();
    store->deleteItem(image);  // gone already: nothing at all
    EXPECT_EQ(store->items().size(), count);
    EXPECT_FALSE(store->toastMessage());
}

TEST_F(HistoryStoreOperations, ClearHistoryWithAndWithoutFavourites) {
    auto clips = textClips(9);
    clips[2].isPinned = true;
    clips[7].isPinned = true;
    clips[4].payloadFilename = "four.png";
    clips[7].payloadFilename = "seven.png";
    clips[8].kind = ClipKind::file;
    auto store = storeWith(clips);
    std::vector<std::vector<Uuid>> deletions;
    store->onSyncableClipsDeleted = [&](const std::vector<Uuid>& ids, const std::vector<Date>&) { deletions.push_back(ids); };

    store->clearHistory(true);
    EXPECT_EQ(texts(store->items()), (std::vector<std::string>{"clip 2", "clip 7"}));
    EXPECT_EQ(store->selectedID(), clips[2].id);
    EXPECT_EQ(store->toastMessage(), "History cleared; favorites kept");
    EXPECT_EQ(deletions, (std::vector<std::vector<Uuid>>{
                             {clips[0].id, clips[1].id, clips[3].id, clips[4].id, clips[5].id, clips[6].id}}));
    // The names went with the immediate save; HistoryStoreSaving checks the files.

    store->clearHistory(false);
    EXPECT_TRUE(store->items().empty());
    EXPECT_FALSE(store->selectedID());
    EXPECT_EQ(store->toastMessage(), "Clipboard history cleared");
    EXPECT_EQ(deletions.back(), (std::vector<Uuid>{clips[2].id, clips[7].id}));

    store->clearHistory(false);  // an empty history still confirms
    EXPECT_EQ(store->toastMessage(), "Clipboard history cleared");
    EXPECT_EQ(deletions.size(), 2u);
}

TEST_F(HistoryStoreOperations, TogglePinnedInPlace) {
    auto clips = textClips(3);
    auto store = storeWith(clips);
    store->setPreviewItem(store->items()[1]);
    const auto selected = store->selectedID();
    clock.advanceSeconds(5);
    store->togglePinned(store->items()[1]);
    EXPECT_TRUE(store->items()[1].isPinned);
    EXPECT_EQ(store->items()[1].updatedAt, clock.now());
    EXPECT_TRUE(store->previewItem()->isPinned);
    EXPECT_EQ(store->toastMessage(), "Saved to Favorites");
    store->togglePinned(clips[1]);
    EXPECT_FALSE(store->items()[1].isPinned);
    EXPECT_FALSE(store->previewItem()->isPinned);
    EXPECT_EQ(store->toastMessage(), "Removed from Favorites");
    EXPECT_EQ(texts(store->items()), (std::vector<std::string>{"clip 0", "clip 1", "clip 2"}));
    EXPECT_EQ(store->selectedID(), selected);
}

TEST_F(HistoryStoreOperations, ReplayMarkMovesToTop) {
    auto clips = textClips(3);
    clips[2].copyCount = 3;
    auto store = storeWith(clips);
    clock.advanceSeconds(7);
    store->markReplaySucceeded(store->items()[2]);  // a list element that the mark moves
    const ClipItem& top = store->items()[0];
    EXPECT_EQ(top.id, clips[2].id);
    EXPECT_EQ(top.lastReplayedAt, clock.now());
    EXPECT_EQ(top.updatedAt, clock.now());
    EXPECT_EQ(top.createdAt, clips[2].createdAt);
    EXPECT_EQ(top.copyCount, 3);
    EXPECT_EQ(store->selectedID(), clips[2].id);

    store->deleteItem(clips[0]);
    store->setSelectedID(clips[1].id);
    store->markReplaySucceeded(clips[0]);
    EXPECT_EQ(store->selectedID(), clips[1].id);
    EXPECT_EQ(store->items()[0].id, clips[2].id);
}

// A paste confirmed after a check is stamped with when it went out and stays below clips
// copied since then.
TEST_F(HistoryStoreOperations, ReplayMarkWithThePasteTimeStaysBelowLaterCopies) {
    using std::chrono::seconds;
    const struct {
        std::optional<seconds> pastedBeforeNow;
        std::vector<std::string> order;
    } cases[] = {
        {std::nullopt, {"clip 3", "clip 0", "clip 1", "clip 2"}},
        {seconds(0), {"clip 3", "clip 0", "clip 1", "clip 2"}},
        {seconds(90), {"clip 0", "clip 3", "clip 1", "clip 2"}},  // clip 0 was copied 60 s ago
        {seconds(300), {"clip 0", "clip 1", "clip 2", "clip 3"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pastedBeforeNow ? c.pastedBeforeNow->count() : -1);
        auto clips = textClips(4);
        auto store = storeWith(clips);
        std::optional<Date> pastedAt;
        if (c.pastedBeforeNow) pastedAt = clock.now() - *c.pastedBeforeNow;
        store->setSelectedID(store->items().front().id);  // as the newest copy's capture left it
        const auto selected = store->selectedID();
        store->markReplaySucceeded(clips[3], pastedAt);
        EXPECT_EQ(texts(store->items()), c.order);
        const ClipItem& marked = *std::find_if(store->items().begin(), store->items().end(),
                                               [&](const ClipItem& item) { return item.id == clips[3].id; });
        EXPECT_EQ(marked.lastReplayedAt, pastedAt.value_or(clock.now()));
        // Below a later copy it leaves the highlight where that copy put it.
        EXPECT_EQ(store->selectedID(), c.order.front() == "clip 3" ? std::optional(clips[3].id) : selected);
    }
}

TEST_F(HistoryStoreOperations, AddTextClip) {
    auto store = makeStore();
    store->addTextClip("  hello \n");
    ASSERT_EQ(store->items().size(), 1u);
    const ClipItem first = store->items()[0];
    EXPECT_EQ(first.text, "hello");
    EXPECT_EQ(first.kind, ClipKind::text);
    EXPECT_TRUE(first.isPinned);
    EXPECT_EQ(first.sourceAppName, "Harbelle");
    EXPECT_EQ(first.sourceBundleID, "com.harbelleapp.Harbelle");
    EXPECT_EQ(first.copyCount, 1);
    EXPECT_EQ(first.createdAt, first.updatedAt);
    EXPECT_EQ(first.fingerprint, ClipItem::makeFingerprint(ClipKind::text, "hello", {}, std::nullopt, nullptr));
    EXPECT_EQ(store->selectedID(), first.id);
    EXPECT_EQ(store->toastMessage(), "New favorite created");

    store->addTextClip("https://example.org/page");
    EXPECT_EQ(store->items()[0].kind, ClipKind::link);
    store->addTextClip("#FF9400");
    EXPECT_EQ(store->items()[0].kind, ClipKind::color);

    clock.advanceSeconds(3);
    store->addTextClip(" \n\t\u00a0 ");  // blank: nothing, not even a toast
    EXPECT_EQ(store->items().size(), 3u);
    EXPECT_FALSE(store->toastMessage());

    store->addTextClip("New reusable snippet");
    clock.advanceSeconds(1);
    store->addTextClip("New reusable snippet");
    EXPECT_EQ(store->items().size(), 4u);
    EXPECT_EQ(store->items()[0].createdAt, clock.now());
}

TEST_F(HistoryStoreOperations, AddTextClipMatchingAnUnpinnedClip) {
    auto store = storeWith(textClips(2));
    const Uuid id = store->items()[1].id;
    store->addTextClip("clip 1");
    EXPECT_EQ(store->items().size(), 2u);
    EXPECT_EQ(store->items()[0].id, id);
    EXPECT_FALSE(store->items()[0].isPinned);
    EXPECT_EQ(store->toastMessage(), "New favorite created");
}

TEST_F(HistoryStoreOperations, SaveEditedText) {
    auto clips = textClips(3);
    ClipItem image = makeClip("", ClipKind::image);
    image.payloadFilename = "shot.png";
    image.syncPayloadFilename = "shot.sync.jpg";
    image.syncPayloadDigest = "abc";
    image.searchableText = "recognised words";
    image.isPinned = true;
    image.copyCount = 7;
    image.legacyID = 42;
    image.richTextData = Bytes{1, 2};
    clips.insert(clips.begin() + 1, image);
    auto store = storeWith(clips);
    store->setEditingItem(store->items()[1]);

    clock.advanceSeconds(9);
    store->saveEditedText(store->items()[1], "   ");  // blank: untouched, the editor stays open
    EXPECT_EQ(store->items()[1].kind, ClipKind::image);
    EXPECT_TRUE(store->editingItem());
    EXPECT_FALSE(store->toastMessage());

    store->saveEditedText(image, " #A1B2C3\n");
    const ClipItem& edited = store->items()[1];
    EXPECT_NE(edited.id, image.id) << "new text, new id: other devices may hold the old one";
    EXPECT_EQ(edited.kind, ClipKind::color);
    EXPECT_EQ(edited.text, "#A1B2C3");
    EXPECT_EQ(edited.title, ClipItem::titleFor("#A1B2C3", ClipKind::color));
    EXPECT_EQ(edited.fingerprint, ClipItem::makeFingerprint(ClipKind::color, "#A1B2C3", {}, std::nullopt, nullptr));
    EXPECT_EQ(edited.updatedAt, clock.now());
    EXPECT_EQ(edited.createdAt, clips[1].createdAt);
    EXPECT_EQ(edited.searchableText, "recognised words");
    EXPECT_TRUE(edited.isPinned);
    EXPECT_EQ(edited.copyCount, 1);
    EXPECT_FALSE(edited.legacyID);
    EXPECT_FALSE(edited.payloadFilename);
    EXPECT_FALSE(edited.syncPayloadFilename);
    EXPECT_FALSE(edited.syncPayloadDigest);
    EXPECT_FALSE(edited.richTextData);
    EXPECT_EQ(store->retiredPayloadFilenames(), (std::set<std::string>{"shot.png", "shot.sync.jpg"}));
    EXPECT_FALSE(store->editingItem());
    EXPECT_EQ(store->toastMessage(), "Clip updated");

    store->saveEditedText(store->items()[0], "clip 2");  // may now share a fingerprint
    EXPECT_EQ(store->items()[0].fingerprint, store->items()[3].fingerprint);
    EXPECT_EQ(store->items().size(), 4u);
}

TEST_F(HistoryStoreOperations, SelectionMoves) {
    auto clips = textClips(5);
    clips[1].text = clips[3].text = clips[4].text = "match";
    for (int i : {1, 3, 4}) clips[i].fingerprint = "f" + std::to_string(i);
    auto store = storeWith(clips);
    store->setSelectedID(std::nullopt);
    store->setQuery("match");
    ASSERT_EQ(store->filteredItems().size(), 3u);
    EXPECT_EQ(store->selectedItem()->id, clips[1].id);
    store->moveSelection(1);
    EXPECT_EQ(store->selectedID(), clips[1].id);  // first move only selects the first shown
    store->moveSelection(1);
    EXPECT_EQ(store->selectedID(), clips[3].id);
    store->moveSelection(5);
    EXPECT_EQ(store->selectedID(), clips[4].id);
    store->moveSelection(1);
    EXPECT_EQ(store->selectedID(), clips[4].id);
    store->moveSelection(-9);
    EXPECT_EQ(store->selectedID(), clips[1].id);

    store->setSelectedID(clips[0].id);  // hidden by the search, still selected
    EXPECT_EQ(store->selectedItem()->id, clips[0].id);
    store->moveSelection(1);
    EXPECT_EQ(store->selectedID(), clips[1].id);

    store->setQuery("nothing like it");
    store->moveSelection(1);
    EXPECT_FALSE(store->selectedID());
}

TEST_F(HistoryStoreOperations, PasteRequests) {
    auto clips = textClips(3);
    auto store = storeWith(clips);
    store->requestPaste(clips[2], false);  // no callback yet: only selects
    EXPECT_EQ(store->selectedID(), clips[2].id);

    std::vector<std::pair<Uuid, bool>> requests;
    QObject::connect(store.get(), &HistoryStore::pasteRequested,
            [&](const ClipItem& clip, bool plain) { requests.emplace_back(clip.id, plain); });
    store->requestPaste(clips[1], false);
    store->requestPaste(clips[1], true);
    store->updateAlwaysPastePlainText(true);
    store->requestPaste(clips[0], false);
    EXPECT_EQ(requests, (std::vector<std::pair<Uuid, bool>>{{clips[1].id, false}, {clips[1].id, true}, {clips[0].id, true}}));
    store->updateAlwaysPastePlainText(false);

    // A selected clip that left the list: the first shown clip is pasted.
    store->setSelectedID(Uuid::random());
    EXPECT_FALSE(store->selectedItem());
    store->requestPasteSelected(false);
    EXPECT_EQ(requests.back(), std::make_pair(clips[0].id, false));
    store->setSelectedID(clips[2].id);
    store->requestPasteSelected(true);
    EXPECT_EQ(requests.back(), std::make_pair(clips[2].id, true));

    // A selected clip the search hides is never pasted: Return takes the first card shown,
    // and with no card shown it does nothing.
    store->setQuery(clips[1].text);
    ASSERT_EQ(store->filteredItems().size(), 1u);
    EXPECT_EQ(store->shownSelectedItem()->id, clips[1].id);
    store->requestPasteSelected(false);
    EXPECT_EQ(requests.back(), std::make_pair(clips[1].id, false));
    store->setSelectedID(clips[2].id);
    store->setQuery("nothing like it");
    const auto before = requests.size();
    EXPECT_FALSE(store->shownSelectedItem());
    store->requestPasteSelected(false);
    EXPECT_EQ(requests.size(), before);
    EXPECT_EQ(store->selectedItem()->id, clips[2].id) << "the selection itself stays";
    store->setQuery("");

    store->clearHistory(false);
    requests.clear();
    store->moveSelection(1);
    EXPECT_FALSE(store->selectedID());
    store->requestPasteSelected(false);
    EXPECT_TRUE(requests.empty());
}

TEST_F(HistoryStoreOperations, FilteredItemsFollowChanges) {
    auto store = storeWith(textClips(3));
    QSignalSpy spy(store.get(), &HistoryStore::itemsChanged);
    store->setQuery("clip 1");
    ASSERT_EQ(store->filteredItems().size(), 1u);
    store->insert(makeClip("another clip 1 copy"));
    EXPECT_EQ(store->filteredItems().size(), 2u);
    EXPECT_EQ(spy.count(), 1);
    store->setActiveFilter(ClipFilter::favorites);
    EXPECT_TRUE(store->filteredItems().empty());
    EXPECT_EQ(store->count(ClipFilter::all), 4);
    store->setActiveDeviceID("nowhere");
    EXPECT_EQ(store->count(ClipFilter::all), 0);
}

TEST_F(HistoryStoreOperations, ImportMergesByLegacyIDAndFingerprint) {
    QLocale::setDefault(QLocale::c());
    auto store = storeWith(textClips(3));
    const Uuid top = store->items()[0].id;

    auto old = [&](const std::string& text, int daysAgo, std::optional<std::int64_t> legacyID) {
        ClipItem clip = makeClip(text);
        clip.createdAt = clock.now() - std::chrono::hours(24 * daysAgo);
        clip.legacyID = legacyID;
        clip.importedFrom = "elsewhere";
        return clip;
    };
    std::vector<ClipItem> batch{
        old("clip 0", 400, std::nullopt),  // same content as a captured clip, no legacy id: skipped
        old("clip 1", 401, 7),             // same content but a legacy id: added
        old("older twin", 403, 8),
        old("newer twin", 402, 8),         // same legacy id, newer: wins
        old("plain", 404, 9),
    };
    batch[4].id = store->items()[2].id;  // an id already taken gets a fresh one
    EXPECT_EQ(store->importItems(batch, "PasteNow"), 3);
    ASSERT_EQ(store->items().size(), 6u);
    EXPECT_EQ(texts(store->items()),
              (std::vector<std::string>{"clip 0", "clip 1", "clip 2", "clip 1", "newer twin", "plain"}));
    // Every clip taken is stamped with the source's name, whatever it carried.
    for (int i = 3; i < 6; ++i) EXPECT_EQ(store->items()[i].importedFrom, "PasteNow");
    EXPECT_NE(store->items()[5].id, store->items()[2].id);
    EXPECT_EQ(store->selectedID(), top);
    EXPECT_EQ(store->toastMessage(), "Imported 3 older clips");

    clock.advanceSeconds(3);
    EXPECT_EQ(store->importItems(batch, "PasteNow"), 0);  // a second run adds nothing
    EXPECT_FALSE(store->toastMessage());
    EXPECT_EQ(store->items().size(), 6u);
    EXPECT_EQ(store->importItems({}, "PasteNow"), 0);
}

TEST_F(HistoryStoreOperations, ImportSortsByCreationAndTrims) {
    QLocale::setDefault(QLocale::c());
    auto recent = textClips(2, "recent ");
    recent[1].lastReplayedAt = clock.now();  // pasted lately, created long ago
    auto store = storeWith(recent);
    store->updateMaxHistory(1000);
    std::vector<ClipItem> batch;
    for (int i = 0; i < 1500; ++i) {
        ClipItem clip = makeClip("old " + std::to_string(i));
        clip.createdAt = clock.now() - std::chrono::seconds(90 + i);
        clip.legacyID = i;
        clip.payloadFilename = "LegacyPreviews/pastenow-" + std::to_string(i) + ".png";
        batch.push_back(clip);
    }
    // Counted after the trim: 998 of the 1,500 are kept beside the two recent clips.
    EXPECT_EQ(store->importItems(batch, "PasteNow"), 998);
    EXPECT_EQ(store->toastMessage(), "Imported 998 older clips");
    ASSERT_EQ(store->items().size(), 1000u);
    EXPECT_EQ(store->items()[0].text, "recent 0");
    EXPECT_EQ(store->items()[1].text, "old 0");  // creation order, not recency
    EXPECT_EQ(store->items()[31].text, "recent 1");
    EXPECT_EQ(store->items()[999].text, "old 997");
}

// Stored clips pasted in list order, their creation dates out of that order and often equal, more
// than one slice of the stepped merge's sort: it orders the list exactly as the one-shot import does.
TEST_F(HistoryStoreOperations, SteppedImportOrdersAsTheOneShotImport) {
    auto stored = textClips(5000, "stored ");
    for (int i = 0; i < 5000; ++i) {
        stored[i].createdAt = clock.now() - std::chrono::hours(2) - std::chrono::seconds((i * 7919) % 1500);
        stored[i].updatedAt = stored[i].createdAt;
        stored[i].lastReplayedAt = clock.now() - std::chrono::seconds(i);
    }
    std::vector<ClipItem> batch;
    for (int i = 0; i < 300; ++i) {
        ClipItem clip = makeClip("old " + std::to_string(i));
        clip.createdAt = clock.now() - std::chrono::hours(2) - std::chrono::seconds((i * 31) % 2000);
        clip.legacyID = i;
        batch.push_back(std::move(clip));
    }
    std::vector<std::vector<std::string>> results;
    for (const bool stepped : {false, true}) {
        writeHistory(stored);
        auto store = makeStore();
        store->updateMaxHistory(10'000);
        if (!stepped) {
            store->importItems(batch, "PasteNow");
        } else {
            ClipList sorted(batch);
            sorted.stableSort([](const ClipItem& a, const ClipItem& b) { return a.createdAt > b.createdAt; });
            std::optional<int> added;
            store->importItemsInSteps(std::move(sorted), "PasteNow", [&](int count, bool) { added = count; });
            QElapsedTimer timer;
            timer.start();
            while (!added && timer.elapsed() < 60'000) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            EXPECT_EQ(added, 300);
        }
        results.push_back(texts(store->items()));
    }
    EXPECT_EQ(results[0].size(), 5300u);
    EXPECT_EQ(results[1], results[0]);
}

// The user deletes clips while a stepped import runs: the merge starts over, and every clip it
// keeps still has its file.
TEST_F(HistoryStoreOperations, SteppedImportStartedOverKeepsTheFilesOfKeptClips) {
    auto store = storeWith(textClips(3));
    store->updateMaxHistory(500);
    ClipList batch;
    for (int i = 0; i < 500; ++i) {
        ClipItem clip = makeClip("old " + std::to_string(i));
        clip.createdAt = clock.now() - std::chrono::hours(1 + i);
        clip.legacyID = i;
        clip.payloadFilename = "Legacy/" + std::to_string(i) + ".bin";
        writePayloadFile(*clip.payloadFilename);
        batch.push_back(std::move(clip));
    }
    std::optional<int> added;
    store->importItemsInSteps(std::move(batch), "PasteNow", [&](int count, bool) { added = count; });
    QObject* merge = store->children().back();
    // Once the merge has read the list, the three clips it holds are deleted.
    struct DeleteAfterFirstStep : QObject {
        HistoryStore* store;
        int steps = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::MetaCall && ++steps == 2)
                while (!store->items().empty()) store->deleteItem(store->items().front());
            return false;
        }
    } filter;
    filter.store = store.get();
    merge->installEventFilter(&filter);
    QElapsedTimer timer;
    timer.start();
    while (!added && timer.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    QThreadPool::globalInstance()->waitForDone();
    ASSERT_EQ(added, 500);
    ASSERT_EQ(store->items().size(), 500u);
    for (const auto& clip : store->items()) EXPECT_TRUE(fs::exists(payloads() / *clip.payloadFilename)) << clip.text;
}
