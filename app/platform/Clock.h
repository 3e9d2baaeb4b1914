#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace harbelle {

using Date = std::chrono::system_clock::time_point;
using Milliseconds = std::chrono::milliseconds;

// A pending delayed step, owned by whoever scheduled it: the step never runs once its task was
// cancelled, replaced by another or destroyed, so a step cannot outlive its owner. A step that
// guards its own lifetime may be let go with `detach`.
class [[nodiscard]] ScheduledTask {
public:
    ScheduledTask() = default;
    explicit ScheduledTask(std::shared_ptr<bool> cancelled) : cancelled_(std::move(cancelled)) {}
    ScheduledTask(ScheduledTask&& other) noexcept = default;
    ScheduledTask& operator=(ScheduledTask&& other) noexcept {
        if (this != &other) {
            cancel();
            cancelled_ = std::move(other.cancelled_);
        }
        return *this;
    }
    ScheduledTask(const ScheduledTask&) = delete;
    ScheduledTask& operator=(const ScheduledTask&) = delete;
    ~ScheduledTask() { cancel(); }

    void cancel() {
        if (cancelled_) *cancelled_ = true;
    }
    bool isPending() const { return cancelled_ && !*cancelled_; }
    bool isSet() const { return static_cast<bool>(cancelled_); }
    void reset() {
        cancel();
        cancelled_.reset();
    }
    // The step runs when due whatever becomes of this object.
    void detach() { cancelled_.reset(); }

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
