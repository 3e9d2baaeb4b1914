#include "sync/SyncEngine.h"

#include "sync/HTTPSyncBlobTransport.h"
#include "sync/SyncText.h"

namespace harbelle::sync {

// Shared with every step posted to the main thread: once the engine is gone, `alive` is false
// and a late step does nothing. The engine thread waits on `changed` for callback results.
struct SyncEngine::Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool alive = true;
    // Counts stop and sign-out requests: a callback posted before one of them never runs.
    std::uint64_t aborts = 0;
    SyncMainThreadPoster poster;
};

namespace {

template <class T>
struct Waiter {
    bool done = false;
    bool abandoned = false;
    std::uint64_t aborts = 0;
    std::optional<T> value;
    std::exception_ptr error;
};

}  // namespace

SyncEngine::BlobFactory SyncEngine::defaultBlobFactory() {
    return [](const std::string& baseURL) -> std::unique_ptr<SyncBlobTransporting> {
        return std::make_unique<HTTPSyncBlobTransport>(baseURL, HTTPSyncBlobTransport::defaultMediaBaseURL(baseURL));
    };
}

SyncEngine::SyncEngine(std::shared_ptr<SyncAccountStore> accountStore, APIFactory apiFactory,
                       SyncMainThreadPoster poster, BlobFactory blobFactory, SyncPollTimings timings,
                       std::shared_ptr<SyncClock> clock)
    : accountStore_(std::move(accountStore)),
      apiFactory_(std::move(apiFactory)),
      blobFactory_(blobFactory ? std::move(blobFactory) : defaultBlobFactory()),
      clock_(clock ? std::move(clock) : SystemSyncClock::shared()),
      gate_(std::make_shared<Gate>()),
      scheduler_(timings),
      actor_(clock_) {
    gate_->poster = std::move(poster);
    actor_.setTimerStep([this] { runRound(); });
}

SyncEngine::~SyncEngine() {
    destroying_.store(true);
    {
        std::lock_guard lock(gate_->mutex);
        gate_->alive = false;
        gate_->changed.notify_all();
    }
    {
        std::lock_guard lock(transportMutex_);
        if (api_) api_->setStopped(true);
        if (blobs_) blobs_->setStopped(true);
        if (accountAPI_) accountAPI_->setStopped(true);
    }
    actor_.shutdown();
}

// ---- plumbing ----

void SyncEngine::post(std::function<void()> task) { actor_.post(std::move(task)); }

void SyncEngine::postToMain(std::function<void()> step) {
    auto gate = gate_;
    if (!gate->poster) return;
    gate->poster([gate, step = std::move(step)] {
        {
            std::lock_guard lock(gate->mutex);
            if (!gate->alive) return;
        }
        step();
    });
}

bool SyncEngine::aborted() const { return destroying_.load() || stopRequests_.load() > 0; }

void SyncEngine::requestAbort(bool accountCalls) {
    stopRequests_.fetch_add(1);
    {
        std::lock_guard lock(transportMutex_);
        if (api_) api_->setStopped(true);
        if (blobs_) blobs_->setStopped(true);
        if (accountCalls && accountAPI_) accountAPI_->setStopped(true);
    }
    std::lock_guard lock(gate_->mutex);
    ++gate_->aborts;
    gate_->changed.notify_all();
}

void SyncEngine::releaseAbort() {
    if (stopRequests_.fetch_sub(1) != 1) return;
    std::lock_guard lock(transportMutex_);
    if (destroying_.load()) return;
    if (api_) api_->setStopped(false);
    if (blobs_) blobs_->setStopped(false);
}

template <class T>
T SyncEngine::awaitMain(std::function<T()> body) {
    if (aborted()) throw Aborted{};
    auto gate = gate_;
    auto waiter = std::make_shared<Waiter<T>>();
    if (!gate->poster) throw Aborted{};
    {
        std::lock_guard lock(gate->mutex);
        waiter->aborts = gate->aborts;
    }
    gate->poster([gate, waiter, body = std::move(body)] {
        {
            std::lock_guard lock(gate->mutex);
            if (!gate->alive || waiter->abandoned || gate->aborts != waiter->aborts) return;
        }
        std::optional<T> value;
        std::exception_ptr error;
        try {
            value = body();
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard lock(gate->mutex);
        waiter->done = true;
        waiter->value = std::move(value);
        waiter->error = error;
        gate->changed.notify_all();
    });
    std::unique_lock lock(gate->mutex);
    gate->changed.wait(lock, [&] { return waiter->done || aborted(); });
    if (!waiter->done) {
        waiter->abandoned = true;
        throw Aborted{};
    }
    // A callback that threw is the application's fault; the round goes on as if it had run.
    if (waiter->error || !waiter->value) return T{};
    return std::move(*waiter->value);
}

template std::vector<SyncLocalClip> SyncEngine::awaitMain(std::function<std::vector<SyncLocalClip>()>);
template std::vector<SyncClipKey> SyncEngine::awaitMain(std::function<std::vector<SyncClipKey>()>);

void SyncEngine::callbackAwaited(const std::function<void()>& body) {
    awaitMain<bool>([body] {
        body();
        return true;
    });
}

void SyncEngine::publishStatus() {
    status_.isRunning = running_ && session_.has_value();
    if (session_) {
        status_.syncedClipCount = session_->syncedClipCount;
        status_.skippedEventCount = session_->skippedEventCount;
    }
    if (!callbacksSet_ || !callbacks_.statusChanged) return;
    postToMain([callback = callbacks_.statusChanged, status = status_] { callback(status); });
}

void SyncEngine::finish(Done done) {
    if (done) postToMain(std::move(done));
}

// ---- operations ----

void SyncEngine::setCallbacks(SyncEngineCallbacks callbacks, Done done) {
    post([this, callbacks = std::move(callbacks), done = std::move(done)]() mutable {
        callbacks_ = std::move(callbacks);
        callbacksSet_ = true;
        finish(std::move(done));
    });
}

void SyncEngine::bootstrap(Done done) {
    post([this, done = std::move(done)]() mutable {
        // With a session loaded a repeated bootstrap loads nothing, but still publishes.
        if (!session_) {
            retryPendingRevocations();
            try {
                if (auto stored = accountStore_->loadSession()) {
                    adoptSession(std::move(*stored));
                    status_.lastErrorDescription.reset();
                }
            } catch (const std::exception&) {
                // A locked keyring is an error, never "no session".
                status_ = SyncEngineStatus::signedOut();
                status_.lastErrorDescription = keyringUnreadableMessage;
            }
        }
        publishStatus();
        finish(std::move(done));
    });
}

void SyncEngine::start(Done done) {
    post([this, done = std::move(done)]() mutable {
        bool wasRunning = running_;
        running_ = true;
        // One loop only: starting again just makes sure the single timer is armed.
        if (!actor_.timerDate()) armPollTimer();
        if (!wasRunning) publishStatus();
        finish(std::move(done));
    });
}

void SyncEngine::stop(Done done) {
    requestAbort(false);
    post([this, done = std::move(done)]() mutable {
        releaseAbort();
        running_ = false;
        actor_.setTimer(std::nullopt);
        for (auto& waiter : roundWaiters_) finish(std::move(waiter));
        roundWaiters_.clear();
        publishStatus();
        finish(std::move(done));
    });
}

void SyncEngine::syncNow(Done done) {
    post([this, done = std::move(done)]() mutable {
        if (done) roundWaiters_.push_back(std::move(done));
        if (session_) scheduler_.noteActivity(clock_->now());
        requestRound(true);
    });
}

void SyncEngine::signIn(std::string baseURL, std::string email, std::string password, std::string deviceName,
                        SyncEngineCompletion done) {
    post([=, this] {
        std::exception_ptr error;
        try {
            doSignIn(baseURL, email, password, deviceName, false);
        } catch (...) {
            error = std::current_exception();
        }
        if (done) postToMain([done, error] { done(error); });
    });
}

void SyncEngine::registerAccount(std::string baseURL, std::string email, std::string password,
                                 std::string deviceName, SyncEngineCompletion done) {
    post([=, this] {
        std::exception_ptr error;
        try {
            doSignIn(baseURL, email, password, deviceName, true);
        } catch (...) {
            error = std::current_exception();
        }
        if (done) postToMain([done, error] { done(error); });
    });
}


void SyncEngine::doSignIn(const std::string& baseURL, const std::string& emailText, const std::string& password,
                          const std::string& deviceName, bool create) {
    auto email = normalizeEmail(emailText);
    if (!isValidEmail(email)) throw SyncEngineError(SyncEngineErrorCode::invalidEmail);
    if (create ? graphemeCount(password) < minimumPasswordLength : password.empty())
        throw SyncEngineError(SyncEngineErrorCode::passwordTooShort);
    auto normalizedPassword = normalizePassword(password);
    // Before any request: an account made or signed into that no keyring could keep would be
    // left on the service, unusable, with "account exists" on the next try.
    accountStore_->requireSessionStorage();
    std::shared_ptr<SyncAPIProviding> api;
    try {
        api = makeAccountAPI(baseURL);
    } catch (const std::exception&) {
        throw SyncEngineError(SyncServiceError(SyncServiceErrorCode::invalidRequest));
    }
    // Quitting never waits out a derivation of up to ten million iterations.
    auto quitting = [this] { return destroying_.load(); };
    SyncSession session;
    session.baseURL = baseURL;
    session.email = email;
    session.deviceName = deviceName;
    try {
        if (create) {
            SyncKDFParameters kdf;
            kdf.salt = randomBytes(kSaltLength);
            kdf.iterations = std::int64_t(kRegistrationIterations);
            auto keys = deriveAccountKeys(normalizedPassword, kdf.salt, kdf.iterations, quitting);
            session.syncKey = randomBytes(32);
            auto wrapped = wrapSyncKey(keys.kek, session.syncKey, email);
            if (unwrapSyncKey(keys.kek, wrapped, email) != session.syncKey)
                throw SyncEngineError(SyncEngineErrorCode::crypto);
            auto answer = api->registerAccount({email, keys.authKey, kdf, wrapped, deviceName, platformName});
            session.token = answer.token;
            session.deviceID = answer.deviceID;
        } else {
            // A service cannot talk the client into a cheaper key: refused before PBKDF2 runs.
            auto kdf = api->kdf(email);
            auto keys = deriveAccountKeys(normalizedPassword, kdf, quitting);
            auto answer = api->login({email, keys.authKey, deviceName, platformName});
            session.token = answer.token;
            session.deviceID = answer.deviceID;
            try {
                session.syncKey = unwrapSyncKey(keys.kek, answer.wrappedSyncKey, email);
            } catch (const std::exception&) {
                revokeLeftToken(*api, baseURL, answer.token);
                throw SyncEngineError(SyncEngineErrorCode::crypto);
            }
        }
    } catch (const SyncServiceError& error) {
        throw SyncEngineError(error);
    } catch (const SyncCryptoError&) {
        throw SyncEngineError(SyncEngineErrorCode::crypto);
    }
    try {
        accountStore_->saveSession(session);
    } catch (...) {
        revokeLeftToken(*api, baseURL, session.token);
        throw;
    }
    // Another account's queued work never follows into this one.
    clearLocalAccount();
    adoptSession(std::move(session));
    scheduler_.noteSuccess();
    scheduler_.noteActivity(clock_->now());
    publishStatus();
}

std::shared_ptr<SyncAPIProviding> SyncEngine::makeAccountAPI(const std::string& baseURL) {
    std::shared_ptr<SyncAPIProviding> api = apiFactory_(baseURL);
    std::lock_guard lock(transportMutex_);
    accountAPI_ = api;
    if (destroying_.load()) api->setStopped(true);
    return api;
}

void SyncEngine::revokeLeftToken(SyncAPIProviding& api, const std::string& baseURL, const std::string& token) {
    try {
        api.logout(token);
        return;
    } catch (const std::exception&) {
    }
    try {
        accountStore_->addPendingRevocation({baseURL, token});
    } catch (const std::exception&) {
        // Nothing more can be done for a token we can neither revoke nor remember.
    }
}

void SyncEngine::retryPendingRevocations() {
    std::vector<SyncPendingRevocation> pending;
    try {
        pending = accountStore_->pendingRevocations();
    } catch (const std::exception&) {
        return;
    }
    for (const auto& revocation : pending) {
        if (aborted()) return;
        if (session_ && session_->token == revocation.token) continue;
        try {
            makeAccountAPI(revocation.baseURL)->logout(revocation.token);
        } catch (const SyncServiceError& error) {
            if (error.code() != SyncServiceErrorCode::unauthorized) continue;
        } catch (const std::exception&) {
            continue;
        }
        try {
            accountStore_->removePendingRevocation(revocation);
        } catch (const std::exception&) {
        }
    }
}

void SyncEngine::adoptSession(SyncSession session) {
    keys_ = deriveContentKeys(session.syncKey);
    std::shared_ptr<SyncAPIProviding> api = apiFactory_(session.baseURL);
    std::shared_ptr<SyncBlobTransporting> blobs = blobFactory_(session.baseURL);
    {
        std::lock_guard lock(transportMutex_);
        if (aborted()) {
            api->setStopped(true);
            blobs->setStopped(true);
        }
        api_ = std::move(api);
        blobs_ = std::move(blobs);
    }
    status_ = SyncEngineStatus::signedOut();
    status_.isSignedIn = true;
    status_.email = session.email;
    status_.deviceName = session.deviceName;
    session_ = std::move(session);
}

void SyncEngine::clearLocalAccount() {
    session_.reset();
    keys_ = {};
    pushes_.clear();
    deletes_.clear();
    deleteDates_.clear();
    deleteTimes_.clear();
    acknowledgedDeleteDates_.clear();
    acknowledgedDeleteOrder_.clear();
    unsettledDeletes_.clear();
    parked_.clear();
    answeredDeleted_.clear();
    leftDeletedIDs_.clear();
    uploadedBlobKeys_.clear();
    sessionDirty_ = false;
    actor_.setTimer(std::nullopt);
    scheduler_.noteSuccess();
    std::lock_guard lock(transportMutex_);
    api_.reset();
    blobs_.reset();
}

void SyncEngine::changePassword(std::string newPassword, std::function<void(std::int64_t, std::exception_ptr)> done) {
    post([this, newPassword = std::move(newPassword), done = std::move(done)] {
        std::int64_t revoked = 0;
        std::exception_ptr error;
        try {
            if (!session_) throw SyncEngineError(SyncEngineErrorCode::notSignedIn);
            if (graphemeCount(newPassword) < minimumPasswordLength)
                throw SyncEngineError(SyncEngineErrorCode::passwordTooShort);
            try {
                SyncChangePasswordRequest request;
                request.kdf.salt = randomBytes(kSaltLength);
                request.kdf.iterations = std::int64_t(kRegistrationIterations);
                auto keys = deriveAccountKeys(normalizePassword(newPassword), request.kdf.salt, kRegistrationIterations,
                                              [this] { return destroying_.load(); });
                request.authKey = keys.authKey;
                request.wrappedSyncKey = wrapSyncKey(keys.kek, session_->syncKey, session_->email);
                // Sending a wrapped key that does not open would lose every clip for good.
                if (unwrapSyncKey(keys.kek, request.wrappedSyncKey, session_->email) != session_->syncKey)
                    throw SyncEngineError(SyncEngineErrorCode::crypto);
                revoked = api_->changePassword(session_->token, request);
            } catch (const SyncServiceError& service) {
                throw SyncEngineError(service);
            } catch (const SyncCryptoError&) {
                throw SyncEngineError(SyncEngineErrorCode::crypto);
            }
        } catch (...) {
            error = std::current_exception();
        }
        if (done) postToMain([done, revoked, error] { done(revoked, error); });
    });
}

void SyncEngine::signOut(Done done) {
    requestAbort(true);
    post([this, done = std::move(done)]() mutable {
        releaseAbort();
        std::optional<SyncPendingRevocation> revocation;
        if (session_) revocation = SyncPendingRevocation{session_->baseURL, session_->token};
        auto api = api_;
        // Remembered first: the token is revoked later even if this process ends now.
        if (revocation) {
            try {
                accountStore_->addPendingRevocation(*revocation);
            } catch (const std::exception&) {
            }
        }
        try {
            accountStore_->clearSession();
        } catch (const std::exception&) {
        }
        clearLocalAccount();
        for (auto& waiter : roundWaiters_) finish(std::move(waiter));
        roundWaiters_.clear();
        status_ = SyncEngineStatus::signedOut();
        publishStatus();
        finish(std::move(done));
        if (revocation && api && !aborted()) {
            {
                std::lock_guard lock(transportMutex_);
                accountAPI_ = api;
                api->setStopped(destroying_.load());
            }
            try {
                api->logout(revocation->token);
                accountStore_->removePendingRevocation(*revocation);
            } catch (const std::exception&) {
                // Left pending: the next bootstrap retries it.
            }
        }
    });
}

void SyncEngine::endSessionByService() {
    // The token is already dead on the service: nothing to revoke, and no clip is touched.
    try {
        accountStore_->clearSession();
    } catch (const std::exception&) {
    }
    clearLocalAccount();
    status_ = SyncEngineStatus::signedOut();
    status_.lastErrorDescription = sessionEndedMessage;
}

void SyncEngine::saveSessionQuietly() {
    if (!session_) return;
    try {
        accountStore_->saveSession(*session_);
        sessionDirty_ = false;
    } catch (const std::exception&) {
        sessionDirty_ = true;  // kept in memory; written with the next change
    }
}

void SyncEngine::needsOriginBackfill(std::int64_t version, std::function<void(bool)> done) {
    post([this, version, done = std::move(done)] {
        bool needed = session_ && session_->originBackfillVersion < version;
        if (done) postToMain([done, needed] { done(needed); });
    });
}

void SyncEngine::markOriginBackfillCompleted(std::int64_t version, Done done) {
    post([this, version, done = std::move(done)]() mutable {
        if (session_) {
            session_->originBackfillVersion = std::max(session_->originBackfillVersion, version);
            saveSessionQuietly();
        }
        finish(std::move(done));
    });
}

void SyncEngine::hasPendingChanges(std::function<void(bool)> done) {
    post([this, done = std::move(done)] {
        bool pending = !pushes_.empty() || !deletes_.empty();
        if (done) postToMain([done, pending] { done(pending); });
    });
}

void SyncEngine::noteLocalClip(std::string id, std::string text, SyncDate createdAt,
                               std::optional<SyncClipOrigin> origin, bool replaceExisting,
                               std::optional<SyncBlobPayload> blob, Done done) {
    post([this, push = PendingPush{std::move(id), std::move(text), createdAt, std::move(origin), replaceExisting,
                                   std::move(blob)},
          done = std::move(done)]() mutable {
        if (session_) {
            std::erase(deletes_, push.id);
            deleteDates_.erase(push.id);
            deleteTimes_.erase(push.id);
            if (acknowledgedDeleteDates_.erase(push.id))  // the clip is back here
                std::erase(acknowledgedDeleteOrder_, push.id);
            unsettledDeletes_.erase(push.id);
            parked_.erase(push.id);
            if (auto* queued = findPush(push.id))
                *queued = std::move(push);
            else
                pushes_.push_back(std::move(push));
            scheduler_.noteActivity(clock_->now());
            requestRound(false);
        }
        finish(std::move(done));
    });
}

bool SyncEngine::isWithdrawn(const std::string& id) const {
    std::lock_guard lock(withdrawnMutex_);
    return withdrawn_.count(id) > 0;
}

void SyncEngine::noteLocalDeletes(std::vector<SyncLocalDelete> deletes, Done done) {
    {
        // At once, not behind the running round: a push it has yet to seal is not made.
        std::lock_guard lock(withdrawnMutex_);
        for (const auto& item : deletes)
            if (!item.acknowledged) withdrawn_.insert(item.clientID);
    }
    post([this, deletes = std::move(deletes), done = std::move(done)]() mutable {
        {
            std::lock_guard lock(withdrawnMutex_);
            for (const auto& item : deletes) withdrawn_.erase(item.clientID);
        }
        // Without a session nothing is queued: no clip of one account reaches another.
        if (session_ && !deletes.empty()) {
            std::vector<std::string> ids;
            for (const auto& item : deletes) {
                std::optional<std::int64_t> deletedAt;
                if (item.deletedAt) deletedAt = wireSeconds(*item.deletedAt);
                if (item.acknowledged) {
                    if (item.createdAt) {
                        noteDeleteAcknowledged(item.clientID, {wireSeconds(*item.createdAt), deletedAt});
                        unsettledDeletes_.insert(item.clientID);
                    }
                    continue;
                }
                ids.push_back(item.clientID);
                if (item.createdAt) deleteDates_[item.clientID] = wireSeconds(*item.createdAt);
                if (deletedAt) deleteTimes_[item.clientID] = *deletedAt;
            }
            // What was deleted (or edited away) before it went up never goes up: only what the
            // device holds when a push is made leaves it.
            std::set<std::string> gone(ids.begin(), ids.end());
            std::erase_if(pushes_, [&](const PendingPush& push) { return gone.count(push.id); });
            std::erase_if(answeredDeleted_, [&](const auto& entry) { return gone.count(entry.first); });
            std::erase_if(session_->pendingBlobFetches,
                          [&](const SyncPendingBlobFetch& fetch) { return gone.count(fetch.event.clientID); });
            for (const auto& id : ids)
                if (std::find(deletes_.begin(), deletes_.end(), id) == deletes_.end()) deletes_.push_back(id);
            if (!ids.empty()) {
                scheduler_.noteActivity(clock_->now());
                requestRound(false);
            }
        }
        finish(std::move(done));
    });
}

SyncEngine::PendingPush* SyncEngine::findPush(const std::string& id) {
    for (auto& push : pushes_)
        if (push.id == id) return &push;
    return nullptr;
}

}  // namespace harbelle::sync
