#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <random>

#include "support/InMemorySyncBookkeepingPersisting.h"
#include "sync/SyncBookkeepingStore.h"
#include "sync/SyncCrypto.h"

namespace harbelle::sync {
namespace {

constexpr const char* kKey = "harbelle.sync.mac.bookkeeping.v2";
const SyncLegacyBookkeepingKeys kLegacy{"harbelle.sync.mac.reportedIDs.v1", "harbelle.sync.mac.pendingPushIDs.v1",
                                        "harbelle.sync.mac.pendingDeleteIDs.v1"};
const std::string A = "a@example.com", B = "b@example.com";

TEST(SyncBookkeepingStoreTest, ScopeIsHashOfTrimmedLowerCasedAddress) {
    EXPECT_EQ(SyncBookkeepingStore::accountScope(" A@Example.COM\r\n\t"), sha256Hex("a@example.com"));
    EXPECT_EQ(SyncBookkeepingStore::accountScope("\u2028a@example.com\u00a0"), sha256Hex("a@example.com"));
    EXPECT_EQ(SyncBookkeepingStore::accountScope(" \n"), std::nullopt);
    EXPECT_EQ(SyncBookkeepingStore::accountScope(""), std::nullopt);
}

TEST(SyncBookkeepingStoreTest, LegacyMigrationRunsOnceAndSkipsOtherAccountsClips) {
    InMemorySyncBookkeepingPersisting defaults;
    defaults.values[kLegacy.reported] = {"AAAAAAAA-0000-4000-8000-000000000001", "owned-by-b"};
    defaults.values[kLegacy.pendingPush] = {"aaaaaaaa-0000-4000-8000-000000000001"};
    defaults.values[kLegacy.pendingDelete] = {"old-delete"};
    SyncBookkeepingStore store(defaults, kKey);
    ASSERT_TRUE(store.recordCapture("owned-by-b", B));

    // Without legacy keys: read only.
    EXPECT_EQ(store.state(A), SyncBookkeepingAccountState{});
    EXPECT_TRUE(defaults.values.count(kLegacy.reported));

    auto state = store.state(A, kLegacy);
    EXPECT_EQ(state.reportedIDs, (SyncIDSet{"aaaaaaaa-0000-4000-8000-000000000001"}));
    EXPECT_EQ(state.pendingPushIDs, (SyncIDSet{"aaaaaaaa-0000-4000-8000-000000000001"}));
    EXPECT_EQ(state.pendingDeleteIDs, (SyncIDSet{"old-delete"}));
    for (const std::string* key : {&kLegacy.reported, &kLegacy.pendingPush, &kLegacy.pendingDelete})
        EXPECT_FALSE(defaults.values.count(*key));

    // Legacy keys that reappear are not migrated a second time, into this or a reloaded store.
    defaults.values[kLegacy.reported] = {"late"};
    EXPECT_EQ(store.state(A, kLegacy), state);
    SyncBookkeepingStore reloaded(defaults, kKey);
    EXPECT_EQ(reloaded.state(A, kLegacy), state);
    EXPECT_EQ(reloaded.state(B).reportedIDs, (SyncIDSet{"owned-by-b"}));
}

TEST(SyncBookkeepingStoreTest, OwnershipDecidesCaptureAndEligibility) {
    InMemorySyncBookkeepingPersisting defaults;
    SyncBookkeepingStore store(defaults, kKey);
    EXPECT_TRUE(store.recordCapture("x", A));
    EXPECT_FALSE(store.recordCapture("x", B));
    EXPECT_FALSE(store.markReported("x", B));
    EXPECT_TRUE(store.markReported("y", B));
    EXPECT_FALSE(store.recordCapture("z", " \n"));
    EXPECT_EQ(store.eligibleLocalIDs({"x", "y", "free"}, A), (SyncIDSet{"free", "x"}));
    EXPECT_EQ(store.eligibleLocalIDs({"x", "y", "free"}, ""), (SyncIDSet{"free"}));
    EXPECT_EQ(store.state(B).pendingPushIDs, SyncIDSet{});
    EXPECT_EQ(store.state(B).reportedIDs, SyncIDSet{"y"});
}

TEST(SyncBookkeepingStoreTest, DeletesAreFiledPerOwnerAndDurableAtOnce) {
    InMemorySyncBookkeepingPersisting defaults;
    SyncBookkeepingStore store(defaults, kKey);
    int requests = 0;
    store.setSaveRequester([&] { ++requests; });
    store.recordCapture("a1", A);
    store.recordCapture("b1", B);
    int writes = defaults.writes;

    auto batches = store.recordDeletes({"a1", "b1", "nobody"}, A);
    std::vector<SyncBookkeepingDeleteBatch> expected{{*SyncBookkeepingStore::accountScope(A), {"a1", "nobody"}},
                                                     {*SyncBookkeepingStore::accountScope(B), {"b1"}}};
    std::sort(expected.begin(), expected.end(), [](auto& l, auto& r) { return l.accountScope < r.accountScope; });
    EXPECT_EQ(batches, expected);
    EXPECT_EQ(defaults.writes, writes + 1);
    EXPECT_FALSE(store.hasUnsavedChanges());
    SyncBookkeepingStore reloaded(defaults, kKey);
    EXPECT_EQ(reloaded.state(A).pendingDeleteIDs, (SyncIDSet{"a1", "nobody"}));
    EXPECT_EQ(reloaded.state(A).effectivePendingPushIDs(), SyncIDSet{});

    // Already pending, or no owner and no account: nothing.
    EXPECT_TRUE(store.recordDeletes({"a1"}, A).empty());
    EXPECT_TRUE(store.recordDeletes({"orphan"}, std::nullopt).empty());
}

std::string clipID(std::size_t n) {
    char text[40];
    std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012zx", n);
    return text;
}

// Deletes are remembered across restarts, a received clip never cancels one, a capture does;
// the memory is bounded, the oldest forgotten first; what an earlier build saved loads back.
TEST(SyncBookkeepingStoreTest, DeletesAreRememberedWithTheirDates) {
    const std::string pending = clipID(1), sent = clipID(2), captured = clipID(3);
    InMemorySyncBookkeepingPersisting defaults;
    {
        SyncBookkeepingStore store(defaults, kKey);
        store.recordDeletes({pending}, A, {{pending, 1'700'000'000}});
        store.markReported(pending, A);
        store.acknowledge({}, {sent, captured}, A);
        store.recordCapture(captured, A);
    }
    SyncBookkeepingStore store(defaults, kKey);
    const auto remembered = store.rememberedDeletes(A);
    EXPECT_EQ(SyncClipKeySet(remembered.begin(), remembered.end()), (SyncClipKeySet{*syncClipKey(pending), *syncClipKey(sent)}));
    EXPECT_FALSE(store.isRememberedDelete(captured, A));
    EXPECT_EQ(store.pendingDeleteDates(A), (std::map<std::string, std::int64_t>{{pending, 1'700'000'000}}));
    store.setSaveRequester([] {});  // saved in one batch, not once per mark
    for (std::size_t i = 0; i < 99'999; ++i) store.acknowledge({}, {clipID(100 + i)}, A);
    EXPECT_TRUE(store.isRememberedDelete(sent, A)) << "100,000 are kept";
    store.acknowledge({}, {clipID(100'099)}, A);
    EXPECT_FALSE(store.isRememberedDelete(sent, A)) << "the oldest is forgotten first";
    EXPECT_TRUE(store.isRememberedDelete(pending, A)) << "a pending delete stays";
    EXPECT_EQ(store.rememberedDeleteCount(A), 100'000u);

    InMemorySyncBookkeepingPersisting earlier;
    earlier.values[kKey] = {
        {"accounts", {{*SyncBookkeepingStore::accountScope(A), {{"deleted_ids", {sent, "not-an-id", captured}}}}}}};
    SyncBookkeepingStore migrated(earlier, kKey);
    migrated.markReported(pending, A);
    EXPECT_EQ(SyncBookkeepingStore(earlier, kKey).rememberedDeletes(A),
              (std::vector{*syncClipKey(sent), *syncClipKey(captured)}));
}

// An acknowledged delete waits unsettled across a quit, with or without the time it was made
// (earlier builds kept none); a new account starts with nothing remembered or unsettled.
TEST(SyncBookkeepingStoreTest, AcknowledgedDeletesWaitUnsettledAndAResetForgetsThem) {
    const std::string timed = clipID(1), untimed = clipID(2);
    InMemorySyncBookkeepingPersisting defaults;
    {
        SyncBookkeepingStore store(defaults, kKey);
        store.recordDeletes({timed}, A, {{timed, 200}}, 1'000);
        store.recordDeletes({untimed}, A, {{untimed, 50}});
        store.acknowledge({}, {timed, untimed}, A);
    }
    SyncBookkeepingStore store(defaults, kKey);
    EXPECT_EQ(store.unsettledDeletes(A), (std::vector<SyncUnsettledDelete>{{timed, 200, 1'000}, {untimed, 50, std::nullopt}}));
    store.resetAccount(A);
    EXPECT_TRUE(store.unsettledDeletes(A).empty());
    EXPECT_EQ(SyncBookkeepingStore(defaults, kKey).rememberedDeleteCount(A), 0u) << "the saved list goes too";
}

// The remembered-deletes table against a plain model: random remembers and forgets over a
// small pool of ids, past the capacity (the oldest go) and past the compaction of its order.
TEST(SyncRememberedDeletesTest, AgreesWithASetModel) {
    for (const auto& [capacity, poolSize, steps] : std::vector<std::tuple<std::size_t, std::size_t, int>>{
             {37, 120, 40'000}, {700, 1'500, 30'000}}) {
        std::mt19937 random(20'261'208);
        std::vector<std::string> pool;
        for (std::size_t i = 0; i < poolSize; ++i) pool.push_back(clipID(random()));
        SyncRememberedDeletes table(capacity);
        std::set<std::string> model;
        std::deque<std::string> order;
        for (int step = 0; step < steps; ++step) {
            const std::string& id = pool[random() % pool.size()];
            if (random() % 4 == 0) {
                table.forget(id);
                if (model.erase(id)) order.erase(std::find(order.begin(), order.end(), id));
            } else {
                table.remember(id);
                if (model.insert(id).second) order.push_back(id);
                if (order.size() > capacity) {
                    model.erase(order.front());
                    order.pop_front();
                }
            }
            ASSERT_EQ(table.size(), model.size()) << step;
            if (step % 97 != 0) continue;
            for (const auto& each : pool) ASSERT_EQ(table.contains(each), model.count(each) > 0) << step;
            std::vector<SyncClipKey> expected;
            for (const auto& each : order) expected.push_back(*syncClipKey(each));
            ASSERT_EQ(table.oldestFirst(), expected) << step;
            SyncRememberedDeletes copy(capacity);
            copy.unpack(table.packed());
            ASSERT_EQ(copy.oldestFirst(), expected) << step;
        }
    }
}

TEST(SyncBookkeepingStoreTest, RoutineMarksAreSavedInBatches) {
    InMemorySyncBookkeepingPersisting defaults;
    SyncBookkeepingStore store(defaults, kKey);
    int requests = 0;
    store.setSaveRequester([&] { ++requests; });
    for (int i = 0; i < 200; ++i) store.markReported("r" + std::to_string(i), A);
    store.acknowledge({"r1"}, {}, A);
    EXPECT_EQ(defaults.writes, 0);
    EXPECT_EQ(requests, 1);
    store.flush();
    EXPECT_EQ(defaults.writes, 1);
    EXPECT_EQ(SyncBookkeepingStore(defaults, kKey).state(A).reportedIDs.size(), 200u);
    store.markReported("late", A);
    EXPECT_EQ(requests, 2);
}

TEST(SyncBookkeepingStoreTest, AcknowledgeClearsPendingAndOwnOwnership) {
    InMemorySyncBookkeepingPersisting defaults;
    SyncBookkeepingStore store(defaults, kKey);
    store.recordCapture("p", A);
    store.recordCapture("d", A);
    store.recordDeletes({"d"}, A);
    store.acknowledge({"p"}, {"d"}, A);
    auto state = store.state(A);
    EXPECT_EQ(state.pendingPushIDs, SyncIDSet{});
    EXPECT_EQ(state.pendingDeleteIDs, SyncIDSet{});
    EXPECT_EQ(state.reportedIDs, SyncIDSet{"p"});
    EXPECT_TRUE(store.recordCapture("d", B));  // its owner entry is gone
}

TEST(SyncBookkeepingStoreTest, RemapMovesIdsAndTheNewOwnerEntryWins) {
    InMemorySyncBookkeepingPersisting defaults;
    SyncBookkeepingStore store(defaults, kKey);
    store.recordCapture("old", A);
    store.recordCapture("taken", B);
    store.remapID("old", "new");
    EXPECT_EQ(store.state(A).reportedIDs, SyncIDSet{"new"});
    EXPECT_EQ(store.state(A).pendingPushIDs, SyncIDSet{"new"});
    EXPECT_FALSE(store.recordCapture("new", B));
    EXPECT_TRUE(store.recordCapture("old", B));  // the old id has no owner any more

    store.recordCapture("mine", A);
    store.remapID("mine", "taken");
    EXPECT_TRUE(store.state(A).reportedIDs.count("taken"));
    EXPECT_FALSE(store.recordCapture("taken", A));  // B's entry stayed
    store.remapID("taken", "taken");
    EXPECT_TRUE(store.state(B).reportedIDs.count("taken"));
}

TEST(SyncBookkeepingStoreTest, UnreadableStoredValueIsKeptAside) {
    InMemorySyncBookkeepingPersisting defaults;
    defaults.values[kKey] = "garbage";
    SyncBookkeepingStore store(defaults, kKey);
    store.recordCapture("x", A);
    EXPECT_EQ(defaults.values.at(std::string(kKey) + ".unreadable"), "garbage");
}

}  // namespace
}  // namespace harbelle::sync
