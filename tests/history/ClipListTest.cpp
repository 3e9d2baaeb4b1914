#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "history/ClipFilter.h"
#include "history/ClipList.h"
#include "history/HistoryStoreTestSupport.h"

namespace harbelle::testing {
namespace {

ClipItem textClip(const std::string& text, std::int64_t second) {
    ClipItem clip;
    clip.createdAt = Date{std::chrono::seconds(second)};
    clip.updatedAt = clip.createdAt;
    clip.text = text;
    clip.title = text;
    clip.fingerprint = ClipItem::makeFingerprint(ClipKind::text, text, {}, std::nullopt, nullptr);
    return clip;
}

std::vector<std::string> texts(const ClipList& list) {
    std::vector<std::string> out;
    for (const auto& clip : list) out.push_back(clip.text);
    return out;
}

TEST(ClipListOrder, EditsKeepOrderAndTheClipsThemselves) {
    struct Case {
        const char* name;
        void (*edit)(ClipList&);
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"move up", [](ClipList& l) { l.move(3, 0); }, {"d", "a", "b", "c", "e"}},
        {"move down", [](ClipList& l) { l.move(0, 3); }, {"b", "c", "d", "a", "e"}},
        {"move out of range", [](ClipList& l) { l.move(7, 0); }, {"a", "b", "c", "d", "e"}},
        {"take", [](ClipList& l) { EXPECT_EQ(l.take(2)->text, "c"); }, {"a", "b", "d", "e"}},
        {"insert", [](ClipList& l) { l.insert(l.begin() + 1, textClip("x", 9)); }, {"a", "x", "b", "c", "d", "e"}},
        {"erase range", [](ClipList& l) { l.erase(l.begin() + 1, l.begin() + 3); }, {"a", "d", "e"}},
        {"erase if", [](ClipList& l) { EXPECT_EQ(l.eraseIf([](const ClipItem& c) { return c.text != "c" && c.text != "e"; }), 3u); },
         {"c", "e"}},
        {"sort stable", [](ClipList& l) { l.stableSort([](const ClipItem& a, const ClipItem& b) { return a.createdAt < b.createdAt; }); },
         {"b", "d", "a", "c", "e"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Two pairs share a date, so only a stable sort keeps b before d and a before c.
        ClipList list(std::vector<ClipItem>{textClip("a", 2), textClip("b", 1), textClip("c", 2), textClip("d", 1),
                                            textClip("e", 3)});
        std::map<std::string, const ClipItem*> before;
        for (const auto& clip : list) before[clip.text] = &clip;
        c.edit(list);
        EXPECT_EQ(texts(list), c.expected);
        // Moved clips are the same objects, not copies.
        for (const auto& clip : list) {
            if (before.count(clip.text)) {
                EXPECT_EQ(&clip, before[clip.text]) << clip.text;
            }
        }
    }
}

// The look-ups read a key array kept beside the clips; after any edit they must agree with a
// plain scan of the clips.
TEST(ClipListLookup, AgreesWithAPlainScanAfterEveryEdit) {
    ClipList list(std::vector<ClipItem>{textClip("a", 5), textClip("b", 4), textClip("c", 3), textClip("d", 2)});
    const auto check = [&](const char* step) {
        SCOPED_TRACE(step);
        std::size_t pinned = 0;
        for (std::size_t i = 0; i < list.size(); ++i) {
            EXPECT_EQ(list.indexOf(list[i].id), i);
            EXPECT_EQ(list.indexOfFingerprint(list[i].fingerprint), i);
            EXPECT_EQ(list.indexOfIDOrFingerprint(Uuid::random(), list[i].fingerprint), i);
            pinned += list[i].isPinned ? 1 : 0;
        }
        EXPECT_EQ(list.pinnedCount(), pinned);
        for (const std::int64_t second : {0, 2, 3, 6, 20}) {
            const Date date{std::chrono::seconds(second)};
            const auto older = std::find_if(list.begin(), list.end(), [&](const ClipItem& c) { return c.recencyDate() < date; });
            EXPECT_EQ(list.firstOlderThan(date), static_cast<std::size_t>(older - list.begin())) << second;
        }
        std::vector<std::size_t> beyondOne;
        for (std::size_t i = 0, unpinned = 0; i < list.size(); ++i)
            if (!list[i].isPinned && unpinned++ >= 1) beyondOne.push_back(i);
        EXPECT_EQ(list.unpinnedAfter(1), beyondOne);
        EXPECT_EQ(list.indexOf(Uuid::random()), list.size());
        EXPECT_EQ(list.indexOfFingerprint("absent"), list.size());
    };
    check("built");
    const ClipItem old = list[1];
    ClipItem& changed = list.mutableAt(1);
    changed.fingerprint = "renamed";
    changed.id = Uuid::random();
    changed.isPinned = true;
    changed.lastReplayedAt = Date{std::chrono::seconds(10)};
    check("changed in place");
    EXPECT_EQ(list.indexOfFingerprint(old.fingerprint), list.size());
    EXPECT_EQ(list.indexOf(old.id), list.size());
    list.insert(list.begin() + 2, textClip("x", 9));
    check("insert");
    list.move(3, 0);
    check("move up");
    list.move(0, 4);
    check("move down");
    list.take(1);
    check("take");
    list.eraseIf([](const ClipItem& c) { return c.text == "d"; });
    check("erase if");
    list.eraseAt({0, 2});
    check("erase at");
    list.insert(list.begin(), textClip("p", 7));
    list.insert(list.begin(), textClip("q", 8));
    list.stableSort([](const ClipItem& a, const ClipItem& b) { return a.createdAt < b.createdAt; });
    check("sort");
    ClipList copy = list;
    copy.push_back(textClip("y", 1));
    copy.mutableAt(0).isPinned = true;
    std::swap(list, copy);
    check("copy");
}

TEST(ClipListSharing, ACopyKeepsItsValueWhenTheOriginalIsChanged) {
    ClipList list(std::vector<ClipItem>{textClip("a", 1), textClip("b", 2)});
    const ClipItem* alone = &list[1];
    ClipList snapshot = list;
    EXPECT_EQ(&snapshot[0], &list[0]);  // shared, not copied

    list.mutableAt(0).text = "changed";
    EXPECT_EQ(snapshot[0].text, "a");
    EXPECT_EQ(list[0].text, "changed");
    EXPECT_NE(&snapshot[0], &list[0]);
    EXPECT_FALSE(snapshot == list);

    // Once no other list holds a clip, it is changed in place.
    snapshot = ClipList();
    list.mutableAt(1).isPinned = true;
    EXPECT_EQ(&list[1], alone);
    EXPECT_TRUE(list[1].isPinned);
}

TEST(ClipListSharing, EqualityIsByValueAndPlainVectorsConvertBothWays) {
    const std::vector<ClipItem> values{textClip("a", 1), textClip("b", 2)};
    const ClipList list(values);
    EXPECT_EQ(list, ClipList(values));  // separate copies, equal values
    EXPECT_EQ(std::vector<ClipItem>(list), values);
    EXPECT_FALSE(list == ClipList(std::vector<ClipItem>{values[0]}));
}

// A large history is searched in parts on several threads; the result must be the plain scan's,
// in list order, whichever part the matches fall in.
TEST(ClipListSearch, LargeListsMatchThePlainScanInOrder) {
    std::vector<ClipItem> values;
    for (int i = 0; i < 50'000; ++i)
        values.push_back(textClip((i % 7 == 0 ? "Ärger " : "other ") + std::to_string(i) + (i % 5 == 0 ? " tail" : ""), i));
    const ClipList list(std::move(values));
    for (const char* query : {"arger", "arger tail", "tail 4999", "nothing", ""}) {
        SCOPED_TRACE(query);
        const auto tokens = searchTokens(query);
        std::vector<std::size_t> plain;
        for (std::size_t i = 0; i < list.size(); ++i)
            if (matchesFilter(list[i], ClipFilter::all, std::nullopt, tokens)) plain.push_back(i);
        EXPECT_EQ(filterIndices(list, ClipFilter::all, std::nullopt, query), plain);
    }
}

class ClipListStoreTest : public HistoryStoreFixture {};

// The store's cached filtered view must always equal a fresh filter of the list, whatever
// edited the list since the cache was made.
TEST_F(ClipListStoreTest, FilteredViewMatchesAFreshFilterAfterEveryEdit) {
    auto store = makeStore();
    for (const char* text : {"alpha one", "beta one", "alpha two", "gamma"}) {
        store->insert(makeClip(text));
        clock.advanceSeconds(1);
    }
    store->setQuery("alpha");
    const auto check = [&](const char* step) {
        SCOPED_TRACE(step);
        const ClipList fresh = filterItems(store->items(), store->activeFilter(), store->activeDeviceID(), "alpha");
        EXPECT_EQ(texts(store->filteredItems()), texts(fresh));
        EXPECT_EQ(store->filteredItems(), fresh);
    };
    check("query");
    const ClipList held = store->filteredItems();  // a view's copy, like the shelf's
    store->insert(makeClip("alpha three"));
    check("insert");
    ASSERT_EQ(store->items()[2].text, "alpha two");
    store->togglePinned(store->items()[2]);
    check("pin");
    store->saveEditedText(store->items()[0], "alpha edited");
    check("edit");
    store->deleteItem(store->items()[2]);
    check("delete");
    store->insert(makeClip("beta one"));  // known content moves up
    check("move up");
    // The earlier copy still shows the clips as they were.
    EXPECT_EQ(texts(held), (std::vector<std::string>{"alpha two", "alpha one"}));
    EXPECT_FALSE(held[0].isPinned);
}

TEST_F(ClipListStoreTest, SavedSnapshotIsNotChangedByLaterEdits) {
    auto store = makeStore();
    store->insert(makeClip("first"));
    ASSERT_TRUE(store->flushHistory());
    store->saveEditedText(store->items()[0], "second");
    // Nothing saved since the edit: the file still holds the first text.
    const auto saved = readHistory();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].text, "first");
    ASSERT_TRUE(store->flushHistory());
    EXPECT_EQ(readHistory()[0].text, "second");
}

}  // namespace
}  // namespace harbelle::testing
