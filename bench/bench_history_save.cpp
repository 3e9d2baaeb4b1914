// A save of a 10,000-clip history: the main thread only copies the list (target under 5 ms);
// the save thread encodes it and writes the file atomically (target under 100 ms).
#include <benchmark/benchmark.h>

#include <QTemporaryDir>

#include "history/HistoryPersistence.h"

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

}  // namespace

BENCHMARK_MAIN();
