// The settings window, offscreen: building it with all six pages (target under 20 ms),
// opening it to the first painted General page over a 10,000-clip history (under 50 ms), and
// one transparency slider step on the GUI thread (under 2 ms) with the settings in memory
// (the write only scheduled) and, beside it, with today's file write that syncs to disk.
#include <benchmark/benchmark.h>

#include <QAbstractSlider>
#include <QApplication>
#include <QSlider>
#include <QTemporaryDir>

#include <filesystem>

#include "ScaleHistory.h"
#include "StillClock.h"
#include "history/HistoryPersistence.h"
#include "history/HistoryStore.h"
#include "platform/linux/JsonFileDefaults.h"
#include "settings/AppearancePage.h"
#include "settings/SettingsView.h"
#include "settings/SettingsWindowController.h"
#include "settings/UpdateManager.h"
#include "support/InMemoryDefaults.h"
#include "syncbridge/SyncCoordinator.h"

using namespace harbelle;
namespace fs = std::filesystem;

namespace {

constexpr int kClipCount = 10'000;

std::vector<ClipItem> makeHistory() {
    std::vector<ClipItem> items;
    items.reserve(kClipCount);
    for (int i = 0; i < kClipCount; ++i) {
        ClipItem clip = bench::makeTextClip("note " + std::to_string(i) + ": follow up with the team about the next steps.",
                                            bench::kNewestClip - std::chrono::minutes(i));
        clip.isPinned = i % 500 == 0;
        items.push_back(std::move(clip));
    }
    return items;
}

struct Settings {
    QTemporaryDir folder;
    testing::InMemoryDefaults memory;
    std::unique_ptr<JsonFileDefaults> file;
    bench::StillClock clock{false};
    std::unique_ptr<HistoryStore> store;
    std::unique_ptr<UpdateManager> updates;
    std::unique_ptr<SyncCoordinator> sync;

    explicit Settings(bool onDisk) {
        const fs::path support = fs::path(folder.path().toStdString()) / "Pemberlow";
        fs::create_directories(support / "Payloads");
        HistoryPersistence::persistHistory(makeHistory(), support / "history.json");
        if (onDisk) file = std::make_unique<JsonFileDefaults>("bench.settings", fs::path(folder.path().toStdString()));
        Defaults& defaults = file ? static_cast<Defaults&>(*file) : memory;
        defaults.setInteger("maxHistory", kClipCount);
        HistoryStoreOptions options;
        options.applicationSupport = support;
        store = std::make_unique<HistoryStore>(defaults, clock, options);
        updates = std::make_unique<UpdateManager>(BundleInfo(nlohmann::json::object()), defaults, clock);
        sync = std::make_unique<SyncCoordinator>(false, defaults, [](const std::string&) {
            return std::optional<std::string>();
        }, BundleInfo(nlohmann::json::object()));
    }
    std::unique_ptr<SettingsWindowController> window() {
        return std::make_unique<SettingsWindowController>(*store, *updates, *sync, [] {}, store->defaults());
    }
};

std::unique_ptr<Settings> inMemory;
std::unique_ptr<Settings> onDisk;
Settings& settings(bool disk) {
    auto& slot = disk ? onDisk : inMemory;
    if (!slot) slot = std::make_unique<Settings>(disk);
    return *slot;
}

void BM_BuildWindowWithAllPages(benchmark::State& state) {
    Settings& s = settings(false);
    for (auto _ : state) {
        auto controller = s.window();
        benchmark::DoNotOptimize(controller.get());
        state.PauseTiming();
        controller.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_BuildWindowWithAllPages)->Unit(benchmark::kMillisecond);

void BM_OpenToFirstPaintedGeneralPage(benchmark::State& state) {
    Settings& s = settings(false);
    if (s.store->items().size() != static_cast<std::size_t>(kClipCount)) state.SkipWithError("history not loaded");
    for (auto _ : state) {
        state.PauseTiming();
        auto controller = s.window();
        state.ResumeTiming();
        controller->show(nullptr);
        QApplication::processEvents();  // layout requests and the first expose
        controller->window()->repaint();
        state.PauseTiming();
        controller.reset();
        state.ResumeTiming();
    }
    state.counters["clips"] = static_cast<double>(s.store->items().size());
}
BENCHMARK(BM_OpenToFirstPaintedGeneralPage)->Unit(benchmark::kMillisecond);

// One step of the slider as the user's key or click makes it, up to the store's change and
// the settings write, with the page following.
void sliderSteps(benchmark::State& state, bool disk) {
    Settings& s = settings(disk);
    auto controller = s.window();
    controller->show(nullptr);
    controller->view()->select(SettingsSection::appearance);
    QApplication::processEvents();
    QSlider* slider = controller->view()->appearancePage()->transparency();
    bool up = true;
    for (auto _ : state) {
        if (slider->value() >= slider->maximum()) up = false;
        if (slider->value() <= slider->minimum()) up = true;
        slider->triggerAction(up ? QAbstractSlider::SliderSingleStepAdd : QAbstractSlider::SliderSingleStepSub);
    }
    state.counters["transparency"] = s.store->barTransparency();
}
void BM_TransparencyStepWriteScheduled(benchmark::State& state) { sliderSteps(state, false); }
void BM_TransparencyStepFsyncedWrite(benchmark::State& state) { sliderSteps(state, true); }
BENCHMARK(BM_TransparencyStepWriteScheduled)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TransparencyStepFsyncedWrite)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    inMemory.reset();
    onDisk.reset();
    return 0;
}
