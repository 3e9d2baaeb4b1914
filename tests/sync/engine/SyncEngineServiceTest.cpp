// Engines over real HTTP to the loopback reference service.
#include <gtest/gtest.h>

#include "SyncEngineTestSupport.h"
#include "sync/HTTPSyncAPIClient.h"
#include "sync/HTTPSyncBlobTransport.h"
#include "sync/SyncCrypto.h"
#include "sync/SyncReferenceService.h"

namespace harbelle::sync::testing {
namespace {

using std::chrono::seconds;

const std::string kEmail = "sync@example.com";
const std::string kPassword = "correct horse battery";

std::unique_ptr<SyncEngineHarness> httpEngine(std::shared_ptr<InMemorySyncSecureStore> secure = nullptr) {
    return std::make_unique<SyncEngineHarness>(
        [](const std::string& url) { return std::make_unique<HTTPSyncAPIClient>(url); },
        SyncEngine::defaultBlobFactory(), nullptr, SyncPollTimings{}, std::move(secure));
}

// Every byte the service keeps: the dump itself and each decoded Base64 field.
std::string storedBytes(const nlohmann::json& dump) {
    std::string all = dump.dump();
    for (const auto& [email, account] : dump["accounts"].items()) {
        for (const auto& [id, record] : account["records"].items())
            all += base64Decode(record["ciphertext"].get<std::string>()).value_or("");
        for (const auto& [key, blob] : account["blobs"].items()) all += base64Decode(blob.get<std::string>()).value_or("");
        all += base64Decode(account["wrapped_sync_key"].get<std::string>()).value_or("");
    }
    return all;
}

struct EnginesOverHTTP : ::testing::Test {
    void SetUp() override {
        service.start();
        a = httpEngine();
        ASSERT_EQ(a->registerAccount(service.baseURL(), kEmail, kPassword), nullptr);
        b = httpEngine();
        ASSERT_EQ(b->signIn(service.baseURL(), "  Sync@Example.com\n", kPassword), nullptr);
    }
    void TearDown() override {
        a.reset();
        b.reset();
        service.stop();
    }
    std::size_t insertsOn(SyncEngineHarness& engine) {
        return std::size_t(std::count_if(engine.recorder.actions.begin(), engine.recorder.actions.end(), [](auto& a) {
            return std::holds_alternative<SyncMergeInsertNew>(a);
        }));
    }

    SyncReferenceService service;
    std::unique_ptr<SyncEngineHarness> a, b;
    SyncDate now{seconds(1'800'000'000)};
};

TEST_F(EnginesOverHTTP, TextsAndImagesArriveWholeAndTheServiceSeesNoPlaintext) {
    std::map<std::string, std::string> texts;
    for (int i = 0; i < 120; ++i) {
        auto id = newClipID();
        texts[id] = "clip text number " + std::to_string(i) + " with a secret";
        a->noteText(id, texts[id], now + seconds(i));
    }
    std::map<std::string, SyncBlobPayload> images;
    for (int i = 0; i < 2; ++i) {
        auto id = newClipID();
        images[id] = imagePayload(makePNG(100 + i, 40'000));
        a->noteImage(id, images[id], now + seconds(200 + i));
    }
    // B already holds one of the texts under its own identifier, not yet pushed.
    auto duplicateLocal = newClipID();
    const auto& [sharedID, sharedText] = *texts.begin();
    b->noteText(duplicateLocal, sharedText, now - seconds(5));

    a->syncNow();
    EXPECT_FALSE(a->hasPendingChanges());
    b->syncNow();

    EXPECT_FALSE(b->hasPendingChanges());
    ASSERT_EQ(b->recorder.canonicalizations.size(), 1u);
    EXPECT_EQ(b->recorder.canonicalizations[0], std::make_pair(duplicateLocal, sharedID));
    for (const auto& [id, text] : texts) {
        const auto* clip = b->recorder.find(id);
        ASSERT_NE(clip, nullptr) << text;
        EXPECT_EQ(clip->text, text);
    }
    for (const auto& action : b->recorder.actions)
        if (auto* insert = std::get_if<SyncMergeInsertNew>(&action); insert && insert->blob) {
            ASSERT_TRUE(images.count(insert->clientID));
            EXPECT_EQ(insert->blob->digest, images[insert->clientID].digest);
            EXPECT_EQ(sha256Hex(insert->blob->data), images[insert->clientID].digest);
            images.erase(insert->clientID);
        }
    EXPECT_TRUE(images.empty()) << "every image arrived";
    EXPECT_EQ(b->lastStatus().skippedEventCount, 0);

    auto stored = storedBytes(service.dump());
    EXPECT_EQ(stored.find("with a secret"), std::string::npos);
    EXPECT_EQ(stored.find(kPassword), std::string::npos);
    auto png = makePNG(100, 40'000);
    EXPECT_EQ(stored.find(png.substr(png.size() / 2, 64)), std::string::npos);
}

TEST_F(EnginesOverHTTP, ConnectionDroppedMidBatchLosesAndDuplicatesNothing) {
    std::set<std::string> ids;
    for (int i = 0; i < 70; ++i) {
        auto id = newClipID();
        ids.insert(id);
        a->noteText(id, "dropped batch " + std::to_string(i), now);
    }
    SyncReferenceService::ForcedAnswer drop;
    drop.kind = SyncReferenceService::ForcedAnswer::Kind::dropConnection;
    service.force("push", drop);
    a->syncNow();
    EXPECT_TRUE(a->hasPendingChanges()) << "the answer never came";
    a->syncNow();
    EXPECT_FALSE(a->hasPendingChanges());
    b->syncNow();
    EXPECT_EQ(insertsOn(*b), 70u);
    std::set<std::string> received;
    for (const auto& clip : b->recorder.local) received.insert(clip.clientID);
    EXPECT_EQ(received, ids);
    EXPECT_EQ(service.dump()["accounts"][kEmail]["records"].size(), 70u);
}

TEST_F(EnginesOverHTTP, ImageWhoseBlobIsMissingArrivesOnceTheBlobIsThere) {
    auto id = newClipID();
    auto image = imagePayload(makePNG(9, 20'000));
    a->noteImage(id, image, now);
    a->syncNow();
    auto session = a->accounts->loadSession().value();
    service.hideBlob(blobKeyForDigest(deriveContentKeys(session.syncKey).macKey, image.digest), 1);
    b->syncNow();
    EXPECT_EQ(insertsOn(*b), 0u) << "not applied without its image";
    b->syncNow();
    ASSERT_EQ(insertsOn(*b), 1u);
    const auto& insert = std::get<SyncMergeInsertNew>(b->recorder.actions.back());
    EXPECT_EQ(insert.clientID, id);
    ASSERT_TRUE(insert.blob);
    EXPECT_EQ(insert.blob->data, image.data);
}

TEST_F(EnginesOverHTTP, OversizeClipIsRejectedAndTheRestArrive) {
    auto big = newClipID();
    a->noteText(newClipID(), "before", now);
    a->noteText(big, std::string(400 << 10, 'b'), now);
    a->noteText(newClipID(), "after", now);
    a->syncNow();
    ASSERT_EQ(a->recorder.rejections.size(), 1u);
    EXPECT_EQ(a->recorder.rejections[0], std::make_pair(big, SyncClipRejection::tooLarge));
    EXPECT_FALSE(a->hasPendingChanges());
    b->syncNow();
    EXPECT_EQ(insertsOn(*b), 2u);
}

TEST_F(EnginesOverHTTP, PasswordChangeEndsOtherSessionsAndTheNewPasswordOpensOldClips) {
    auto id = newClipID();
    a->noteText(id, "written before the change", now);
    a->syncNow();
    std::int64_t revoked = 0;
    ASSERT_EQ(a->changePassword("a brand new password", &revoked), nullptr);
    EXPECT_EQ(revoked, 1);
    b->syncNow();
    EXPECT_FALSE(b->lastStatus().isSignedIn);
    EXPECT_EQ(b->lastStatus().lastErrorDescription, "Your sync session ended. Sign in again to keep syncing.");

    auto c = httpEngine();
    EXPECT_EQ(serviceCode(c->signIn(service.baseURL(), kEmail, kPassword)), SyncServiceErrorCode::invalidCredentials);
    ASSERT_EQ(c->signIn(service.baseURL(), kEmail, "a brand new password"), nullptr);
    c->syncNow();
    const auto* clip = c->recorder.find(id);
    ASSERT_NE(clip, nullptr);
    EXPECT_EQ(clip->text, "written before the change");
}

TEST_F(EnginesOverHTTP, DroppedLogoutIsRevokedByTheNextBootstrap) {
    auto token = service.liveTokens(kEmail);
    ASSERT_EQ(token.size(), 2u);
    SyncReferenceService::ForcedAnswer unavailable;
    unavailable.status = 503;
    service.force("logout", unavailable);
    auto secure = b->secure;
    b->signOut();
    b->settle();
    EXPECT_EQ(service.liveTokens(kEmail).size(), 2u) << "the logout did not get through";
    EXPECT_EQ(b->accounts->pendingRevocations().size(), 1u);
    b.reset();

    auto again = httpEngine(secure);
    again->bootstrap();
    EXPECT_EQ(service.liveTokens(kEmail).size(), 1u);
    EXPECT_TRUE(again->accounts->pendingRevocations().empty());
    EXPECT_FALSE(again->lastStatus().isSignedIn);
}

}  // namespace
}  // namespace harbelle::sync::testing
