#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "sync/SyncClock.h"

namespace harbelle::sync {

// One thread with a FIFO task queue and one timer. Queued tasks run before a due timer, so a
// burst of calls is handled before the timer's step (a sync round) runs once for all of them.
class SyncActor {
public:
    explicit SyncActor(std::shared_ptr<SyncClock> clock);
    ~SyncActor();
    SyncActor(const SyncActor&) = delete;
    SyncActor& operator=(const SyncActor&) = delete;

    void post(std::function<void()> task);
    // The step the timer runs; set once before the first setTimer.
    void setTimerStep(std::function<void()> step);
    // Arms (or with none, disarms) the timer for a clock date.
    void setTimer(std::optional<SyncDate> date);
    std::optional<SyncDate> timerDate() const;
    // Drops the queue and joins the thread; the running task finishes first. Idempotent.
    void shutdown();
    bool isActorThread() const { return std::this_thread::get_id() == threadID_; }
    // True when nothing is queued, no task runs and the timer is not yet due.
    bool isIdle() const;

private:
    void run();
    bool timerDueLocked() const;

    std::shared_ptr<SyncClock> clock_;
    std::shared_ptr<void> advanceToken_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    std::function<void()> timerStep_;
    std::optional<SyncDate> timer_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_;
    std::thread::id threadID_;
};

}  // namespace harbelle::sync
