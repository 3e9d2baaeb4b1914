// 1,000 settings changes (a slider drag) on a settings file that also holds 10,000 ids:
// coalesced, the caller's share of 1,000 sets and the closing flush stays under 10 ms in total;
// beside it the old way, every set written and synced by the caller.
#include <benchmark/benchmark.h>
#include <time.h>

#include <QTemporaryDir>
#include <chrono>
#include <filesystem>

#include "platform/linux/JsonFileDefaults.h"

using namespace harbelle;

namespace {

constexpr int kSets = 1000;

double threadMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

double wallMilliseconds() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void seed(JsonFileDefaults& defaults) {
    nlohmann::json ids = nlohmann::json::array();
    for (int i = 0; i < 10'000; ++i) ids.push_back("9F1C2B7A-3D4E-4F50-8A6B-" + std::to_string(100000000000 + i));
    defaults.set("syncDeletedIDs", ids);
    defaults.flush();
}

// `flushEach` is the old behaviour: the caller writes and syncs the whole file on every set.
void runSets(benchmark::State& state, bool flushEach) {
    QTemporaryDir temp;
    JsonFileDefaults defaults(JsonFileDefaults::kDefaultIdentifier, std::filesystem::path(temp.path().toStdString()),
                              std::chrono::milliseconds(500));
    seed(defaults);
    double setsWall = 0, flushWall = 0, callerCpu = 0;
    int value = 0;
    for (auto _ : state) {
        const double cpu0 = threadMilliseconds();
        const double wall0 = wallMilliseconds();
        for (int i = 0; i < kSets; ++i) {
            defaults.setDouble("shelfTransparency", 0.5 + double(++value % 1000) / 4000.0);
            if (flushEach) defaults.flush();
        }
        const double wall1 = wallMilliseconds();
        defaults.flush();
        const double wall2 = wallMilliseconds();
        callerCpu += threadMilliseconds() - cpu0;
        setsWall += wall1 - wall0;
        flushWall += wall2 - wall1;
    }
    const double n = double(state.iterations());
    state.counters["sets_wall_ms"] = setsWall / n;
    state.counters["flush_wall_ms"] = flushWall / n;
    state.counters["caller_cpu_ms"] = callerCpu / n;
    state.counters["writes"] = double(defaults.writeCount());
}

void BM_ThousandSetsCoalesced(benchmark::State& state) { runSets(state, false); }
void BM_ThousandSetsEachSynced(benchmark::State& state) { runSets(state, true); }

}  // namespace

BENCHMARK(BM_ThousandSetsCoalesced)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_ThousandSetsEachSynced)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK_MAIN();
