#include "SyncEngineTestSupport.h"

#include <QBuffer>
#include <QImage>
#include <cmath>
#include <random>
#include <thread>

#include "sync/SyncCrypto.h"

namespace harbelle::sync::testing {

SyncMainThreadPoster SyncTestMainQueue::poster() {
    return [this](std::function<void()> step) {
        if (beforePost) beforePost();
        std::lock_guard lock(mutex_);
        steps_.push_back(std::move(step));
    };
}

std::size_t SyncTestMainQueue::runPending() {
    std::size_t ran = 0;
    for (;;) {
        std::function<void()> step;
        {
            std::lock_guard lock(mutex_);
            if (steps_.empty()) return ran;
            step = std::move(steps_.front());
            steps_.pop_front();
        }
        step();
        ++ran;
    }
}

bool SyncTestMainQueue::empty() const {
    std::lock_guard lock(mutex_);
    return steps_.empty();
}

// ---- recorder ----

SyncEngineCallbacks SyncCallbackRecorder::callbacks() {
    SyncEngineCallbacks callbacks;
    callbacks.localClipsSnapshot = [this] {
        order.push_back("snapshot");
        return local;
    };
    callbacks.applyMergeAction = [this](const SyncMergeAction& action) {
        if (onApply) onApply(action);
        order.push_back("apply");
        actions.push_back(action);
        if (auto* insert = std::get_if<SyncMergeInsertNew>(&action)) {
            SyncLocalClip clip{insert->clientID, insert->text, insert->createdAt, insert->origin, std::nullopt};
            if (insert->blob) clip.blobDigest = insert->blob->digest;
            local.insert(local.begin(), clip);
        } else if (auto* promote = std::get_if<SyncMergePromoteExisting>(&action)) {
            for (auto& clip : local)
                if (clip.clientID == promote->clientID && promote->createdAt && *promote->createdAt > clip.createdAt)
                    clip.createdAt = *promote->createdAt;
        } else if (auto* remove = std::get_if<SyncMergeDeleteExisting>(&action)) {
            std::erase_if(local, [&](const SyncLocalClip& clip) { return clip.clientID == remove->clientID; });
            deleted.insert(remove->clientID);
        }
    };
    callbacks.rememberedDeletes = [this] {
        std::vector<SyncClipKey> keys;
        for (const auto& id : deleted)
            if (auto key = syncClipKey(id)) keys.push_back(*key);
        return keys;
    };
    callbacks.statusChanged = [this](const SyncEngineStatus& status) { statuses.push_back(status); };
    callbacks.canonicalizeLocalClip = [this](const std::string& from, const std::string& to) {
        order.push_back("canonicalize");
        canonicalizations.emplace_back(from, to);
        bool hasTarget = find(to) != nullptr;
        if (hasTarget)
            std::erase_if(local, [&](const SyncLocalClip& clip) { return clip.clientID == from; });
        else
            for (auto& clip : local)
                if (clip.clientID == from) clip.clientID = to;
    };
    callbacks.localChangesAcknowledged = [this](const std::vector<std::string>& pushed,
                                                const std::vector<std::string>& deleted) {
        order.push_back("acknowledge");
        acknowledgements.emplace_back(pushed, deleted);
    };
    callbacks.localDeleteRenewed = [this](const std::string& id, std::int64_t createdAt, std::optional<std::int64_t>) {
        renewedDeletes.emplace_back(id, createdAt);
    };
    callbacks.localDeletesSettled = [this](const std::vector<std::string>& ids) {
        settledDeletes.insert(settledDeletes.end(), ids.begin(), ids.end());
    };
    callbacks.localClipRejected = [this](const std::string& id, SyncClipRejection rejection) {
        order.push_back("reject");
        rejections.emplace_back(id, rejection);
    };
    return callbacks;
}

const SyncLocalClip* SyncCallbackRecorder::find(const std::string& id) const {
    for (const auto& clip : local)
        if (clip.clientID == id) return &clip;
    return nullptr;
}

std::vector<std::string> SyncCallbackRecorder::acknowledgedPushes() const {
    std::vector<std::string> all;
    for (const auto& [pushed, deleted] : acknowledgements) all.insert(all.end(), pushed.begin(), pushed.end());
    return all;
}

// ---- harness ----

SyncEngineHarness::SyncEngineHarness(SyncEngine::APIFactory apiFactory, SyncEngine::BlobFactory blobFactory,
                                     std::shared_ptr<SyncClock> clock, SyncPollTimings timings,
                                     std::shared_ptr<InMemorySyncSecureStore> secureStore)
    : secure(secureStore ? std::move(secureStore) : std::make_shared<InMemorySyncSecureStore>()),
      accounts(std::make_shared<SyncAccountStore>(secure)) {
    engine = std::make_unique<SyncEngine>(accounts, std::move(apiFactory), main.poster(), std::move(blobFactory),
                                          timings, std::move(clock));
    runOp([this](SyncEngine::Done done) { engine->setCallbacks(recorder.callbacks(), std::move(done)); });
}

SyncEngineHarness::~SyncEngineHarness() { engine.reset(); }

bool SyncEngineHarness::pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        main.runPending();
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void SyncEngineHarness::settle() {
    pumpUntil([this] { return engine->isIdle() && main.empty(); });
}

void SyncEngineHarness::runOp(const std::function<void(SyncEngine::Done)>& op) {
    auto finished = std::make_shared<bool>(false);
    op([finished] { *finished = true; });
    pumpUntil([finished] { return *finished; });
}

std::exception_ptr SyncEngineHarness::signIn(const std::string& baseURL, const std::string& email,
                                             const std::string& password) {
    auto result = std::make_shared<std::optional<std::exception_ptr>>();
    engine->signIn(baseURL, email, password, "Test device", [result](std::exception_ptr e) { *result = e; });
    pumpUntil([result] { return result->has_value(); });
    return result->value_or(nullptr);
}

std::exception_ptr SyncEngineHarness::registerAccount(const std::string& baseURL, const std::string& email,
                                                      const std::string& password) {
    auto result = std::make_shared<std::optional<std::exception_ptr>>();
    engine->registerAccount(baseURL, email, password, "Test device", [result](std::exception_ptr e) { *result = e; });
    pumpUntil([result] { return result->has_value(); });
    return result->value_or(nullptr);
}

std::exception_ptr SyncEngineHarness::changePassword(const std::string& password, std::int64_t* revoked) {
    auto result = std::make_shared<std::optional<std::exception_ptr>>();
    auto count = std::make_shared<std::int64_t>(0);
    engine->changePassword(password, [result, count](std::int64_t n, std::exception_ptr e) {
        *count = n;
        *result = e;
    });
    pumpUntil([result] { return result->has_value(); });
    if (revoked) *revoked = *count;
    return result->value_or(nullptr);
}

void SyncEngineHarness::bootstrap() {
    runOp([this](SyncEngine::Done d) { engine->bootstrap(std::move(d)); });
}
void SyncEngineHarness::start() {
    runOp([this](SyncEngine::Done d) { engine->start(std::move(d)); });
}
void SyncEngineHarness::stop() {
    runOp([this](SyncEngine::Done d) { engine->stop(std::move(d)); });
}
void SyncEngineHarness::syncNow() {
    runOp([this](SyncEngine::Done d) { engine->syncNow(std::move(d)); });
}
void SyncEngineHarness::signOut() {
    runOp([this](SyncEngine::Done d) { engine->signOut(std::move(d)); });
}

bool SyncEngineHarness::hasPendingChanges() {
    auto result = std::make_shared<std::optional<bool>>();
    engine->hasPendingChanges([result](bool pending) { *result = pending; });
    pumpUntil([result] { return result->has_value(); });
    return result->value_or(true);
}

void SyncEngineHarness::noteText(const std::string& id, const std::string& text, SyncDate createdAt, bool replace) {
    recorder.local.insert(recorder.local.begin(), SyncLocalClip{id, text, createdAt, std::nullopt, std::nullopt});
    runOp([&](SyncEngine::Done d) {
        engine->noteLocalClip(id, text, createdAt, SyncClipOrigin{"device-a", "Test device", "Linux"}, replace,
                              std::nullopt, std::move(d));
    });
}

void SyncEngineHarness::noteImage(const std::string& id, const SyncBlobPayload& blob, SyncDate createdAt) {
    recorder.local.insert(recorder.local.begin(), SyncLocalClip{id, "", createdAt, std::nullopt, blob.digest});
    runOp([&](SyncEngine::Done d) {
        engine->noteLocalClip(id, "", createdAt, std::nullopt, false, blob, std::move(d));
    });
}

void SyncEngineHarness::noteDeletes(const std::vector<std::string>& ids, std::optional<SyncDate> deletedAt,
                                    bool acknowledged) {
    // As the history does: the clips go, and their deletes carry their dates.
    std::vector<SyncLocalDelete> deletes;
    for (const auto& id : ids) {
        const auto* clip = recorder.find(id);
        deletes.push_back({id, clip ? std::optional(clip->createdAt) : std::nullopt, deletedAt, acknowledged});
        std::erase_if(recorder.local, [&](const SyncLocalClip& held) { return held.clientID == id; });
    }
    runOp([&](SyncEngine::Done d) { engine->noteLocalDeletes(deletes, std::move(d)); });
}

SyncEngineStatus SyncEngineHarness::lastStatus() const {
    return recorder.statuses.empty() ? SyncEngineStatus::signedOut() : recorder.statuses.back();
}

// ---- values ----

std::string makePNG(int seed, std::size_t bytes, int width, int height) {
    if (bytes > 0) {
        // Noise does not compress: about 3 bytes a pixel.
        int side = int(std::sqrt(double(bytes) / 3.0)) + 1;
        width = height = side;
    }
    QImage image(width, height, QImage::Format_RGB888);
    std::mt19937 generator{std::uint32_t(seed)};
    for (int y = 0; y < height; ++y) {
        auto* line = image.scanLine(y);
        for (int x = 0; x < width * 3; ++x) line[x] = std::uint8_t(generator());
    }
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return std::string(data.constData(), std::size_t(data.size()));
}

SyncBlobPayload imagePayload(const std::string& png) {
    QImage image;
    image.loadFromData(reinterpret_cast<const uchar*>(png.data()), int(png.size()));
    return SyncBlobPayload{"", sha256Hex(png), "image/png", image.width(), image.height(), png};
}

std::string newClipID() { return randomUUID(); }

std::optional<SyncServiceErrorCode> serviceCode(std::exception_ptr error) {
    if (!error) return std::nullopt;
    try {
        std::rethrow_exception(error);
    } catch (const SyncEngineError& e) {
        return e.serviceCode();
    } catch (...) {
    }
    return std::nullopt;
}

std::optional<SyncEngineErrorCode> engineCode(std::exception_ptr error) {
    if (!error) return std::nullopt;
    try {
        std::rethrow_exception(error);
    } catch (const SyncEngineError& e) {
        return e.code();
    } catch (...) {
    }
    return std::nullopt;
}

}  // namespace harbelle::sync::testing
