#include "support/ManualClock.h"

#include <algorithm>
#include <cmath>

namespace harbelle::testing {

ManualClock::ManualClock(Date start) : now_(start) {}

ScheduledTask ManualClock::schedule(Milliseconds delay, std::function<void()> step) {
    auto cancelled = std::make_shared<bool>(false);
    entries_.push_back({now_ + std::max(delay, Milliseconds(0)), nextOrder_++, cancelled, std::move(step)});
    return ScheduledTask(cancelled);
}

void ManualClock::advance(Milliseconds by) {
    const Date target = now_ + by;
    for (;;) {
        entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [](const Entry& e) { return *e.cancelled; }),
                       entries_.end());
        auto next = std::min_element(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
            return a.due != b.due ? a.due < b.due : a.order < b.order;
        });
        if (next == entries_.end() || next->due > target) break;
        Entry entry = std::move(*next);
        entries_.erase(next);
        now_ = std::max(now_, entry.due);
        *entry.cancelled = true;  // ran: no longer pending
        entry.step();
    }
    now_ = target;
}

void ManualClock::advanceSeconds(double seconds) {
    advance(Milliseconds(static_cast<long long>(std::llround(seconds * 1000.0))));
}

void ManualClock::runDue() { advance(Milliseconds(0)); }

std::size_t ManualClock::pendingCount() const {
    return std::count_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !*e.cancelled; });
}

std::optional<Date> ManualClock::nextDue() const {
    std::optional<Date> best;
    for (const auto& e : entries_)
        if (!*e.cancelled && (!best || e.due < *best)) best = e.due;
    return best;
}

}  // namespace harbelle::testing
