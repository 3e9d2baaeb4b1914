// The history store on a 10,000-clip history: an insert on the main thread (target under
// 1 ms, also with 100,000 clips) and the store's construction with 2,000 payload files, that is load, origin repair
// and orphan pass (target under 300 ms).
#include <benchmark/benchmark.h>

#include <QTemporaryDir>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

#include "StillClock.h"
#include "support/InMemoryDefaults.h"
#include "history/HistoryPersistence.h"
#include "history/HistoryStore.h"

using namespace harbelle;
namespace fs = std::filesystem;

namespace {

constexpr int kClipCount = 10'000;
constexpr int kPayloadFiles = 2'000;

// Every fifth clip is an image with a payload file; one in four payload files is an orphan.
std::vector<ClipItem> makeHistory(bool withOrigins, int count = kClipCount) {
    std::vector<ClipItem> items;
    items.reserve(static_cast<std::size_t>(count));
    const std::string filler = "Meeting notes: follow up with the design team about the shelf layout. ";
    for (int i = 0; i < count; ++i) {
        ClipItem clip;
        clip.createdAt = Date(std::chrono::seconds(1'700'000'000 - i * 60));
        clip.updatedAt = clip.createdAt;
        clip.text = std::to_string(i) + " " + filler;
        clip.title = clip.text.substr(0, 60);
        clip.sourceAppName = "Text Editor";
        clip.fingerprint = ClipItem::makeFingerprint(ClipKind::text, clip.text, {}, std::nullopt, nullptr);
        if (i % 5 == 0 && i / 5 < kPayloadFiles * 3 / 4) {
            clip.kind = ClipKind::image;
            clip.payloadFilename = clip.id.uppercaseString() + ".png";
        }
        if (withOrigins) {
            clip.sourceDeviceID = "mac_bench";
            clip.sourceDeviceName = "Bench";
            clip.sourceDevicePlatform = "macOS";
        }
        items.push_back(std::move(clip));
    }
    return items;
}

void writePayloads(const fs::path& payloads, const std::vector<ClipItem>& items) {
    fs::create_directories(payloads);
    int written = 0;
    for (const auto& clip : items) {
        if (!clip.payloadFilename) continue;
        std::ofstream(payloads / *clip.payloadFilename) << "png";
        ++written;
    }
    for (int i = 0; written < kPayloadFiles; ++i, ++written) std::ofstream(payloads / ("orphan-" + std::to_string(i) + ".png")) << "png";
}

// A store loaded from a 10,000-clip history file in a temporary folder.
struct LoadedStore {
    QTemporaryDir folder;
    testing::InMemoryDefaults defaults;
    bench::StillClock clock;
    std::unique_ptr<HistoryStore> store;

    explicit LoadedStore(int count = kClipCount) {
        const fs::path support = fs::path(folder.path().toStdString()) / "Pemberlow";
        fs::create_directories(support);
        HistoryPersistence::persistHistory(makeHistory(true, count), support / "history.json");
        defaults.setInteger("maxHistory", count);
        HistoryStoreOptions options;
        options.applicationSupport = support;
        store = std::make_unique<HistoryStore>(defaults, clock, options);
    }
};

void BM_InsertIntoHistory(benchmark::State& state) {
    LoadedStore loaded(static_cast<int>(state.range(0)));
    HistoryStore& store = *loaded.store;
    bench::StillClock& clock = loaded.clock;
    if (store.items().size() != static_cast<std::size_t>(state.range(0))) state.SkipWithError("history not loaded");

    // Each insert is new content, so the oldest clip is trimmed away every time.
    std::int64_t n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ClipItem clip;
        clip.createdAt = clock.now();
        clip.updatedAt = clip.createdAt;
        clip.text = "fresh copy " + std::to_string(n++);
        clip.title = clip.text;
        clip.fingerprint = ClipItem::makeFingerprint(ClipKind::text, clip.text, {}, std::nullopt, nullptr);
        state.ResumeTiming();
        store.insert(std::move(clip));
    }
    state.counters["clips"] = static_cast<double>(store.items().size());
}
BENCHMARK(BM_InsertIntoHistory)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);

// Copying known content again: the stored clip from the middle of the list moves to the top.
void BM_InsertKnownContentInto10kHistory(benchmark::State& state) {
    LoadedStore loaded;
    HistoryStore& store = *loaded.store;

    std::size_t pick = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ClipItem clip = store.items()[kClipCount / 2 + (pick++ % 100)];
        clip.id = Uuid::random();
        clip.sourceDeviceID.reset();
        state.ResumeTiming();
        store.insert(std::move(clip));
    }
}
BENCHMARK(BM_InsertKnownContentInto10kHistory)->Unit(benchmark::kMicrosecond);

void BM_ConstructWith10kHistory(benchmark::State& state) {
    QTemporaryDir folder;
    const fs::path support = fs::path(folder.path().toStdString()) / "Pemberlow";
    fs::create_directories(support);
    const auto items = makeHistory(false);  // every clip needs its origin repaired
    const fs::path pristine = fs::path(folder.path().toStdString()) / "pristine.json";
    HistoryPersistence::persistHistory(items, pristine);
    testing::InMemoryDefaults defaults;
    defaults.setInteger("maxHistory", kClipCount);
    bench::StillClock clock;
    HistoryStoreOptions options;
    options.applicationSupport = support;

    for (auto _ : state) {
        fs::copy_file(pristine, support / "history.json", fs::copy_options::overwrite_existing);
        writePayloads(support / "Payloads", items);
        const auto start = std::chrono::steady_clock::now();
        auto store = std::make_unique<HistoryStore>(defaults, clock, options);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        if (store->items().size() != static_cast<std::size_t>(kClipCount)) state.SkipWithError("history not loaded");
        store.reset();  // waits for the repair's write, outside the measured time
    }
}
BENCHMARK(BM_ConstructWith10kHistory)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
