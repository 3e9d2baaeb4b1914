// Capturing a 1 MB text copy. Target: under 10 ms from the poll noticing the change to the
// clip being at the top of the list (BM_StoreCapturesMegabyteText); the other two show the
// reader with the clip's fields (kind, title, fingerprint) and the reader alone. Then an 8 MB
// image copy: the poll's step on this thread (BM_StoreCapturesImage; its file is written on a
// pool thread, waited for outside the timing), beside the synced write of that file itself
// (BM_WriteImageFile), which the step no longer holds. The CPU column is this thread's
// processor time.
#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <string>

#include "history/HistoryPersistence.h"
#include "history/HistoryStore.h"
#include "history/PasteboardCaptureReader.h"
#include "support/FakePasteboard.h"
#include "support/FakeWorkspace.h"
#include "support/InMemoryDefaults.h"
#include "support/ManualClock.h"

using namespace harbelle;

namespace {

std::string megabyteOfText() {
    const std::string words[] = {"clipboard ", "history ", "shelf ", "capture ", "Harbelle ", "paste ", "\n"};
    std::string text = "\n\n";
    for (std::size_t i = 0; text.size() < 1024 * 1024; ++i) text += words[(i * 7 + i / 3) % 7];
    return text + "\n";
}

void BM_CaptureMegabyteText(benchmark::State& state) {
    testing::FakePasteboard pasteboard;
    testing::FakeWorkspace workspace;
    workspace.frontmost = RunningApplication{"Gedit", "org.gnome.gedit", 100};
    const std::string text = megabyteOfText();
    pasteboard.setContents({{"UTF8_STRING", Bytes(text.begin(), text.end())},
                            {"text/html", Bytes(4096, 'h')}});
    PasteboardCaptureReader reader(pasteboard, workspace, 1);
    const Date now = std::chrono::system_clock::now();
    for (auto _ : state) {
        pasteboard.bumpChangeCount();
        pasteboard.reads.clear();
        PasteboardCapture capture = reader.read({});
        if (capture.content != PasteboardCapture::Content::text) state.SkipWithError("nothing captured");
        ClipItem clip = capture.makeClip(now);
        benchmark::DoNotOptimize(clip.fingerprint.hash());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_CaptureMegabyteText)->Unit(benchmark::kMillisecond);

// The reader alone, without the clip's fields.
void BM_ReadMegabyteText(benchmark::State& state) {
    testing::FakePasteboard pasteboard;
    testing::FakeWorkspace workspace;
    workspace.frontmost = RunningApplication{"Gedit", "org.gnome.gedit", 100};
    const std::string text = megabyteOfText();
    pasteboard.setContents({{"UTF8_STRING", Bytes(text.begin(), text.end())}});
    PasteboardCaptureReader reader(pasteboard, workspace, 1);
    for (auto _ : state) {
        pasteboard.reads.clear();
        PasteboardCapture capture = reader.read({});
        benchmark::DoNotOptimize(capture.text.data());
    }
}
BENCHMARK(BM_ReadMegabyteText)->Unit(benchmark::kMillisecond);

// The whole path through a store on a temporary folder: the poll tick reads the change count,
// the reader checks and reads, the clip is built and inserted (de-duplication, trim, selection,
// save scheduling, sync notification).
// A store on a temporary folder, capturing from the in-memory clipboard.
struct CapturingStore {
    QTemporaryDir dir;
    testing::FakePasteboard pasteboard;
    testing::FakeWorkspace workspace;
    testing::InMemoryDefaults defaults;
    testing::ManualClock clock;
    std::unique_ptr<HistoryStore> store;

    explicit CapturingStore(RunningApplication frontmost) {
        workspace.frontmost = std::move(frontmost);
        HistoryStoreOptions options;
        options.applicationSupport = std::filesystem::path(dir.path().toStdString()) / "Pemberlow";
        options.bundleIdentifier = kCurrentBundleIdentifier;
        options.pasteboard = &pasteboard;
        options.workspace = &workspace;
        options.ownProcessID = 1;
        store = std::make_unique<HistoryStore>(defaults, clock, options);
    }
};

void BM_StoreCapturesMegabyteText(benchmark::State& state) {
    CapturingStore capturing(RunningApplication{"Gedit", "org.gnome.gedit", 100});
    auto& [dir, pasteboard, workspace, defaults, clock, owned] = capturing;
    HistoryStore& store = *owned;
    for (int i = 0; i < 200; ++i) {  // a history of ordinary clips to de-duplicate against
        ClipItem clip;
        clip.text = "clip " + std::to_string(i);
        clip.fingerprint = ClipItem::makeFingerprint(ClipKind::text, clip.text, {}, std::nullopt, nullptr);
        store.insert(clip);
    }
    store.startMonitoring();
    std::string text = megabyteOfText();
    std::size_t n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        // A different copy each time (a new clip, not a repeat), and a list that stays small.
        if (store.items().size() > 200) store.deleteItem(store.items().front());
        text[text.size() / 2] = static_cast<char>('a' + (n++ % 26));
        text.replace(10, 8, std::to_string(10'000'000 + n).substr(0, 8));
        pasteboard.setContents({{"UTF8_STRING", Bytes(text.begin(), text.end())}, {"text/html", Bytes(4096, 'h')}});
        state.ResumeTiming();
        clock.advance(HistoryStore::kPollInterval);
        if (store.items().front().text.size() < 1024 * 1024 - 64) state.SkipWithError("nothing captured");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_StoreCapturesMegabyteText)->Unit(benchmark::kMillisecond);

// A screenshot-sized picture of noise: about 8 MB as PNG.
Bytes noisyPng() {
    QImage image(1950, 1350, QImage::Format_RGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<quint32*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) line[x] = random.generate();
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return Bytes(png.begin(), png.end());
}

void BM_StoreCapturesImage(benchmark::State& state) {
    CapturingStore capturing(RunningApplication{"Viewer", "org.example.viewer", 100});
    auto& [dir, pasteboard, workspace, defaults, clock, owned] = capturing;
    HistoryStore& store = *owned;
    store.startMonitoring();
    const Bytes png = noisyPng();
    for (auto _ : state) {
        state.PauseTiming();
        // The same picture as a new clip each time: the last one is deleted first.
        store.finishPendingCaptures();
        QCoreApplication::processEvents();
        if (!store.items().empty()) store.deleteItem(store.items().front());
        pasteboard.setContents({{"image/png", png}});
        state.ResumeTiming();
        clock.advance(HistoryStore::kPollInterval);
    }
    store.finishPendingCaptures();
    if (store.items().empty() || store.items().front().kind != ClipKind::image) state.SkipWithError("nothing captured");
    state.counters["pngBytes"] = double(png.size());
}
BENCHMARK(BM_StoreCapturesImage)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_WriteImageFile(benchmark::State& state) {
    QTemporaryDir dir;
    HistoryPersistence persistence(std::filesystem::path(dir.path().toStdString()) / "Pemberlow", {});
    persistence.prepareStorage();
    const Bytes png = noisyPng();
    for (auto _ : state) {
        if (!persistence.writePayload("image.png", png)) state.SkipWithError("not written");
    }
}
BENCHMARK(BM_WriteImageFile)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // the written files come back through its event queue
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
