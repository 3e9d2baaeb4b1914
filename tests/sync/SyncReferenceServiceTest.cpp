#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "SyncServiceHarness.h"
#include "sync/HTTPSyncBlobTransport.h"

namespace harbelle::sync {
namespace {

using Kind = SyncReferenceService::ForcedAnswer::Kind;

const std::string A = "00000000-0000-4000-8000-00000000000a";
const std::string B = "00000000-0000-4000-8000-00000000000b";
const std::string C = "00000000-0000-4000-8000-00000000000c";
const std::string Gone = "00000000-0000-4000-8000-0000000000ff";

class SyncReferenceServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        service.start();
        client = std::make_unique<HTTPSyncAPIClient>(service.baseURL());
        account = testing::registerAccount(*client, "rules@example.com");
    }

    SyncPushItem item(const std::string& id, std::int64_t createdAt, const std::string& mac, bool replace = false) {
        return {id, createdAt, mac, "sealed-" + id + "-" + std::to_string(createdAt), std::nullopt, replace,
                "cmac-" + std::to_string(createdAt)};
    }

    SyncReferenceService service;
    std::unique_ptr<HTTPSyncAPIClient> client;
    testing::RegisteredAccount account;
};

TEST_F(SyncReferenceServiceTest, PushRulesInOrder) {
    client->deleteClips(account.token, {{Gone, "dmac"}});
    auto results = client->push(account.token, {item(A, 10, "m1"), item(A, 10, "m1"), item(A, 11, "m1"),
                                                item(A, 5, "m9", true), item(B, 20, "m9"), item(C, 3, "m9"),
                                                item(Gone, 99, "m7")});
    std::vector<std::pair<std::string, std::string>> got;
    for (const auto& r : results) got.emplace_back(r.status, r.canonicalID);
    std::vector<std::pair<std::string, std::string>> expected{{"stored", A},   {"unchanged", A}, {"updated", A},
                                                              {"updated", A},  {"duplicate", A}, {"duplicate", A},
                                                              {"deleted", Gone}};
    EXPECT_EQ(got, expected);
    // The later duplicate moved the record forward and logged an upsert; the earlier one did not.
    auto page = client->pull(account.token, 0, 500);
    ASSERT_EQ(page.events.size(), 4u);  // stored, two updates, the move; tombstones log nothing
    EXPECT_EQ(page.events.back().clientID, A);
    EXPECT_EQ(page.events.back().createdAt, 20);
    EXPECT_EQ(page.events.back().createdMac, "cmac-20") << "the date moves with its MAC";
    EXPECT_EQ(page.latestSeq, page.events.back().seq);
    // A delete made again for a later record (another MAC) is logged; the same one is not.
    client->deleteClips(account.token, {{Gone, "dmac"}, {Gone, "dmac-later"}});
    auto again = client->pull(account.token, page.latestSeq, 500);
    ASSERT_EQ(again.events.size(), 1u);
    EXPECT_EQ(again.events[0].deleteMac, "dmac-later");
}

TEST_F(SyncReferenceServiceTest, PullPagesByLimitAndSizeAndReportsLatestSeq) {
    std::vector<SyncPushItem> items;
    for (int i = 0; i < 30; ++i) items.push_back(item(randomUUID(), i, "mac" + std::to_string(i)));
    client->push(account.token, items);
    auto first = client->pull(account.token, 0, 10);
    EXPECT_EQ(first.events.size(), 10u);
    EXPECT_TRUE(first.hasMore);
    EXPECT_EQ(first.latestSeq, 30);
    service.setMaxEventPageBytes(1);  // always at least one event
    auto small = client->pull(account.token, first.events.back().seq, 10);
    ASSERT_EQ(small.events.size(), 1u);
    EXPECT_EQ(small.events[0].seq, 11);
    auto empty = client->pull(account.token, 30, 10);
    EXPECT_TRUE(empty.events.empty());
    EXPECT_FALSE(empty.hasMore);
    EXPECT_EQ(empty.latestSeq, 30);
    service.resetSequence(account.email);
    EXPECT_EQ(client->pull(account.token, 30, 10).latestSeq, 0);
}

TEST_F(SyncReferenceServiceTest, InjectedEventsAndHiddenBlobs) {
    SyncPullEvent bad{0, "upsert", "x", 5, std::string("\x02garbage"), std::string(64, 'b')};
    std::int64_t seq = service.injectEvent(account.email, bad);
    auto page = client->pull(account.token, seq - 1, 10);
    ASSERT_EQ(page.events.size(), 1u);
    EXPECT_EQ(page.events[0].ciphertext, bad.ciphertext);
    EXPECT_EQ(page.events[0].blobKey, bad.blobKey);

    HTTPSyncBlobTransport blobs(service.baseURL());
    std::string key(64, 'e');
    service.putBlob(account.email, key, "sealed");
    service.hideBlob(key, 1);
    EXPECT_EQ(blobs.download(account.token, key), std::nullopt);
    EXPECT_EQ(blobs.download(account.token, key), "sealed");
}

TEST_F(SyncReferenceServiceTest, DumpHoldsNoPlaintextKeyOrPassword) {
    auto keys = deriveContentKeys(account.syncKey);
    const std::string id = randomUUID();
    const std::string text = "the secret text of a clip";
    SyncClipPayload payload{std::nullopt, "text", std::nullopt, text, 1};
    client->push(account.token, {{id, 1, textContentMac(keys.macKey, text), sealClip(keys.clipKey, encodeClipPayload(payload), id),
                                  std::nullopt, false, "cmac"}});
    std::string dump = service.dump().dump();
    for (const std::string& secret : {text, account.password, base64Encode(account.syncKey), hexLower(account.syncKey)})
        EXPECT_EQ(dump.find(secret), std::string::npos) << secret;
}

TEST(SyncReferenceServiceProgramTest, KeepsItsDataFileAcrossRestarts) {
    auto folder = std::filesystem::temp_directory_path() / ("harbelle-sync-service-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::string data = (folder / "service.json").string();
    // A free port: bind one, release it, hand it to the program.
    int port = 0;
    {
        SyncReferenceService probe;
        port = probe.start();
    }
    auto launch = [&] {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::execl(HARBELLE_SYNC_SERVICE_BINARY, HARBELLE_SYNC_SERVICE_BINARY, "--port", std::to_string(port).c_str(), "--data",
                    data.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return pid;
    };
    auto waitReady = [&](HTTPSyncAPIClient& c) {
        for (int i = 0; i < 100; ++i) {
            try {
                c.health();
                return true;
            } catch (const SyncServiceError&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
            }
        }
        return false;
    };
    auto stop = [](pid_t pid) {
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string base = "http://127.0.0.1:" + std::to_string(port) + "/";
    pid_t first = launch();
    HTTPSyncAPIClient client(base);
    ASSERT_TRUE(waitReady(client));
    auto account = testing::registerAccount(client, "kept@example.com");
    client.push(account.token, {{randomUUID(), 1, "mac", "sealed", std::nullopt, false, "cmac"}});
    EXPECT_EQ(stop(first), 0);
    EXPECT_EQ(std::filesystem::status(data).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    pid_t second = launch();
    HTTPSyncAPIClient again(base);
    ASSERT_TRUE(waitReady(again));
    EXPECT_EQ(again.pull(account.token, 0, 10).events.size(), 1u);
    EXPECT_EQ(stop(second), 0);
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace harbelle::sync
