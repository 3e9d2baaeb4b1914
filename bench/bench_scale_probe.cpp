// Memory and start-up with large histories: for 0, 10,000 and 100,000 text clips of ~1 KB
// (or the counts given), a fresh process loads the history through the real HistoryStore,
// opens the shelf offscreen up to its first painted frame, closes it, and prints its idle
// VmRSS and RssAnon from /proc/self/status beside the load and first-frame times.
//   bench_scale_probe [COUNT...]
//   bench_scale_probe --write COUNT FOLDER, then bench_scale_probe --probe COUNT FOLDER (to profile;
//   the probe exits without teardown, so heaptrack lists the idle heap as leaked)
#include <QApplication>
#include <QTemporaryDir>

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ScaleHistory.h"
#include "ShelfTwins.h"
#include "StillClock.h"
#include "support/InMemoryDefaults.h"
#include "history/HistoryPersistence.h"
#include "history/HistoryStore.h"
#include "shell/ShelfPanel.h"
#include "shell/ShelfPanelController.h"

using namespace harbelle;
namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

namespace {

long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    return -1;
}

double msSince(Steady::time_point start) {
    return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

// The measured process: load, show, hide, settle, read the counters.
int probe(int argc, char** argv, int count, const fs::path& support) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    testing::InMemoryDefaults defaults;
    bench::StillClock clock{false};
    bench::QuietWorkspace workspace;
    bench::NoAccessibility accessibility;
    defaults.setInteger("maxHistory", std::max(count, 1000) * 2);

    const auto start = Steady::now();
    HistoryStoreOptions options;
    options.applicationSupport = support;
    HistoryStore store(defaults, clock, options);
    const double loadMs = msSince(start);

    ShelfPanelControllerOptions shelfOptions;
    shelfOptions.launchArguments = QStringList{QStringLiteral("harbelle")};
    shelfOptions.visibleFrameOverride = [] { return std::optional<QRectF>(QRectF(0, 0, 1920, 1050)); };
    ShelfPanelController controller(store, workspace, accessibility, clock, shelfOptions);
    const auto showStart = Steady::now();
    controller.show();
    QApplication::processEvents();
    controller.panel()->repaint();
    const double showMs = msSince(showStart);
    const double launchMs = msSince(start);

    controller.hideShelf();
    for (int i = 0; i < 5; ++i) {
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const long rss = statusKiB("VmRSS");
    const long anon = statusKiB("RssAnon");
    const auto heap = mallinfo2();
    // Large blocks (the clip list itself) are mapped apart from the heap's arena.
    const double liveHeap = static_cast<double>(heap.uordblks + heap.hblkhd) / (1024.0 * 1024.0);
    const double freeHeap = static_cast<double>(heap.fordblks) / (1024.0 * 1024.0);
    std::printf("%8d clips: loaded %zu in %7.1f ms, first frame %6.1f ms, launch to frame %7.1f ms; "
                "idle VmRSS %6.1f MiB, RssAnon %6.1f MiB (live heap %6.1f MiB, free in the heap %6.1f MiB, ClipItem %zu bytes)\n",
                count, store.items().size(), loadMs, showMs, launchMs, rss / 1024.0, anon / 1024.0, liveHeap, freeHeap,
                sizeof(ClipItem));
    // Leaves without tearing down, so that heaptrack's "leaked" list is what was live when
    // the counters were read.
    std::fflush(stdout);
    std::_Exit(store.items().size() == static_cast<std::size_t>(count) ? 0 : 1);
}

}  // namespace

int main(int argc, char** argv) {
    // For heaptrack or perf: write a history once, then probe that one process.
    if (argc == 4 && std::string(argv[1]) == "--write") {
        fs::create_directories(fs::path(argv[3]) / "Payloads");
        HistoryPersistence::persistHistory(bench::makeScaleHistory(std::atoi(argv[2])), fs::path(argv[3]) / "history.json");
        return 0;
    }
    if (argc == 4 && std::string(argv[1]) == "--probe")
        return probe(1, argv, std::atoi(argv[2]), fs::path(argv[3]));

    std::vector<int> counts;
    for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
    if (counts.empty()) counts = {0, 10'000, 100'000};

    const std::string self = fs::read_symlink("/proc/self/exe").string();
    QTemporaryDir folder;
    int failures = 0;
    for (const int count : counts) {
        const fs::path support = fs::path(folder.path().toStdString()) / ("Pemberlow-" + std::to_string(count));
        fs::create_directories(support / "Payloads");
        HistoryPersistence::persistHistory(bench::makeScaleHistory(count), support / "history.json");
        const std::string command = "'" + self + "' --probe " + std::to_string(count) + " '" + support.string() + "'";
        if (std::system(command.c_str()) != 0) ++failures;
    }
    std::printf("targets: 10,000 clips <= 60 MiB idle, 100,000 clips <= 250 MiB idle and <= 1000 ms to the first frame\n");
    return failures == 0 ? 0 : 1;
}
