// Stopping and destroying the engine while it waits on the network or on a callback.
#include <gtest/gtest.h>

#include <thread>

#include "ScriptedSyncAPI.h"
#include "SyncEngineTestSupport.h"
#include "sync/HTTPSyncAPIClient.h"
#include "sync/SyncCrypto.h"
#include "sync/SyncReferenceService.h"

namespace harbelle::sync::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Stopwatch = std::chrono::steady_clock;

SyncSession scriptedSession() {
    SyncSession session;
    session.baseURL = "http://127.0.0.1:9/";
    session.email = "a@example.com";
    session.token = "token-a";
    session.deviceName = "Test device";
    session.syncKey = std::string(32, '\x01');
    return session;
}

// Waits (without pumping the main queue) until `condition` holds.
void waitFor(const std::function<bool()>& condition) {
    auto deadline = Stopwatch::now() + seconds(10);
    while (!condition() && Stopwatch::now() < deadline) std::this_thread::sleep_for(milliseconds(1));
    ASSERT_TRUE(condition());
}

TEST(SyncEngineShutdown, DestroyedMidRequestReturnsAtOnceAndCallsNothingLater) {
    SyncReferenceService service;
    service.start();
    auto harness = std::make_unique<SyncEngineHarness>(
        [](const std::string& url) { return std::make_unique<HTTPSyncAPIClient>(url); });
    ASSERT_EQ(harness->registerAccount(service.baseURL(), "shutdown@example.com", "long enough password"), nullptr);
    harness->noteText(newClipID(), "in flight", SyncDate(seconds(1'800'000'000)));
    SyncReferenceService::ForcedAnswer slow;
    slow.kind = SyncReferenceService::ForcedAnswer::Kind::delay;
    slow.delayMilliseconds = 20'000;
    service.force("push", slow);
    service.clearRequestLog();
    bool completed = false;
    harness->engine->syncNow([&] { completed = true; });
    waitFor([&] {
        for (const auto& request : service.requestLog())
            if (request.path == "/v1/push") return true;
        return false;
    });
    auto statuses = harness->recorder.statuses.size();
    auto started = Stopwatch::now();
    harness->engine.reset();
    EXPECT_LT(Stopwatch::now() - started, seconds(1));
    harness->main.runPending();
    EXPECT_FALSE(completed);
    EXPECT_EQ(harness->recorder.statuses.size(), statuses);
    service.stop();
}

TEST(SyncEngineShutdown, CallbackAwaitedDuringDestroyStopOrSignOutNeverRuns) {
    for (std::string how : {"destroy", "stop", "signOut"}) {
        auto service = std::make_shared<ScriptedSyncService>();
        SyncEngineHarness harness(scriptedAPIFactory(service), scriptedBlobFactory(service));
        harness.accounts->saveSession(scriptedSession());
        harness.bootstrap();
        harness.noteText(newClipID(), "pushed, then acknowledged on the main thread", SyncDate(seconds(1'800'000'000)));
        harness.recorder.order.clear();
        harness.engine->syncNow();
        // The round now waits for the acknowledgement, which only the main thread can give.
        waitFor([&] { return !harness.main.empty(); });
        std::this_thread::sleep_for(milliseconds(20));
        auto started = Stopwatch::now();
        bool finished = false;
        if (how == "destroy") {
            harness.engine.reset();
            finished = true;
        } else if (how == "stop") {
            harness.engine->stop([&] { finished = true; });
        } else {
            harness.engine->signOut([&] { finished = true; });
        }
        harness.pumpUntil([&] { return finished; });
        EXPECT_LT(Stopwatch::now() - started, seconds(1)) << how;
        harness.main.runPending();
        EXPECT_TRUE(harness.recorder.order.empty()) << how;
    }
}

TEST(SyncEngineShutdown, StopAndSignOutActAtOnceNotBehindTheRound) {
    for (bool signOut : {false, true}) {
        auto service = std::make_shared<ScriptedSyncService>();
        service->blockPushes = true;
        SyncEngineHarness harness(scriptedAPIFactory(service), scriptedBlobFactory(service));
        harness.accounts->saveSession(scriptedSession());
        harness.bootstrap();
        harness.start();
        harness.noteText(newClipID(), "blocked push", SyncDate(seconds(1'800'000'000)));
        harness.engine->syncNow();
        waitFor([&] { return service->count("push") == 1; });
        auto started = Stopwatch::now();
        if (signOut)
            harness.signOut();
        else
            harness.stop();
        EXPECT_LT(Stopwatch::now() - started, seconds(1)) << (signOut ? "signOut" : "stop");
        EXPECT_FALSE(harness.lastStatus().isRunning);
        EXPECT_EQ(harness.lastStatus().isSignedIn, !signOut);
        EXPECT_EQ(harness.hasPendingChanges(), !signOut) << "an aborted push stays queued until sign-out";
        EXPECT_FALSE(harness.lastStatus().lastErrorDescription) << "an abort is no failure";
    }
}

}  // namespace
}  // namespace harbelle::sync::testing
