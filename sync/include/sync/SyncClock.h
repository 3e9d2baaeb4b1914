#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace harbelle::sync {

using SyncDate = std::chrono::system_clock::time_point;
using SyncSeconds = std::chrono::duration<double>;

// The engine's time. The engine thread sleeps until a clock date; the system clock turns that
// into a real wait, the manual clock of the tests wakes the sleeper when it is advanced.
class SyncClock {
public:
    virtual ~SyncClock() = default;
    virtual SyncDate now() const = 0;
    // How long a real wait for `date` lasts; none means "until woken" (a manual clock).
    virtual std::optional<std::chrono::nanoseconds> realWaitUntil(SyncDate date) const = 0;
    // Registers a wake-up that runs whenever time moves by other means than waiting. The
    // returned token unregisters it when released.
    virtual std::shared_ptr<void> onAdvance(std::function<void()> wake) = 0;
};

class SystemSyncClock final : public SyncClock {
public:
    SyncDate now() const override { return std::chrono::system_clock::now(); }
    std::optional<std::chrono::nanoseconds> realWaitUntil(SyncDate date) const override;
    std::shared_ptr<void> onAdvance(std::function<void()>) override { return nullptr; }
    static std::shared_ptr<SyncClock> shared();
};

// A clock that moves only when told, for tests and benchmarks; thread-safe.
class ManualSyncClock final : public SyncClock {
public:
    explicit ManualSyncClock(SyncDate start = SyncDate(std::chrono::seconds(1'800'000'000)));
    SyncDate now() const override;
    std::optional<std::chrono::nanoseconds> realWaitUntil(SyncDate) const override { return std::nullopt; }
    std::shared_ptr<void> onAdvance(std::function<void()> wake) override;
    void advance(SyncSeconds by);

private:
    struct Listener {
        std::function<void()> wake;
    };
    mutable std::mutex mutex_;
    SyncDate now_;
    std::vector<std::weak_ptr<Listener>> listeners_;
};

// Whole seconds since 1970, truncated: the unit of every date on the wire.
std::int64_t wireSeconds(SyncDate date);
SyncDate dateFromWireSeconds(std::int64_t seconds);

}  // namespace harbelle::sync
