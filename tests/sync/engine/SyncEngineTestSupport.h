#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sync/InMemorySyncSecureStore.h"
#include "sync/SyncAccountStore.h"
#include "sync/SyncEngine.h"

namespace harbelle::sync::testing {

// The "main thread" of engine tests: a queue the test itself pumps.
class SyncTestMainQueue {
public:
    SyncMainThreadPoster poster();
    // Runs on the posting thread before each step is queued (tests hold the engine there).
    std::function<void()> beforePost;
    // Runs steps until the queue is empty; returns how many ran.
    std::size_t runPending();
    bool empty() const;

private:
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> steps_;
};

// A history twin the callbacks read and change, with every call recorded.
struct SyncCallbackRecorder {
    std::vector<SyncLocalClip> local;  // newest first
    std::vector<SyncMergeAction> actions;
    std::vector<SyncEngineStatus> statuses;
    std::vector<std::pair<std::string, std::string>> canonicalizations;
    std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> acknowledgements;
    std::vector<std::pair<std::string, SyncClipRejection>> rejections;
    std::set<std::string> deleted;  // remembered deletes, as the bookkeeping keeps them
    std::vector<std::pair<std::string, std::int64_t>> renewedDeletes;
    std::vector<std::string> settledDeletes;
    std::vector<std::string> order;  // "canonicalize", "acknowledge", "apply", "reject", "snapshot"
    // Runs inside applyMergeAction before it records (tests block or destroy here).
    std::function<void(const SyncMergeAction&)> onApply;

    SyncEngineCallbacks callbacks();
    const SyncLocalClip* find(const std::string& id) const;
    std::vector<std::string> acknowledgedPushes() const;
};

// One engine with its main queue, account store and recorder, driven synchronously.
class SyncEngineHarness {
public:
    SyncEngineHarness(SyncEngine::APIFactory apiFactory, SyncEngine::BlobFactory blobFactory = {},
                      std::shared_ptr<SyncClock> clock = nullptr, SyncPollTimings timings = {},
                      std::shared_ptr<InMemorySyncSecureStore> secure = nullptr);
    ~SyncEngineHarness();

    // Pumps the main queue until `done` holds (false after the timeout).
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Pumps until the engine is idle and nothing waits for the main thread.
    void settle();

    std::exception_ptr signIn(const std::string& baseURL, const std::string& email, const std::string& password);
    std::exception_ptr registerAccount(const std::string& baseURL, const std::string& email,
                                       const std::string& password);
    std::exception_ptr changePassword(const std::string& password, std::int64_t* revoked = nullptr);
    void bootstrap();
    void start();
    void stop();
    void syncNow();
    void signOut();
    bool hasPendingChanges();
    void noteText(const std::string& id, const std::string& text, SyncDate createdAt, bool replace = false);
    void noteImage(const std::string& id, const SyncBlobPayload& blob, SyncDate createdAt);
    // Removes the clips from the recorder's history and queues their deletes (made at
    // `deletedAt`; `acknowledged`: handed over as the bookkeeping does after a quit).
    void noteDeletes(const std::vector<std::string>& ids, std::optional<SyncDate> deletedAt = std::nullopt,
                     bool acknowledged = false);
    SyncEngineStatus lastStatus() const;

    std::shared_ptr<InMemorySyncSecureStore> secure;
    std::shared_ptr<SyncAccountStore> accounts;
    SyncTestMainQueue main;
    SyncCallbackRecorder recorder;
    std::unique_ptr<SyncEngine> engine;

private:
    void runOp(const std::function<void(SyncEngine::Done)>& op);
};

// A small valid PNG of `width` x `height` whose pixels depend on `seed`, padded with an
// ancillary chunk to about `bytes` bytes.
std::string makePNG(int seed, std::size_t bytes = 0, int width = 4, int height = 3);
SyncBlobPayload imagePayload(const std::string& png);
std::string newClipID();
std::exception_ptr noError();
// The error code of a SyncEngineError(service) in `error`, or none.
std::optional<SyncServiceErrorCode> serviceCode(std::exception_ptr error);
std::optional<SyncEngineErrorCode> engineCode(std::exception_ptr error);

}  // namespace harbelle::sync::testing
