#include "sync/SyncPollScheduler.h"

#include <algorithm>
#include <cmath>

namespace harbelle::sync {

SyncPollScheduler::SyncPollScheduler(SyncPollTimings timings) : timings_(timings) {}

void SyncPollScheduler::noteSuccess() {
    failures_ = 0;
    retryAfter_ = 0;
}

void SyncPollScheduler::noteFailure(std::optional<double> retryAfterSeconds) {
    ++failures_;
    retryAfter_ = 0;
    if (retryAfterSeconds && std::isfinite(*retryAfterSeconds) && *retryAfterSeconds > 0)
        retryAfter_ = std::min(*retryAfterSeconds, kMaxRetryAfter);
}

double SyncPollScheduler::nextDelay(SyncDate now) const {
    bool active = lastActivity_ && SyncSeconds(now - *lastActivity_).count() < timings_.activityWindow;
    double interval = active ? timings_.pollInterval : timings_.idlePollInterval;
    if (failures_ == 0) return interval;
    double backoff = std::min(timings_.maxBackoff, interval * std::ldexp(1.0, std::min(failures_, 10)));
    return std::max(backoff, retryAfter_);
}

}  // namespace harbelle::sync
