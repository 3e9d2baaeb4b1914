#include "history/HistoryImportMerge.h"

#include <QLocale>
#include <QMetaObject>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <set>
#include <time.h>

#include "history/HistoryCodec.h"
#include "history/HistoryPersistence.h"
#include "history/HistoryStore.h"

namespace harbelle {

namespace {

bool newerFirst(const ClipList::Pointer& a, const ClipList::Pointer& b) { return a->createdAt > b->createdAt; }

std::string formattedCount(int count) {
    // The C locale has no digit grouping; show the common English form there.
    QLocale locale;
    if (locale.language() == QLocale::C) locale = QLocale(QLocale::English, QLocale::UnitedStates);
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(count).toStdString();
}

std::chrono::microseconds threadProcessorTime() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::nanoseconds(t.tv_nsec));
}

// Newest first; of one date, the earlier position first, which makes any sort a stable one.
bool newerKeyFirst(const std::pair<Date, std::uint32_t>& a, const std::pair<Date, std::uint32_t>& b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
}

template <typename Visit>
void forEachPayloadName(const ClipItem& clip, Visit visit) {
    if (clip.payloadFilename) visit(*clip.payloadFilename);
    if (clip.legacyPayloadFilename) visit(*clip.legacyPayloadFilename);
    if (clip.syncPayloadFilename) visit(*clip.syncPayloadFilename);
}

}  // namespace

HistoryImportMerge::HistoryImportMerge(HistoryStore& store, ClipList batch, std::string sourceName, Done done)
    : QObject(&store), store_(store), batch_(std::move(batch)), sourceName_(std::move(sourceName)),
      done_(std::move(done)) {}

void HistoryImportMerge::start() {
    QMetaObject::invokeMethod(this, [this] { runStep(); }, Qt::QueuedConnection);
}

// What the merge lets go of is freed on a pool thread. Its clips are no longer in the history
// (dropped, not taken) or keep their other holders, and the sets' nodes live in a few blocks, so
// the pool thread touches neither this thread's allocator lists nor its steps; freed here, a
// hundred thousand clips take longer than a step.
template <typename T>
void HistoryImportMerge::discard(T& value) {
    if constexpr (requires { value.empty(); }) {
        if (value.empty()) return;
    } else {
        if (!value) return;
    }
    auto held = std::make_shared<T>(std::move(value));
    value = T{};
    freeing_->fetch_add(1);
    QThreadPool::globalInstance()->start([held = std::move(held), freeing = freeing_]() mutable {
        held.reset();
        freeing->fetch_sub(1);
    });
}

// The files of the batch's dropped clips, deleted with the clips on a pool thread: no history
// ever named them.
void HistoryImportMerge::deleteNeverNamed() {
    if (neverNamed_.empty()) return;
    if (!store_.persistence_) {
        discard(neverNamed_);
        return;
    }
    freeing_->fetch_add(1);
    QThreadPool::globalInstance()->start([clips = std::make_shared<ClipList::Storage>(std::move(neverNamed_)),
                                          folder = store_.payloadsURL_, freeing = freeing_] {
        std::set<std::string> names;
        for (const auto& clip : *clips)
            forEachPayloadName(*clip, [&](const std::string& name) {
                if (HistoryPersistence::isSafePayloadName(name)) names.insert(name);
            });
        clips->clear();
        freeing->fetch_sub(1);
        HistoryPersistence::deletePayloads(names, folder);
    });
    neverNamed_ = {};
}

bool HistoryImportMerge::timeIsUp() const { return std::chrono::steady_clock::now() - stepStart_ >= kSlice; }

void HistoryImportMerge::runStep() {
    stepStart_ = std::chrono::steady_clock::now();
    const auto processorStart = threadProcessorTime();
    switch (stage_) {
    case Stage::knownClips: knownClips(); break;
    case Stage::filter: filter(); break;
    case Stage::sortExisting: sortExisting(); break;
    case Stage::trim: trim(); break;
    case Stage::swap: swap(); break;
    case Stage::skippedNames: skippedNames(); break;
    case Stage::unreferenced: unreferenced(); break;
    case Stage::save:
        // What the merge let go of is freed before the write: the save's buffer and the dropped
        // clips together would pass what the import may hold.
        if (freeing_->load() > 0) {
            QTimer::singleShot(1, this, [this] { runStep(); });
            return;
        }
        save();
        break;
    case Stage::saving:
    case Stage::finished: return;
    }
    ++steps_;
    longestStep_ = std::max(longestStep_, std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now() - stepStart_));
    longestStepProcessor_ = std::max(longestStepProcessor_, threadProcessorTime() - processorStart);
    if (stage_ != Stage::saving && stage_ != Stage::finished)
        QMetaObject::invokeMethod(this, [this] { runStep(); }, Qt::QueuedConnection);
}

void HistoryImportMerge::finish(bool saved) {
    stage_ = Stage::finished;
    auto done = std::move(done_);
    deleteLater();
    if (done) done(added_, saved);
}

// The clips the history holds, as the one-shot import reads them.
void HistoryImportMerge::knownClips() {
    if (!known_) {
        if (batch_.empty()) {
            stage_ = Stage::save;  // nothing to add, but the history is still written
            return;
        }
        snapshot_ = store_.items_;
        known_ = std::make_unique<KnownKeys>();
    }
    // Grown once: a rehash of a hundred thousand entries would take a step of its own. Each
    // table's first touch of its pages takes a few milliseconds on its own, so a step may end
    // between them.
    const std::size_t all = snapshot_.size() + batch_.size();
    const auto grown = [&](auto& set) {
        if (set.bucket_count() >= all) return true;
        set.reserve(all);
        return !timeIsUp();
    };
    if (!grown(known_->legacyIDs) || !grown(known_->fingerprints) || !grown(known_->ids)) return;
    for (; next_ < snapshot_.size(); ++next_) {
        if ((next_ & 255) == 0 && next_ != 0 && timeIsUp()) return;
        const ClipItem& clip = snapshot_[next_];
        if (clip.legacyID)
            known_->legacyIDs.insert(*clip.legacyID);
        else
            known_->fingerprints.insert(clip.fingerprint);
        known_->ids.insert(clip.id);
    }
    next_ = 0;
    accepted_.reserve(batch_.size());
    skipped_.reserve(batch_.size());
    stage_ = Stage::filter;
}

void HistoryImportMerge::filter() {
    for (; next_ < batch_.size(); ++next_) {
        if ((next_ & 255) == 0 && next_ != 0 && timeIsUp()) return;
        const bool fresh = batch_[next_].legacyID ? known_->legacyIDs.insert(*batch_[next_].legacyID).second
                                                  : known_->fingerprints.insert(batch_[next_].fingerprint).second;
        // Measured as it will be written: with its source.
        if (fresh && batch_[next_].importedFrom != sourceName_) batch_.mutableAt(next_).importedFrom = sourceName_;
        // A clip the history file has no room for is refused like a known one; its files go.
        const bool fits = fresh && store_.admitToHistoryFile(batch_[next_], true, true);
        if (!fits) {
            refused_ += fresh ? 1 : 0;
            skipped_.push_back(batch_.shared(next_));
            continue;
        }
        if (known_->ids.count(batch_[next_].id)) {
            ClipItem& changed = batch_.mutableAt(next_);
            while (!known_->ids.insert(changed.id).second) changed.id = Uuid::random();
        } else {
            known_->ids.insert(batch_[next_].id);
        }
        accepted_.push_back(batch_.shared(next_));
    }
    discard(known_);
    discard(batch_);
    next_ = 0;
    stage_ = Stage::sortExisting;
}

// The stored clips newest first by creation date (stable), into sortedExisting_; false while
// there is more to do in a later step.
bool HistoryImportMerge::sortStored() {
    constexpr std::size_t kRun = 2048;
    const auto& stored = snapshot_.pointers();
    const std::size_t n = stored.size();
    if (sortPhase_ == SortPhase::dates) {
        if (next_ == 0) {
            sortKeys_.clear();
            sortKeys_.reserve(n);
        }
        for (; next_ < n; ++next_) {
            if ((next_ & 255) == 0 && next_ != 0 && timeIsUp()) return false;
            sortKeys_.emplace_back(stored[next_]->createdAt, static_cast<std::uint32_t>(next_));
        }
        next_ = 0;
        sortPhase_ = SortPhase::runs;
    }
    if (sortPhase_ == SortPhase::runs) {
        for (; next_ < n; next_ += kRun) {
            if (timeIsUp()) return false;
            std::sort(sortKeys_.begin() + std::ptrdiff_t(next_), sortKeys_.begin() + std::ptrdiff_t(std::min(n, next_ + kRun)),
                      newerKeyFirst);
        }
        next_ = 0;
        sortWidth_ = kRun;
        sortSpare_.resize(n);
        sortPhase_ = SortPhase::merges;
    }
    if (sortPhase_ == SortPhase::merges) {
        // Each merge moves at most the whole list once: a fraction of a step at any size.
        for (; sortWidth_ < n; sortWidth_ *= 2, next_ = 0, sortKeys_.swap(sortSpare_)) {
            for (; next_ < n; next_ += 2 * sortWidth_) {
                if (timeIsUp()) return false;
                const auto first = sortKeys_.begin() + std::ptrdiff_t(next_);
                const auto middle = sortKeys_.begin() + std::ptrdiff_t(std::min(n, next_ + sortWidth_));
                const auto last = sortKeys_.begin() + std::ptrdiff_t(std::min(n, next_ + 2 * sortWidth_));
                std::merge(first, middle, middle, last, sortSpare_.begin() + std::ptrdiff_t(next_), newerKeyFirst);
            }
        }
        next_ = 0;
        sortSpare_ = {};
        sortedExisting_ = {};
        sortedExisting_.reserve(n);
        sortPhase_ = SortPhase::gather;
    }
    for (; next_ < n; ++next_) {
        if ((next_ & 1023) == 0 && next_ != 0 && timeIsUp()) return false;
        sortedExisting_.push_back(stored[sortKeys_[next_].second]);
    }
    sortKeys_ = {};
    next_ = 0;
    sortPhase_ = SortPhase::dates;
    return true;
}

void HistoryImportMerge::sortExisting() {
    if (!merging_) {
        if (!sortStored()) return;
        merged_.clear();
        fromBatch_.clear();
        merged_.reserve(sortedExisting_.size() + accepted_.size());
        fromBatch_.reserve(sortedExisting_.size() + accepted_.size());
        fromStored_ = fromAccepted_ = 0;
        merging_ = true;
        return;
    }
    // Stored clips before accepted ones of the same date, as a stable sort of the two would.
    const auto& stored = sortedExisting_.pointers();
    const auto& taken = accepted_.pointers();
    std::size_t& i = fromStored_;
    std::size_t& j = fromAccepted_;
    while (i < stored.size() || j < taken.size()) {
        if (((i + j) & 255) == 0 && timeIsUp()) return;
        const bool takeBatch = i == stored.size() || (j < taken.size() && newerFirst(taken[j], stored[i]));
        merged_.push_back(takeBatch ? taken[j++] : stored[i++]);
        fromBatch_.push_back(takeBatch);
    }
    merging_ = false;
    sortedExisting_ = {};
    kept_.clear();
    const auto limit = std::size_t(std::max<std::int64_t>(store_.maxHistory(), 0));
    kept_.reserve(std::min<std::size_t>(merged_.size(), limit + 64));
    // A trim that starts over collects every name again: names the last one dropped may
    // belong to clips this one keeps.
    retired_.clear();
    discard(dropped_);
    discard(neverNamed_);  // the trim starts over: none of them is dropped yet
    // Grown once: moving tens of thousands of entries to a larger block would take a step.
    const std::size_t drops = merged_.size() > limit ? merged_.size() - limit : 0;
    dropped_.reserve(drops);
    neverNamed_.reserve(drops);
    droppedBytes_ = 0;
    unpinnedSeen_ = 0;
    added_ = 0;
    next_ = 0;
    stage_ = Stage::trim;
}

// The history's limit, as trimming applies it: favourites stay, the oldest others beyond the
// limit go and their files are retired. Done here, in slices, so the list's one change is cheap.
void HistoryImportMerge::trim() {
    const bool trims = !store_.trimSuspended_;
    const auto limit = std::size_t(std::max<std::int64_t>(store_.maxHistory(), 0));
    for (; next_ < merged_.size(); ++next_) {
        if ((next_ & 63) == 0 && next_ != 0 && timeIsUp()) return;
        const ClipItem& clip = *merged_[next_];
        if (trims && !clip.isPinned && unpinnedSeen_++ >= limit) {
            // A batch clip's files were written for it alone and no history ever named them:
            // deleted at once, on a pool thread. A stored clip's wait for the next write.
            droppedBytes_ += historycodec::encodedSize(clip) + 1;
            if (fromBatch_[next_]) {
                neverNamed_.push_back(std::move(merged_[next_]));
                continue;
            }
            forEachPayloadName(clip, [&](const std::string& name) { retired_.insert(name); });
            dropped_.push_back(std::move(merged_[next_]));
            continue;
        }
        added_ += fromBatch_[next_] ? 1 : 0;
        kept_.push_back(std::move(merged_[next_]));
    }
    merged_ = {};
    fromBatch_ = {};
    next_ = 0;
    stage_ = Stage::swap;
}

// The one step that changes the list: every accepted clip goes in at once.
void HistoryImportMerge::swap() {
    if (store_.items_.pointers() != snapshot_.pointers()) {
        // The user changed the list meanwhile: merged again from the list as it is now.
        if (++restarts_ <= 3) {
            snapshot_ = store_.items_;
            next_ = 0;
            sortPhase_ = SortPhase::dates;
            stage_ = Stage::sortExisting;
            return;
        }
        // Still changing: all at once, as the one-shot import does.
        ClipList list = store_.items_;
        for (const auto& clip : accepted_) list.push_back(clip);
        list.stableSort([](const ClipItem& a, const ClipItem& b) { return a.createdAt > b.createdAt; });
        kept_ = list.pointers();
        retired_.clear();
        discard(neverNamed_);  // the trim below retires what it drops
        store_.items_ = std::move(list);
        const bool trimmed = store_.trimItems();
        added_ = int(accepted_.size());
        if (trimmed) {
            std::unordered_set<const ClipItem*> taken;
            for (const auto& clip : accepted_.pointers()) taken.insert(clip.get());
            added_ = 0;
            for (const auto& clip : store_.items_.pointers()) added_ += taken.count(clip.get()) ? 1 : 0;
        }
    } else {
        ClipList list;
        list.reserve(kept_.size());
        for (auto& clip : kept_) list.push_back(std::move(clip));
        store_.items_ = std::move(list);
        store_.trimItems();  // nothing left to drop
        store_.releaseFromHistoryFile(droppedBytes_);
        auto& retired = store_.retiredPayloadFilenames_;
        // The larger set takes the smaller one's names.
        if (retired.size() < retired_.size()) retired.swap(retired_);
        retired.merge(retired_);
    }
    snapshot_ = {};
    kept_ = {};
    retired_ = {};
    discard(accepted_);
    discard(dropped_);
    deleteNeverNamed();
    store_.itemsDidChange();
    store_.setSelectedIDQuietly(store_.items_.empty() ? std::nullopt : std::optional<Uuid>(store_.items_.front().id));
    if (refused_ > 0)
        store_.showToast("Imported " + formattedCount(added_) + " older clips; " + formattedCount(refused_) +
                             " left out: the history file has no room for them",
                         ToastTone::error);
    else if (added_ > 0)
        store_.showToast("Imported " + formattedCount(added_) + " older clips", ToastTone::success);
    scanned_ = store_.items_;
    next_ = 0;
    stage_ = Stage::skippedNames;
}

// The files of the clips that were not taken: a second run over the same database skips them all.
void HistoryImportMerge::skippedNames() {
    if (next_ == 0) {
        unreferenced_ = std::make_unique<Names>();
        unreferenced_->names.reserve(skipped_.size());
    }
    for (; next_ < skipped_.size(); ++next_) {
        if ((next_ & 255) == 0 && next_ != 0 && timeIsUp()) return;
        forEachPayloadName(*skipped_[next_], [&](const std::string& name) { unreferenced_->names.emplace(name); });
    }
    discard(skipped_);
    next_ = 0;
    if (unreferenced_->names.empty()) discard(unreferenced_);
    stage_ = unreferenced_ ? Stage::unreferenced : Stage::save;
}

// Files of clips that were not taken, unless a clip of the list names them (a clip imported by
// an earlier run names the same archive).
void HistoryImportMerge::unreferenced() {
    for (; next_ < scanned_.size(); ++next_) {
        if ((next_ & 255) == 0 && next_ != 0 && timeIsUp()) return;
        forEachPayloadName(scanned_[next_], [&](const std::string& name) {
            if (const auto it = unreferenced_->names.find(std::string_view(name)); it != unreferenced_->names.end())
                unreferenced_->names.erase(it);
        });
    }
    scanned_ = {};
    if (store_.persistence_) {
        for (const auto& name : unreferenced_->names) {
            std::string plain(name);
            if (HistoryPersistence::isSafePayloadName(plain)) store_.retiredPayloadFilenames_.insert(std::move(plain));
        }
    }
    discard(unreferenced_);
    stage_ = Stage::save;
}

// Written at once, on the save thread; `done` hears the outcome of this very write.
void HistoryImportMerge::save() {
    if (store_.demoMode_ || !store_.persistence_) {
        finish(store_.demoMode_);
        return;
    }
    stage_ = Stage::saving;
    store_.saveTask_.reset();
    store_.enqueueSave();
    saveTicket_ = store_.savesEnqueued_;
    // Refused at once: the history file may not be overwritten.
    if (store_.savesFinished_ >= saveTicket_) {
        finish(false);
        return;
    }
    connect(&store_, &HistoryStore::saveFinished, this, [this](bool succeeded) {
        if (stage_ == Stage::saving && store_.savesFinished_ >= saveTicket_) finish(succeeded);
    });
}

}  // namespace harbelle
