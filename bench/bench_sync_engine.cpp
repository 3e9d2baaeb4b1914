// Engine A to engine B over loopback: 1,000 texts and 20 images of ~300 KB, from A's first
// note to B's last applied merge action, with both engines' results reaching a Qt main loop.
// Printed beside the bare encrypted protocol on the same data (seal, upload, push, pull, open,
// download, check, MACs verified), and with the longest main-thread stall seen meanwhile.
#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <map>
#include <random>

#include "sync/HTTPSyncAPIClient.h"
#include "sync/HTTPSyncBlobTransport.h"
#include "sync/InMemorySyncSecureStore.h"
#include "sync/SyncCrypto.h"
#include "sync/SyncEngine.h"
#include "sync/SyncReferenceService.h"

using namespace harbelle::sync;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kTexts = 1000;
constexpr int kImages = 20;

struct Clip {
    std::string id;
    std::string text;
    std::optional<SyncBlobPayload> blob;
};

std::string noisePNG(int seed) {
    QImage image(316, 316, QImage::Format_RGB888);  // ~300 KB as PNG: noise does not compress
    std::mt19937 generator{std::uint32_t(seed)};
    for (int y = 0; y < image.height(); ++y) {
        auto* line = image.scanLine(y);
        for (int x = 0; x < image.width() * 3; ++x) line[x] = std::uint8_t(generator());
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}

std::vector<Clip> makeClips() {
    std::vector<Clip> clips;
    for (int i = 0; i < kTexts; ++i)
        clips.push_back({randomUUID(), "Clip number " + std::to_string(i) + ": " + std::string(200, 'a' + i % 26), {}});
    for (int i = 0; i < kImages; ++i) {
        auto png = noisePNG(i);
        clips.push_back({randomUUID(), "", SyncBlobPayload{"", sha256Hex(png), "image/png", 316, 316, png}});
    }
    return clips;
}

SyncMainThreadPoster qtPoster(QObject* context, double* longestStep) {
    return [context, longestStep](std::function<void()> step) {
        QMetaObject::invokeMethod(
            context,
            [step = std::move(step), longestStep] {
                auto started = Clock::now();
                step();
                *longestStep = std::max(*longestStep, std::chrono::duration<double, std::milli>(Clock::now() - started).count());
            },
            Qt::QueuedConnection);
    };
}

// Runs the Qt loop until `done` or a timeout.
void runUntil(const std::function<bool()>& done, int timeoutMs = 60'000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
}

struct EngineRun {
    double seconds = 0;
    double longestStepMs = 0;
    double longestGapMs = 0;
    bool complete = false;
};

EngineRun runEngines(SyncReferenceService& service, const std::vector<Clip>& clips, int round) {
    QObject context;
    double longestStep = 0;
    auto factory = [](const std::string& url) { return std::make_unique<HTTPSyncAPIClient>(url); };
    auto storeA = std::make_shared<SyncAccountStore>(std::make_shared<InMemorySyncSecureStore>());
    auto storeB = std::make_shared<SyncAccountStore>(std::make_shared<InMemorySyncSecureStore>());
    SyncEngine a(storeA, factory, qtPoster(&context, &longestStep));
    SyncEngine b(storeB, factory, qtPoster(&context, &longestStep));
    std::string email = "bench" + std::to_string(round) + "@example.com";
    int signedIn = 0;
    a.registerAccount(service.baseURL(), email, "benchmark password", "A", [&](std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
        ++signedIn;
    });
    runUntil([&] { return signedIn == 1; });
    b.signIn(service.baseURL(), email, "benchmark password", "B", [&](std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
        ++signedIn;
    });
    runUntil([&] { return signedIn == 2; });

    std::vector<SyncLocalClip> bLocal;
    std::size_t applied = 0;
    Clock::time_point finished{};
    SyncEngineCallbacks aCallbacks;
    aCallbacks.localClipsSnapshot = [] { return std::vector<SyncLocalClip>{}; };
    aCallbacks.applyMergeAction = [](const SyncMergeAction&) {};
    // A push notification stands in for B's poll: each acknowledgement asks B to sync now.
    aCallbacks.localChangesAcknowledged = [&](const std::vector<std::string>&, const std::vector<std::string>&) {
        b.syncNow();
    };
    SyncEngineCallbacks bCallbacks;
    bCallbacks.localClipsSnapshot = [&] { return bLocal; };
    bCallbacks.applyMergeAction = [&](const SyncMergeAction& action) {
        if (auto* insert = std::get_if<SyncMergeInsertNew>(&action)) {
            bLocal.push_back({insert->clientID, insert->text, insert->createdAt, insert->origin,
                              insert->blob ? std::optional<std::string>(insert->blob->digest) : std::nullopt});
            if (++applied == clips.size()) finished = Clock::now();
        }
    };
    int ready = 0;
    a.setCallbacks(aCallbacks, [&] { ++ready; });
    b.setCallbacks(bCallbacks, [&] { ++ready; });
    a.start([&] { ++ready; });
    runUntil([&] { return ready == 3; });

    // A heartbeat on the loop: the longest gap between two ticks is the longest stall.
    double longestGap = 0;
    auto lastTick = Clock::now();
    QTimer heartbeat;
    heartbeat.setInterval(1);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        auto now = Clock::now();
        longestGap = std::max(longestGap, std::chrono::duration<double, std::milli>(now - lastTick).count());
        lastTick = now;
    });
    heartbeat.start();
    lastTick = Clock::now();
    auto started = Clock::now();
    auto createdAt = std::chrono::system_clock::now();
    // Notes arrive as captures would, a few per turn of the loop, not in one long burst.
    std::size_t noted = 0;
    std::function<void()> noteSome = [&] {
        for (int i = 0; i < 25 && noted < clips.size(); ++i, ++noted) {
            const auto& clip = clips[noted];
            a.noteLocalClip(clip.id, clip.text, createdAt, SyncClipOrigin{"bench-a", "A", "Linux"}, false, clip.blob);
        }
        if (noted < clips.size()) QTimer::singleShot(0, &context, noteSome);
    };
    noteSome();
    runUntil([&] { return applied == clips.size(); });
    heartbeat.stop();
    EngineRun run;
    run.complete = applied == clips.size();
    run.seconds = std::chrono::duration<double>(finished - started).count();
    run.longestStepMs = longestStep;
    run.longestGapMs = longestGap;
    return run;
}

// The same data through the protocol alone: no engine, no callbacks, one thread.
double runBare(SyncReferenceService& service, const std::vector<Clip>& clips, int round) {
    auto salt = randomBytes(16);
    auto keys = deriveAccountKeys("benchmark password", salt, kRegistrationIterations);
    auto syncKey = randomBytes(32);
    std::string email = "bare" + std::to_string(round) + "@example.com";
    HTTPSyncAPIClient api(service.baseURL());
    SyncKDFParameters kdf{"pbkdf2-sha256", salt, std::int64_t(kRegistrationIterations)};
    auto account = api.registerAccount({email, keys.authKey, kdf, wrapSyncKey(keys.kek, syncKey, email), "A", "Linux"});
    auto login = api.login({email, keys.authKey, "B", "Linux"});
    HTTPSyncBlobTransport blobsA(service.baseURL()), blobsB(service.baseURL());
    HTTPSyncAPIClient apiB(service.baseURL());

    auto started = Clock::now();
    auto content = deriveContentKeys(syncKey);
    std::vector<SyncPushItem> batch;
    auto createdAt = wireSeconds(std::chrono::system_clock::now());
    auto flush = [&] {
        if (!batch.empty()) api.push(account.token, batch);
        batch.clear();
    };
    for (const auto& clip : clips) {
        SyncClipPayload payload;
        payload.text = clip.text;
        SyncPushItem item{clip.id, createdAt, "", "", std::nullopt, false};
        if (clip.blob) {
            auto key = blobKeyForDigest(content.macKey, clip.blob->digest);
            blobsA.upload(account.token, key, sealBlob(content.blobKey, clip.blob->data, key));
            payload.kind = "image";
            payload.blob = SyncClipBlobInfo{std::int64_t(clip.blob->data.size()), "image/png", clip.blob->digest, key, 316, 316};
            item.blobKey = key;
            item.contentMac = imageContentMac(content.macKey, clip.blob->digest);
        } else {
            item.contentMac = textContentMac(content.macKey, clip.text);
        }
        item.createdMac = createdMac(content.macKey, item.contentMac, createdAt);
        item.ciphertext = sealClip(content.clipKey, encodeClipPayload(payload), clip.id);
        batch.push_back(std::move(item));
        if (batch.size() == 50) flush();
    }
    flush();
    std::size_t received = 0;
    std::int64_t since = 0;
    for (;;) {
        auto page = apiB.pull(login.token, since, 500);
        for (const auto& event : page.events) {
            auto payload = decodeClipPayload(openClip(content.clipKey, *event.ciphertext, event.clientID));
            if (!payload || !isSyncClipID(event.clientID)) std::abort();
            auto contentMac = payload->blob ? imageContentMac(content.macKey, payload->blob->digest)
                                            : textContentMac(content.macKey, payload->text);
            if (!macEquals(createdMac(content.macKey, contentMac, *event.createdAt), event.createdMac.value_or("")))
                std::abort();
            if (payload->blob) {
                auto sealed = blobsB.download(login.token, payload->blob->key);
                auto bytes = openBlob(content.blobKey, *sealed, payload->blob->key);
                if (sha256Hex(bytes) != payload->blob->digest) std::abort();
            }
            ++received;
            since = event.seq;
        }
        if (!page.hasMore) break;
    }
    if (received != clips.size()) std::fprintf(stderr, "bare run received %zu\n", received);
    return std::chrono::duration<double>(Clock::now() - started).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    SyncReferenceService service;
    service.start();
    auto clips = makeClips();
    std::vector<double> engine, bare, steps, gaps;
    bool complete = true;
    for (int round = 0; round < 3; ++round) {
        auto run = runEngines(service, clips, round);
        complete = complete && run.complete;
        engine.push_back(run.seconds);
        steps.push_back(run.longestStepMs);
        gaps.push_back(run.longestGapMs);
        bare.push_back(runBare(service, clips, round));
    }
    service.stop();
    double e = median(engine), b = median(bare);
    std::printf("sync A->B, %d texts + %d images of ~300 KB over loopback (median of 3)\n", kTexts, kImages);
    std::printf("  engines, first note to last applied action: %.0f ms (target < 1000 ms)%s\n", e * 1000,
                complete ? "" : "  INCOMPLETE");
    std::printf("  bare encrypted protocol, same data:         %.0f ms\n", b * 1000);
    std::printf("  ratio engines / bare:                       %.2f\n", e / b);
    std::printf("  longest main-thread step: %.2f ms; longest loop stall: %.2f ms (target <= 16 ms)\n",
                *std::max_element(steps.begin(), steps.end()), *std::max_element(gaps.begin(), gaps.end()));
    return complete && e < 1.0 ? 0 : 1;
}
