// Start-up load and the scheduling of history writes; the disk work is HistoryPersistence's.
#include <QMetaObject>
#include <cstdio>

#include "history/HistoryPersistence.h"
#include "history/HistoryStore.h"

namespace harbelle {

void HistoryStore::loadStoredHistory() {
    persistence_ = std::make_unique<HistoryPersistence>(
        applicationSupportURL_, [this](const std::string& message, ToastTone tone) { showToast(message, tone); });
    // The observer runs on the save thread; the outcome is handled on the main thread.
    persistence_->setSaveObserver([this](bool succeeded) {
        saveOutcomes_.handBack([this, succeeded] { handleSaveOutcome(succeeded); });
    });

    // A default limit standing in for an unreadable one must not cut the history.
    if (const auto problem = defaults_.readFailure()) {
        trimSuspended_ = true;
        std::fprintf(stderr, "Harbelle: %s; the history is not trimmed in this run\n", problem->c_str());
        std::fflush(stderr);
    }

    persistence_->prepareStorage();
    auto loaded = persistence_->loadHistory();
    // Freeing what the load read and parsed in takes a while with a large history: it is
    // done at the event loop's first turn, after the start-up steps.
    QMetaObject::invokeMethod(this, [this] { persistence_->releaseLoadMemory(); }, Qt::QueuedConnection);
    // Its toast has said that nothing is saved: the first refused save says nothing more.
    if (!persistence_->writesAllowed()) saveFailureReported_ = true;
    // A missing or unreadable file starts empty with no clean-up and no save, so nothing
    // that the unread file names is ever deleted.
    if (!loaded) return;
    items_ = std::move(*loaded);
    const bool repaired = migrateMissingDeviceOrigins();
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
    if (repaired || items_.size() < before) scheduleSave(true);
}

void HistoryStore::scheduleSave(bool immediate) {
    if (demoMode_) return;
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
    ++savesEnqueued_;
    // With an unreadable history file that could not be preserved, nothing may overwrite it:
    // say that changes are not being saved, and keep the retired files for a later run.
    if (!persistence_->writesAllowed()) {
        handleSaveOutcome(false);
        return;
    }
    persistence_->enqueueSave(items_, std::exchange(retiredPayloadFilenames_, {}));
}

void HistoryStore::handleSaveOutcome(bool succeeded) {
    ++savesFinished_;
    emit saveFinished(succeeded);
    if (succeeded) {
        saveFailureReported_ = false;
        return;
    }
    // A failed write must not pass unnoticed, but a run of them shows one toast.
    if (saveFailureReported_) return;
    saveFailureReported_ = true;
    showToast(kSaveFailedMessage, ToastTone::error);
}

bool HistoryStore::flushHistory() {
    if (demoMode_) return true;
    saveTask_.cancel();
    saveTask_.reset();
    if (!persistence_) return false;
    const bool ok = persistence_->flush(items_, retiredPayloadFilenames_);
    // Names of a failed flush stay for a later save.
    if (ok) {
        retiredPayloadFilenames_.clear();
        saveFailureReported_ = false;
    }
    return ok;
}

void HistoryStore::shutdown() {
    stopMonitoring();
    saveTask_.cancel();
    toastTask_.cancel();
    flushHistory();
    // Quitting: the files the last writes retired go now, not in a later run.
    if (persistence_) persistence_->finishDeletions();
}

}  // namespace harbelle
