#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sync/SyncAPIProviding.h"
#include "sync/SyncAccountStore.h"
#include "sync/SyncActor.h"
#include "sync/SyncBlobTransporting.h"
#include "sync/SyncClock.h"
#include "sync/SyncCrypto.h"
#include "sync/SyncEngineTypes.h"
#include "sync/SyncMergePlanner.h"
#include "sync/SyncPollScheduler.h"

namespace harbelle::sync {

// The sync engine: an actor (one thread, one task queue) that owns the signed-in session and
// the in-memory queues of local work, and runs sync rounds (deletes, pushes, pull) on its poll
// loop. Every operation returns at once; its completion, the status and the callbacks reach the
// application through the main-thread poster. The main thread never waits for the engine;
// the engine waits for callbacks, and gives up on them when it is stopped or destroyed.
class SyncEngine {
public:
    using APIFactory = std::function<std::unique_ptr<SyncAPIProviding>(const std::string& baseURL)>;
    using BlobFactory = std::function<std::unique_ptr<SyncBlobTransporting>(const std::string& baseURL)>;
    using Done = std::function<void()>;

    static constexpr std::size_t minimumPasswordLength = 10;
    static constexpr std::size_t maxPushItems = 50;
    static constexpr std::size_t maxPushBytes = 8u << 20;
    static constexpr std::size_t maxSealedClipBytes = 256u << 10;
    static constexpr std::size_t maxSealedBlobBytes = 1u << 20;
    static constexpr std::size_t maxDeleteIDs = 500;
    static constexpr int maxPullLimit = 500;
    // Pages one round pulls before it ends: the next round follows at once, its pushes first,
    // so a service that always has more never keeps local copies from going up.
    static constexpr int maxPullPagesPerRound = 20;
    static constexpr std::size_t maxPendingBlobFetches = 200;
    // Image fetches per round: a slow or trickling media endpoint costs at most this much
    // time (plus one download's timeout) before the rest waits for a later round.
    static constexpr int maxBlobFetchesPerRound = 500;
    static constexpr double blobFetchBudgetSeconds = 15;
    // An image the service keeps answering without (404, 410, errors) is given up once it was
    // tried this often over at least this long; a device that is offline tries nothing. A full
    // to-fetch list gives up its most-tried entry rather than hold back the events after it.
    static constexpr int blobFetchGiveUpAttempts = 10;
    static constexpr double blobFetchGiveUpSeconds = 24 * 60 * 60;
    // Deletes acknowledged in this run whose dates are kept, to make one again for a later
    // record of the id (oldest dropped first).
    static constexpr std::size_t maxAcknowledgedDeleteDates = 4096;
    static constexpr const char* platformName = "Linux";
    static constexpr const char* sessionEndedMessage = "Your sync session ended. Sign in again to keep syncing.";
    static constexpr const char* keyringUnreadableMessage =
        "Harbelle could not read your sync account from the system keyring. Unlock the keyring and try "
        "again.";

    // The default blob factory: HTTPSyncBlobTransport with the built-in media endpoint.
    static BlobFactory defaultBlobFactory();

    SyncEngine(std::shared_ptr<SyncAccountStore> accountStore, APIFactory apiFactory, SyncMainThreadPoster poster,
               BlobFactory blobFactory = defaultBlobFactory(), SyncPollTimings timings = {},
               std::shared_ptr<SyncClock> clock = SystemSyncClock::shared());
    // Aborts a running request or callback wait and joins the thread; no completion or
    // callback runs afterwards.
    ~SyncEngine();
    SyncEngine(const SyncEngine&) = delete;
    SyncEngine& operator=(const SyncEngine&) = delete;

    void setCallbacks(SyncEngineCallbacks callbacks, Done done = {});
    void bootstrap(Done done = {});
    void start(Done done = {});
    void stop(Done done = {});
    void syncNow(Done done = {});
    void signIn(std::string baseURL, std::string email, std::string password, std::string deviceName,
                SyncEngineCompletion done);
    void registerAccount(std::string baseURL, std::string email, std::string password, std::string deviceName,
                         SyncEngineCompletion done);
    // Completes with the number of other sessions the service signed out.
    void changePassword(std::string newPassword, std::function<void(std::int64_t, std::exception_ptr)> done);
    void signOut(Done done = {});
    void needsOriginBackfill(std::int64_t version, std::function<void(bool)> done);
    void markOriginBackfillCompleted(std::int64_t version, Done done = {});
    void hasPendingChanges(std::function<void(bool)> done);
    void noteLocalClip(std::string id, std::string text, SyncDate createdAt, std::optional<SyncClipOrigin> origin,
                       bool replaceExisting, std::optional<SyncBlobPayload> blob, Done done = {});
    void noteLocalDeletes(std::vector<SyncLocalDelete> deletes, Done done = {});

    // For tests: nothing queued, no task running, no round due.
    bool isIdle() const { return actor_.isIdle(); }

private:
    struct PendingPush {
        std::string id;
        std::string text;
        SyncDate createdAt;
        std::optional<SyncClipOrigin> origin;
        bool replaceExisting = false;
        std::optional<SyncBlobPayload> blob;
    };
    struct Gate;
    struct Aborted {};
    struct AcknowledgedDelete {
        std::int64_t date = 0;
        std::optional<std::int64_t> deletedAt;  // when the user deleted, where known
    };
    // missing: the service answered without the image, or with one that fails its checks;
    // unreachable: no answer (offline, timeout); later: not tried, this round's budget is spent.
    enum class BlobFetch { ok, missing, unreachable, later };
    // failed: waits for its image after a try that counts towards giving it up.
    enum class EventOutcome { applied, deferred, failed, skipped };

    // ---- plumbing ----
    void post(std::function<void()> task);
    void postToMain(std::function<void()> step);
    bool aborted() const;
    // Stop aborts the round; signOut and destruction abort account calls too.
    void requestAbort(bool accountCalls);
    void releaseAbort();
    template <class T> T awaitMain(std::function<T()> body);
    void callbackAwaited(const std::function<void()>& body);
    void publishStatus();
    void finish(Done done);

    // ---- account ----
    std::shared_ptr<SyncAPIProviding> makeAccountAPI(const std::string& baseURL);
    void doSignIn(const std::string& baseURL, const std::string& email, const std::string& password,
                  const std::string& deviceName, bool create);
    void adoptSession(SyncSession session);
    void clearLocalAccount();
    void revokeLeftToken(SyncAPIProviding& api, const std::string& baseURL, const std::string& token);
    void retryPendingRevocations();
    void endSessionByService();
    void saveSessionQuietly();

    // ---- rounds ----
    void runRound();
    void requestRound(bool skipBackoff);
    void armPollTimer();
    void pushDeletes();
    void pushClips();
    void sendBatch(std::vector<SyncPushItem> items);
    // The pushed ids whose "duplicate" names a record not known here: they keep their id.
    std::set<std::string> checkDuplicates(const std::vector<SyncPushItem>& items,
                                          const std::vector<SyncPushResult>& results);
    SyncClipKeySet rememberedDeletes();
    // A refused push answer: counted and logged with the round; the round goes on.
    void refuseAnswer(const char* detail);
    std::optional<SyncPushItem> sealPending(PendingPush& push);
    void reject(const std::string& id, SyncClipRejection rejection);
    void canonicalize(const std::string& localID, const std::string& canonicalID);
    void rekeyQueues(const std::string& from, const std::string& to);
    void pull();
    // Settles the pushes the service answered "deleted", once the pull reached the log's end.
    void leaveDeletedIDs(SyncLocalIndex& index);
    void retryPendingBlobFetches(SyncLocalIndex& index);
    EventOutcome applyEvent(const SyncPullEvent& event, SyncLocalIndex& index, bool fromFetchList);
    BlobFetch fetchBlob(const SyncClipBlobInfo& info, SyncBlobPayload& out);
    void queueBlobFetch(const SyncPullEvent& event, bool tried);
    void giveUpBlobFetch(std::vector<SyncPendingBlobFetch>::iterator entry);
    void awaitApplicationCaughtUp();
    void skipEvent();
    void refuseEvent();
    bool blobBudgetSpent() const;
    void apply(const SyncMergeAction& action);
    void noteDeleteAcknowledged(const std::string& id, AcknowledgedDelete stamp);
    void renewDelete(const std::string& id, std::int64_t date);
    // The acknowledged deletes whose every earlier record the pull has now passed.
    void settleDeletes(const std::set<std::string>& ids);
    PendingPush* findPush(const std::string& id);

    std::shared_ptr<SyncAccountStore> accountStore_;
    APIFactory apiFactory_;
    BlobFactory blobFactory_;
    std::shared_ptr<SyncClock> clock_;
    std::shared_ptr<Gate> gate_;

    // Set from any thread: stop, signOut and destruction abort the running round at once.
    std::atomic<int> stopRequests_{0};
    std::atomic<bool> destroying_{false};
    std::mutex transportMutex_;  // guards the two pointers for cross-thread setStopped
    std::shared_ptr<SyncAPIProviding> api_;
    std::shared_ptr<SyncBlobTransporting> blobs_;
    std::shared_ptr<SyncAPIProviding> accountAPI_;  // sign-in, registration, revocations
    // Ids deleted (or edited away) on the main thread whose note still waits behind a running
    // round: that round seals no push of theirs. Set from any thread.
    mutable std::mutex withdrawnMutex_;
    std::set<std::string> withdrawn_;
    bool isWithdrawn(const std::string& id) const;

    // Actor state: touched only on the engine thread.
    SyncEngineCallbacks callbacks_;
    bool callbacksSet_ = false;
    std::optional<SyncSession> session_;
    SyncContentKeys keys_;
    SyncEngineStatus status_;
    std::vector<PendingPush> pushes_;
    std::vector<std::string> deletes_;
    std::map<std::string, std::int64_t> deleteDates_;  // whole seconds, where known
    std::map<std::string, std::int64_t> deleteTimes_;  // when the user deleted, whole seconds
    std::map<std::string, AcknowledgedDelete> acknowledgedDeleteDates_;  // this run, and handed over unsettled
    std::deque<std::string> acknowledgedDeleteOrder_;  // oldest first
    std::set<std::string> unsettledDeletes_;  // acknowledged, not yet passed by a pull to the log's end
    std::set<std::string> parked_;  // refused by the service this round; tried again next round
    std::map<std::string, PendingPush> answeredDeleted_;  // pushed, answered "deleted", not settled
    std::set<std::string> leftDeletedIDs_;  // new ids of clips that left a deleted id
    std::set<std::string> uploadedBlobKeys_;
    std::vector<Done> roundWaiters_;
    SyncPollScheduler scheduler_;
    bool running_ = false;
    bool sessionDirty_ = false;
    bool morePagesWaiting_ = false;  // the last round stopped at its page bound
    int refusedThisRound_ = 0;  // events and answers that failed verification
    int skippedThisRound_ = 0;  // events that could not be opened
    int gaveUpThisRound_ = 0;   // images given up
    bool imageHandedOver_ = false;  // since the application last caught up
    std::string refusedAnswer_;
    int blobFetchesThisRound_ = 0;
    SyncSeconds blobFetchTime_{0};

    SyncActor actor_;  // last: its thread starts after every member above exists
};

}  // namespace harbelle::sync
