// The merge of a local clip into the identifier a "duplicate" push answer names: the service is
// not trusted to say two clips are one.
#include <gtest/gtest.h>

#include "history/HistoryStoreTestSupport.h"

using namespace harbelle;
using namespace harbelle::testing;
using namespace std::chrono_literals;

namespace {

class HistoryStoreSyncMerge : public HistoryStoreFixture {
protected:
    std::unique_ptr<HistoryStore> store;

    void SetUp() override { store = makeStore(); }

    Uuid addText(const std::string& text) {
        clock.advance(1min);
        store->insert(makeClip(text));
        return store->items().front().id;
    }

    // An image clip as captured here or received: its fingerprint is over its own bytes, its
    // upload copy has `digest`.
    ClipItem imageClip(const std::string& bytes, const std::string& digest, Date when) const {
        ClipItem clip = ClipBuilder("", ClipKind::image).title("Copied image").at(when);
        const Bytes data(bytes.begin(), bytes.end());
        clip.fingerprint = ClipItem::makeFingerprint(ClipKind::image, "", {}, std::nullopt, &data);
        clip.syncPayloadDigest = digest;
        return clip;
    }
};

}  // namespace

TEST_F(HistoryStoreSyncMerge, AForgedDuplicateNamingAnotherClipChangesNeither) {
    const Uuid other = addText("the other clip");
    const Uuid pushed = addText("what was pushed");
    const std::vector<ClipItem> before = store->items();
    QSignalSpy changed(store.get(), &HistoryStore::itemsChanged);

    EXPECT_FALSE(store->applySyncCanonicalization(pushed, other));
    EXPECT_EQ(store->items(), before) << "both clips keep their content, dates and places";
    ASSERT_TRUE(store->item(other));
    EXPECT_EQ(store->item(other)->text, "the other clip");
    EXPECT_EQ(store->item(pushed)->text, "what was pushed");
    EXPECT_EQ(changed.count(), 0);

    // Two images whose upload copies differ are different clips too.
    const Date when = clock.now();
    const ClipItem a = imageClip("png one", "aa", when - 1h);
    const ClipItem b = imageClip("png two", "bb", when - 2h);
    store->insert(a);
    store->insert(b);
    EXPECT_FALSE(store->applySyncCanonicalization(b.id, a.id));
    EXPECT_TRUE(store->item(a.id));
    EXPECT_TRUE(store->item(b.id));
}

TEST_F(HistoryStoreSyncMerge, AGenuineDuplicateMergesAndAnUnknownIdentifierRekeys) {
    // The same words captured on two devices: the older copy arrived through sync.
    const Uuid canonical = Uuid::random();
    store->applySyncInsert(canonical, "shared words", clock.now() - 2h, std::nullopt);
    const Uuid local = addText("local only");
    {
        // Captured here with the same words under another identifier.
        std::vector<ClipItem> items = store->items();
        for (auto& clip : items)
            if (clip.id == local) clip = ClipBuilder("shared words").captured(clip.createdAt);
        const Uuid kept = items.front().id;
        store.reset();
        writeHistory(items);
        store = makeStore();
        EXPECT_TRUE(store->applySyncCanonicalization(kept, canonical));
    }
    ASSERT_EQ(store->items().size(), 1u);
    EXPECT_EQ(store->items()[0].id, canonical);
    EXPECT_EQ(store->items()[0].text, "shared words");

    // An image captured here and the same upload copy received from elsewhere: one clip.
    const Date when = clock.now();
    const ClipItem mine = imageClip("original png", "same digest", when - 1h);
    const ClipItem theirs = imageClip("their copy", "same digest", when - 3h);
    store->insert(mine);
    store->insert(theirs);
    EXPECT_TRUE(store->applySyncCanonicalization(mine.id, theirs.id));
    EXPECT_FALSE(store->item(mine.id));
    ASSERT_TRUE(store->item(theirs.id));

    // A clip not held here: the local one only takes the new identifier, as before.
    const Uuid lone = addText("lone");
    const Uuid elsewhere = Uuid::random();
    EXPECT_TRUE(store->applySyncCanonicalization(lone, elsewhere));
    ASSERT_TRUE(store->item(elsewhere));
    EXPECT_EQ(store->item(elsewhere)->text, "lone");
    EXPECT_FALSE(store->item(lone));
}
