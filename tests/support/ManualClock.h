#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "platform/Clock.h"

namespace harbelle::testing {

// A clock that moves only when told. Steps due within an advance run in time order,
// each seeing now() at its own due time.
class ManualClock final : public Clock {
public:
    explicit ManualClock(Date start = Date(std::chrono::seconds(1'800'000'000)));
    Date now() const override { return now_; }
    ScheduledTask schedule(Milliseconds delay, std::function<void()> step) override;

    void advance(Milliseconds by);
    void advanceSeconds(double seconds);
    // Runs every step that is due now (delay 0 included) without moving time.
    void runDue();
    std::size_t pendingCount() const;
    // Time of the next pending step, if any.
    std::optional<Date> nextDue() const;

private:
    struct Entry {
        Date due;
        std::uint64_t order;
        std::shared_ptr<bool> cancelled;
        std::function<void()> step;
    };
    Date now_;
    std::uint64_t nextOrder_ = 0;
    std::vector<Entry> entries_;
};

}  // namespace harbelle::testing
