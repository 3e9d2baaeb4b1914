// The poll loop on a manual clock against the scripted service.
#include <gtest/gtest.h>

#include <thread>

#include "ScriptedSyncAPI.h"
#include "sync/SyncCrypto.h"
#include "SyncEngineTestSupport.h"

namespace harbelle::sync::testing {
namespace {

using std::chrono::seconds;

SyncSession testSession(const std::string& email = "a@example.com") {
    SyncSession session;
    session.baseURL = "http://127.0.0.1:9/";
    session.email = email;
    session.token = "token-a";
    session.deviceID = "device-a";
    session.deviceName = "Test device";
    session.syncKey = std::string(32, '\x07');
    return session;
}

struct ScheduledEngine : ::testing::Test {
    void make(SyncPollTimings timings = {}) {
        harness = std::make_unique<SyncEngineHarness>(scriptedAPIFactory(service), scriptedBlobFactory(service),
                                                      clock, timings);
        harness->accounts->saveSession(testSession());
        harness->bootstrap();
    }
    void advance(double s) {
        clock->advance(SyncSeconds(s));
        harness->settle();
    }
    std::size_t pulls() { return service->count("pull"); }

    std::shared_ptr<ScriptedSyncService> service = std::make_shared<ScriptedSyncService>();
    std::shared_ptr<ManualSyncClock> clock = std::make_shared<ManualSyncClock>();
    std::unique_ptr<SyncEngineHarness> harness;
};

TEST_F(ScheduledEngine, PollsEveryFiveSecondsWhileActiveThenEverySixty) {
    make();
    harness->syncNow();
    harness->start();
    ASSERT_EQ(pulls(), 1u);
    advance(4.9);
    EXPECT_EQ(pulls(), 1u);
    advance(0.1);
    EXPECT_EQ(pulls(), 2u);
    for (int i = 0; i < 58; ++i) advance(5);
    EXPECT_EQ(pulls(), 60u) << "t = 295 s";
    advance(5);
    EXPECT_EQ(pulls(), 61u) << "t = 300 s: activity is 300 s old, next poll in 60 s";
    advance(59);
    EXPECT_EQ(pulls(), 61u);
    advance(1);
    EXPECT_EQ(pulls(), 62u);
    const auto& order = harness->recorder.order;
    EXPECT_EQ(std::count(order.begin(), order.end(), "snapshot"), 0) << "an empty poll asks the main thread nothing";
}

TEST_F(ScheduledEngine, BacksOffOnFailuresHonoursRetryAfterAndResetsAfterSuccess) {
    make({.activityWindow = 1e9});
    service->fail("pull", SyncServiceError(SyncServiceErrorCode::serverUnavailable), 8);
    harness->syncNow();
    harness->start();
    ASSERT_EQ(pulls(), 1u);
    EXPECT_EQ(harness->lastStatus().lastErrorDescription,
              std::string(SyncServiceError::message(SyncServiceErrorCode::serverUnavailable)));
    std::size_t expectedPulls = 1;
    for (double delay : {10, 20, 40, 80, 160, 300, 300}) {
        advance(delay - 0.5);
        EXPECT_EQ(pulls(), expectedPulls) << "early, delay " << delay;
        advance(0.5);
        EXPECT_EQ(pulls(), ++expectedPulls) << "due, delay " << delay;
    }
    // The eighth attempt (after 300 s) succeeds: back to the poll interval.
    advance(300);
    EXPECT_EQ(pulls(), ++expectedPulls);
    EXPECT_FALSE(harness->lastStatus().lastErrorDescription.has_value());
    advance(5);
    EXPECT_EQ(pulls(), ++expectedPulls);

    service->fail("pull", SyncServiceError(SyncServiceErrorCode::rateLimited, 120));
    advance(5);
    EXPECT_EQ(pulls(), ++expectedPulls);
    advance(119);
    EXPECT_EQ(pulls(), expectedPulls) << "Retry-After 120 s beats the 10 s back-off";
    advance(1);
    EXPECT_EQ(pulls(), ++expectedPulls);
}

TEST_F(ScheduledEngine, LocalNoteWaitsOutTheBackoffButSyncNowDoesNot) {
    make();
    service->fail("pull", SyncServiceError(SyncServiceErrorCode::transport), 1);
    harness->syncNow();
    harness->start();
    ASSERT_EQ(pulls(), 1u);
    harness->noteText(newClipID(), "during back-off", clock->now());
    harness->settle();
    EXPECT_EQ(service->count("push"), 0u);
    harness->syncNow();
    EXPECT_EQ(service->count("push"), 1u);
    EXPECT_EQ(pulls(), 2u);
    // Out of back-off, a note asks for a round at once.
    harness->noteText(newClipID(), "later", clock->now());
    harness->settle();
    EXPECT_EQ(service->count("push"), 2u);
}

TEST_F(ScheduledEngine, SyncNowCoalescesAndStartNeverRunsASecondLoop) {
    make();
    int finished = 0;
    harness->noteText(newClipID(), "queued before the round", clock->now());
    harness->engine->syncNow([&] { ++finished; });
    // The round waits for the acknowledgement on the (unpumped) main thread; three more
    // requests arrive meanwhile and share one round.
    while (harness->main.empty()) std::this_thread::yield();
    for (int i = 0; i < 3; ++i) harness->engine->syncNow([&] { ++finished; });
    harness->settle();
    EXPECT_EQ(finished, 4);
    EXPECT_EQ(pulls(), 2u) << "three requests during a round, one round after it";
    harness->start();
    harness->start();
    harness->start();
    advance(5);
    EXPECT_EQ(pulls(), 3u);
    advance(5);
    EXPECT_EQ(pulls(), 4u);
    harness->stop();
    advance(60);
    EXPECT_EQ(pulls(), 4u) << "stopped";
}

TEST_F(ScheduledEngine, RepeatedBootstrapWithASessionChangesNothing) {
    make();
    auto statuses = harness->recorder.statuses.size();
    ASSERT_TRUE(harness->lastStatus().isSignedIn);
    harness->accounts->saveSession(testSession("other@example.com"));
    auto before = harness->lastStatus();
    harness->bootstrap();
    // It loads nothing, but still publishes the status it has (a caller may be waiting for one).
    ASSERT_EQ(harness->recorder.statuses.size(), statuses + 1);
    EXPECT_EQ(harness->lastStatus().email, before.email);
    EXPECT_EQ(harness->lastStatus().isSignedIn, before.isSignedIn);
    harness->syncNow();
    EXPECT_EQ(harness->lastStatus().email, "a@example.com");
}

}  // namespace
}  // namespace harbelle::sync::testing
