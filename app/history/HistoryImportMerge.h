#pragma once

#include <QObject>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <memory_resource>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "history/ClipList.h"
#include "history/Fingerprint.h"
#include "history/Uuid.h"

namespace harbelle {

class HistoryStore;

// A batch import merged in steps of the main thread, each a few milliseconds long, so that the
// shelf answers while a large batch goes in. The list changes in one step only: the whole batch
// goes in at once, exactly as `HistoryStore::importItems` would put it. Then the files of clips
// that were not taken are retired, the history is saved, and `done` learns how many clips were
// added and whether that save succeeded. A child of the store: it goes with it.
class HistoryImportMerge : public QObject {
public:
    using Done = std::function<void(int added, bool saved)>;
    // Longest a step works before it lets the event loop run.
    static constexpr std::chrono::milliseconds kSlice{5};

    // `batch`: sorted newest first by creation date (stable), as the importer hands it over.
    HistoryImportMerge(HistoryStore& store, ClipList batch, std::string sourceName, Done done);

    void start();
    // Steps taken so far and the longest of them (wall time, and this thread's processor
    // time, which other programs on a busy machine do not inflate), for the benchmark.
    int steps() const { return steps_; }
    std::chrono::microseconds longestStep() const { return longestStep_; }
    std::chrono::microseconds longestStepProcessor() const { return longestStepProcessor_; }

private:
    enum class Stage { knownClips, filter, sortExisting, trim, swap, skippedNames, unreferenced, save, saving, finished };
    struct FingerprintHash {
        std::size_t operator()(const Fingerprint& fingerprint) const noexcept { return fingerprint.hash(); }
    };
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const noexcept { return std::hash<std::string_view>{}(name); }
    };
    // The keys of the history's and the batch's clips, their nodes in a few large blocks: a
    // hundred thousand nodes freed one by one fill the allocator's fast lists, and the next large
    // request or free of this thread then stops to merge them all (10-20 ms).
    struct KnownKeys {
        std::pmr::monotonic_buffer_resource memory;
        std::pmr::unordered_set<std::int64_t> legacyIDs{&memory};
        std::pmr::unordered_set<Fingerprint, FingerprintHash> fingerprints{&memory};
        std::pmr::unordered_set<Uuid> ids{&memory};
    };
    // Names of the files of clips not taken, kept the same way.
    struct Names {
        std::pmr::monotonic_buffer_resource memory;
        std::pmr::unordered_set<std::pmr::string, NameHash, std::equal_to<>> names{&memory};
    };
    void runStep();
    bool timeIsUp() const;
    template <typename T>
    void discard(T& value);
    void deleteNeverNamed();
    void knownClips();
    void filter();
    void sortExisting();
    void trim();
    bool sortStored();
    void swap();
    void skippedNames();
    void unreferenced();
    void save();
    void finish(bool saved);

    HistoryStore& store_;
    ClipList batch_;
    std::string sourceName_;
    Done done_;
    Stage stage_ = Stage::knownClips;
    std::size_t next_ = 0;
    std::chrono::steady_clock::time_point stepStart_;
    int steps_ = 0;
    std::chrono::microseconds longestStep_{0};
    std::chrono::microseconds longestStepProcessor_{0};

    ClipList snapshot_;  // the list as the known clips were read from it
    std::unique_ptr<KnownKeys> known_;
    ClipList accepted_;
    std::vector<ClipList::Pointer> skipped_;
    ClipList sortedExisting_;
    // The stored clips' dates and positions, sorted in slices: runs of a fixed length first,
    // then merged pairwise, each merge short enough for a step.
    enum class SortPhase { dates, runs, merges, gather, done };
    SortPhase sortPhase_ = SortPhase::dates;
    std::vector<std::pair<Date, std::uint32_t>> sortKeys_;
    std::vector<std::pair<Date, std::uint32_t>> sortSpare_;
    std::size_t sortWidth_ = 0;
    bool merging_ = false;
    std::size_t fromStored_ = 0;
    std::size_t fromAccepted_ = 0;
    // The list the merge would give, whether each clip came from the batch, and what the
    // history's limit keeps of it and retires.
    ClipList::Storage merged_;
    std::vector<bool> fromBatch_;
    ClipList::Storage kept_;
    std::set<std::string> retired_;
    ClipList::Storage dropped_;
    // Dropped clips of the batch: no history ever named their files, which go with them.
    ClipList::Storage neverNamed_;
    std::uint64_t droppedBytes_ = 0;  // in the history file: given back when the list changes
    std::size_t unpinnedSeen_ = 0;
    int restarts_ = 0;
    int added_ = 0;
    int refused_ = 0;  // new clips the history file had no room for
    ClipList scanned_;  // the list after the swap, read for the names it still uses
    std::unique_ptr<Names> unreferenced_;
    std::uint64_t saveTicket_ = 0;
    // Containers let go of and still being freed on a pool thread.
    std::shared_ptr<std::atomic<int>> freeing_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace harbelle
