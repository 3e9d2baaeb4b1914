// The engine's handling of the service's answers, against the scripted service.
#include <gtest/gtest.h>

#include "ScriptedSyncAPI.h"
#include "sync/SyncCrypto.h"
#include "SyncEngineTestSupport.h"

namespace harbelle::sync::testing {
namespace {

using std::chrono::seconds;

const std::string kSyncKey(32, '\x2a');
const SyncContentKeys kKeys = deriveContentKeys(kSyncKey);

SyncPullEvent textEvent(std::int64_t seq, const std::string& id, const std::string& text, std::int64_t createdAt) {
    SyncClipPayload payload;
    payload.text = text;
    return {seq,          "upsert",
            id,           createdAt,
            sealClip(kKeys.clipKey, encodeClipPayload(payload), id),
            std::nullopt, createdMac(kKeys.macKey, textContentMac(kKeys.macKey, text), createdAt),
            std::nullopt};
}

SyncPullEvent imageEvent(std::int64_t seq, const std::string& id, const SyncBlobPayload& blob, std::int64_t createdAt) {
    SyncClipPayload payload;
    payload.kind = "image";
    auto key = blobKeyForDigest(kKeys.macKey, blob.digest);
    payload.blob = SyncClipBlobInfo{std::int64_t(blob.data.size()), blob.contentType, blob.digest, key,
                                    blob.pixelHeight, blob.pixelWidth};
    return {seq, "upsert", id, createdAt, sealClip(kKeys.clipKey, encodeClipPayload(payload), id), key,
            createdMac(kKeys.macKey, imageContentMac(kKeys.macKey, blob.digest), createdAt), std::nullopt};
}

// Pages served once each, then empty pages at the last sequence.
std::function<SyncPullResponse(std::int64_t, int)> pages(std::vector<std::vector<SyncPullEvent>> list) {
    auto shared = std::make_shared<std::vector<std::vector<SyncPullEvent>>>(std::move(list));
    return [shared](std::int64_t since, int) {
        SyncPullResponse response;
        std::int64_t latest = since;
        for (const auto& page : *shared)
            for (const auto& event : page) latest = std::max(latest, event.seq);
        response.latestSeq = latest;
        for (const auto& page : *shared)
            if (!page.empty() && page.back().seq > since) {
                for (const auto& event : page)
                    if (event.seq > since) response.events.push_back(event);
                response.hasMore = page.back().seq < latest;
                break;
            }
        return response;
    };
}

struct EngineMends : ::testing::Test {
    void SetUp() override {
        service->kdf = {"pbkdf2-sha256", std::string(16, 's'), 600'000};
        harness = std::make_unique<SyncEngineHarness>(scriptedAPIFactory(service), scriptedBlobFactory(service));
        signInAgain();
    }
    void signInAgain() {
        SyncSession session;
        session.baseURL = "http://127.0.0.1:9/";
        session.email = "a@example.com";
        session.token = "token-a";
        session.deviceID = "device-a";
        session.deviceName = "Test device";
        session.syncKey = kSyncKey;
        harness->accounts->saveSession(session);
        harness->bootstrap();
    }
    std::vector<SyncPushItem> lastPush() {
        std::lock_guard lock(service->mutex);
        return service->pushes.empty() ? std::vector<SyncPushItem>{} : service->pushes.back();
    }
    std::int64_t storedCursor() { return harness->accounts->loadSession().value().lastPulledSeq; }

    std::shared_ptr<ScriptedSyncService> service = std::make_shared<ScriptedSyncService>();
    std::unique_ptr<SyncEngineHarness> harness;
    SyncDate now{seconds(1'800'000'000)};
};

TEST_F(EngineMends, DuplicateIsCanonicalizedBeforeItIsAcknowledged) {
    auto local = newClipID(), canonical = newClipID();
    service->onPush = [&](const std::vector<SyncPushItem>& items) {
        return std::vector<SyncPushResult>{{items[0].clientID, canonical, "duplicate", std::nullopt}};
    };
    harness->recorder.local.push_back({canonical, "same text", now, std::nullopt, std::nullopt, true});
    harness->noteText(local, "same text", now);
    harness->syncNow();
    ASSERT_EQ(harness->recorder.canonicalizations.size(), 1u);
    EXPECT_EQ(harness->recorder.canonicalizations[0], std::make_pair(local, canonical));
    EXPECT_EQ(harness->recorder.acknowledgedPushes(), std::vector<std::string>{canonical});
    auto& order = harness->recorder.order;
    EXPECT_LT(std::find(order.begin(), order.end(), "canonicalize"), std::find(order.begin(), order.end(), "acknowledge"));
    EXPECT_FALSE(harness->hasPendingChanges());
}

TEST_F(EngineMends, EveryPushStatusAcknowledgesAndAMismatchedAnswerAcknowledgesNothing) {
    struct Case {
        std::string status;
        bool answerOtherID;
        bool acknowledged;
    };
    for (const auto& c : std::vector<Case>{{"stored", false, true},
                                           {"updated", false, true},
                                           {"unchanged", false, true},
                                           {"stored", true, false},
                                           {"bogus", false, false}}) {
        SetUp();
        auto id = newClipID();
        service->onPush = [&](const std::vector<SyncPushItem>& items) {
            auto answered = c.answerOtherID ? newClipID() : items[0].clientID;
            return std::vector<SyncPushResult>{{answered, answered, c.status, 1}};
        };
        harness->noteText(id, "status " + c.status, now);
        harness->syncNow();
        auto expected = c.acknowledged ? std::vector<std::string>{id} : std::vector<std::string>{};
        EXPECT_EQ(harness->recorder.acknowledgedPushes(), expected) << c.status;
        EXPECT_EQ(harness->hasPendingChanges(), !c.acknowledged) << c.status;
        EXPECT_TRUE(harness->recorder.actions.empty()) << "\"deleted\" deletes nothing locally";
        EXPECT_EQ(harness->lastStatus().lastErrorDescription.has_value(), !c.acknowledged) << c.status;
    }
}

// "deleted": the pull brings the delete; a clip it did not remove is a later copy, which goes
// up again under a new id in the same round, once.
TEST_F(EngineMends, APushAnsweredDeletedSettlesByTheDeleteItPulls) {
    const std::int64_t date = wireSeconds(now);
    // The date the pulled delete was made for (none: no delete left in the log), whether the
    // new id is answered "deleted" too, and whether the clip leaves its id.
    for (const auto& [deletedFor, alwaysDeleted, leaves] : std::vector<std::tuple<std::optional<std::int64_t>, bool, bool>>{
             {date, false, false}, {date - 5, false, true}, {std::nullopt, false, true}, {std::nullopt, true, true}}) {
        service = std::make_shared<ScriptedSyncService>();
        SetUp();
        auto id = newClipID();
        service->onPush = [&, always = alwaysDeleted](const std::vector<SyncPushItem>& items) {
            auto status = items[0].clientID == id || always ? "deleted" : "stored";
            return std::vector<SyncPushResult>{{items[0].clientID, items[0].clientID, status, 1}};
        };
        SyncPullEvent gone{1, "delete", id};
        if (deletedFor) gone.deleteMac = deleteMac(kKeys.macKey, id, *deletedFor);
        service->onPull = pages({deletedFor ? std::vector<SyncPullEvent>{gone} : std::vector<SyncPullEvent>{}});
        harness->noteText(id, "copied again", now);
        harness->syncNow();  // one round
        const auto acknowledged = harness->recorder.acknowledgedPushes();
        ASSERT_EQ(acknowledged.size(), 1u);
        EXPECT_FALSE(harness->hasPendingChanges());
        EXPECT_EQ(service->count("push"), leaves ? 2u : 1u);
        EXPECT_EQ(harness->recorder.find(id), nullptr);
        EXPECT_EQ(harness->recorder.canonicalizations.size(), leaves ? 1u : 0u);
        if (leaves) EXPECT_EQ(harness->recorder.find(acknowledged[0])->text, "copied again");
    }
}

// Another device copied the clip again just before our delete reached the service: the delete
// is made again for a later record of the id copied before the delete was made, also when it
// was acknowledged before a quit; never for the same or an earlier record, nor for a copy made
// after the delete (that device's own), nor after a sign-out.
TEST_F(EngineMends, ADeleteIsMadeAgainForALaterRecordOfItsId) {
    const std::int64_t held = wireSeconds(now);
    struct Case {
        std::int64_t pulled;
        std::optional<std::int64_t> deletedAt;  // none: made before times were kept
        enum { inThisRun, afterAQuit, afterASignOut } when;
        bool renewed;
    };
    for (const auto& c : std::vector<Case>{{held + 5, std::nullopt, Case::inThisRun, true},
                                           {held, std::nullopt, Case::inThisRun, false},
                                           {held - 5, std::nullopt, Case::inThisRun, false},
                                           {held + 5, held + 5, Case::inThisRun, true},
                                           {held + 5, held + 4, Case::inThisRun, false},
                                           {held + 5, held + 9, Case::afterAQuit, true},
                                           {held + 5, held + 9, Case::afterASignOut, false}}) {
        SCOPED_TRACE(::testing::Message() << c.pulled - held << " " << int(c.when));
        service = std::make_shared<ScriptedSyncService>();
        SetUp();
        auto id = newClipID();
        const std::optional<SyncDate> made = c.deletedAt ? std::optional(dateFromWireSeconds(*c.deletedAt)) : std::nullopt;
        harness->recorder.local.push_back({id, "copied twice", now, std::nullopt, std::nullopt, true});
        if (c.when == Case::afterAQuit) {
            harness->noteDeletes({id}, made, true);  // as the bookkeeping hands it over at the start
        } else {
            harness->noteDeletes({id}, made);
            harness->syncNow();
        }
        if (c.when == Case::afterASignOut) {
            harness->signOut();
            signInAgain();
        }
        harness->recorder.deleted.insert(id);  // as the bookkeeping remembers it
        service->onPull = pages({{textEvent(1, id, "copied twice", c.pulled),
                                  {2, "delete", id, {}, {}, {}, {}, deleteMac(kKeys.macKey, id, held)}}});
        harness->syncNow();
        std::lock_guard lock(service->mutex);
        const std::size_t sent = (c.when == Case::afterAQuit ? 0u : 1u) + (c.renewed ? 1u : 0u);
        ASSERT_EQ(service->deleteItems.size(), sent);
        if (c.renewed) EXPECT_EQ(service->deleteItems.back()[0].deleteMac, deleteMac(kKeys.macKey, id, c.pulled));
        EXPECT_EQ(harness->recorder.renewedDeletes.size(), c.renewed ? 1u : 0u) << "kept pending by the application";
        EXPECT_TRUE(harness->recorder.actions.empty());
        EXPECT_EQ(harness->recorder.settledDeletes, std::vector<std::string>{id}) << "settled at the log's end";
    }
}

TEST_F(EngineMends, PullCanonicalizationRekeysTheQueuedPushWhichIsSealedUnderTheNewID) {
    auto local = newClipID(), remote = newClipID();
    // The first push is refused, so the clip is still queued when the pull matches it.
    service->fail("push", SyncServiceError(SyncServiceErrorCode::invalidRequest));
    service->onPull = pages({{textEvent(1, remote, "hello", wireSeconds(now) + 60)}});
    harness->noteText(local, "hello", now);
    harness->syncNow();
    ASSERT_EQ(harness->recorder.canonicalizations.size(), 1u);
    EXPECT_EQ(harness->recorder.canonicalizations[0], std::make_pair(local, remote));
    // It takes the record's later date: one date per id on every device.
    EXPECT_EQ(wireSeconds(harness->recorder.find(remote)->createdAt), wireSeconds(now) + 60);
    EXPECT_TRUE(harness->hasPendingChanges());
    harness->syncNow();
    auto pushed = lastPush();
    ASSERT_EQ(pushed.size(), 1u);
    EXPECT_EQ(pushed[0].clientID, remote);
    auto opened = decodeClipPayload(openClip(kKeys.clipKey, pushed[0].ciphertext, remote));
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->text, "hello");
    EXPECT_FALSE(harness->hasPendingChanges());
}

TEST_F(EngineMends, ImageEventWaitsForItsBlobWhileTheCursorMovesOn) {
    auto png = makePNG(1);
    auto blob = imagePayload(png);
    auto imageID = newClipID(), textID = newClipID();
    service->onPull = pages({{imageEvent(1, imageID, blob, 1'700'000'000), textEvent(2, textID, "t", 1'700'000'000)}});
    harness->syncNow();
    ASSERT_EQ(harness->recorder.actions.size(), 1u) << "only the text";
    EXPECT_EQ(std::get<SyncMergeInsertNew>(harness->recorder.actions[0]).clientID, textID);
    EXPECT_EQ(storedCursor(), 2);
    EXPECT_EQ(harness->accounts->loadSession()->pendingBlobFetches.size(), 1u);

    harness->syncNow();
    EXPECT_EQ(harness->recorder.actions.size(), 1u) << "still missing";
    {
        std::lock_guard lock(service->mutex);
        service->blobs[blobKeyForDigest(kKeys.macKey, blob.digest)] =
            sealBlob(kKeys.blobKey, png, blobKeyForDigest(kKeys.macKey, blob.digest));
    }
    harness->syncNow();
    ASSERT_EQ(harness->recorder.actions.size(), 2u);
    const auto& insert = std::get<SyncMergeInsertNew>(harness->recorder.actions[1]);
    EXPECT_EQ(insert.clientID, imageID);
    ASSERT_TRUE(insert.blob);
    EXPECT_EQ(insert.blob->data, png);
    EXPECT_EQ(insert.blob->digest, blob.digest);
    EXPECT_TRUE(harness->accounts->loadSession()->pendingBlobFetches.empty());
}

TEST_F(EngineMends, UnopenableEventsAreSkippedAndCounted) {
    auto good = newClipID(), id1 = newClipID(), id2 = newClipID(), id3 = newClipID();
    auto badVersion = textEvent(1, id1, "x", 1);
    (*badVersion.ciphertext)[0] = '\x02';
    auto wrongAAD = textEvent(2, id2, "y", 1);
    wrongAAD.ciphertext = textEvent(2, newClipID(), "y", 1).ciphertext;
    auto version2 = SyncPullEvent{3, "upsert", id3, 1,
                                  sealClip(kKeys.clipKey, R"({"kind":"text","text":"z","v":2})", id3), std::nullopt};
    service->onPull = pages({{badVersion, wrongAAD, version2, textEvent(4, good, "fine", 1)}});
    ::testing::internal::CaptureStderr();
    harness->syncNow();
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("skipped 3 events that could not be opened"), std::string::npos) << log;
    EXPECT_EQ(log.find("skipped", log.find("skipped") + 1), std::string::npos) << "one line for the round: " << log;
    ASSERT_EQ(harness->recorder.actions.size(), 1u);
    EXPECT_EQ(std::get<SyncMergeInsertNew>(harness->recorder.actions[0]).clientID, good);
    EXPECT_EQ(harness->lastStatus().skippedEventCount, 3);
    EXPECT_EQ(storedCursor(), 4);
}

TEST_F(EngineMends, CursorMovesOnlyAfterTheWholePage) {
    std::vector<SyncPullEvent> page;
    for (int i = 1; i <= 3; ++i) page.push_back(textEvent(i, newClipID(), "text " + std::to_string(i), 1));
    service->onPull = pages({page});
    harness->recorder.onApply = [&](const SyncMergeAction&) {
        if (harness->recorder.actions.size() == 1) harness->engine->stop();
    };
    harness->syncNow();
    harness->settle();
    EXPECT_EQ(storedCursor(), 0) << "stopped in the middle of the page";
    harness->recorder.onApply = nullptr;
    harness->syncNow();
    EXPECT_EQ(storedCursor(), 3);
    EXPECT_EQ(harness->recorder.local.size(), 3u) << "the re-pulled page adds nothing twice";
}

// A clip edited away (or deleted) while a round runs is not pushed by that round, whose note of
// the delete waits behind it: neither from the queue nor again after a "deleted" answer.
TEST_F(EngineMends, WhatIsEditedAwayDuringARoundIsNotPushedByIt) {
    for (const bool answeredDeleted : {false, true}) {
        SCOPED_TRACE(answeredDeleted);
        service = std::make_shared<ScriptedSyncService>();
        SetUp();
        const auto secret = newClipID();
        const auto editedAway = [&] {
            harness->recorder.local.clear();  // as the history holds it now
            harness->engine->noteLocalDeletes({{secret, now}}, {});
        };
        if (answeredDeleted) {
            service->onPush = [&](const std::vector<SyncPushItem>& items) {
                return std::vector<SyncPushResult>{{items[0].clientID, items[0].clientID, "deleted", 1}};
            };
            // The edit comes while the pull runs, after its first page took the snapshot.
            service->onPull = [&, other = newClipID()](std::int64_t since, int) {
                SyncPullResponse page{{}, 1, since == 0};
                if (since == 0)
                    page.events.push_back(textEvent(1, other, "unrelated", wireSeconds(now)));
                else
                    editedAway();
                return page;
            };
        } else {
            harness->noteDeletes({newClipID()});  // so the round has a delete to send first
            service->onDelete = [&](const std::vector<std::string>& sent) {
                editedAway();
                return sent;
            };
        }
        harness->noteText(secret, "hunter2", now);
        harness->syncNow();
        harness->settle();
        std::lock_guard lock(service->mutex);
        EXPECT_EQ(service->pushes.size(), answeredDeleted ? 1u : 0u) << "pushed before the edit only";
        EXPECT_TRUE(harness->recorder.canonicalizations.empty());
    }
}

TEST_F(EngineMends, ADeleteAcknowledgementClearsOnlyTheIdsOfItsBatch) {
    std::vector<std::string> ids(SyncEngine::maxDeleteIDs + 1);
    for (auto& id : ids) id = newClipID();
    // With the first batch the service also acknowledges the id it was not sent yet.
    service->onDelete = [&](const std::vector<std::string>& sent) {
        auto acknowledged = sent;
        if (sent.size() == SyncEngine::maxDeleteIDs) acknowledged.push_back(ids.back());
        return acknowledged;
    };
    harness->noteDeletes(ids);
    harness->syncNow();
    std::lock_guard lock(service->mutex);
    ASSERT_EQ(service->deletes.size(), 2u);
    EXPECT_EQ(service->deletes[1], std::vector<std::string>{ids.back()});
}

TEST_F(EngineMends, OneBadItemNeverBlocksTheRest) {
    auto bad = newClipID();
    std::vector<std::string> good{newClipID(), newClipID(), newClipID()};
    service->onPush = [&](const std::vector<SyncPushItem>& items) {
        for (const auto& item : items)
            if (item.clientID == bad) throw SyncServiceError(SyncServiceErrorCode::payloadTooLarge);
        std::vector<SyncPushResult> results;
        for (const auto& item : items) results.push_back({item.clientID, item.clientID, "stored", 1});
        return results;
    };
    harness->noteText(good[0], "one", now);
    harness->noteText(bad, "refused by the service", now);
    harness->noteText(good[1], "two", now);
    harness->noteText(newClipID(), std::string(300 << 10, 'x'), now);  // over 256 KiB sealed
    auto hugeImage = imagePayload(makePNG(7, 1'200'000));             // over 1 MiB sealed
    auto hugeID = newClipID();
    harness->noteImage(hugeID, hugeImage, now);
    harness->noteText(good[2], "three", now);
    harness->syncNow();

    auto acknowledged = harness->recorder.acknowledgedPushes();
    std::sort(acknowledged.begin(), acknowledged.end());
    std::sort(good.begin(), good.end());
    EXPECT_EQ(acknowledged, good);
    std::map<SyncClipRejection, int> rejected;
    for (const auto& [id, why] : harness->recorder.rejections) ++rejected[why];
    EXPECT_EQ(rejected[SyncClipRejection::tooLarge], 2);
    EXPECT_EQ(rejected[SyncClipRejection::imageRejected], 1);
    EXPECT_EQ(service->count("upload"), 0u);
    EXPECT_FALSE(harness->hasPendingChanges());
}

TEST_F(EngineMends, BlobKeyFromTheServiceIsNotTrustedAndImagesAreChecked) {
    auto png = makePNG(3);
    auto blob = imagePayload(png);
    auto ourKey = blobKeyForDigest(kKeys.macKey, blob.digest);
    auto lying = imageEvent(1, newClipID(), blob, 1);
    lying.blobKey = std::string(64, 'f');
    {
        std::lock_guard lock(service->mutex);
        service->blobs[ourKey] = sealBlob(kKeys.blobKey, png, ourKey);
        service->blobs[std::string(64, 'f')] = "something else";
    }
    // A blob under the right key whose bytes do not match the digest, and one that is no image.
    auto other = imagePayload(makePNG(4));
    auto wrongBytes = other;
    wrongBytes.data = makePNG(5);
    auto notImage = other;
    notImage.data = "GIF89a not a png";
    notImage.digest = sha256Hex(notImage.data);
    auto wrongKey = blobKeyForDigest(kKeys.macKey, wrongBytes.digest);
    auto notImageKey = blobKeyForDigest(kKeys.macKey, notImage.digest);
    {
        std::lock_guard lock(service->mutex);
        service->blobs[wrongKey] = sealBlob(kKeys.blobKey, wrongBytes.data, wrongKey);
        service->blobs[notImageKey] = sealBlob(kKeys.blobKey, notImage.data, notImageKey);
    }
    const auto mended = newClipID();
    service->onPull = pages({{lying, imageEvent(2, mended, wrongBytes, 1), imageEvent(3, newClipID(), notImage, 1)}});
    harness->syncNow();
    ASSERT_EQ(harness->recorder.actions.size(), 1u);
    EXPECT_EQ(std::get<SyncMergeInsertNew>(harness->recorder.actions[0]).blob->data, png);
    // A failed check counts as a try, as a missing image does: both wait to be fetched again.
    EXPECT_EQ(harness->lastStatus().skippedEventCount, 0);
    EXPECT_EQ(harness->accounts->loadSession()->pendingBlobFetches.size(), 2u);
    {
        std::lock_guard lock(service->mutex);
        EXPECT_EQ(std::count(service->downloads.begin(), service->downloads.end(), std::string(64, 'f')), 0);
        service->blobs[wrongKey] = sealBlob(kKeys.blobKey, other.data, wrongKey);
    }
    harness->syncNow();
    ASSERT_NE(harness->recorder.find(mended), nullptr) << "the mended copy arrives";
    EXPECT_EQ(harness->accounts->loadSession()->pendingBlobFetches.size(), 1u);
}

TEST_F(EngineMends, SignOutClearsTheQueuesAndDeletesNeedASession) {
    harness->noteText(newClipID(), "queued", now);
    harness->noteDeletes({newClipID()});
    ASSERT_TRUE(harness->hasPendingChanges());
    harness->signOut();
    harness->settle();
    EXPECT_FALSE(harness->hasPendingChanges());
    EXPECT_FALSE(harness->lastStatus().isSignedIn);
    EXPECT_FALSE(harness->accounts->loadSession());
    harness->noteDeletes({newClipID()});
    EXPECT_FALSE(harness->hasPendingChanges());
    std::lock_guard lock(service->mutex);
    EXPECT_EQ(service->loggedOut, std::vector<std::string>{"token-a"});
    EXPECT_TRUE(service->deletes.empty());
}

TEST_F(EngineMends, SessionEndedByTheServiceSignsOutAndKeepsEveryClip) {
    harness->recorder.local.push_back({newClipID(), "kept", now, std::nullopt, std::nullopt});
    service->fail("pull", SyncServiceError(SyncServiceErrorCode::unauthorized));
    harness->syncNow();
    auto status = harness->lastStatus();
    EXPECT_FALSE(status.isSignedIn);
    EXPECT_EQ(status.lastErrorDescription, "Your sync session ended. Sign in again to keep syncing.");
    EXPECT_FALSE(harness->accounts->loadSession());
    EXPECT_TRUE(harness->recorder.actions.empty());
    EXPECT_EQ(harness->recorder.local.size(), 1u);
}

TEST_F(EngineMends, FailedSignInLogsTheTokenOutOrKeepsItForBootstrap) {
    harness->signOut();
    service->loginAnswer = {"token-left", "device-2", std::string(61, 'w')};  // does not unwrap
    EXPECT_EQ(engineCode(harness->signIn("http://127.0.0.1:9/", "a@example.com", "password 123")),
              SyncEngineErrorCode::crypto);
    {
        std::lock_guard lock(service->mutex);
        EXPECT_EQ(service->loggedOut.back(), "token-left");
    }
    service->fail("logout", SyncServiceError(SyncServiceErrorCode::transport));
    service->loginAnswer.token = "token-dropped";
    EXPECT_EQ(engineCode(harness->signIn("http://127.0.0.1:9/", "a@example.com", "password 123")),
              SyncEngineErrorCode::crypto);
    auto pending = harness->accounts->pendingRevocations();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].token, "token-dropped");
    harness->bootstrap();
    EXPECT_TRUE(harness->accounts->pendingRevocations().empty());
    std::lock_guard lock(service->mutex);
    EXPECT_EQ(service->loggedOut.back(), "token-dropped");
}

TEST_F(EngineMends, LockedKeyringIsAnErrorNeverNoSession) {
    harness->signOut();
    service->loginAnswer = {"token-unsaved", "device-3", wrapSyncKey(deriveAccountKeys("password 123", service->kdf.salt, 600'000).kek, kSyncKey, "a@example.com")};
    harness->secure->setLocked(true);
    auto error = harness->signIn("http://127.0.0.1:9/", "a@example.com", "password 123");
    ASSERT_TRUE(error);
    EXPECT_THROW(std::rethrow_exception(error), SyncKeyringUnavailableError);
    // Locked between that check and the save: the live token is still not left behind.
    harness->secure->setLocked(false);
    service->onLogin = [&] { harness->secure->setLocked(true); };
    error = harness->signIn("http://127.0.0.1:9/", "a@example.com", "password 123");
    ASSERT_TRUE(error);
    EXPECT_THROW(std::rethrow_exception(error), SyncSessionStorageError);
    {
        std::lock_guard lock(service->mutex);
        service->onLogin = nullptr;
        EXPECT_EQ(service->loggedOut.back(), "token-unsaved") << "the live token is not left behind";
    }
    harness->bootstrap();
    EXPECT_FALSE(harness->lastStatus().isSignedIn);
    EXPECT_TRUE(harness->lastStatus().lastErrorDescription.has_value());
    harness->secure->setLocked(false);
    ASSERT_EQ(harness->signIn("http://127.0.0.1:9/", "a@example.com", "password 123"), nullptr);
    EXPECT_TRUE(harness->lastStatus().isSignedIn);
}

TEST_F(EngineMends, PullHalvesARefusedPageAndStartsOverAfterAServiceReset) {
    auto id = newClipID();
    std::vector<int> limits;
    bool reset = false;
    service->onPull = [&](std::int64_t since, int limit) {
        limits.push_back(limit);
        SyncPullResponse response;
        if (reset) {
            response.latestSeq = 1;
            if (since < 1) response.events.push_back(textEvent(1, id, "after the reset", 1));
            return response;
        }
        response.latestSeq = 40;
        if (since < 40) response.events.push_back(textEvent(40, newClipID(), "before", 1));
        return response;
    };
    service->fail("pull", SyncServiceError::tooLargeResponse("over 32 MiB"), 2);
    harness->syncNow();
    EXPECT_EQ(limits, (std::vector<int>{125}));
    EXPECT_EQ(storedCursor(), 40);
    reset = true;
    harness->syncNow();
    EXPECT_EQ(storedCursor(), 1);
    EXPECT_NE(harness->recorder.find(id), nullptr);
    std::lock_guard lock(service->mutex);
    EXPECT_EQ(service->pullSince.back(), 0) << "pulled again from 0";
}

TEST_F(EngineMends, ServiceCannotTalkTheClientIntoACheapKey) {
    for (std::int64_t iterations : {std::int64_t(1000), std::int64_t(599'999), std::int64_t(10'000'001)}) {
        service->kdf.iterations = iterations;
        EXPECT_EQ(serviceCode(harness->signIn("http://127.0.0.1:9/", "b@example.com", "password 123")),
                  SyncServiceErrorCode::invalidResponse)
            << iterations;
    }
    EXPECT_EQ(service->count("login"), 0u);
}

TEST_F(EngineMends, PasswordChangeSendsAWrappedKeyThatOpensToTheSyncKey) {
    std::int64_t revoked = 0;
    EXPECT_EQ(engineCode(harness->changePassword("short", &revoked)), SyncEngineErrorCode::passwordTooShort);
    ASSERT_EQ(harness->changePassword("a new password", &revoked), nullptr);
    EXPECT_EQ(revoked, 2);
    std::lock_guard lock(service->mutex);
    ASSERT_TRUE(service->lastPasswordChange);
    const auto& request = *service->lastPasswordChange;
    auto keys = deriveAccountKeys("a new password", request.kdf.salt, std::uint64_t(request.kdf.iterations));
    EXPECT_EQ(request.kdf.iterations, 600'000);
    EXPECT_EQ(request.authKey, keys.authKey);
    EXPECT_EQ(unwrapSyncKey(keys.kek, request.wrappedSyncKey, "a@example.com"), kSyncKey);
}

}  // namespace
}  // namespace harbelle::sync::testing
