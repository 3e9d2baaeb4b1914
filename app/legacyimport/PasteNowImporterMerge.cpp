#include "legacyimport/PasteNowImporter.h"

#include <QLocale>

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "history/HistoryStore.h"
#include "legacyimport/PasteNowDatabase.h"
#include "platform/BackgroundWork.h"
#include "platform/BundleInfo.h"

// The import's main-thread side: starting a run, and merging what it hands back.

namespace harbelle {

namespace {

namespace fs = std::filesystem;

// The run in progress, so that quitting can stop it. Main thread only.
std::shared_ptr<std::atomic<bool>>& currentCancelFlag() {
    static std::shared_ptr<std::atomic<bool>> flag;
    return flag;
}

std::string formattedCount(std::int64_t count) {
    // The C locale has no digit grouping; show the common English form there.
    QLocale locale;
    if (locale.language() == QLocale::C) locale = QLocale(QLocale::English, QLocale::UnitedStates);
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(qlonglong(count)).toStdString();
}

// A batch on its way from the run's thread to the merge, and the merge's answer.
struct BatchGate {
    std::mutex mutex;
    std::condition_variable merged;
    bool waiting = false;
    bool abandoned = false;
    bool saveFailed = false;
    int batches = 0;
    // The history's imported clips before the run: batches arrive in table order, so a later
    // batch's newer clips can trim away what an earlier one counted as added.
    std::int64_t importedBefore = 0;
};

std::int64_t importedClipCount(const HistoryStore& store) {
    std::int64_t count = 0;
    for (const auto& clip : store.items())
        if (clip.importedFrom && *clip.importedFrom == PasteNowImporter::kSourceName) ++count;
    return count;
}

// One import in flight, a child of the store it fills: the store's end closes the way back and
// lets a run that waits for a merge go.
struct ImportRun : QObject {
    explicit ImportRun(QObject* store) : QObject(store) {}
    ~ImportRun() override {
        {
            std::lock_guard lock(gate->mutex);
            gate->abandoned = true;
        }
        gate->merged.notify_all();
    }
    std::shared_ptr<BatchGate> gate = std::make_shared<BatchGate>();
    BackgroundWork work{this};
};

// What the background hands back: the clips sorted and stamped for the merge, so the main
// thread only moves pointers.
struct MergeInput {
    ClipList items;
    std::int64_t failedRows = 0;
};

MergeInput prepareMerge(PasteNowImporter::ImportResult result) {
    MergeInput input;
    input.failedRows = result.failedRows;
    input.items = std::move(result.items);
    // The run reads in table order; the merge wants newest first, and of one date the highest key first.
    input.items.stableSort([](const ClipItem& a, const ClipItem& b) {
        return a.createdAt != b.createdAt ? a.createdAt > b.createdAt : a.legacyID.value_or(0) > b.legacyID.value_or(0);
    });
    return input;
}

// How the run ended: its last clips, or why it failed.
struct RunOutcome {
    std::optional<MergeInput> input;
    bool overBudget = false;
    std::string why;
};

// In steps, so a large import does not freeze the shelf. The flag is set only once the merged
// history is on disk: a quit before that leaves it unset, and the next launch's run skips, by
// their legacy ids, the clips that the quit's own save kept.
void mergeResult(HistoryStore& store, MergeInput input, std::shared_ptr<BatchGate> gate) {
    const std::int64_t failedRows = input.failedRows;
    store.importItemsInSteps(std::move(input.items), PasteNowImporter::kSourceName,
                             [&store, failedRows, gate](int added, bool saved) {
        store.setMigrationStatus(std::nullopt);
        if (!saved) {
            store.showToast("Imported clips are open, but the history index could not be saved", ToastTone::error);
            return;
        }
        store.defaults().setBool(PasteNowImporter::kImportedKey, true);
        store.defaults().removeObject(PasteNowImporter::kStoppedKey);
        const std::int64_t total = gate->batches > 0 ? importedClipCount(store) - gate->importedBefore : added;
        if (failedRows > 0) {
            store.showToast("Imported " + formattedCount(total) + " clips; " + std::to_string(failedRows) +
                                " could not be decoded",
                            ToastTone::info);
        } else if (gate->batches > 0 && total > 0) {
            // Each batch's merge named its own count; the last word is the whole.
            store.showToast("Imported " + formattedCount(total) + " older clips", ToastTone::success);
        }
    });
}

// The run's thread: hands a batch to the merge and waits until it is saved, the run is
// cancelled or nobody is left to merge it.
bool mergeBatch(ClipList&& batch, const BackgroundWork::Sender& sender, HistoryStore* store,
                const std::shared_ptr<BatchGate>& gate, const std::shared_ptr<std::atomic<bool>>& cancel) {
    auto input = std::make_shared<MergeInput>(prepareMerge({std::move(batch), 0}));
    {
        std::lock_guard lock(gate->mutex);
        if (gate->abandoned) return false;
        gate->waiting = true;
    }
    sender.post([store, gate, input] {
        store->importItemsInSteps(std::move(input->items), PasteNowImporter::kSourceName,
                                  [gate](int, bool saved) {
            {
                std::lock_guard lock(gate->mutex);
                ++gate->batches;
                gate->saveFailed = gate->saveFailed || !saved;
                gate->waiting = false;
            }
            gate->merged.notify_all();
        });
    });
    std::unique_lock lock(gate->mutex);
    // Quitting sets the flag without a word to this thread: it is looked at now and then.
    while (gate->waiting && !gate->abandoned && !cancel->load())
        gate->merged.wait_for(lock, std::chrono::milliseconds(100));
    return !gate->waiting && !gate->saveFailed && !gate->abandoned && !cancel->load();
}

}  // namespace

PasteNowImporter::Locations PasteNowImporter::defaultLocations() {
    fs::path home;
    if (const char* h = std::getenv("HOME"); h && *h == '/') home = h;
    const std::string group =
        BundleInfo::main().pasteNowGroupContainer();
    fs::path cache;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/') cache = xdg;
    else if (!home.empty()) cache = home / ".cache";
    else cache = fs::temp_directory_path();
    Locations locations;
    if (!home.empty()) locations.documentsFolder = home / "Library" / "Group Containers" / group / "Documents";
    locations.cacheFolder = cache / "Harbelle" / "LegacyImport";
    return locations;
}

void PasteNowImporter::importIfNeeded(HistoryStore& store) { importIfNeeded(store, defaultLocations()); }

void PasteNowImporter::importIfNeeded(HistoryStore& store, const Locations& locations) {
    if (store.defaults().boolValue(kImportedKey).value_or(false)) return;
    if (locations.documentsFolder.empty()) return;
    std::error_code error;
    if (!fs::exists(locations.databaseFile(), error)) return;  // looked for again at the next launch
    const std::string signature = PasteNowDatabase::signature(locations.databaseFile());
    if (const auto stopped = store.defaults().object(kStoppedKey);
        stopped && stopped->is_object() && stopped->value("database", "") == signature)
        return;  // the same database that stopped the last run at a budget
    store.setMigrationStatus(std::string(kStatusText));

    auto cancel = std::make_shared<std::atomic<bool>>(false);
    currentCancelFlag() = cancel;
    // The run belongs to the store: should the store go first, its hand-back is dropped.
    auto* run = new ImportRun(&store);
    run->gate->importedBefore = importedClipCount(store);
    const fs::path payloadsURL = store.payloadsURL();
    BatchSink handBatch = [sender = run->work.sender(), store = &store, gate = run->gate,
                           cancel](ClipList&& batch) {
        return mergeBatch(std::move(batch), sender, store, gate, cancel);
    };
    run->work.run(
        [cancel, payloadsURL, locations, handBatch]() -> RunOutcome {
            try {
                return {prepareMerge(importLegacyHistory(payloadsURL, locations, cancel.get(), handBatch))};
            } catch (const ImportError& failure) {
                return {std::nullopt, failure.code() == ImportError::Code::overBudget, failure.what()};
            } catch (...) {
                return {};
            }
        },
        [run, &store, cancel, signature](RunOutcome outcome) {
            run->deleteLater();
            if (cancel->load()) return;  // quitting: nobody to hand the clips to
            if (currentCancelFlag() == cancel) currentCancelFlag().reset();
            if (outcome.input) {
                mergeResult(store, std::move(*outcome.input), run->gate);
                return;
            }
            store.setMigrationStatus(std::nullopt);
            if (run->gate->saveFailed) {
                store.showToast("Imported clips are open, but the history index could not be saved", ToastTone::error);
                return;
            }
            std::string message = "The old PasteNow history is safe, but import needs attention";
            if (outcome.overBudget) {
                // Kept, so the next launches do not copy and read the same database again.
                store.defaults().set(kStoppedKey, nlohmann::json{{"reason", outcome.why}, {"database", signature}});
                message += ": " + outcome.why + ". It is tried again once the old history changes.";
            }
            store.showToast(message, ToastTone::error);
        });
}

void PasteNowImporter::cancelRunningImport() {
    if (auto& flag = currentCancelFlag()) flag->store(true);
}

}  // namespace harbelle
