#pragma once

#include <optional>

#include "sync/SyncClock.h"

namespace harbelle::sync {

struct SyncPollTimings {
    double pollInterval = 5;
    double idlePollInterval = 60;
    double activityWindow = 300;
    double maxBackoff = 300;
};

// When the next poll is due: the poll interval while the last activity is recent, the idle
// interval otherwise, doubled per failure in a row (capped) and never before a Retry-After.
class SyncPollScheduler {
public:
    static constexpr double kMaxRetryAfter = 300;

    explicit SyncPollScheduler(SyncPollTimings timings = {});
    void noteActivity(SyncDate at) { lastActivity_ = at; }
    void noteSuccess();
    // A retryable failure: transport, serverUnavailable, rateLimited or invalidResponse.
    void noteFailure(std::optional<double> retryAfterSeconds);
    int failureCount() const { return failures_; }
    bool inBackoff() const { return failures_ > 0; }
    // Seconds to wait after a round that ended at `now`.
    double nextDelay(SyncDate now) const;
    const SyncPollTimings& timings() const { return timings_; }

private:
    SyncPollTimings timings_;
    std::optional<SyncDate> lastActivity_;
    int failures_ = 0;
    double retryAfter_ = 0;
};

}  // namespace harbelle::sync
