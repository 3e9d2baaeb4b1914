#include <gtest/gtest.h>

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
