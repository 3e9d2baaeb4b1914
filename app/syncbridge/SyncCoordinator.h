#pragma once

#include <QObject>
#include <QPointer>
#include <QUrl>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "history/ClipDeviceOrigin.h"
#include "history/SyncableImagePayload.h"
#include "history/Uuid.h"
#include "platform/BackgroundWork.h"
#include "platform/BundleInfo.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "sync/SyncBookkeepingStore.h"
#include "sync/SyncEngineTypes.h"
#include "sync/SyncPollScheduler.h"
#include "sync/SyncSecureStoring.h"
#include "syncbridge/SyncAccountService.h"
#include "syncbridge/SyncEngineDriving.h"

namespace harbelle {

class HistoryStore;
class DefaultsBookkeepingPersisting;

// What the coordinator is built with besides the store, demo mode and the defaults.
struct SyncCoordinatorOptions {
    // Reads one environment variable; the default is the process environment.
    std::function<std::optional<std::string>(const std::string& name)> environment;
    // The information dictionary; the default is the program's own.
    const BundleInfo* bundle = nullptr;
    // Where the signed-in session is kept; the default is a store in memory (the program
    // passes the keyring).
    std::shared_ptr<sync::SyncSecureStoring> secureStore;
    // Replaces the real engine (tests); given the main-thread poster.
    std::function<std::unique_ptr<SyncEngineDriving>(sync::SyncMainThreadPoster)> makeEngine;
    // The real engine's clock; the default is the system's.
    std::shared_ptr<sync::SyncClock> engineClock;
    // Times the coalescing of activations; the default is the system clock.
    Clock* clock = nullptr;
    // This device's name as registered with the account; the default is the host name.
    std::optional<std::string> deviceName;
};

// Owner and driver of the sync engine, on the main thread. Sync is available when a permitted
// service address is configured (environment first, then the information dictionary) and the
// program is not in demo mode; availability never changes after construction. Joins the engine
// to the history in both directions: the engine's callbacks change the store, the store's sync
// hooks feed the engine, and the per-account bookkeeping records what each account was told.
class SyncCoordinator final : public SyncAccountService {
    Q_OBJECT
public:
    // Image checks still running. The engine's thread waits here before it posts a step, so
    // the main thread sees a check's result before anything the engine did after it.
    struct ImageCheckGate {
        std::mutex mutex;
        std::condition_variable idle;
        int running = 0;
        int waiting = 0;
        bool closed = false;  // quitting: the engine's thread no longer waits
        // Received images on their way to becoming clips, by place in the queue: the hashes of
        // their fingerprints, so a later image of the same bytes is not written too.
        std::map<std::uint64_t, std::uint64_t> insertsAhead;
        std::uint64_t nextPlace = 0;

        void waitUntilIdle() {
            std::unique_lock lock(mutex);
            ++waiting;
            idle.wait(lock, [&] { return running == 0 || closed; });
            --waiting;
        }
        // Quitting: every thread waiting here goes on at once.
        void close() {
            std::lock_guard lock(mutex);
            closed = true;
            idle.notify_all();
        }
    };

    static constexpr const char* kBaseURLEnvironmentVariable = "HARBELLE_SYNC_BASE_URL";
    static constexpr const char* kBaseURLInfoKey = "HarbelleSyncAPIBaseURL";
    static constexpr const char* kBookkeepingStorageKey = "harbelle.sync.mac.bookkeeping.v2";
    static constexpr const char* kLegacyReportedKey = "harbelle.sync.mac.reportedIDs.v1";
    static constexpr const char* kLegacyPendingPushKey = "harbelle.sync.mac.pendingPushIDs.v1";
    static constexpr const char* kLegacyPendingDeleteKey = "harbelle.sync.mac.pendingDeleteIDs.v1";
    static constexpr std::int64_t kOriginBackfillVersion = 1;
    static constexpr sync::SyncPollTimings kEngineTimings{5, 60, 300, 300};
    static constexpr const char* kFallbackBundleIdentifier = "com.brantlemoor.Pemberlow";
    static constexpr const char* kFallbackDeviceName = "This computer";
    // Activations closer together than this start one sync, not one each.
    static constexpr Milliseconds kActivationCoalescing{30'000};
    // Received clips are marked one engine step each; the marks are written together at most
    // this often rather than the whole bookkeeping once per clip.
    static constexpr Milliseconds kBookkeepingWriteInterval{50};

    static constexpr const char* kNotConfiguredMessage = "Sync is not configured in this build.";
    static constexpr const char* kPasswordsDifferMessage = "Passwords do not match.";
    static constexpr const char* kSignInToSyncMessage = "Sign in to sync your clips.";
    static constexpr const char* kKeyringUnavailableMessage =
        "Sync keeps your account in the system keyring: start a keyring such as GNOME Keyring, unlock it, and "
        "try again.";
    // A received image still being checked when the program quits is waited for this long.
    static constexpr Milliseconds kImageCheckWaitOnQuit{1'500};

    using Environment = std::function<std::optional<std::string>(const std::string& name)>;

    SyncCoordinator(HistoryStore* store, bool demoMode, Defaults& defaults, SyncCoordinatorOptions options = {},
                    QObject* parent = nullptr);
    // Without a history (availability checks and tools).
    SyncCoordinator(bool demoMode, Defaults& defaults, QObject* parent = nullptr);
    SyncCoordinator(bool demoMode, Defaults& defaults, const Environment& environment, const BundleInfo& bundle,
                    QObject* parent = nullptr);
    ~SyncCoordinator() override;

    // ---- What views read --------------------------------------------------------------------
    bool isAvailable() const override { return syncBaseURL_.has_value() && !demoMode_; }
    SyncAccountStatus status() const override;
    const sync::SyncEngineStatus& engineStatus() const { return status_; }
    std::optional<std::string> lastSyncNotice() const override { return lastSyncNotice_; }
    int lastChangePasswordRevokedSessions() const override { return lastChangePasswordRevokedSessions_; }
    const std::optional<QUrl>& syncBaseURL() const { return syncBaseURL_; }
    bool demoMode() const { return demoMode_; }

    // ---- Account operations: each answers once, later, on the main thread ---------------------
    void signIn(const std::string& email, const std::string& password, Completion done) override;
    void createAccount(const std::string& email, const std::string& password, const std::string& confirmPassword,
                       Completion done) override;
    void changePassword(const std::string& newPassword, const std::string& confirmPassword,
                        Completion done) override;
    // Runs the whole activation and answers with the outcome of the newest run.
    void syncNow(Completion done) override;
    void signOut(Completion done) override;

    // ---- Life cycle -----------------------------------------------------------------------------
    // Records whether the program wants sync running and restarts the life cycle; returns at
    // once. Activation while sync is unavailable is ignored entirely; deactivation is always
    // accepted.
    void setActive(bool active);
    // The program came to the front: one activation, unless the last one was under 30 s ago.
    void applicationDidBecomeActive();
    // Quitting: stops the engine now, aborting transfers and pending callbacks, and returns
    // once its thread has ended (well under 2 s). Nothing of sync runs afterwards.
    void shutdown();

    bool wantsActive() const { return wantsActive_; }
    std::uint64_t lifecycleGeneration() const { return lifecycleGeneration_; }
    bool hasLifecycleTask() const { return static_cast<bool>(lifecycleTask_); }
    // The signed-in address, trimmed and lower-cased; none when signed out.
    std::optional<std::string> currentAccountEmail() const;
    sync::SyncBookkeepingStore& bookkeeping() { return *syncBookkeeping_; }
    // What the service sent that was refused since the engine last reported a round.
    struct Refusals {
        int forgedDuplicates = 0;
        int invalidIdentifiers = 0;
        int badImages = 0;
        int total() const { return forgedDuplicates + invalidIdentifiers + badImages; }
    };
    const Refusals& refusalsThisRound() const { return refusals_; }
    // Received actions waiting behind an image check.
    std::size_t receivedWaiting() const { return receivedQueue_.size(); }
    // A lower-case UUID text as the wire has it; none for anything else.
    static std::optional<Uuid> wireID(const std::string& text);

    static std::optional<QUrl> resolveBaseURL(const Environment& environment, const BundleInfo& bundle);
    // https to any host, or http to a loopback host; no user name or password.
    static bool isPermittedEndpoint(const QUrl& url);
    static Environment processEnvironment();
    // The keyring service of the signed-in session: the bundle identifier + ".sync.production".
    static std::string keychainServiceName(const BundleInfo& bundle);
    // The sentence shown for a failed account operation.
    static std::string message(std::exception_ptr error);
    // The origin a clip carries to the engine.
    static sync::SyncClipOrigin syncOrigin(const ClipSourceDeviceOrigin& origin);
    // Deleted clips as the bookkeeping records them: their wire ids and, where known, dates.
    struct DeletedIDs {
        sync::SyncIDSet ids;
        std::map<std::string, std::int64_t> dates;
    };
    static DeletedIDs deletedIDs(const std::vector<Uuid>& ids, const std::vector<Date>& createdAt);

signals:
    void lastSyncNoticeChanged();

private:
    struct LifecycleTask;
    struct ReceivedAction;

    void buildEngine(SyncCoordinatorOptions& options);
    void wireEngineCallbacks();
    void wireStoreHooks();
    void answer(Completion done, std::optional<std::string> result);
    void whenCallbacksInstalled(std::function<void()> step);
    void runActivation(const std::shared_ptr<LifecycleTask>& task);
    void finishTask(const std::shared_ptr<LifecycleTask>& task);
    bool taskIsCurrent(const std::shared_ptr<LifecycleTask>& task) const;
    // The catch-up after a sign-in or an account creation: [sync,] reconcile, sync, back-fill
    // bookkeeping, poll.
    void finishAccountFlow(bool syncFirst, Completion done);
    void bookkeepingStep();
    // Hands the account's pending deletes to the engine, so a new session sends them before
    // its first pull.
    void queuePendingDeletes(std::function<void()> done);
    std::optional<std::string> syncNowOutcome() const;
    std::string deviceName() const;

    // Engine callbacks and store hooks.
    std::vector<sync::SyncLocalClip> localClipsSnapshot();
    void applyMergeAction(const sync::SyncMergeAction& action);
    void applyReceivedInOrder(bool all = false);
    // `written`: the image's file, written ahead by the worker.
    void applyChecked(const sync::SyncMergeAction& action, std::optional<SyncableImagePayload> image,
                      const std::optional<std::string>& written = std::nullopt, const std::string& fingerprint = {});
    // The file a checked image's clip needs now that its turn has come, when none was written.
    std::optional<std::string> fileNeededBy(const ReceivedAction& entry) const;
    void writeOnWorker(const std::shared_ptr<ReceivedAction>& entry, const std::string& name);
    void finishImageChecks();
    void reportRefusals();
    void applyStatus(const sync::SyncEngineStatus& status);
    void canonicalizeLocalClip(const std::string& localID, const std::string& canonicalID);
    void localChangesAcknowledged(const std::vector<std::string>& pushed, const std::vector<std::string>& deleted);
    void localClipRejected(sync::SyncClipRejection rejection);
    void syncableTextCaptured(const Uuid& id, const std::string& text, Date createdAt,
                              const ClipSourceDeviceOrigin& origin);
    void syncableImageCaptured(const Uuid& id, const SyncableImagePayload& image, Date createdAt,
                               const ClipSourceDeviceOrigin& origin);
    void syncableClipsDeleted(const std::vector<Uuid>& ids, const std::vector<Date>& createdAt);
    // A New Text Clip placeholder goes to the engine only once no editor holds it: typed over,
    // it is deleted without ever leaving this device.
    void releaseHeldPlaceholders();
    std::set<Uuid> heldPlaceholders_;
    // The engine's form of pending deletes, with the dates the bookkeeping kept.
    std::vector<sync::SyncLocalDelete> localDeletes(const sync::SyncIDSet& ids, const std::string& email) const;
    void setLastSyncNotice(std::optional<std::string> notice);

    // Reconciling: hands the engine every eligible clip the account has not acknowledged,
    // then the outstanding deletions, and calls `done`.
    void reconcileLocalChanges(bool replaceExisting, std::function<void()> done);
    struct ReconcileRun {
        std::string email;
        bool replaceExisting = false;
        std::vector<Uuid> chosen;  // in history order
        std::size_t next = 0;
        sync::SyncIDSet pendingDeletes;
        // Deleted by the user while this run waited for the engine: never pushed.
        sync::SyncIDSet deletedMeanwhile;
        std::function<void()> done;
    };
    void reconcileNext(const std::shared_ptr<ReconcileRun>& run);

    QPointer<HistoryStore> store_;
    bool demoMode_;
    Defaults& defaults_;
    Clock* clock_;
    std::optional<std::string> deviceNameOverride_;
    std::optional<QUrl> syncBaseURL_;
    std::unique_ptr<DefaultsBookkeepingPersisting> bookkeepingDefaults_;
    std::unique_ptr<sync::SyncBookkeepingStore> syncBookkeeping_;
    ScheduledTask bookkeepingWrite_;
    // Received images are checked on a worker; the actions behind one wait their turn, and
    // the engine's thread waits for running checks before it posts its next step.
    std::shared_ptr<ImageCheckGate> imageChecks_;
    std::deque<std::shared_ptr<ReceivedAction>> receivedQueue_;
    Refusals refusals_;
    // Canonical identifiers of refused merges: not acknowledged as pushed in their round.
    sync::SyncIDSet refusedCanonicalIDs_;
    std::unique_ptr<QThreadPool> imageCheckPool_;
    std::unique_ptr<SyncEngineDriving> engine_;
    // Last, so it closes first: no check result reaches a coordinator being destroyed.
    std::unique_ptr<BackgroundWork> imageCheckReturns_;

    sync::SyncEngineStatus status_ = sync::SyncEngineStatus::signedOut();
    std::optional<std::string> lastSyncNotice_;
    bool callbacksInstalled_ = false;
    std::vector<std::function<void()>> afterCallbacksInstalled_;
    std::shared_ptr<LifecycleTask> lifecycleTask_;
    std::uint64_t lifecycleGeneration_ = 0;
    bool wantsActive_ = false;
    int lastChangePasswordRevokedSessions_ = 0;
    std::optional<Date> lastActivation_;
    // Clips deleted while a reconcile runs: it must not push them.
    std::vector<std::shared_ptr<ReconcileRun>> reconcileRuns_;
    bool shutDown_ = false;
};

}  // namespace harbelle
