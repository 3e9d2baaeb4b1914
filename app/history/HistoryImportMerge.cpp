#include "history/HistoryImportMerge.h"

#include <QLocale>
#include <QMetaObject>

#include <algorithm>

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

bool HistoryImportMerge::timeIsUp() const { return std::chrono::steady_clock::now() - stepStart_ >= kSlice; }

void HistoryImportMerge::runStep() {
    stepStart_ = std::chrono::steady_clock::now();
    switch (stage_) {
    case Stage::knownClips: knownClips(); break;
    case Stage::filter: filter(); break;
    case Stage::sortExisting: sortExisting(); break;
    case Stage::swap: swap(); break;
    case Stage::unreferenced: unreferenced(); break;
    case Stage::save: save(); break;
    case Stage::saving:
    case Stage::finished: return;
    }
    ++steps_;
    longestStep_ = std::max(longestStep_, std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now() - stepStart_));
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
    if (next_ == 0) {
        if (batch_.empty()) {
            stage_ = Stage::save;  // nothing to add, but the history is still written
            return;
        }
        snapshot_ = store_.items_;
    }
    for (; next_ < snapshot_.size(); ++next_) {
        if ((next_ & 1023) == 0 && next_ != 0 && timeIsUp()) return;
        const ClipItem& clip = snapshot_[next_];
        if (clip.legacyID)
            knownLegacyIDs_.insert(*clip.legacyID);
        else
            knownFingerprints_.insert(clip.fingerprint);
        knownIDs_.insert(clip.id);
    }
    next_ = 0;
    accepted_.reserve(batch_.size());
    stage_ = Stage::filter;
}

void HistoryImportMerge::filter() {
    for (; next_ < batch_.size(); ++next_) {
        if ((next_ & 1023) == 0 && next_ != 0 && timeIsUp()) return;
        const ClipItem& clip = batch_[next_];
        const bool fresh = clip.legacyID ? knownLegacyIDs_.insert(*clip.legacyID).second
                                         : knownFingerprints_.insert(clip.fingerprint).second;
        if (!fresh) {
            skipped_.push_back(batch_.shared(next_));
            continue;
        }
        if (clip.importedFrom != sourceName_ || knownIDs_.count(clip.id)) {
            ClipItem& changed = batch_.mutableAt(next_);
            changed.importedFrom = sourceName_;
            while (!knownIDs_.insert(changed.id).second) changed.id = Uuid::random();
        } else {
            knownIDs_.insert(clip.id);
        }
        accepted_.push_back(batch_.shared(next_));
    }
    knownLegacyIDs_ = {};
    knownFingerprints_ = {};
    batch_ = {};
    next_ = 0;
    stage_ = Stage::sortExisting;
}

void HistoryImportMerge::sortExisting() {
    sortedExisting_ = snapshot_;
    sortedExisting_.stableSort([](const ClipItem& a, const ClipItem& b) { return a.createdAt > b.createdAt; });
    stage_ = Stage::swap;
}

// The one step that changes the list: every accepted clip goes in at once.
void HistoryImportMerge::swap() {
    // The user may have changed the list since it was read: merge into the list as it is now.
    if (store_.items_.pointers() != snapshot_.pointers()) {
        sortedExisting_ = store_.items_;
        sortedExisting_.stableSort([](const ClipItem& a, const ClipItem& b) { return a.createdAt > b.createdAt; });
    }
    snapshot_ = {};
    ClipList::Storage merged;
    merged.reserve(sortedExisting_.size() + accepted_.size());
    // Stored clips before accepted ones of the same date, as a stable sort of the two would.
    std::merge(sortedExisting_.pointers().begin(), sortedExisting_.pointers().end(), accepted_.pointers().begin(),
               accepted_.pointers().end(), std::back_inserter(merged), newerFirst);
    sortedExisting_ = {};
    ClipList list;
    list.reserve(merged.size());
    for (auto& clip : merged) list.push_back(std::move(clip));
    store_.items_ = std::move(list);
    added_ = int(accepted_.size());
    if (store_.trimItems()) {
        // Counted after the trim: older clips into a full history may not survive it.
        std::unordered_set<Uuid> acceptedIDs;
        for (const auto& clip : accepted_) acceptedIDs.insert(clip.id);
        added_ = 0;
        for (const auto& clip : store_.items_) added_ += acceptedIDs.count(clip.id) ? 1 : 0;
    }
    accepted_ = {};
    store_.itemsDidChange();
    store_.setSelectedIDQuietly(store_.items_.empty() ? std::nullopt : std::optional<Uuid>(store_.items_.front().id));
    if (added_ > 0) store_.showToast("Imported " + formattedCount(added_) + " older clips", ToastTone::success);
    for (const auto& clip : skipped_)
        forEachPayloadName(*clip, [&](const std::string& name) { unreferenced_.insert(name); });
    skipped_ = {};
    scanned_ = store_.items_;
    stage_ = unreferenced_.empty() ? Stage::save : Stage::unreferenced;
}

// Files of clips that were not taken, unless a clip of the list names them (a clip imported by
// an earlier run names the same archive).
void HistoryImportMerge::unreferenced() {
    for (; next_ < scanned_.size(); ++next_) {
        if ((next_ & 1023) == 0 && next_ != 0 && timeIsUp()) return;
        forEachPayloadName(scanned_[next_], [&](const std::string& name) { unreferenced_.erase(name); });
    }
    scanned_ = {};
    if (store_.persistence_) {
        for (const auto& name : unreferenced_)
            if (HistoryPersistence::isSafePayloadName(name)) store_.retiredPayloadFilenames_.insert(name);
    }
    unreferenced_ = {};
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
