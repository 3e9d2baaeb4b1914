#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sync/SyncEngine.h"

namespace harbelle {

// The sync engine as the coordinator drives it. Every operation returns at once; its
// completion runs later on the main thread. The program wraps sync::SyncEngine; tests put a
// scripted engine here.
class SyncEngineDriving {
public:
    using Done = std::function<void()>;

    virtual ~SyncEngineDriving() = default;

    virtual void setCallbacks(sync::SyncEngineCallbacks callbacks, Done done) = 0;
    virtual void bootstrap(Done done) = 0;
    virtual void start(Done done) = 0;
    virtual void stop(Done done) = 0;
    virtual void syncNow(Done done) = 0;
    virtual void signIn(std::string baseURL, std::string email, std::string password, std::string deviceName,
                        sync::SyncEngineCompletion done) = 0;
    virtual void registerAccount(std::string baseURL, std::string email, std::string password,
                                 std::string deviceName, sync::SyncEngineCompletion done) = 0;
    virtual void changePassword(std::string newPassword,
                                std::function<void(std::int64_t revoked, std::exception_ptr error)> done) = 0;
    virtual void signOut(Done done) = 0;
    virtual void needsOriginBackfill(std::int64_t version, std::function<void(bool)> done) = 0;
    virtual void markOriginBackfillCompleted(std::int64_t version, Done done) = 0;
    virtual void hasPendingChanges(std::function<void(bool)> done) = 0;
    virtual void noteLocalClip(std::string id, std::string text, sync::SyncDate createdAt,
                               std::optional<sync::SyncClipOrigin> origin, bool replaceExisting,
                               std::optional<sync::SyncBlobPayload> blob, Done done) = 0;
    virtual void noteLocalDeletes(std::vector<sync::SyncLocalDelete> deletes, Done done) = 0;
};

// The real engine behind the interface. Destroying it aborts transfers and callback waits and
// joins the engine's thread; no completion runs afterwards.
class SyncEngineAdapter final : public SyncEngineDriving {
public:
    explicit SyncEngineAdapter(std::unique_ptr<sync::SyncEngine> engine) : engine_(std::move(engine)) {}

    void setCallbacks(sync::SyncEngineCallbacks callbacks, Done done) override {
        engine_->setCallbacks(std::move(callbacks), std::move(done));
    }
    void bootstrap(Done done) override { engine_->bootstrap(std::move(done)); }
    void start(Done done) override { engine_->start(std::move(done)); }
    void stop(Done done) override { engine_->stop(std::move(done)); }
    void syncNow(Done done) override { engine_->syncNow(std::move(done)); }
    void signIn(std::string baseURL, std::string email, std::string password, std::string deviceName,
                sync::SyncEngineCompletion done) override {
        engine_->signIn(std::move(baseURL), std::move(email), std::move(password), std::move(deviceName),
                        std::move(done));
    }
    void registerAccount(std::string baseURL, std::string email, std::string password, std::string deviceName,
                         sync::SyncEngineCompletion done) override {
        engine_->registerAccount(std::move(baseURL), std::move(email), std::move(password), std::move(deviceName),
                                 std::move(done));
    }
    void changePassword(std::string newPassword,
                        std::function<void(std::int64_t, std::exception_ptr)> done) override {
        engine_->changePassword(std::move(newPassword), std::move(done));
    }
    void signOut(Done done) override { engine_->signOut(std::move(done)); }
    void needsOriginBackfill(std::int64_t version, std::function<void(bool)> done) override {
        engine_->needsOriginBackfill(version, std::move(done));
    }
    void markOriginBackfillCompleted(std::int64_t version, Done done) override {
        engine_->markOriginBackfillCompleted(version, std::move(done));
    }
    void hasPendingChanges(std::function<void(bool)> done) override { engine_->hasPendingChanges(std::move(done)); }
    void noteLocalClip(std::string id, std::string text, sync::SyncDate createdAt,
                       std::optional<sync::SyncClipOrigin> origin, bool replaceExisting,
                       std::optional<sync::SyncBlobPayload> blob, Done done) override {
        engine_->noteLocalClip(std::move(id), std::move(text), createdAt, std::move(origin), replaceExisting,
                               std::move(blob), std::move(done));
    }
    void noteLocalDeletes(std::vector<sync::SyncLocalDelete> deletes, Done done) override {
        engine_->noteLocalDeletes(std::move(deletes), std::move(done));
    }

    sync::SyncEngine& engine() { return *engine_; }

private:
    std::unique_ptr<sync::SyncEngine> engine_;
};

}  // namespace harbelle
