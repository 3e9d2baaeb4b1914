#pragma once

#include "platform/Clock.h"

namespace harbelle::bench {

// Delayed steps never run, so a benchmark measures the main-thread work of each call alone
// (the manual clock would keep every cancelled step until it is advanced). With `ticking`, each
// reading of the time is one second later, so clips made in a loop have distinct dates.
class StillClock final : public Clock {
public:
    explicit StillClock(bool ticking = true) : ticking_(ticking) {}
    Date now() const override {
        if (ticking_) now_ += std::chrono::seconds(1);
        return now_;
    }
    ScheduledTask schedule(Milliseconds, std::function<void()>) override {
        return ScheduledTask(std::make_shared<bool>(false));
    }

private:
    bool ticking_;
    mutable Date now_{std::chrono::seconds(1'800'000'000)};
};

}  // namespace harbelle::bench
