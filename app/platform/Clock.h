#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace harbelle {

using Date = std::chrono::system_clock::time_point;
using Milliseconds = std::chrono::milliseconds;

// A pending delayed step. Cancelling (or calling cancel on a copy) keeps it from running;
// the step never runs after its owner cancelled it, so owners cancel in their destructors.
class ScheduledTask {
public:
    ScheduledTask() = default;
    explicit ScheduledTask(std::shared_ptr<bool> cancelled) : cancelled_(std::move(cancelled)) {}
    void cancel() {
        if (cancelled_) *cancelled_ = true;
    }
    bool isPending() const { return cancelled_ && !*cancelled_; }
    bool isSet() const { return static_cast<bool>(cancelled_); }
    void reset() { cancelled_.reset(); }

private:
    std::shared_ptr<bool> cancelled_;
};

// Time and delayed steps on the main thread. Tests replace it with a manual clock so that
// every delay is exercised exactly and without waiting.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Date now() const = 0;
    // Runs `step` on the main thread after `delay` unless the returned task is cancelled first.
    // Once run, the task is no longer pending.
    virtual ScheduledTask schedule(Milliseconds delay, std::function<void()> step) = 0;
};

// The real clock: system time and Qt timers on the main event loop.
class SystemClock final : public Clock {
public:
    SystemClock();
    ~SystemClock() override;
    Date now() const override;
    ScheduledTask schedule(Milliseconds delay, std::function<void()> step) override;
    static SystemClock& shared();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace harbelle
