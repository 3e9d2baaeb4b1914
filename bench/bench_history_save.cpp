// A save of a 10,000-clip history: the main thread only copies the list (target under 5 ms);
// the save thread encodes it and writes the file atomically (target under 100 ms). A quit with
// a history of nearly 512 MiB that did not change writes nothing (target under 1 s).
#include <benchmark/benchmark.h>

#include <QTemporaryDir>

#include <sys/stat.h>

#include "ScaleHistory.h"
#include "StillClock.h"
#include "history/HistoryCodec.h"
#include "history/HistoryPersistence.h"
#include "history/HistoryStore.h"
#include "support/InMemoryDefaults.h"

using namespace harbelle;

namespace {

constexpr int kClipCount = 10'000;

std::vector<ClipItem> makeHistory() {
    std::vector<ClipItem> items;
    items.reserve(kClipCount);
    const std::string filler =
        "Meeting notes: follow up with the design team about the shelf layout and the paste target. ";
    for (int i = 0; i < kClipCount; ++i) {
        ClipItem clip;
        clip.createdAt = Date(std::chrono::seconds(1'800'000'000 - i * 60));
        clip.updatedAt = clip.createdAt;
        clip.text = std::to_string(i) + " " + filler + (i % 10 == 0 ? filler + filler + filler : "");
        clip.title = clip.text.substr(0, 60);
        clip.searchableText = clip.text;
        clip.sourceAppName = "Text Editor";
        clip.sourceBundleID = "org.example.editor";
        clip.fingerprint = "text:" + std::to_string(i);
        if (i % 20 == 0) {
            clip.kind = ClipKind::image;
            clip.payloadFilename = clip.id.uppercaseString() + ".png";
            clip.payloadContentType = "image/png";
        }
        if (i % 50 == 0) clip.htmlData = Bytes(2048, 'h');
        items.push_back(std::move(clip));
    }
    return items;
}

const ClipList& history() {
    static const ClipList items(makeHistory());
    return items;
}

// What enqueueSave costs the main thread: the copy of the list (shared clips, so pointers).
void BM_MainThreadSnapshot(benchmark::State& state) {
    const auto& items = history();
    for (auto _ : state) {
        ClipList snapshot = items;
        benchmark::DoNotOptimize(snapshot.pointers().data());
    }
}
BENCHMARK(BM_MainThreadSnapshot)->Unit(benchmark::kMillisecond);

// What the save thread does per save: encode, write to a temporary file, fsync, rename.
void BM_SaveThreadWrite(benchmark::State& state) {
    QTemporaryDir folder;
    const auto url = std::filesystem::path(folder.path().toStdString()) / "history.json";
    const auto& items = history();
    for (auto _ : state) {
        if (!HistoryPersistence::persistHistory(items, url)) state.SkipWithError("write failed");
    }
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(url));
}
BENCHMARK(BM_SaveThreadWrite)->Unit(benchmark::kMillisecond);

// The quit of a store loaded from a history file of 500 MiB (10 KB clips): unchanged (0), or
// with one clip changed (1), which rewrites the whole file. Counters: the file's size and
// whether the quit replaced it.
void BM_QuitWithALargeHistory(benchmark::State& state) {
    QTemporaryDir folder;
    const auto support = std::filesystem::path(folder.path().toStdString()) / "Pemberlow";
    std::filesystem::create_directories(support);
    const auto file = support / "history.json";
    {
        std::vector<ClipItem> items;
        const std::string filler(10'000, 'w');
        for (std::uint64_t bytes = 0; bytes < (std::uint64_t{500} << 20); bytes += historycodec::encodedSize(items.back()) + 1)
            items.push_back(bench::makeTextClip(std::to_string(items.size()) + filler,
                                                bench::kNewestClip - std::chrono::minutes(items.size())));
        if (!HistoryPersistence::persistHistory(items, file)) state.SkipWithError("could not write the history");
    }
    testing::InMemoryDefaults defaults;
    defaults.set("maxHistory", 1'000'000);
    bench::StillClock clock;
    HistoryStoreOptions options;
    options.applicationSupport = support;
    HistoryStore store(defaults, clock, options);
    if (state.range(0) == 1) store.togglePinned(store.items().front());
    struct stat before {}, after {};
    ::stat(file.c_str(), &before);
    for (auto _ : state) store.shutdown();
    ::stat(file.c_str(), &after);
    state.counters["fileMiB"] = static_cast<double>(after.st_size) / (1 << 20);
    state.counters["replaced"] = before.st_ino != after.st_ino ? 1 : 0;
}
BENCHMARK(BM_QuitWithALargeHistory)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
