#include <gtest/gtest.h>

#include <cmath>

#include "sync/SyncEngineTypes.h"
#include "sync/SyncPollScheduler.h"

namespace harbelle::sync {
namespace {

using std::chrono::seconds;

TEST(SyncPollScheduler, ActiveThenIdleIntervals) {
    SyncPollScheduler scheduler;
    SyncDate start(seconds(1'800'000'000));
    EXPECT_EQ(scheduler.nextDelay(start), 60) << "no activity yet";
    scheduler.noteActivity(start);
    EXPECT_EQ(scheduler.nextDelay(start + seconds(299)), 5);
    EXPECT_EQ(scheduler.nextDelay(start + seconds(300)), 60);
}

TEST(SyncPollScheduler, BackoffDoublesCapsHonoursRetryAfterAndResets) {
    SyncPollScheduler scheduler;
    SyncDate now(seconds(1'800'000'000));
    scheduler.noteActivity(now);
    const double expected[] = {10, 20, 40, 80, 160, 300, 300, 300, 300, 300, 300, 300};
    for (double delay : expected) {
        scheduler.noteFailure(std::nullopt);
        EXPECT_EQ(scheduler.nextDelay(now), delay) << "after " << scheduler.failureCount() << " failures";
    }
    scheduler.noteSuccess();
    EXPECT_EQ(scheduler.nextDelay(now), 5);
    scheduler.noteFailure(120.0);
    EXPECT_EQ(scheduler.nextDelay(now), 120) << "Retry-After beyond the back-off";
    scheduler.noteFailure(3.0);
    EXPECT_EQ(scheduler.nextDelay(now), 20) << "Retry-After below the back-off";
    scheduler.noteFailure(100000.0);
    EXPECT_EQ(scheduler.nextDelay(now), 300) << "Retry-After is capped";
}

}  // namespace
}  // namespace harbelle::sync

namespace harbelle::sync {
namespace {

TEST(SyncEngineStatus, IsStale) {
    SyncDate synced(std::chrono::seconds(1'800'000'000));
    SyncEngineStatus status;
    status.isSignedIn = true;
    status.lastSyncAt = synced;
    struct Case {
        double after;
        double threshold;
        bool stale;
    };
    for (auto c : std::initializer_list<Case>{{59.9, 60, false}, {60, 60, true}, {0, -5, true}, {0, std::nan(""), true},
                                              {-1, 0, false}}) {
        auto at = synced + std::chrono::duration_cast<SyncDate::duration>(SyncSeconds(c.after));
        EXPECT_EQ(status.isStale(at, c.threshold), c.stale) << c.after << " " << c.threshold;
    }
    auto signedOut = status;
    signedOut.isSignedIn = false;
    EXPECT_FALSE(signedOut.isStale(synced + std::chrono::hours(1), 60));
    auto neverSynced = status;
    neverSynced.lastSyncAt.reset();
    EXPECT_FALSE(neverSynced.isStale(synced + std::chrono::hours(1), 60));
}

}  // namespace
}  // namespace harbelle::sync
