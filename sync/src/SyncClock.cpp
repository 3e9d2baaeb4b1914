#include "sync/SyncClock.h"

#include <cmath>

namespace harbelle::sync {

std::optional<std::chrono::nanoseconds> SystemSyncClock::realWaitUntil(SyncDate date) const {
    auto left = date - std::chrono::system_clock::now();
    if (left < std::chrono::nanoseconds::zero()) return std::chrono::nanoseconds::zero();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(left);
}

std::shared_ptr<SyncClock> SystemSyncClock::shared() {
    static const auto clock = std::make_shared<SystemSyncClock>();
    return clock;
}

ManualSyncClock::ManualSyncClock(SyncDate start) : now_(start) {}

SyncDate ManualSyncClock::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

std::shared_ptr<void> ManualSyncClock::onAdvance(std::function<void()> wake) {
    auto listener = std::make_shared<Listener>(Listener{std::move(wake)});
    std::lock_guard lock(mutex_);
    listeners_.push_back(listener);
    return listener;
}

void ManualSyncClock::advance(SyncSeconds by) {
    std::vector<std::shared_ptr<Listener>> live;
    {
        std::lock_guard lock(mutex_);
        now_ += std::chrono::duration_cast<SyncDate::duration>(by);
        for (auto it = listeners_.begin(); it != listeners_.end();) {
            if (auto listener = it->lock()) {
                live.push_back(std::move(listener));
                ++it;
            } else {
                it = listeners_.erase(it);
            }
        }
    }
    for (const auto& listener : live) listener->wake();
}

std::int64_t wireSeconds(SyncDate date) {
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(date.time_since_epoch()).count();
    // Truncate toward minus infinity so a date never rounds up past its own second.
    auto seconds = micros / 1'000'000;
    if (micros % 1'000'000 < 0) --seconds;
    return seconds;
}

SyncDate dateFromWireSeconds(std::int64_t seconds) { return SyncDate(std::chrono::seconds(seconds)); }

}  // namespace harbelle::sync
