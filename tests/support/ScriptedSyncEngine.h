#pragma once

#include <deque>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "syncbridge/SyncEngineDriving.h"

namespace harbelle::testing {

// A sync engine whose answers the test scripts. Every call is recorded by name; completions
// come back through the main-thread poster, as the real engine's do. Notes of local clips can
// be held, so a test can act while the coordinator waits for the engine.
class ScriptedSyncEngine final : public SyncEngineDriving {
public:
    struct NotedClip {
        std::string id;
        std::string text;
        sync::SyncDate createdAt;
        std::optional<sync::SyncClipOrigin> origin;
        bool replaceExisting = false;
        std::optional<sync::SyncBlobPayload> blob;
    };

    explicit ScriptedSyncEngine(sync::SyncMainThreadPoster poster) : poster_(std::move(poster)) {}

    void setCallbacks(sync::SyncEngineCallbacks callbacks, Done done) override;
    void bootstrap(Done done) override;
    void start(Done done) override;
    void stop(Done done) override;
    void syncNow(Done done) override;
    void signIn(std::string baseURL, std::string email, std::string password, std::string deviceName,
                sync::SyncEngineCompletion done) override;
    void registerAccount(std::string baseURL, std::string email, std::string password, std::string deviceName,
                         sync::SyncEngineCompletion done) override;
    void changePassword(std::string newPassword,
                        std::function<void(std::int64_t, std::exception_ptr)> done) override;
    void signOut(Done done) override;
    void needsOriginBackfill(std::int64_t version, std::function<void(bool)> done) override;
    void markOriginBackfillCompleted(std::int64_t version, Done done) override;
    void hasPendingChanges(std::function<void(bool)> done) override;
    void noteLocalClip(std::string id, std::string text, sync::SyncDate createdAt,
                       std::optional<sync::SyncClipOrigin> origin, bool replaceExisting,
                       std::optional<sync::SyncBlobPayload> blob, Done done) override;
    void noteLocalDeletes(std::vector<sync::SyncLocalDelete> deletes, Done done) override;

    // Publishes a status through the installed callback.
    void publish(const sync::SyncEngineStatus& status);
    void publishSignedIn(const std::string& email);
    // Answers the oldest held note; false when none is held.
    bool releaseHeld();
    std::size_t heldCount() const { return held_.size(); }
    // Calls whose name starts with `prefix`.
    std::vector<std::string> callsStartingWith(const std::string& prefix) const;

    // ---- Script ----
    bool backfillNeeded = false;
    bool pendingChanges = false;
    bool holdNotes = false;
    // A bootstrap that finds this account signed in (none: signed out).
    std::optional<std::string> storedAccount;
    std::exception_ptr accountError;  // sign-in, registration and password change fail with it
    std::int64_t revokedSessions = 0;
    // The status syncNow publishes before it completes (none: no publication).
    std::optional<sync::SyncEngineStatus> statusAfterSync;

    // ---- Record ----
    std::vector<std::string> calls;
    std::vector<NotedClip> notedClips;
    std::vector<std::vector<std::string>> notedDeletes;
    std::vector<std::vector<sync::SyncLocalDelete>> notedDeleteItems;
    sync::SyncEngineCallbacks callbacks;

private:
    void post(std::function<void()> step);
    sync::SyncMainThreadPoster poster_;
    std::deque<Done> held_;
};

}  // namespace harbelle::testing
