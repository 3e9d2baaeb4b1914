#include "support/ScriptedSyncEngine.h"

namespace harbelle::testing {

void ScriptedSyncEngine::post(std::function<void()> step) {
    if (step) poster_(std::move(step));
}

void ScriptedSyncEngine::setCallbacks(sync::SyncEngineCallbacks installed, Done done) {
    calls.push_back("setCallbacks");
    callbacks = std::move(installed);
    post(std::move(done));
}

void ScriptedSyncEngine::bootstrap(Done done) {
    calls.push_back("bootstrap");
    if (storedAccount) publishSignedIn(*storedAccount);
    post(std::move(done));
}

void ScriptedSyncEngine::start(Done done) {
    calls.push_back("start");
    post(std::move(done));
}

void ScriptedSyncEngine::stop(Done done) {
    calls.push_back("stop");
    post(std::move(done));
}

void ScriptedSyncEngine::syncNow(Done done) {
    calls.push_back("syncNow");
    if (statusAfterSync) publish(*statusAfterSync);
    post(std::move(done));
}

void ScriptedSyncEngine::signIn(std::string, std::string email, std::string, std::string deviceName,
                                sync::SyncEngineCompletion done) {
    calls.push_back("signIn " + email + " " + deviceName);
    if (!accountError) publishSignedIn(email);
    auto error = accountError;
    post([done, error] { done(error); });
}

void ScriptedSyncEngine::registerAccount(std::string, std::string email, std::string, std::string deviceName,
                                         sync::SyncEngineCompletion done) {
    calls.push_back("register " + email + " " + deviceName);
    if (!accountError) publishSignedIn(email);
    auto error = accountError;
    post([done, error] { done(error); });
}

void ScriptedSyncEngine::changePassword(std::string, std::function<void(std::int64_t, std::exception_ptr)> done) {
    calls.push_back("changePassword");
    auto error = accountError;
    auto revoked = revokedSessions;
    post([done, error, revoked] { done(error ? 0 : revoked, error); });
}

void ScriptedSyncEngine::signOut(Done done) {
    calls.push_back("signOut");
    publish(sync::SyncEngineStatus::signedOut());
    post(std::move(done));
}

void ScriptedSyncEngine::needsOriginBackfill(std::int64_t, std::function<void(bool)> done) {
    calls.push_back("needsOriginBackfill");
    bool needed = backfillNeeded;
    post([done, needed] { done(needed); });
}

void ScriptedSyncEngine::markOriginBackfillCompleted(std::int64_t, Done done) {
    calls.push_back("markOriginBackfillCompleted");
    backfillNeeded = false;
    post(std::move(done));
}

void ScriptedSyncEngine::hasPendingChanges(std::function<void(bool)> done) {
    calls.push_back("hasPendingChanges");
    bool pending = pendingChanges;
    post([done, pending] { done(pending); });
}

void ScriptedSyncEngine::noteLocalClip(std::string id, std::string text, sync::SyncDate createdAt,
                                       std::optional<sync::SyncClipOrigin> origin, bool replaceExisting,
                                       std::optional<sync::SyncBlobPayload> blob, Done done) {
    calls.push_back("noteLocalClip " + id);
    notedClips.push_back({id, std::move(text), createdAt, std::move(origin), replaceExisting, std::move(blob)});
    if (holdNotes && done) {
        held_.push_back(std::move(done));
        return;
    }
    post(std::move(done));
}

void ScriptedSyncEngine::noteLocalDeletes(std::vector<sync::SyncLocalDelete> deletes, Done done) {
    std::string line = "noteLocalDeletes";
    std::vector<std::string> ids;
    for (const auto& item : deletes) {
        line += " " + item.clientID;
        ids.push_back(item.clientID);
    }
    calls.push_back(line);
    notedDeletes.push_back(std::move(ids));
    notedDeleteItems.push_back(std::move(deletes));
    post(std::move(done));
}

void ScriptedSyncEngine::publish(const sync::SyncEngineStatus& status) {
    if (!callbacks.statusChanged) return;
    post([callback = callbacks.statusChanged, status] { callback(status); });
}

void ScriptedSyncEngine::publishSignedIn(const std::string& email) {
    sync::SyncEngineStatus status;
    status.isSignedIn = true;
    status.email = email;
    publish(status);
}

bool ScriptedSyncEngine::releaseHeld() {
    if (held_.empty()) return false;
    auto done = std::move(held_.front());
    held_.pop_front();
    post(std::move(done));
    return true;
}

std::vector<std::string> ScriptedSyncEngine::callsStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& call : calls)
        if (call.rfind(prefix, 0) == 0) out.push_back(call);
    return out;
}

}  // namespace harbelle::testing
