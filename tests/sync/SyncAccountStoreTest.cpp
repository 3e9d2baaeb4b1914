#include <gtest/gtest.h>

#include "sync/InMemorySyncSecureStore.h"
#include "sync/SyncAccountStore.h"

namespace harbelle::sync {
namespace {

SyncSession sampleSession() {
    SyncSession s;
    s.baseURL = "http://127.0.0.1:8080/";
    s.email = "a@example.com";
    s.token = "token";
    s.deviceID = "device";
    s.deviceName = "Desk";
    s.syncKey = std::string(32, '\x07');
    s.lastPulledSeq = 42;
    s.syncedClipCount = 3;
    s.originBackfillVersion = 1;
    s.pendingBlobFetches.push_back({{7, "upsert", "id", 5, std::string("\x01sealed"), std::string(64, 'a')}, 2});
    return s;
}

TEST(SyncAccountStoreTest, SessionRoundTripsAsSortedJson) {
    auto secure = std::make_shared<InMemorySyncSecureStore>();
    SyncAccountStore store(secure);
    EXPECT_EQ(store.loadSession(), std::nullopt);
    store.saveSession(sampleSession());
    EXPECT_EQ(store.loadSession(), sampleSession());
    std::string stored = secure->items().at("session");
    EXPECT_LT(stored.find("\"base_url\":\"http://127.0.0.1:8080/\""), stored.find("\"device_id\""));
    store.clearSession();
    EXPECT_EQ(store.loadSession(), std::nullopt);
}

TEST(SyncAccountStoreTest, LockedStoreIsAnErrorNeverNoSession) {
    auto secure = std::make_shared<InMemorySyncSecureStore>();
    SyncAccountStore store(secure);
    store.saveSession(sampleSession());
    secure->setLocked(true);
    EXPECT_THROW(store.loadSession(), SyncSecureStoreError);
    EXPECT_THROW(store.saveSession(sampleSession()), SyncSessionStorageError);
    EXPECT_THROW(store.clearSession(), SyncSecureStoreError);
    secure->setLocked(false);
    EXPECT_EQ(store.loadSession(), sampleSession());
}

TEST(SyncAccountStoreTest, UnreadableSessionReadsAsNone) {
    auto secure = std::make_shared<InMemorySyncSecureStore>();
    SyncAccountStore store(secure);
    for (const char* bad : {"not json", "{}", R"({"base_url":"x","email":"e","token":"t","device_id":"d","sync_key":"c2hvcnQ="})"}) {
        secure->write("session", bad);
        EXPECT_EQ(store.loadSession(), std::nullopt) << bad;
    }
}

TEST(SyncAccountStoreTest, PendingRevocationsAreKeptOnceAndRemoved) {
    auto secure = std::make_shared<InMemorySyncSecureStore>();
    SyncAccountStore store(secure);
    SyncPendingRevocation a{"http://127.0.0.1:1/", "t1"}, b{"http://127.0.0.1:1/", "t2"};
    store.addPendingRevocation(a);
    store.addPendingRevocation(b);
    store.addPendingRevocation(a);
    EXPECT_EQ(store.pendingRevocations(), (std::vector<SyncPendingRevocation>{a, b}));
    store.removePendingRevocation(a);
    EXPECT_EQ(store.pendingRevocations(), (std::vector<SyncPendingRevocation>{b}));
    store.removePendingRevocation(b);
    EXPECT_EQ(secure->items().count("pending-revocations"), 0u);
}

}  // namespace
}  // namespace harbelle::sync
