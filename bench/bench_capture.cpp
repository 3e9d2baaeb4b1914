// Capturing a 1 MB text copy: the reader's checks and reads through the clipboard twin, then
// the clip's fields (kind, title, fingerprint). Target: under 10 ms per capture.
#include <benchmark/benchmark.h>

#include <string>

#include "history/PasteboardCaptureReader.h"
#include "support/FakePasteboard.h"
#include "support/FakeWorkspace.h"

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
        benchmark::DoNotOptimize(clip.fingerprint.data());
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

}  // namespace

BENCHMARK_MAIN();
