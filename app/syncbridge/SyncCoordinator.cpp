#include "syncbridge/SyncCoordinator.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QString>
#include <QSysInfo>
#include <QThread>
#include <QThreadPool>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "history/HistoryStore.h"
#include "sync/HTTPSyncAPIClient.h"
#include "sync/HTTPSyncBlobTransport.h"
#include "sync/InMemorySyncSecureStore.h"
#include "sync/SyncAccountStore.h"
#include "syncbridge/DefaultsBookkeepingPersisting.h"

namespace harbelle {

namespace {

std::optional<QUrl> permittedURL(const std::string& text) {
    // Taken as given, untrimmed: a value with stray spaces is no address.
    QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    if (!url.isValid() || !SyncCoordinator::isPermittedEndpoint(url)) return std::nullopt;
    return url;
}

}  // namespace

// One run of the life cycle. A superseded run stops at its next check; whoever waits for a
// run (a manual sync) is handed on to the run that replaced it.
struct SyncCoordinator::LifecycleTask {
    std::uint64_t generation = 0;
    bool active = false;
    bool cancelled = false;
    std::vector<std::function<void()>> waiters;
};

SyncCoordinator::SyncCoordinator(bool demoMode, Defaults& defaults, QObject* parent)
    : SyncCoordinator(nullptr, demoMode, defaults, {}, parent) {}

SyncCoordinator::SyncCoordinator(bool demoMode, Defaults& defaults, const Environment& environment,
                                 const BundleInfo& bundle, QObject* parent)
    : SyncCoordinator(nullptr, demoMode, defaults, SyncCoordinatorOptions{environment, &bundle}, parent) {}

SyncCoordinator::SyncCoordinator(HistoryStore* store, bool demoMode, Defaults& defaults,
                                 SyncCoordinatorOptions options, QObject* parent)
    : SyncAccountService(parent),
      store_(store),
      demoMode_(demoMode),
      defaults_(defaults),
      clock_(options.clock ? options.clock : &SystemClock::shared()),
      deviceNameOverride_(options.deviceName),
      imageChecks_(std::make_shared<ImageCheckGate>()),
      imageCheckPool_(std::make_unique<QThreadPool>()),
      imageCheckReturns_(std::make_unique<BackgroundWork>(this)) {
    // Below the main thread: a decode never competes with the views for a core.
    imageCheckPool_->setMaxThreadCount(2);
    imageCheckPool_->setThreadPriority(QThread::LowPriority);
    bookkeepingDefaults_ = std::make_unique<DefaultsBookkeepingPersisting>(defaults_);
    syncBookkeeping_ = std::make_unique<sync::SyncBookkeepingStore>(*bookkeepingDefaults_, kBookkeepingStorageKey);
    // Routine marks are written together; quitting writes what is still waiting.
    syncBookkeeping_->setSaveRequester([this] {
        bookkeepingWrite_ = clock_->schedule(kBookkeepingWriteInterval, [this] { syncBookkeeping_->flush(); });
    });
    // Deletes are saved in the next step, before anything else: never in the step that records them.
    syncBookkeeping_->setPromptSaveRequester([this] {
        QMetaObject::invokeMethod(this, [self = QPointer<SyncCoordinator>(this)] {
            if (self) self->syncBookkeeping_->flush();
        }, Qt::QueuedConnection);
    });
    const BundleInfo& bundle = options.bundle ? *options.bundle : BundleInfo::main();
    if (!demoMode_) syncBaseURL_ = resolveBaseURL(options.environment ? options.environment : processEnvironment(), bundle);
    buildEngine(options);
    wireEngineCallbacks();
    wireStoreHooks();
}

SyncCoordinator::~SyncCoordinator() {
    imageChecks_->close();
    engine_.reset();
    finishImageChecks();
    imageCheckReturns_->close();
    imageCheckPool_.reset();
    if (syncBookkeeping_) syncBookkeeping_->flush();
}

void SyncCoordinator::buildEngine(SyncCoordinatorOptions& options) {
    // Engine completions and callbacks come back through the event loop of the main thread.
    sync::SyncMainThreadPoster poster = [gate = imageChecks_](std::function<void()> step) {
        QCoreApplication* app = QCoreApplication::instance();
        if (app && QThread::currentThread() != app->thread()) gate->waitUntilIdle();
        QMetaObject::invokeMethod(app, std::move(step), Qt::QueuedConnection);
    };
    if (options.makeEngine) {
        engine_ = options.makeEngine(std::move(poster));
        return;
    }
    auto secure = options.secureStore ? options.secureStore : std::make_shared<sync::InMemorySyncSecureStore>();
    auto accounts = std::make_shared<sync::SyncAccountStore>(std::move(secure));
    auto apiFactory = [](const std::string& baseURL) -> std::unique_ptr<sync::SyncAPIProviding> {
        return std::make_unique<sync::HTTPSyncAPIClient>(baseURL);
    };
    // Images travel through the service's own media endpoint, under the same base address.
    auto blobFactory = [](const std::string& baseURL) -> std::unique_ptr<sync::SyncBlobTransporting> {
        return std::make_unique<sync::HTTPSyncBlobTransport>(baseURL,
                                                             sync::HTTPSyncBlobTransport::defaultMediaBaseURL(baseURL));
    };
    auto engine = std::make_unique<sync::SyncEngine>(std::move(accounts), apiFactory, std::move(poster), blobFactory,
                                                     kEngineTimings, options.engineClock);
    engine_ = std::make_unique<SyncEngineAdapter>(std::move(engine));
}

SyncCoordinator::Environment SyncCoordinator::processEnvironment() {
    return [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        if (!value) return std::nullopt;
        return std::string(value);
    };
}

std::optional<QUrl> SyncCoordinator::resolveBaseURL(const Environment& environment, const BundleInfo& bundle) {
    // A refused environment value falls back to the dictionary; it never disables it.
    if (environment) {
        if (auto value = environment(kBaseURLEnvironmentVariable)) {
            if (auto url = permittedURL(*value)) return url;
        }
    }
    if (auto value = bundle.string(kBaseURLInfoKey)) {
        if (auto url = permittedURL(*value)) return url;
    }
    return std::nullopt;
}

bool SyncCoordinator::isPermittedEndpoint(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    const QString host = url.host().toLower();
    if (scheme.isEmpty() || host.isEmpty()) return false;
    if (!url.userName().isEmpty() || !url.password().isEmpty()) return false;
    if (scheme == QLatin1String("https")) return true;
    return scheme == QLatin1String("http") &&
           (host == QLatin1String("127.0.0.1") || host == QLatin1String("localhost") ||
            host == QLatin1String("::1"));
}

std::string SyncCoordinator::keychainServiceName(const BundleInfo& bundle) {
    std::string identifier = bundle.identifier();
    if (identifier.empty()) identifier = kFallbackBundleIdentifier;
    return identifier + ".sync." + "production";
}

std::string SyncCoordinator::deviceName() const {
    if (deviceNameOverride_) return *deviceNameOverride_;
    const std::string host = QSysInfo::machineHostName().trimmed().toStdString();
    return host.empty() ? kFallbackDeviceName : host;
}

SyncAccountStatus SyncCoordinator::status() const {
    SyncAccountStatus out;
    out.isSignedIn = status_.isSignedIn;
    out.isRunning = status_.isRunning;
    out.email = status_.email;
    out.deviceName = status_.deviceName;
    out.lastSyncAt = status_.lastSyncAt;
    out.syncedClipCount = status_.syncedClipCount;
    out.lastErrorDescription = status_.lastErrorDescription;
    return out;
}

std::optional<std::string> SyncCoordinator::currentAccountEmail() const {
    if (!status_.isSignedIn || !status_.email) return std::nullopt;
    const std::string email = QString::fromStdString(*status_.email).trimmed().toLower().toStdString();
    if (email.empty()) return std::nullopt;
    return email;
}

void SyncCoordinator::bookkeepingStep() {
    // The one-time move of the older per-device keys into the signed-in account.
    const auto email = currentAccountEmail();
    if (!email) return;
    syncBookkeeping_->state(*email,
                            sync::SyncLegacyBookkeepingKeys{kLegacyReportedKey, kLegacyPendingPushKey, kLegacyPendingDeleteKey});
}

void SyncCoordinator::queuePendingDeletes(std::function<void()> done) {
    const auto email = currentAccountEmail();
    const sync::SyncIDSet pending = email ? syncBookkeeping_->state(*email).pendingDeleteIDs : sync::SyncIDSet{};
    auto deletes = email ? localDeletes(pending, *email) : std::vector<sync::SyncLocalDelete>{};
    // Acknowledged before a quit, but not yet passed by a pull: a copy made before the delete
    // that the pull brings is still deleted.
    if (email)
        for (const auto& entry : syncBookkeeping_->unsettledDeletes(*email))
            deletes.push_back({entry.clientID, sync::dateFromWireSeconds(entry.createdAt),
                               entry.deletedAt ? std::optional(sync::dateFromWireSeconds(*entry.deletedAt)) : std::nullopt,
                               true});
    if (deletes.empty() || !engine_) {
        if (done) done();
        return;
    }
    engine_->noteLocalDeletes(std::move(deletes), std::move(done));
}

void SyncCoordinator::answer(Completion done, std::optional<std::string> result) {
    if (!done) return;
    // Answers arrive later, as a real round trip's would.
    QMetaObject::invokeMethod(this, [done = std::move(done), result = std::move(result)] { done(result); },
                              Qt::QueuedConnection);
}

std::string SyncCoordinator::message(std::exception_ptr error) {
    using sync::SyncEngineErrorCode;
    using sync::SyncServiceErrorCode;
    try {
        if (error) std::rethrow_exception(error);
    } catch (const sync::SyncKeyringUnavailableError&) {
        return kKeyringUnavailableMessage;
    } catch (const sync::SyncSessionStorageError&) {
        return "Harbelle could not save your sync account in the system keyring. Unlock the keyring and try again.";
    } catch (const sync::SyncEngineError& engineError) {
        switch (engineError.code()) {
        case SyncEngineErrorCode::service:
            switch (engineError.serviceCode().value_or(SyncServiceErrorCode::invalidResponse)) {
            case SyncServiceErrorCode::invalidCredentials:
            case SyncServiceErrorCode::unauthorized: return "Email or password is incorrect.";
            case SyncServiceErrorCode::emailTaken: return "An account already exists for that email. Try signing in.";
            case SyncServiceErrorCode::rateLimited: return "Too many attempts. Wait a minute and try again.";
            case SyncServiceErrorCode::serverUnavailable: return "The sync service is temporarily unavailable.";
            case SyncServiceErrorCode::payloadTooLarge:
            case SyncServiceErrorCode::invalidRequest:
            case SyncServiceErrorCode::invalidResponse: return "The sync service rejected the request. Try again.";
            case SyncServiceErrorCode::transport: return "Could not reach the sync service. Check your connection.";
            }
            break;
        case SyncEngineErrorCode::invalidEmail: return "Enter a valid email address.";
        case SyncEngineErrorCode::passwordTooShort: return "Use a password with at least 10 characters.";
        case SyncEngineErrorCode::notSignedIn: return kSignInToSyncMessage;
        case SyncEngineErrorCode::crypto: return "Could not unlock the sync key on this computer.";
        }
    } catch (...) {
    }
    return "Something went wrong. Try again.";
}

// ---- Life cycle ---------------------------------------------------------------------------------

void SyncCoordinator::setActive(bool active) {
    if (shutDown_) return;
    if (active && !isAvailable()) return;
    wantsActive_ = active;
    const std::uint64_t generation = ++lifecycleGeneration_;
    auto task = std::make_shared<LifecycleTask>();
    task->generation = generation;
    task->active = active;
    if (lifecycleTask_) {
        lifecycleTask_->cancelled = true;
        // Whoever waited for the superseded run hears the outcome of this one instead.
        task->waiters = std::exchange(lifecycleTask_->waiters, {});
    }
    lifecycleTask_ = task;
    if (active) lastActivation_ = clock_->now();
    if (!active) {
        QPointer<SyncCoordinator> self(this);
        engine_->stop([self, task] {
            if (self) self->finishTask(task);
        });
        return;
    }
    // Fully asynchronous: even the first step waits for the event loop.
    QPointer<SyncCoordinator> self(this);
    QMetaObject::invokeMethod(this, [self, task] {
        if (self) self->runActivation(task);
    }, Qt::QueuedConnection);
}

void SyncCoordinator::applicationDidBecomeActive() {
    if (!isAvailable()) return;
    if (lastActivation_ && clock_->now() - *lastActivation_ < kActivationCoalescing) return;
    setActive(true);
}

void SyncCoordinator::shutdown() {
    if (shutDown_) return;
    setActive(false);
    shutDown_ = true;
    imageChecks_->close();
    // Aborts what runs, drops every completion not yet delivered and joins the engine.
    engine_.reset();
    finishImageChecks();
    lifecycleTask_.reset();
    syncBookkeeping_->flush();
}

bool SyncCoordinator::taskIsCurrent(const std::shared_ptr<LifecycleTask>& task) const {
    return !task->cancelled && lifecycleGeneration_ == task->generation && wantsActive_ && engine_;
}

void SyncCoordinator::finishTask(const std::shared_ptr<LifecycleTask>& task) {
    if (lifecycleGeneration_ != task->generation) return;
    lifecycleTask_.reset();
    for (auto& waiter : std::exchange(task->waiters, {})) waiter();
}

void SyncCoordinator::whenCallbacksInstalled(std::function<void()> step) {
    if (callbacksInstalled_) {
        step();
        return;
    }
    afterCallbacksInstalled_.push_back(std::move(step));
}

void SyncCoordinator::runActivation(const std::shared_ptr<LifecycleTask>& task) {
    QPointer<SyncCoordinator> self(this);
    // Each step runs only while its run is still the current, wanted one.
    auto checked = [self, task](auto body) {
        return [self, task, body](auto&&... args) {
            if (!self || !self->taskIsCurrent(task)) return;
            body(args...);
        };
    };
    whenCallbacksInstalled(checked([=] {
        self->engine_->bootstrap(checked([=] {
            self->bookkeepingStep();
            self->queuePendingDeletes(checked([=] {
                self->engine_->syncNow(checked([=] {
                    self->engine_->needsOriginBackfill(kOriginBackfillVersion, checked([=](bool backfillNeeded) {
                        self->reconcileLocalChanges(backfillNeeded, checked([=] {
                            self->engine_->syncNow(checked([=] {
                                auto startPolling = checked([=] {
                                    self->engine_->start([self, task] {
                                        if (self) self->finishTask(task);
                                    });
                                });
                                if (!backfillNeeded) {
                                    startPolling();
                                    return;
                                }
                                self->engine_->hasPendingChanges(checked([=](bool pending) {
                                    // With changes still queued the back-fill runs again next time.
                                    if (pending) {
                                        startPolling();
                                        return;
                                    }
                                    self->engine_->markOriginBackfillCompleted(kOriginBackfillVersion, startPolling);
                                }));
                            }));
                        }));
                    }));
                }));
            }));
        }));
    }));
}

std::optional<std::string> SyncCoordinator::syncNowOutcome() const {
    if (status_.isSignedIn) return status_.lastErrorDescription;
    if (status_.lastErrorDescription) return status_.lastErrorDescription;
    return std::string(kSignInToSyncMessage);
}

// ---- Account operations -------------------------------------------------------------------------

void SyncCoordinator::finishAccountFlow(bool syncFirst, Completion done) {
    QPointer<SyncCoordinator> self(this);
    auto alive = [self](auto body) {
        return [self, body](auto&&... args) {
            if (!self || !self->engine_) return;
            body(args...);
        };
    };
    auto afterReconcile = alive([=] {
        self->engine_->syncNow(alive([=] {
            self->engine_->hasPendingChanges(alive([=](bool pending) {
                auto startPolling = alive([=] {
                    self->engine_->start(alive([=] {
                        if (done) done(std::nullopt);
                    }));
                });
                if (pending) {
                    startPolling();
                    return;
                }
                self->engine_->markOriginBackfillCompleted(kOriginBackfillVersion, startPolling);
            }));
        }));
    });
    if (!syncFirst) {
        reconcileLocalChanges(true, afterReconcile);
        return;
    }
    // Deletes made while signed out go first: the first pull of a new session starts at 0.
    queuePendingDeletes(alive([=] {
        self->engine_->syncNow(alive([=] { self->reconcileLocalChanges(true, afterReconcile); }));
    }));
}

void SyncCoordinator::signIn(const std::string& email, const std::string& password, Completion done) {
    if (!syncBaseURL_ || !engine_) return answer(std::move(done), std::string(kNotConfiguredMessage));
    QPointer<SyncCoordinator> self(this);
    engine_->signIn(syncBaseURL_->toString().toStdString(), email, password, deviceName(),
                    [self, done](std::exception_ptr error) {
                        if (!self) return;
                        if (error) {
                            if (done) done(message(error));
                            return;
                        }
                        // The signed-in status has been applied by now: it was posted first.
                        self->bookkeepingStep();
                        self->finishAccountFlow(true, done);
                    });
}

void SyncCoordinator::createAccount(const std::string& email, const std::string& password,
                                    const std::string& confirmPassword, Completion done) {
    if (!syncBaseURL_ || !engine_) return answer(std::move(done), std::string(kNotConfiguredMessage));
    if (password != confirmPassword) return answer(std::move(done), std::string(kPasswordsDifferMessage));
    QPointer<SyncCoordinator> self(this);
    engine_->registerAccount(syncBaseURL_->toString().toStdString(), email, password, deviceName(),
                             [self, done](std::exception_ptr error) {
                                 if (!self) return;
                                 if (error) {
                                     if (done) done(message(error));
                                     return;
                                 }
                                 // A new account knows none of our clips, whatever an earlier
                                 // account of the same address was told: every clip goes up.
                                 if (const auto current = self->currentAccountEmail())
                                     self->syncBookkeeping_->resetAccount(*current);
                                 self->finishAccountFlow(false, done);
                             });
}

void SyncCoordinator::changePassword(const std::string& newPassword, const std::string& confirmPassword,
                                     Completion done) {
    if (!syncBaseURL_ || !engine_) return answer(std::move(done), std::string(kNotConfiguredMessage));
    if (newPassword != confirmPassword) return answer(std::move(done), std::string(kPasswordsDifferMessage));
    QPointer<SyncCoordinator> self(this);
    engine_->changePassword(newPassword, [self, done](std::int64_t revoked, std::exception_ptr error) {
        if (!self) return;
        if (error) {
            if (done) done(message(error));
            return;
        }
        self->lastChangePasswordRevokedSessions_ = static_cast<int>(revoked);
        emit self->statusChanged();
        if (done) done(std::nullopt);
    });
}

void SyncCoordinator::syncNow(Completion done) {
    if (!isAvailable() || !engine_) return answer(std::move(done), std::string(kNotConfiguredMessage));
    setActive(true);
    if (!lifecycleTask_) return answer(std::move(done), syncNowOutcome());
    QPointer<SyncCoordinator> self(this);
    lifecycleTask_->waiters.push_back([self, done] {
        if (self && done) done(self->syncNowOutcome());
    });
}

void SyncCoordinator::signOut(Completion done) {
    if (!engine_) return answer(std::move(done), std::nullopt);
    QPointer<SyncCoordinator> self(this);
    engine_->signOut([self, done] {
        if (!self) return;
        self->setLastSyncNotice(std::nullopt);
        if (done) done(std::nullopt);
    });
}

void SyncCoordinator::setLastSyncNotice(std::optional<std::string> notice) {
    if (lastSyncNotice_ == notice) return;
    lastSyncNotice_ = std::move(notice);
    emit lastSyncNoticeChanged();
    emit statusChanged();
}

}  // namespace harbelle
