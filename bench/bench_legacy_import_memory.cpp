// The legacy import of 1,000,000 small rows into a new user's history (limit 1,000), as the
// program runs it: the background run handing its clips over in batches and the merges on the
// main thread. Prints the peak of resident memory (VmHWM) the run added (target: within the
// import's memory budget of 1 GiB) and the time to the saved history. The first argument, if
// any, is the number of rows.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThreadPool>

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "StillClock.h"
#include "history/HistoryStore.h"
#include "legacyimport/PasteNowImporter.h"
#include "support/InMemoryDefaults.h"
#include "support/PasteNowTestDatabase.h"

using namespace harbelle;
namespace fs = std::filesystem;

namespace {

std::uint64_t statusField(const char* name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(name, 0) == 0) return std::stoull(line.substr(std::strlen(name))) << 10;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int rows = argc > 1 ? std::atoi(argv[1]) : 1'000'000;
    QTemporaryDir temp;
    const fs::path root = temp.path().toStdString();
    const PasteNowImporter::Locations locations{root / "outside", root / "cache"};
    testing::PasteNowTestDatabase::write(locations.documentsFolder, testing::PasteNowTestDatabase::bulkRows(rows));

    testing::InMemoryDefaults defaults;
    bench::StillClock clock;
    HistoryStoreOptions options;
    options.applicationSupport = root / "store";
    HistoryStore store(defaults, clock, options);
    // The peak from here on, above what is resident now (the rows written above given back).
    ::malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
    const std::uint64_t before = statusField("VmRSS:");
    const auto start = std::chrono::steady_clock::now();
    PasteNowImporter::importIfNeeded(store, locations);
    while (store.migrationStatus()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::uint64_t peak = statusField("VmHWM:");
    std::printf("%d rows into a history of limit 1,000: %.1f s, %zu clips kept, imported flag %s, "
                "peak resident %.0f MB above the %.0f MB before (target <= 1,074 MB)\n",
                rows, seconds, store.items().size(),
                defaults.boolValue(PasteNowImporter::kImportedKey).value_or(false) ? "set" : "NOT SET",
                double(peak - std::min(peak, before)) / 1e6, double(before) / 1e6);
    store.shutdown();
    QThreadPool::globalInstance()->waitForDone();
    return 0;
}
