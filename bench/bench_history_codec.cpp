// Encoding and decoding a full history file of 10,000 and 100,000 clips. The load as the store
// does it (read the file, decode into clips) runs beside a plain read and parse of the same
// file into simdjson's tape and nothing more, the least any validating load can cost. The
// decode runs on several threads: the CPU column is every thread's processor time.
#include <benchmark/benchmark.h>

#include <simdjson.h>

#include <QTemporaryDir>

#include <filesystem>
#include <map>
#include <random>

#include "history/HistoryCodec.h"
#include "history/HistoryFiles.h"

using namespace harbelle;

namespace {

std::string randomText(std::mt19937& rng, std::size_t length) {
    static const std::string words[] = {"the ", "clipboard ", "history ", "café ", "🙂 ", "path/to/file ",
                                        "\"quoted\" ", "line\n", "value=42; ", "https://example.com/a "};
    std::uniform_int_distribution<std::size_t> pick(0, std::size(words) - 1);
    std::string out;
    while (out.size() < length) out += words[pick(rng)];
    return out;
}

PersistedHistory makeHistory(std::size_t count) {
    std::mt19937 rng(42);
    PersistedHistory history;
    history.items.reserve(count);
    const Date base{std::chrono::seconds{1'796'630'400}};
    for (std::size_t i = 0; i < count; ++i) {
        ClipItem clip;
        clip.createdAt = base - std::chrono::seconds(i * 37);
        clip.updatedAt = clip.createdAt;
        if (i % 4 == 0) clip.lastReplayedAt = clip.createdAt + std::chrono::minutes(5);
        clip.sourceAppName = "Text Editor";
        clip.sourceBundleID = "org.example.TextEditor";
        clip.sourceDeviceID = "7C1D3B0A-2E4F-4C6B-8A9D-1F2E3D4C5B6A";
        clip.sourceDeviceName = "Studio Desk";
        clip.sourceDevicePlatform = "macOS";
        if (i % 10 == 9) {
            clip.kind = ClipKind::image;
            clip.title = "Image";
            clip.payloadFilename = clip.id.uppercaseString() + ".png";
            clip.payloadContentType = "image/png";
            clip.searchableText = randomText(rng, 60);
        } else {
            clip.kind = i % 7 == 0 ? ClipKind::link : ClipKind::text;
            clip.text = randomText(rng, 200);
            clip.title = ClipItem::titleFor(clip.text, clip.kind);
            if (i % 5 == 0) {
                const std::string html = "<p>" + randomText(rng, 400) + "</p>";
                clip.htmlData = Bytes(html.begin(), html.end());
            }
            if (i % 10 == 0) {
                const std::string rtf = "{\\rtf1\\ansi " + randomText(rng, 600) + "}";
                clip.richTextData = Bytes(rtf.begin(), rtf.end());
            }
        }
        clip.fingerprint = ClipItem::makeFingerprint(clip.kind, clip.text, clip.fileURLs,
                                                     clip.payloadFilename, nullptr);
        history.items.push_back(std::move(clip));
    }
    return history;
}

void BM_EncodeHistory(benchmark::State& state) {
    const PersistedHistory history = makeHistory(static_cast<std::size_t>(state.range(0)));
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string json = historycodec::encode(history);
        bytes = json.size();
        benchmark::DoNotOptimize(json);
    }
    state.counters["fileBytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EncodeHistory)->Arg(10'000)->Unit(benchmark::kMillisecond);

void BM_DecodeHistory(benchmark::State& state) {
    const std::string json = historycodec::encode(makeHistory(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) {
        PersistedHistory decoded = historycodec::decode(json);
        benchmark::DoNotOptimize(decoded);
    }
    state.counters["fileBytes"] = static_cast<double>(json.size());
}
BENCHMARK(BM_DecodeHistory)->Arg(10'000)->Arg(100'000)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

// The history file on disk, written once per size.
const std::filesystem::path& historyFile(std::size_t count) {
    static QTemporaryDir folder;
    static std::map<std::size_t, std::filesystem::path> files;
    auto& path = files[count];
    if (path.empty()) {
        path = std::filesystem::path(folder.path().toStdString()) / ("history-" + std::to_string(count) + ".json");
        historyfiles::writeFileAtomically(path, historycodec::encode(makeHistory(count)));
    }
    return path;
}

std::string readFile(const std::filesystem::path& path) {
    std::string bytes;
    std::string why;
    if (historyfiles::readWholeFile(path, 1ull << 30, bytes, why) != historyfiles::ReadResult::ok) std::abort();
    return bytes;
}

void BM_ReadAndDecode(benchmark::State& state) {
    const auto& path = historyFile(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        historyfiles::FileBytes bytes;
        std::string why;
        if (historyfiles::readLargeFile(path, 1ull << 30, bytes, why) != historyfiles::ReadResult::ok) std::abort();
        PersistedHistory decoded = historycodec::decode(bytes.view(), historyfiles::kReadSlack);
        benchmark::DoNotOptimize(decoded);
    }
}
BENCHMARK(BM_ReadAndDecode)->Arg(10'000)->Arg(100'000)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

void BM_ReadAndParseReference(benchmark::State& state) {
    const auto& path = historyFile(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        const std::string bytes = readFile(path);
        simdjson::dom::parser parser;
        simdjson::dom::element root;
        if (parser.parse(bytes).get(root)) std::abort();
        benchmark::DoNotOptimize(root);
    }
}
BENCHMARK(BM_ReadAndParseReference)->Arg(10'000)->Arg(100'000)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
