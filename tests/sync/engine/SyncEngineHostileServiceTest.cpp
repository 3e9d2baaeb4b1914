// A service that lies: it may delay sync, never make a client lose, alter, re-date or merge a clip.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>

#include "ScriptedSyncAPI.h"
#include "SyncEngineTestSupport.h"
#include "sync/HTTPSyncAPIClient.h"
#include "sync/SyncCrypto.h"
#include "sync/SyncReferenceService.h"

namespace harbelle::sync::testing {
namespace {

using std::chrono::seconds;

const std::string kSyncKey(32, '\x2a');
const SyncContentKeys kKeys = deriveContentKeys(kSyncKey);
const std::int64_t kLocalSeconds = 1'700'000'000;

SyncPullEvent sealedText(std::int64_t seq, const std::string& id, const std::string& text, std::int64_t createdAt) {
    SyncClipPayload payload;
    payload.text = text;
    SyncPullEvent event{seq, "upsert", id, createdAt, sealClip(kKeys.clipKey, encodeClipPayload(payload), id)};
    event.createdMac = createdMac(kKeys.macKey, textContentMac(kKeys.macKey, text), createdAt);
    return event;
}

SyncPullEvent sealedImage(std::int64_t seq, const std::string& id, const SyncBlobPayload& blob, std::int64_t createdAt) {
    SyncClipPayload payload;
    payload.kind = "image";
    auto key = blobKeyForDigest(kKeys.macKey, blob.digest);
    payload.blob = SyncClipBlobInfo{std::int64_t(blob.data.size()), blob.contentType, blob.digest, key,
                                    blob.pixelHeight, blob.pixelWidth};
    SyncPullEvent event{seq, "upsert", id, createdAt, sealClip(kKeys.clipKey, encodeClipPayload(payload), id), key};
    event.createdMac = createdMac(kKeys.macKey, imageContentMac(kKeys.macKey, blob.digest), createdAt);
    return event;
}

SyncPullEvent deletion(std::int64_t seq, const std::string& id, std::optional<std::string> mac) {
    SyncPullEvent event{seq, "delete", id};
    event.deleteMac = std::move(mac);
    return event;
}

// One page of events, then nothing new.
std::function<SyncPullResponse(std::int64_t, int)> onePage(std::vector<SyncPullEvent> events) {
    return [events](std::int64_t since, int) {
        SyncPullResponse response;
        response.latestSeq = std::max(since, events.empty() ? 0 : events.back().seq);
        for (const auto& event : events)
            if (event.seq > since) response.events.push_back(event);
        return response;
    };
}

// The log in its true order, paged as a service pages it: the events after `since` by position.
std::function<SyncPullResponse(std::int64_t, int)> pagedLog(std::vector<std::pair<std::int64_t, SyncPullEvent>> log,
                                                             std::size_t pageSize) {
    return [log, pageSize](std::int64_t since, int) {
        SyncPullResponse response;
        response.latestSeq = log.back().first;
        for (const auto& [position, event] : log)
            if (position > since) {
                if (response.events.size() == pageSize) response.hasMore = true;
                else response.events.push_back(event);
            }
        return response;
    };
}

struct HostileService : ::testing::Test {
    void SetUp() override {
        harness = std::make_unique<SyncEngineHarness>(scriptedAPIFactory(service), scriptedBlobFactory(service), clock);
        SyncSession session;
        session.baseURL = "http://127.0.0.1:9/";
        session.email = "a@example.com";
        session.token = "token-a";
        session.deviceID = "device-a";
        session.syncKey = kSyncKey;
        harness->accounts->saveSession(session);
        harness->bootstrap();
    }
    // A clip held here before the round; the test checks it afterwards.
    std::string holdLocal(const std::string& text) {
        auto id = newClipID();
        harness->recorder.local.push_back({id, text, dateFromWireSeconds(kLocalSeconds), std::nullopt, std::nullopt});
        kept[id] = text;
        return id;
    }
    void expectLocalClipsKept() {
        for (const auto& [id, text] : kept) {
            const auto* clip = harness->recorder.find(id);
            ASSERT_NE(clip, nullptr) << text;
            EXPECT_EQ(clip->text, text);
            EXPECT_EQ(wireSeconds(clip->createdAt), kLocalSeconds) << text;
        }
    }
    std::int64_t storedCursor() { return harness->accounts->loadSession().value().lastPulledSeq; }
    std::int64_t skipped() { return harness->lastStatus().skippedEventCount; }

    std::shared_ptr<ScriptedSyncService> service = std::make_shared<ScriptedSyncService>();
    std::shared_ptr<ManualSyncClock> clock = std::make_shared<ManualSyncClock>();
    std::unique_ptr<SyncEngineHarness> harness;
    std::map<std::string, std::string> kept;
    SyncDate now{seconds(1'800'000'000)};
};

TEST_F(HostileService, ForgedDuplicateNeverMergesTwoDifferentClipsNorStopsTheRound) {
    auto held = holdLocal("held here, never pushed again");
    auto date = dateFromWireSeconds(kLocalSeconds);
    // A clip held here, another clip of the same batch, a made-up name, a record nothing here
    // shows: the pushed clip keeps its id, unacknowledged, and is not pushed again until the next
    // start offers it. Only an answer that is no UUID is invalid.
    for (const std::string name : {"held", "sibling", "unknown", "not a uuid"}) {
        SCOPED_TRACE(name);
        auto pushed = newClipID(), sibling = newClipID();
        const std::string canonical = name == "held" ? held : name == "sibling" ? sibling
                                                         : name == "unknown"  ? newClipID()
                                                                              : "../../not-a-uuid";
        service->onPush = [&](const std::vector<SyncPushItem>& items) {
            std::vector<SyncPushResult> results;
            for (const auto& item : items)
                results.push_back(item.clientID == pushed ? SyncPushResult{item.clientID, canonical, "duplicate", {}}
                                                          : SyncPushResult{item.clientID, item.clientID, "stored", 1});
            return results;
        };
        harness->noteText(pushed, "the pushed text " + name, date);
        harness->noteText(sibling, "a sibling in the same batch " + name, date);
        kept[pushed] = "the pushed text " + name;
        kept[sibling] = "a sibling in the same batch " + name;
        harness->recorder.acknowledgements.clear();
        const auto pulls = service->count("pull");
        harness->syncNow();
        EXPECT_TRUE(harness->recorder.canonicalizations.empty());
        const bool invalid = name == "not a uuid";
        EXPECT_EQ(harness->lastStatus().lastErrorDescription.has_value(), invalid);
        EXPECT_EQ(service->count("pull"), pulls + (invalid ? 0 : 1)) << "the round pulls";
        EXPECT_EQ(harness->recorder.acknowledgedPushes(), invalid ? std::vector<std::string>{}
                                                                  : std::vector<std::string>{sibling});
        EXPECT_EQ(harness->hasPendingChanges(), invalid);
        if (invalid) break;
        const auto pushes = service->count("push");
        harness->syncNow();
        EXPECT_EQ(service->count("push"), pushes) << "not pushed again in a loop";
    }
    expectLocalClipsKept();
}

// Genuine records replayed or named around a clip held here never rename, re-date or remove it.
TEST_F(HostileService, ReplayedRecordsLeaveEveryLocalClipAsItIs) {
    const std::string text = "<b>rich</b> text";
    const std::int64_t earlier = kLocalSeconds - 100;
    using Script = std::function<void(const std::string& local, const std::string& other)>;
    std::string refused;  // a pushed clip whose answer was refused: it keeps its id and stays pending
    for (const auto& [name, script] : std::vector<std::pair<std::string, Script>>{
             {"a new session pulls an older copy, its delete, then the clip",
              [&](auto& local, auto& other) {
                  service->onPull = onePage({sealedText(1, other, text, earlier),
                                             deletion(2, other, deleteMac(kKeys.macKey, other, earlier)),
                                             sealedText(3, local, text, kLocalSeconds)});
              }},
             {"an old upsert of a clip deleted here",
              [&](auto&, auto& other) {
                  harness->recorder.deleted.insert(other);
                  service->onPull = onePage({sealedText(1, other, "deleted here", kLocalSeconds)});
              }},
             {"a duplicate naming a favourite kept here when it was deleted elsewhere",
              [&](auto&, auto& other) {
                  harness->recorder.local.push_back({other, "again", dateFromWireSeconds(kLocalSeconds), {}, {}, true});
                  harness->recorder.deleted.insert(other);
                  kept[other] = "again";
                  refused = newClipID();
                  harness->noteText(refused, "again", dateFromWireSeconds(kLocalSeconds));
                  service->onPush = [other](const std::vector<SyncPushItem>& items) {
                      return std::vector<SyncPushResult>{{items[0].clientID, other, "duplicate", std::nullopt}};
                  };
              }},
             {"a genuine delete made for an earlier record of the id",
              [&](auto& local, auto&) {
                  service->onPull = onePage({deletion(1, local, deleteMac(kKeys.macKey, local, earlier))});
              }},
         }) {
        service = std::make_shared<ScriptedSyncService>();
        SetUp();
        kept.clear();
        auto local = holdLocal(text), other = newClipID();
        harness->recorder.local.back().acknowledged = true;
        script(local, other);
        harness->syncNow();
        SCOPED_TRACE(name);
        expectLocalClipsKept();
        EXPECT_TRUE(harness->recorder.canonicalizations.empty());
        if (!kept.count(other)) EXPECT_EQ(harness->recorder.find(other), nullptr);
        EXPECT_FALSE(harness->lastStatus().lastErrorDescription.has_value()) << "a refused answer fails no round";
        const auto acknowledged = harness->recorder.acknowledgedPushes();
        EXPECT_EQ(std::count(acknowledged.begin(), acknowledged.end(), refused), 0);
        refused.clear();
    }
}

TEST_F(HostileService, ForgedDeletesAreSkippedAndRealOnesApply) {
    auto unsigned_ = holdLocal("no delete_mac"), wrongID = holdLocal("a MAC made for another clip"),
         wrongKey = holdLocal("a MAC made with another key"), bad = holdLocal("not a uuid neighbour");
    auto gone = newClipID();
    harness->recorder.local.push_back({gone, "really deleted", now, std::nullopt, std::nullopt});
    // An image still waiting for its blob must not be dropped by a forged delete either.
    auto waiting = newClipID();
    auto blob = imagePayload(makePNG(5));
    service->onPull = onePage({sealedImage(1, waiting, blob, kLocalSeconds)});
    harness->syncNow();
    ASSERT_EQ(harness->accounts->loadSession()->pendingBlobFetches.size(), 1u);

    service->onPull = onePage({
        deletion(2, unsigned_, std::nullopt),
        deletion(3, wrongID, deleteMac(kKeys.macKey, gone, wireSeconds(now))),
        deletion(4, wrongKey, deleteMac(std::string(32, 'x'), wrongKey, kLocalSeconds)),
        deletion(5, waiting, deleteMac(kKeys.macKey, newClipID(), kLocalSeconds)),
        deletion(6, "../" + bad, deleteMac(kKeys.macKey, "../" + bad, kLocalSeconds)),
        deletion(7, gone, deleteMac(kKeys.macKey, gone, wireSeconds(now))),
    });
    harness->syncNow();
    expectLocalClipsKept();
    EXPECT_EQ(harness->recorder.find(gone), nullptr) << "the genuine delete applied";
    EXPECT_EQ(skipped(), 5);
    EXPECT_EQ(storedCursor(), 7) << "refused events do not stall the account";
    EXPECT_EQ(harness->accounts->loadSession()->pendingBlobFetches.size(), 1u);
    EXPECT_FALSE(harness->lastStatus().lastErrorDescription.has_value());
}

TEST_F(HostileService, ReDatedOrUnauthenticatedUpsertsAreSkipped) {
    auto held = holdLocal("held text");
    // The stored record replayed with its ciphertext unchanged but a date far ahead.
    auto replayed = sealedText(1, held, "held text", kLocalSeconds);
    replayed.createdAt = 4'000'000'000;
    auto noMac = sealedText(2, held, "held text", 4'000'000'000);
    noMac.createdMac.reset();
    auto wrongMac = sealedText(3, newClipID(), "a new clip with a bad MAC", kLocalSeconds);
    wrongMac.createdMac = createdMac(kKeys.macKey, textContentMac(kKeys.macKey, "other content"), kLocalSeconds);
    auto notUUID = sealedText(4, "../../not-a-uuid", "named outside the protocol", kLocalSeconds);
    auto genuine = newClipID();
    service->onPull = onePage({replayed, noMac, wrongMac, notUUID, sealedText(5, genuine, "genuine", kLocalSeconds)});
    harness->syncNow();
    expectLocalClipsKept();
    ASSERT_EQ(harness->recorder.actions.size(), 1u) << "only the genuine clip";
    EXPECT_EQ(std::get<SyncMergeInsertNew>(harness->recorder.actions[0]).clientID, genuine);
    EXPECT_TRUE(harness->recorder.canonicalizations.empty());
    EXPECT_EQ(skipped(), 4);
    EXPECT_EQ(storedCursor(), 5);

    // A later date that a client really authenticated still moves the clip up.
    service->onPull = onePage({sealedText(6, held, "held text", kLocalSeconds + 60)});
    harness->syncNow();
    ASSERT_EQ(harness->recorder.actions.size(), 2u);
    EXPECT_EQ(wireSeconds(harness->recorder.find(held)->createdAt), kLocalSeconds + 60);
}

TEST_F(HostileService, SlowImagesWaitForLaterRoundsWhileTextsPushesAndTheCursorGoOn) {
    std::vector<SyncBlobPayload> blobs{imagePayload(makePNG(11)), imagePayload(makePNG(12)), imagePayload(makePNG(13))};
    std::vector<std::string> images{newClipID(), newClipID(), newClipID()};
    auto first = newClipID(), last = newClipID();
    service->onPull = onePage({sealedImage(1, images[0], blobs[0], kLocalSeconds), sealedText(2, first, "first", 1),
                               sealedImage(3, images[1], blobs[1], kLocalSeconds),
                               sealedImage(4, images[2], blobs[2], kLocalSeconds), sealedText(5, last, "last", 1)});
    // Each download trickles until its timeout.
    service->onDownload = [&](const std::string&) -> std::optional<std::string> {
        clock->advance(SyncSeconds(SyncEngine::blobFetchBudgetSeconds + 1));
        throw SyncServiceError(SyncServiceErrorCode::transport, std::nullopt, "timed out");
    };
    auto local = newClipID();
    harness->noteText(local, "pushed in the same round", now);
    harness->syncNow();
    EXPECT_EQ(service->count("download"), 1u) << "the round's image budget was spent on the first";
    EXPECT_NE(harness->recorder.find(first), nullptr);
    EXPECT_NE(harness->recorder.find(last), nullptr);
    EXPECT_EQ(harness->recorder.acknowledgedPushes(), std::vector<std::string>{local});
    EXPECT_EQ(storedCursor(), 5);
    EXPECT_EQ(harness->accounts->loadSession()->pendingBlobFetches.size(), 3u) << "no image is lost";

    // Next round, with the media endpoint well again, every waiting image arrives.
    service->onDownload = nullptr;
    {
        std::lock_guard lock(service->mutex);
        for (const auto& blob : blobs) {
            auto key = blobKeyForDigest(kKeys.macKey, blob.digest);
            service->blobs[key] = sealBlob(kKeys.blobKey, blob.data, key);
        }
    }
    harness->syncNow();
    for (const auto& id : images) EXPECT_NE(harness->recorder.find(id), nullptr);
    EXPECT_TRUE(harness->accounts->loadSession()->pendingBlobFetches.empty());
}

TEST_F(HostileService, WithheldImagesNeverHoldBackLaterEventsAndAreGivenUpAfterTriesAndTime) {
    const auto cap = std::int64_t(SyncEngine::maxPendingBlobFetches);
    std::vector<SyncPullEvent> page;
    for (std::int64_t seq = 1; seq <= cap + 1; ++seq)
        page.push_back(sealedImage(seq, newClipID(), imagePayload(makePNG(int(1000 + seq))), kLocalSeconds));
    auto text = newClipID();
    page.push_back(sealedText(cap + 2, text, "behind the images", kLocalSeconds));
    service->onPull = onePage(page);
    auto waiting = [&] { return harness->accounts->loadSession()->pendingBlobFetches; };

    harness->syncNow();  // every image answered 404
    EXPECT_NE(harness->recorder.find(text), nullptr);
    EXPECT_EQ(storedCursor(), cap + 2);
    ASSERT_EQ(waiting().size(), std::size_t(cap));
    EXPECT_EQ(waiting().front().event.clientID, page[1].clientID) << "the longest waiting made room";
    for (int round = 1; round < SyncEngine::blobFetchGiveUpAttempts; ++round) harness->syncNow();
    EXPECT_EQ(waiting().size(), std::size_t(cap)) << "tried ten times, but not yet for a day";

    clock->advance(SyncSeconds(SyncEngine::blobFetchGiveUpSeconds));
    service->onDownload = [](const std::string&) -> std::optional<std::string> {
        throw SyncServiceError(SyncServiceErrorCode::transport, std::nullopt, "offline");
    };
    harness->syncNow();
    EXPECT_EQ(waiting().size(), std::size_t(cap)) << "a device that is offline gives up nothing";

    service->onDownload = nullptr;
    ::testing::internal::CaptureStderr();
    harness->syncNow();
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(waiting().empty());
    EXPECT_EQ(skipped(), cap + 1);
    EXPECT_NE(log.find("gave up 200 images"), std::string::npos) << log;
}

TEST_F(HostileService, AnImageTheApplicationHadNotTakenAtQuitIsFetchedAtTheNextStart) {
    for (bool fromFetchList : {false, true}) {
        SCOPED_TRACE(fromFetchList ? "from the to-fetch list" : "from the page");
        service = std::make_shared<ScriptedSyncService>();
        SetUp();
        auto blob = imagePayload(makePNG(77));
        auto id = newClipID();
        auto key = blobKeyForDigest(kKeys.macKey, blob.digest);
        service->onPull = onePage({sealedImage(1, id, blob, kLocalSeconds)});
        if (fromFetchList) harness->syncNow();  // 404: waits in the list
        {
            std::lock_guard lock(service->mutex);
            service->blobs[key] = sealBlob(kKeys.blobKey, blob.data, key);
        }

        // The application takes the image and is still checking it when the program quits.
        std::atomic<bool> checking = false;
        std::promise<void> held, released;
        harness->recorder.onApply = [&](const SyncMergeAction&) { checking = true; };
        harness->main.beforePost = [&, release = released.get_future().share()] {
            if (!checking.exchange(false)) return;
            held.set_value();
            release.wait();
        };
        harness->engine->syncNow();
        auto holding = held.get_future();
        ASSERT_TRUE(harness->pumpUntil([&] { return holding.wait_for(seconds(0)) == std::future_status::ready; }));
        harness->engine->stop();
        released.set_value();
        harness->settle();
        harness->main.beforePost = nullptr;
        harness->recorder.onApply = nullptr;
        EXPECT_EQ(storedCursor(), fromFetchList ? 1 : 0);
        EXPECT_EQ(harness->accounts->loadSession()->pendingBlobFetches.size(), fromFetchList ? 1u : 0u);

        // The check was cut short: the clip never reached the history.
        std::erase_if(harness->recorder.local, [&](const SyncLocalClip& clip) { return clip.clientID == id; });
        const auto downloads = service->count("download");
        harness->syncNow();
        EXPECT_EQ(service->count("download"), downloads + 1);
        EXPECT_NE(harness->recorder.find(id), nullptr);
        EXPECT_EQ(storedCursor(), 1);
        EXPECT_TRUE(harness->accounts->loadSession()->pendingBlobFetches.empty());
    }
}

// A malformed event's seq is believed only where it fits between its neighbours: a forged high
// one never takes the cursor past the genuine events after it, on its page or the next.
TEST_F(HostileService, AMalformedEventsSeqNeverTakesTheCursorPastAGenuineEvent) {
    struct Case {
        const char* name;
        std::int64_t position, shownSeq;
        std::size_t pageSize;
        std::int64_t cursor;
    };
    for (const Case& c : {Case{"forged, amid its page", 2, 1'000'000'000, 10, 4},
                          Case{"forged, ending its page", 2, 1'000'000'000, 2, 4},
                          Case{"honest, ending the log", 5, 5, 10, 5}}) {
        SCOPED_TRACE(c.name);
        service = std::make_shared<ScriptedSyncService>();
        SetUp();
        std::vector<std::pair<std::int64_t, SyncPullEvent>> log;
        std::vector<std::string> genuine;
        for (std::int64_t position = 1; position <= std::max<std::int64_t>(4, c.position); ++position) {
            if (position == c.position) {
                SyncPullEvent malformed;
                malformed.type = kMalformedEventType;
                malformed.seq = c.shownSeq;
                log.emplace_back(position, malformed);
            } else {
                genuine.push_back(newClipID());
                log.emplace_back(position, sealedText(position, genuine.back(), "text " + genuine.back(), 1));
            }
        }
        service->onPull = pagedLog(log, c.pageSize);
        harness->syncNow();
        for (const auto& id : genuine) EXPECT_NE(harness->recorder.find(id), nullptr) << id;
        EXPECT_EQ(storedCursor(), c.cursor);
        EXPECT_GE(skipped(), 1);
    }
}

// A service that always has more never keeps a local copy from going up: a round ends at its
// page bound, and the next, pushes first, follows at once.
TEST_F(HostileService, EndlessPagesNeverHoldBackPushes) {
    const int bound = SyncEngine::maxPullPagesPerRound;
    const auto local = newClipID();
    service->onPull = [&](std::int64_t since, int) {
        if (since == 0)  // copied while the round pulls
            harness->engine->noteLocalClip(local, "copied meanwhile", now, std::nullopt, false, std::nullopt);
        SyncPullResponse response;
        response.events.push_back(sealedText(since + 1, newClipID(), "more " + std::to_string(since), 1));
        response.latestSeq = since + 1;
        response.hasMore = since + 1 < 4 * bound;
        return response;
    };
    harness->start();
    harness->syncNow();
    ASSERT_TRUE(harness->pumpUntil([&] { return service->count("push") > 0; }));
    // The rest of the log follows without waiting for a poll (this clock never moves).
    ASSERT_TRUE(harness->pumpUntil([&] { return service->count("pull") >= std::size_t(4 * bound); }));
    std::lock_guard lock(service->mutex);
    const auto firstPush = std::find(service->calls.begin(), service->calls.end(), "push");
    EXPECT_EQ(std::count(service->calls.begin(), firstPush, "pull"), bound);
}

TEST_F(HostileService, OnlyAnAnswerRefusedAsTooLargeHalvesThePull) {
    std::vector<int> limits;
    service->onPull = [&](std::int64_t since, int limit) {
        limits.push_back(limit);
        return SyncPullResponse{{}, since, false};
    };
    service->fail("pull", SyncServiceError(SyncServiceErrorCode::invalidResponse, std::nullopt, "wrong types"));
    harness->syncNow();
    EXPECT_EQ(service->count("pull"), 1u) << "a malformed answer is not asked for again in halves";
    EXPECT_TRUE(harness->lastStatus().lastErrorDescription.has_value());
    harness->syncNow();
    EXPECT_EQ(limits, std::vector<int>{SyncEngine::maxPullLimit});
}

// ---- over HTTP, against the reference service ----

struct HostileServiceOverHTTP : ::testing::Test {
    void SetUp() override {
        service.start();
        a = makeEngine();
        ASSERT_EQ(a->registerAccount(service.baseURL(), "pair@example.com", "correct horse battery"), nullptr);
        b = makeEngine();
        ASSERT_EQ(b->signIn(service.baseURL(), "pair@example.com", "correct horse battery"), nullptr);
    }
    void TearDown() override {
        a.reset();
        b.reset();
        service.stop();
    }
    static std::unique_ptr<SyncEngineHarness> makeEngine() {
        return std::make_unique<SyncEngineHarness>(
            [](const std::string& url) { return std::make_unique<HTTPSyncAPIClient>(url); });
    }
    std::size_t requests(const std::string& path) {
        auto log = service.requestLog();
        return std::size_t(std::count_if(log.begin(), log.end(), [&](const auto& r) { return r.path == path; }));
    }

    SyncReferenceService service;
    std::unique_ptr<SyncEngineHarness> a, b;
    SyncDate then{seconds(1'800'000'000)};
};

TEST_F(HostileServiceOverHTTP, DeepJSONIsRefusedBeforeParsingAndNotAskedForInHalves) {
    auto kept = newClipID();
    a->recorder.local.push_back({kept, "kept", then, std::nullopt, std::nullopt});
    std::string deep = R"({"events":)" + std::string(10'000, '[') + std::string(10'000, ']') +
                       R"(,"latest_seq":0,"has_more":false})";
    SyncReferenceService::ForcedAnswer answer;
    answer.kind = SyncReferenceService::ForcedAnswer::Kind::body;
    answer.status = 200;
    answer.body = deep;
    service.force("pull", answer);
    service.clearRequestLog();
    a->syncNow();
    EXPECT_EQ(requests("/v1/pull"), 1u);
    EXPECT_EQ(a->lastStatus().lastErrorDescription, SyncServiceError::message(SyncServiceErrorCode::invalidResponse));
    EXPECT_NE(a->recorder.find(kept), nullptr);
    a->syncNow();
    EXPECT_FALSE(a->lastStatus().lastErrorDescription.has_value()) << "the next genuine answer syncs";
}

TEST_F(HostileServiceOverHTTP, MalformedEventsAreSkippedAndTheRestOfThePageApplies) {
    auto genuine = newClipID();
    a->noteText(genuine, "after the malformed ones", then);
    a->syncNow();
    auto token = b->accounts->loadSession().value().token;
    auto event = toJSON(HTTPSyncAPIClient(service.baseURL()).pull(token, 0, 10).events.at(0));
    auto events = nlohmann::json::array();
    for (const auto& [field, value] : std::vector<std::pair<std::string, nlohmann::json>>{
             {"ciphertext", "not Base64 %%"}, {"type", "rename"}, {"created_at", 1.5}, {"seq", 4}}) {
        events.push_back(event);
        events.back()[field] = value;
        if (field != "seq") events.back()["seq"] = events.size();
    }
    SyncReferenceService::ForcedAnswer answer{SyncReferenceService::ForcedAnswer::Kind::body, 200};
    answer.body = nlohmann::json{{"events", events}, {"latest_seq", 4}, {"has_more", false}}.dump();
    service.force("pull", answer);
    b->syncNow();
    EXPECT_NE(b->recorder.find(genuine), nullptr);
    EXPECT_EQ(b->lastStatus().skippedEventCount, 3);
    EXPECT_EQ(b->accounts->loadSession().value().lastPulledSeq, 4);
}

TEST_F(HostileServiceOverHTTP, GenuineDeletesAndCopiesStillApplyBetweenTwoDevices) {
    // A delete on A removes the clip on B.
    auto doomed = newClipID();
    a->noteText(doomed, "deleted on A", then);
    a->syncNow();
    b->syncNow();
    ASSERT_NE(b->recorder.find(doomed), nullptr);
    a->noteDeletes({doomed});
    a->syncNow();
    b->syncNow();
    EXPECT_EQ(b->recorder.find(doomed), nullptr);
    EXPECT_EQ(b->lastStatus().skippedEventCount, 0);

    // A copy on B moves an older duplicate up on A.
    auto older = newClipID();
    a->noteText(older, "copied again on B", then);
    a->syncNow();
    auto copy = newClipID();
    b->noteText(copy, "copied again on B", then + seconds(600));
    b->syncNow();
    EXPECT_EQ(b->recorder.canonicalizations.back(), std::make_pair(copy, older));
    a->syncNow();
    ASSERT_NE(a->recorder.find(older), nullptr);
    EXPECT_EQ(a->recorder.find(older)->createdAt, then + seconds(600));
    EXPECT_EQ(a->lastStatus().skippedEventCount, 0);
}

TEST_F(HostileServiceOverHTTP, PasswordChangeKeepsTheIterationMinimumOfRegistration) {
    HTTPSyncAPIClient client(service.baseURL());
    auto token = a->accounts->loadSession().value().token;
    SyncChangePasswordRequest cheap{std::string(32, 'k'), {"pbkdf2-sha256", std::string(16, 's'), 1000}, "wrapped"};
    try {
        client.changePassword(token, cheap);
        FAIL() << "a cheap key was accepted";
    } catch (const SyncServiceError& error) {
        EXPECT_EQ(error.code(), SyncServiceErrorCode::invalidRequest);
    }
    b->syncNow();
    EXPECT_TRUE(b->lastStatus().isSignedIn) << "nothing changed: no session was revoked";
}

}  // namespace
}  // namespace harbelle::sync::testing
