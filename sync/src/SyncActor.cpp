#include "sync/SyncActor.h"

namespace harbelle::sync {

SyncActor::SyncActor(std::shared_ptr<SyncClock> clock) : clock_(std::move(clock)) {
    advanceToken_ = clock_->onAdvance([this] {
        std::lock_guard lock(mutex_);
        wake_.notify_all();
    });
    std::lock_guard lock(mutex_);
    thread_ = std::thread([this] { run(); });
    threadID_ = thread_.get_id();
}

SyncActor::~SyncActor() { shutdown(); }

void SyncActor::post(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    queue_.push_back(std::move(task));
    wake_.notify_all();
}

void SyncActor::setTimerStep(std::function<void()> step) {
    std::lock_guard lock(mutex_);
    timerStep_ = std::move(step);
}

void SyncActor::setTimer(std::optional<SyncDate> date) {
    std::lock_guard lock(mutex_);
    timer_ = date;
    wake_.notify_all();
}

std::optional<SyncDate> SyncActor::timerDate() const {
    std::lock_guard lock(mutex_);
    return timer_;
}

void SyncActor::shutdown() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped.swap(queue_);
        wake_.notify_all();
    }
    dropped.clear();
    if (thread_.joinable() && !isActorThread()) thread_.join();
    advanceToken_.reset();
}

bool SyncActor::isIdle() const {
    std::lock_guard lock(mutex_);
    return queue_.empty() && !busy_ && !timerDueLocked();
}

bool SyncActor::timerDueLocked() const { return timer_ && clock_->now() >= *timer_; }

void SyncActor::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        std::function<void()> task;
        if (!queue_.empty()) {
            task = std::move(queue_.front());
            queue_.pop_front();
        } else if (timerDueLocked()) {
            timer_.reset();
            task = timerStep_;
        } else {
            if (timer_) {
                if (auto wait = clock_->realWaitUntil(*timer_))
                    wake_.wait_for(lock, *wait);
                else
                    wake_.wait(lock);
            } else {
                wake_.wait(lock);
            }
            continue;
        }
        busy_ = true;
        lock.unlock();
        try {
            if (task) task();
        } catch (...) {
            // A task reports its own failures; one that escapes must not end the thread.
        }
        task = nullptr;
        lock.lock();
        busy_ = false;
    }
}

}  // namespace harbelle::sync
