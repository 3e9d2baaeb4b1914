// Start-up load and the scheduling of history writes; the disk work is HistoryPersistence's.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <numeric>
#include <unordered_set>

#include <QtGlobal>

#include "history/HistoryCodec.h"
#include "history/HistoryPersistence.h"
#include "history/HistoryStore.h"

namespace harbelle {

namespace {

std::string clipCount(int count) { return count == 1 ? "1 large clip was" : std::to_string(count) + " large clips were"; }

}  // namespace

void HistoryStore::loadStoredHistory(std::optional<std::uint64_t> maximumFileBytes) {
    persistence_ = std::make_unique<HistoryPersistence>(
        applicationSupportURL_, [this](const std::string& message, ToastTone tone) { showToast(message, tone); });
    if (maximumFileBytes) persistence_->setMaximumFileSize(*maximumFileBytes);
    // The observer runs on the save thread; the outcome is handled on the main thread.
    persistence_->setSaveObserver([this, persistence = persistence_.get()](bool succeeded) {
        const std::uint64_t encoded = persistence->encodedHistoryBytes();  // this save's, here
        const bool stopped = persistence->lastSaveWasStopped();
        std::string why = succeeded ? std::string() : persistence->lastSaveFailure();
        saveOutcomes_.handBack([this, succeeded, encoded, stopped, why = std::move(why)] {
            handleSaveOutcome(succeeded, encoded, stopped, why);
        });
    });

    // A default limit standing in for an unreadable one must not cut the history.
    if (const auto problem = defaults_.readFailure()) {
        trimSuspended_ = true;
        std::fprintf(stderr, "Harbelle: %s; the history is not trimmed in this run\n", problem->c_str());
        std::fflush(stderr);
    }

    persistence_->prepareStorage();
    auto loaded = persistence_->loadHistory();
    // The clips own their values: what the load read and parsed in goes at once, on a thread
    // of its own, rather than be torn down by a quit that comes early.
    persistence_->releaseLoadMemory();
    // Its toast has said that nothing is saved: the first refused save says nothing more.
    if (!persistence_->writesAllowed()) saveFailureReported_ = true;
    // A missing or unreadable file starts empty with no clean-up and no save, so nothing
    // that the unread file names is ever deleted.
    if (!loaded) return;
    items_ = std::move(*loaded);
    recountHistoryFile(persistence_->encodedHistoryBytes());
    bool repaired = migrateMissingDeviceOrigins();
    // An earlier build wrote more than can be read back whole: the whole file was copied aside
    // and the clips that do not fit stay there.
    if (persistence_->loadedOversizedHistory() && persistence_->writesAllowed()) {
        if (const int left = fitHistoryToFile(true); left > 0) {
            showToast("History too large to keep whole: " + clipCount(left) + " left out and kept in a recovery copy",
                      ToastTone::error);
            repaired = true;
        }
    }
    persistence_->removeOrphanedPayloadFilesInBackground(HistoryPersistence::referencedPayloadNames(items_));
    // More clips than the default limit and no limit stored: the history was kept under a
    // larger limit that the settings lost (a settings file replaced after it broke). Trimming
    // to the default would delete clips the user chose to keep.
    if (!trimSuspended_ && !settings_->hasStoredMaxHistory() && static_cast<std::int64_t>(items_.size()) > maxHistory()) {
        trimSuspended_ = true;
        std::fprintf(stderr, "Harbelle: the history holds %zu clips and no history limit is stored; it is not "
                     "trimmed until a limit is chosen\n", items_.size());
        std::fflush(stderr);
    }
    const std::size_t before = items_.size();
    trimHistoryIfNeeded();
    if (repaired || items_.size() < before) {
        scheduleSave(true);
        unsavedOnlyRepairs_ = true;
    }
}

void HistoryStore::scheduleSave(bool immediate) {
    if (demoMode_) return;
    unsavedOnlyRepairs_ = false;
    if (immediate) {
        saveTask_.reset();
        enqueueSave();
        return;
    }
    // The save waits for a quiet spell after the last change. A run of changes (a pulled page
    // arrives one clip per step) moves the due time on rather than starting a timer each.
    saveDueAt_ = clock_.now() + kSaveDebounce;
    if (!saveTask_.isPending()) saveTask_ = clock_.schedule(kSaveDebounce, [this] { saveWhenDue(); });
}

void HistoryStore::saveWhenDue() {
    const Date now = clock_.now();
    if (now < saveDueAt_) {
        // A clock set back never holds a save longer than one quiet spell.
        const auto left = std::min(std::chrono::duration_cast<Milliseconds>(saveDueAt_ - now), kSaveDebounce);
        saveTask_ = clock_.schedule(std::max(left, Milliseconds(1)), [this] { saveWhenDue(); });
        return;
    }
    enqueueSave();
}

void HistoryStore::enqueueSave() {
    if (!persistence_) return;
    unsavedOnlyRepairs_ = false;
    saveRetryTask_.cancel();
    ++savesEnqueued_;
    ledgerAtSave_.push_back(historyBytesLedger_);
    // With an unreadable history file that could not be preserved, nothing may overwrite it:
    // say that changes are not being saved, and keep the retired files for a later run.
    if (!persistence_->writesAllowed()) {
        handleSaveOutcome(false, 0);
        return;
    }
    persistence_->enqueueSave(items_, std::exchange(retiredPayloadFilenames_, {}));
}

std::uint64_t HistoryStore::historyFileBytesLeft() const {
    if (!persistence_) return std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t limit = persistence_->maximumFileSize();
    const std::int64_t used = std::int64_t(fileBytesBase_) + historyBytesLedger_ - baseLedger_;
    return used >= std::int64_t(limit) ? 0 : limit - std::uint64_t(std::max<std::int64_t>(used, 0));
}

bool HistoryStore::admitToHistoryFile(const ClipItem& clip, bool quietly, bool ofABatch) {
    if (demoMode_ || !persistence_) return true;
    const std::uint64_t cost = historycodec::encodedSize(clip) + 1;
    const std::uint64_t left = historyFileBytesLeft();
    // At the clip limit the oldest clips that are no favourites make way for this one.
    std::uint64_t freed = 0;
    if (cost > left && !ofABatch && !clip.isPinned && !trimSuspended_) {
        std::int64_t drops = std::int64_t(items_.size() - items_.pinnedCount()) + 1 - std::max<std::int64_t>(maxHistory(), 0);
        for (std::size_t i = items_.size(); drops > 0 && i-- > 0;) {
            if (items_[i].isPinned) continue;
            freed += historycodec::encodedSize(items_[i]) + 1;
            --drops;
        }
    }
    if (cost > left + freed) {
        if (!quietly) showToast(kClipTooLargeMessage, ToastTone::error);
        return false;
    }
    historyBytesLedger_ += std::int64_t(cost);
    return true;
}

bool HistoryStore::admitGrowthToHistoryFile(std::int64_t growth, const char* refusal) {
    if (demoMode_ || !persistence_) return true;
    if (refusal && growth > 0 && std::uint64_t(growth) > historyFileBytesLeft()) {
        showToast(refusal, ToastTone::error);
        return false;
    }
    historyBytesLedger_ += growth;
    return true;
}

std::int64_t HistoryStore::growthOf(const ClipItem& before, const ClipItem& after) {
    return std::int64_t(historycodec::encodedSize(after)) - std::int64_t(historycodec::encodedSize(before));
}

void HistoryStore::releaseFromHistoryFile(const ClipItem& clip) {
    if (persistence_) releaseFromHistoryFile(historycodec::encodedSize(clip) + 1);
}

void HistoryStore::recountHistoryFile(std::uint64_t bytes) {
    fileBytesBase_ = bytes;
    baseLedger_ = historyBytesLedger_;
    baseSave_ = savesEnqueued_;
}

std::vector<std::size_t> HistoryStore::clipsNotFitting(std::uint64_t* fileBytesLeft) const {
    if (!persistence_) return {};
    const std::uint64_t limit = persistence_->maximumFileSize();
    std::vector<std::uint64_t> sizes(items_.size());
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < items_.size(); ++i) total += sizes[i] = historycodec::encodedSize(items_[i]);
    std::size_t count = items_.size();
    const auto fileBytes = [&] {
        const std::uint64_t bytes = historycodec::encodedSize(1, count, total);
        if (fileBytesLeft) *fileBytesLeft = bytes;
        return bytes;
    };
    if (fileBytes() <= limit) return {};
    // The largest go first, favourites last: a few huge clips, not many ordinary ones.
    std::vector<std::size_t> order(items_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (items_[a].isPinned != items_[b].isPinned) return !items_[a].isPinned;
        return sizes[a] > sizes[b];
    });
    std::vector<std::size_t> out;
    for (const std::size_t i : order) {
        if (fileBytes() <= limit) break;
        out.push_back(i);
        total -= sizes[i];
        --count;
    }
    fileBytes();  // what is left, however the walk ended
    return out;
}

void HistoryStore::leaveOut(const std::unordered_set<const ClipItem*>& clips, std::optional<std::uint64_t> fileBytes) {
    const std::size_t before = items_.size();
    items_.eraseIf([&](const ClipItem& clip) {
        if (!clips.contains(&clip)) return false;
        qWarning("history: left out a clip of %llu bytes that the history file cannot hold",
                 static_cast<unsigned long long>(historycodec::encodedSize(clip)));
        return true;
    });
    if (items_.size() == before) return;
    if (!fileBytes) {
        std::uint64_t total = 0;
        for (const auto& clip : items_) total += historycodec::encodedSize(clip);
        fileBytes = historycodec::encodedSize(1, items_.size(), total);
    }
    recountHistoryFile(*fileBytes);
    itemsDidChange();
    if (selectedID_ && indexOf(*selectedID_) < 0)
        setSelectedIDQuietly(items_.empty() ? std::nullopt : std::optional<Uuid>(items_.front().id));
}

int HistoryStore::fitHistoryToFile(bool copyKept) {
    if (!persistence_) return 0;
    std::uint64_t fileBytes = 0;
    const std::vector<std::size_t> out = clipsNotFitting(&fileBytes);
    if (out.empty()) {
        recountHistoryFile(fileBytes);
        return 0;
    }
    std::unordered_set<const ClipItem*> leftOut;
    ClipList copy;
    for (const std::size_t i : out) {
        leftOut.insert(&items_[i]);
        copy.push_back(items_.shared(i));
    }
    // Nothing goes unseen: the clips left out, and so the files they name, stay in the copy.
    if (!copyKept && !persistence_->keepRecoveryCopy(copy)) {
        qWarning("history: no recovery copy of the clips the history file cannot hold could be made");
        return 0;
    }
    leaveOut(leftOut, fileBytes);
    return int(leftOut.size());
}

bool HistoryStore::fitHistoryToFileLater() {
    if (!persistence_ || leavingOut_) return leavingOut_;
    const std::vector<std::size_t> out = clipsNotFitting();
    if (out.empty()) return false;
    ClipList copy;
    for (const std::size_t i : out) copy.push_back(items_.shared(i));
    leavingOut_ = true;
    // The copy is written where saves are; the clips leave the list only once it is whole, and
    // only those still in it unchanged (a clip shared with the copy is the same object).
    persistence_->keepRecoveryCopy(copy, [this, copy](bool kept, const std::string& why) {
        saveOutcomes_.handBack([this, copy, kept, why] {
            leavingOut_ = false;
            if (!kept) {
                showToast(std::string(kSaveFailedMessage) + ": " + why, ToastTone::error);
                // Tried again by itself, as a failed save is: the disk may have room later.
                saveRetryTask_ = clock_.schedule(kSaveRetry, [this] { enqueueSave(); });
                return;
            }
            std::unordered_set<const ClipItem*> clips;
            for (std::size_t i = 0; i < copy.size(); ++i) clips.insert(&copy[i]);
            const std::size_t before = items_.size();
            leaveOut(clips);
            if (const int left = int(before - items_.size()); left > 0)
                showToast(clipCount(left) + " left out and kept in a recovery copy: the history would be too large to load",
                          ToastTone::error);
            scheduleSave(true);
        });
    });
    return true;
}

void HistoryStore::handleSaveOutcome(bool succeeded, std::uint64_t encoded, bool stopped, const std::string& why) {
    ++savesFinished_;
    // The list this save took, plus what came and went since it was enqueued (not since now:
    // later saves may still be queued).
    std::int64_t ledger = historyBytesLedger_;
    if (!ledgerAtSave_.empty()) {
        ledger = ledgerAtSave_.front();
        ledgerAtSave_.pop_front();
    }
    if (encoded > 0 && savesFinished_ > baseSave_) {
        fileBytesBase_ = encoded;
        baseLedger_ = ledger;
        baseSave_ = savesFinished_;
    }
    emit saveFinished(succeeded);
    // Refused for its size, the old file stays: the largest clips are left out and saved again.
    const bool tooLarge = persistence_ && encoded > persistence_->maximumFileSize();
    if (!succeeded && tooLarge && savesFinished_ == savesEnqueued_ && fitHistoryToFileLater()) return;
    if (succeeded) {
        saveFailureReported_ = false;
        return;
    }
    // Given up for a newer write: that one reports.
    if (stopped) return;
    // A write that failed (a full disk) is tried again by itself, so saving resumes once it can.
    if (!tooLarge && persistence_ && persistence_->writesAllowed() && savesFinished_ == savesEnqueued_)
        saveRetryTask_ = clock_.schedule(kSaveRetry, [this] { enqueueSave(); });
    // A failed write must not pass unnoticed, but a run of them shows one toast.
    if (saveFailureReported_) return;
    saveFailureReported_ = true;
    showToast(why.empty() ? std::string(kSaveFailedMessage) : std::string(kSaveFailedMessage) + ": " + why, ToastTone::error);
}

bool HistoryStore::flushHistory() {
    if (demoMode_) return true;
    saveTask_.cancel();
    saveTask_.reset();
    if (!persistence_) return false;
    bool ok = persistence_->flush(items_, retiredPayloadFilenames_);
    if (!ok && persistence_->lastSaveWasTooLarge() && fitHistoryToFile(false) > 0)
        ok = persistence_->flush(items_, retiredPayloadFilenames_);
    // Names of a failed flush stay for a later save.
    if (ok) {
        if (const std::uint64_t written = persistence_->encodedHistoryBytes(); written > 0) recountHistoryFile(written);
        retiredPayloadFilenames_.clear();
        saveFailureReported_ = false;
    }
    return ok;
}

void HistoryStore::shutdown() {
    // A quit right after a copy keeps it (the poll comes every 0.4 s), an image's once its
    // file is written.
    readCopyNotYetPolled();
    finishPendingCaptures();
    stopMonitoring();
    saveTask_.cancel();
    saveRetryTask_.cancel();
    toastTask_.cancel();
    // Only the start's repairs unsaved: the file as loaded holds every clip, and a quit in the
    // middle of a long start (an oversized file copied and rewritten) does not wait for it.
    if (unsavedOnlyRepairs_ && persistence_) persistence_->abandonQueuedWork();
    else flushHistory();
    // Quitting: the files the last writes retired go now, not in a later run.
    if (persistence_) persistence_->finishDeletions();
}

void HistoryStore::finishWritesForExit() {
    saveOutcomes_.close();
    if (persistence_) persistence_->finishSaveThread();
}

}  // namespace harbelle
