#include <gtest/gtest.h>

#include "support/ManualClock.h"

using namespace harbelle;
using harbelle::testing::ManualClock;

TEST(ManualClock, RunsDueStepsInOrderAndSkipsCancelled) {
    ManualClock clock;
    const Date start = clock.now();
    std::vector<int> ran;
    clock.schedule(Milliseconds(450), [&] { ran.push_back(2); }).detach();
    auto cancelled = clock.schedule(Milliseconds(100), [&] { ran.push_back(99); });
    clock.schedule(Milliseconds(100), [&] {
        ran.push_back(1);
        EXPECT_EQ(clock.now() - start, Milliseconds(100));
        clock.schedule(Milliseconds(100), [&] { ran.push_back(3); }).detach();  // due at 200 ms
    }).detach();
    cancelled.cancel();
    clock.advance(Milliseconds(449));
    EXPECT_EQ(ran, (std::vector<int>{1, 3}));
    clock.advance(Milliseconds(1));
    EXPECT_EQ(ran, (std::vector<int>{1, 3, 2}));
    EXPECT_EQ(clock.pendingCount(), 0u);
}

TEST(ManualClock, ATaskDestroyedOrReplacedNeverRuns) {
    ManualClock clock;
    std::vector<int> ran;
    { auto dropped = clock.schedule(Milliseconds(10), [&] { ran.push_back(1); }); }
    auto task = clock.schedule(Milliseconds(10), [&] { ran.push_back(2); });
    task = clock.schedule(Milliseconds(10), [&] { ran.push_back(3); });
    auto moved = std::move(task);
    clock.advance(Milliseconds(10));
    EXPECT_EQ(ran, (std::vector<int>{3}));
    EXPECT_FALSE(moved.isPending());
}
