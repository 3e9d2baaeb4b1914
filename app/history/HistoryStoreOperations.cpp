// List operations, typed clips, selection, paste requests, batch import and origin repair.
#include <QLocale>
#include <QString>

#include <algorithm>
#include <unordered_set>

#include "history/ClipItemSearchFolder.h"
#include "history/HistoryCodec.h"
#include "history/HistoryImportMerge.h"
#include "history/HistoryPersistence.h"
#include "history/HistoryStore.h"
#include "platform/BundleInfo.h"

namespace harbelle {

namespace {

constexpr const char* kSyncedSourceAppName = "Synced";
constexpr const char* kTypedClipSourceAppName = "Harbelle";

std::string trimmedText(const std::string& text) {
    // Unicode-aware: also drops no-break spaces and line separators at the ends.
    return QString::fromStdString(text).trimmed().toStdString();
}

template <typename Visit>
void forEachPayloadName(const ClipItem& clip, Visit visit) {
    if (clip.payloadFilename) visit(*clip.payloadFilename);
    if (clip.legacyPayloadFilename) visit(*clip.legacyPayloadFilename);
    if (clip.syncPayloadFilename) visit(*clip.syncPayloadFilename);
}

std::unordered_set<std::string> referencedPayloadNames(const ClipList& items) {
    std::unordered_set<std::string> names;
    for (const auto& clip : items) forEachPayloadName(clip, [&](const std::string& n) { names.insert(n); });
    return names;
}

// A clip the user typed: a favourite, made by this program.
ClipItem typedClip(const std::string& trimmed, Date now) {
    ClipItem clip;
    clip.id = Uuid::random();
    clip.createdAt = now;
    clip.updatedAt = now;
    clip.kind = clipkind::detect(trimmed);
    clip.title = ClipItem::titleFor(trimmed, clip.kind);
    clip.text = trimmed;
    clip.sourceAppName = kTypedClipSourceAppName;
    const std::string bundleID = BundleInfo::main().identifier();
    if (!bundleID.empty()) clip.sourceBundleID = bundleID;
    clip.isPinned = true;
    clip.copyCount = 1;
    clip.fingerprint = ClipItem::makeFingerprint(clip.kind, trimmed, {}, std::nullopt, nullptr);
    return clip;
}

bool newerFirst(const ClipItem& a, const ClipItem& b) { return a.createdAt > b.createdAt; }

std::string formattedCount(int count) {
    // The C locale has no digit grouping; show the common English form there.
    QLocale locale;
    if (locale.language() == QLocale::C) locale = QLocale(QLocale::English, QLocale::UnitedStates);
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(count).toStdString();
}

}  // namespace

void HistoryStore::itemsDidChange() {
    filteredCache_.reset();
    if (searchFolder_) searchFolder_->listChanged();
    // This announcement covers any received change still waiting.
    receivedChangeTask_.reset();
    emit itemsChanged();
}

void HistoryStore::receivedItemsDidChange() {
    filteredCache_.reset();
    if (searchFolder_) searchFolder_->listChanged();
    if (!receivedChangeTask_.isPending())
        receivedChangeTask_ = clock_.schedule(kReceivedChangeInterval, [this] { announcePendingItemsChange(); });
}

void HistoryStore::announcePendingItemsChange() {
    if (!receivedChangeTask_.isSet()) return;
    receivedChangeTask_.reset();
    emit itemsChanged();
}

void HistoryStore::setItems(ClipList items) {
    items_ = std::move(items);
    itemsDidChange();
}

int HistoryStore::indexOf(const Uuid& id) const {
    const std::size_t i = items_.indexOf(id);
    return i < items_.size() ? static_cast<int>(i) : -1;
}

// ---- Insert, trim, delete, clear, favourites, replay marks --------------------------------------

void HistoryStore::insert(ClipItem clip) {
    if (!clip.sourceDeviceID) {
        const auto origin = MacClipDeviceIdentity::current(defaults_);
        clip.sourceDeviceID = origin.id;
        clip.sourceDeviceName = origin.name;
        clip.sourceDevicePlatform = origin.platform;
    }
    const std::size_t index = items_.indexOfFingerprint(clip.fingerprint);
    if (index == items_.size()) {
        if (!admitToHistoryFile(clip)) {
            retirePayload(clip);
            return;
        }
        items_.insert(items_.begin(), std::move(clip));
    } else {
        // Moved up with the copy's source, whose names may be longer than the stored ones.
        ClipItem moved = datesAndSourceOf(clip);
        moved.createdAt = moved.updatedAt = clock_.now();
        moved.lastReplayedAt.reset();
        if (!admitGrowthToHistoryFile(growthOf(datesAndSourceOf(items_[index]), moved), kClipTooLargeMessage)) return;
        ClipItem& stored = items_.mutableAt(index);
        stored.createdAt = clock_.now();
        stored.updatedAt = clock_.now();
        stored.lastReplayedAt.reset();
        stored.sourceAppName = std::move(clip.sourceAppName);
        stored.sourceBundleID = std::move(clip.sourceBundleID);
        stored.sourceDeviceID = std::move(clip.sourceDeviceID);
        stored.sourceDeviceName = std::move(clip.sourceDeviceName);
        stored.sourceDevicePlatform = std::move(clip.sourceDevicePlatform);
        items_.move(index, 0);
    }
    setSelectedIDQuietly(items_.front().id);
    trimItems();
    itemsDidChange();
    scheduleSave(false);
    const ClipItem top = items_.front();  // the callbacks may change the list
    notifySyncableCapture(top);
}

ClipItem HistoryStore::datesAndSourceOf(const ClipItem& clip) {
    ClipItem probe;
    probe.createdAt = clip.createdAt;
    probe.updatedAt = clip.updatedAt;
    probe.lastReplayedAt = clip.lastReplayedAt;
    probe.sourceAppName = clip.sourceAppName;
    probe.sourceBundleID = clip.sourceBundleID;
    probe.sourceDeviceID = clip.sourceDeviceID;
    probe.sourceDeviceName = clip.sourceDeviceName;
    probe.sourceDevicePlatform = clip.sourceDevicePlatform;
    return probe;
}

void HistoryStore::trimHistoryIfNeeded() {
    if (trimItems()) itemsDidChange();
}

bool HistoryStore::trimItems() {
    if (trimSuspended_ || static_cast<std::int64_t>(items_.size()) <= maxHistory()) return false;
    // The oldest clips beyond the limit go; favourites stay whatever their age.
    const auto dropped = items_.unpinnedAfter(static_cast<std::size_t>(std::max<std::int64_t>(maxHistory(), 0)));
    for (const std::size_t i : dropped) {
        retirePayload(items_[i]);
        releaseFromHistoryFile(items_[i]);
    }
    items_.eraseAt(dropped);
    return !dropped.empty();
}

// The one-clip operations copy the id first: callers often pass an element of items(),
// which the operation itself moves or removes.
void HistoryStore::deleteItem(const ClipItem& clip) {
    const Uuid id = clip.id;
    const int index = indexOf(id);
    if (index < 0) return;
    const ClipList::Pointer taken = items_.take(static_cast<std::size_t>(index));
    const ClipItem& removed = *taken;
    retirePayload(removed);
    releaseFromHistoryFile(removed);
    itemsDidChange();
    if (selectedID_ == id) {
        const auto& shown = filteredItems();
        setSelectedIDQuietly(shown.empty() ? std::nullopt : std::optional<Uuid>(shown.front().id));
    }
    scheduleSave(false);
    showToast("Clip deleted", ToastTone::success);
    notifySyncableDeletion({removed});
}

void HistoryStore::clearHistory(bool keepingFavorites) {
    std::vector<ClipItem> removed;
    ClipList kept;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (keepingFavorites && items_[i].isPinned)
            kept.push_back(items_.shared(i));
        else
            removed.push_back(items_[i]);
    }
    for (const auto& clip : removed) retirePayload(clip);
    if (persistence_) {  // counted from what stays: usually far less than what went
        std::uint64_t bytes = 0;
        for (const auto& clip : kept) bytes += historycodec::encodedSize(clip);
        recountHistoryFile(historycodec::encodedSize(1, kept.size(), bytes));
    }
    setItems(std::move(kept));
    setSelectedIDQuietly(items_.empty() ? std::nullopt : std::optional<Uuid>(items_.front().id));
    if (!demoMode_) scheduleSave(true);
    showToast(keepingFavorites ? "History cleared; favorites kept" : "Clipboard history cleared", ToastTone::success);
    notifySyncableDeletion(removed);
}

void HistoryStore::togglePinned(const ClipItem& clip) {
    const Uuid id = clip.id;
    const int index = indexOf(id);
    if (index < 0) return;
    ClipItem before;
    before.isPinned = items_[index].isPinned;
    before.updatedAt = items_[index].updatedAt;
    ClipItem after;
    after.isPinned = !before.isPinned;
    after.updatedAt = clock_.now();
    if (!admitGrowthToHistoryFile(growthOf(before, after), kFavoriteTooLargeMessage)) return;
    ClipItem& stored = items_.mutableAt(static_cast<std::size_t>(index));
    stored.isPinned = after.isPinned;
    stored.updatedAt = after.updatedAt;
    const bool pinned = stored.isPinned;
    itemsDidChange();
    if (previewItem_ && previewItem_->id == id) setPreviewItem(items_[index]);
    scheduleSave(false);
    showToast(pinned ? "Saved to Favorites" : "Removed from Favorites", ToastTone::success);
}

void HistoryStore::markReplaySucceeded(const ClipItem& clip, std::optional<Date> pastedAt) {
    markReplayed(clip, pastedAt, kPasteMarkTooLargeMessage);
}

bool HistoryStore::markCopySucceeded(const ClipItem& clip) {
    return markReplayed(clip, std::nullopt, kCopyMarkTooLargeMessage);
}

bool HistoryStore::markReplayed(const ClipItem& clip, std::optional<Date> pastedAt, const char* refusal) {
    const Date now = pastedAt.value_or(clock_.now());
    const Uuid id = clip.id;
    const int index = indexOf(id);
    if (index < 0) return true;
    // The paste itself has happened; a mark the file has no room for is only not recorded.
    ClipItem before;
    before.lastReplayedAt = items_[index].lastReplayedAt;
    before.updatedAt = items_[index].updatedAt;
    ClipItem after;
    after.lastReplayedAt = after.updatedAt = now;
    if (!admitGrowthToHistoryFile(growthOf(before, after), refusal)) return false;
    ClipItem pasted = *items_.take(static_cast<std::size_t>(index));
    pasted.lastReplayedAt = now;
    pasted.updatedAt = now;
    // Clips copied after the paste went out stay above it, and so does the highlight: a check
    // that ends late must not send the next Return to an older card.
    auto place = items_.begin();
    if (pastedAt)
        while (place != items_.end() && place->recencyDate() > now) ++place;
    const bool onTop = place == items_.begin();
    items_.insert(place, std::move(pasted));
    itemsDidChange();
    if (onTop) setSelectedIDQuietly(id);
    scheduleSave(false);
    return true;
}

void HistoryStore::retirePayload(const ClipItem& clip) {
    // A name that could reach outside the payload folder is never queued for deletion.
    forEachPayloadName(clip, [&](const std::string& name) {
        if (HistoryPersistence::isSafePayloadName(name)) retiredPayloadFilenames_.insert(name);
    });
}

void HistoryStore::notifySyncableDeletion(const std::vector<ClipItem>& clips) {
    std::vector<Uuid> ids;
    std::vector<Date> dates;
    for (const auto& clip : clips)
        if (isSyncableKind(clip.kind) && (clip.kind == ClipKind::image || !clip.text.empty())) {
            ids.push_back(clip.id);
            dates.push_back(clip.createdAt);
        }
    if (ids.empty() || !onSyncableClipsDeleted) return;
    onSyncableClipsDeleted(ids, dates);
}

void HistoryStore::notifySyncableCapture(const ClipItem& clip) {
    if (!isSyncableKind(clip.kind) || clip.isSensitive) return;
    const ClipSourceDeviceOrigin origin = clipSyncOrigin(clip);
    if (clip.kind == ClipKind::image) {
        if (!clip.syncPayloadFilename || !clip.syncPayloadDigest) return;
        auto data = readPayloadFile(*clip.syncPayloadFilename);
        if (!data) return;
        SyncableImagePayload payload;
        payload.data = std::move(*data);
        payload.contentType = syncContentTypeForFilename(*clip.syncPayloadFilename);
        payload.digest = *clip.syncPayloadDigest;
        payload.pixelWidth = clip.syncPayloadPixelWidth.value_or(0);
        payload.pixelHeight = clip.syncPayloadPixelHeight.value_or(0);
        if (onSyncableImageCaptured) onSyncableImageCaptured(clip.id, payload, clip.createdAt, origin);
        return;
    }
    if (clip.text.empty()) return;
    if (onSyncableTextCaptured) onSyncableTextCaptured(clip.id, clip.text, clip.createdAt, origin);
}

// ---- Typed clips and editing -------------------------------------------------------------------

void HistoryStore::addTextClip(const std::string& text) {
    const std::string trimmed = trimmedText(text);
    if (trimmed.empty()) return;
    ClipItem clip = typedClip(trimmed, clock_.now());
    const std::string fingerprint = clip.fingerprint.str();
    insert(std::move(clip));
    // A clip refused for want of room leaves its refusal on show.
    if (!items_.empty() && items_.front().fingerprint.str() == fingerprint)
        showToast("New favorite created", ToastTone::success);
}

void HistoryStore::startNewTextClip() {
    addTextClip(kNewTextClipText);
    // The first clip: the one just added, or the stored clip it matched. A placeholder refused
    // for want of room leaves another clip first, which is not opened in its place.
    const bool added = !items_.empty() && items_.front().text == kNewTextClipText;
    setEditingItem(added ? std::optional<ClipItem>(items_.front()) : std::nullopt);
}

bool HistoryStore::saveEditedText(const ClipItem& clip, const std::string& text) {
    const std::string trimmed = trimmedText(text);
    if (trimmed.empty()) return false;
    const int index = indexOf(clip.id);
    if (index < 0) {
        // Deleted here or on another device, or trimmed, while the editor was open: what was
        // typed is kept as a new clip, never dropped.
        ClipItem fresh = typedClip(trimmed, clock_.now());
        fresh.isPinned = clip.isPinned;
        const std::string fingerprint = fresh.fingerprint.str();
        insert(std::move(fresh));
        // No room in the history file: refused with its toast, and the editor stays open.
        if (items_.empty() || items_.front().fingerprint.str() != fingerprint) return false;
        setEditingItem(std::nullopt);
        showToast(kEditedClipGoneMessage, ToastTone::success);
        return true;
    }
    const ClipItem& stored = items_[static_cast<std::size_t>(index)];
    // Other devices may hold the old text under this id: the edited text is another clip for
    // sync, under an id of its own, and the old record is deleted everywhere (a queued push of
    // it is withdrawn), so the edit replaces it on every device.
    const bool newText = stored.text != trimmed;
    ClipItem edited = stored;
    std::optional<ClipItem> replaced;
    if (newText) {
        replaced = stored;
        edited.id = Uuid::random();
    }
    const ClipKind kind = clipkind::detect(trimmed);
    edited.text = trimmed;
    edited.kind = kind;
    edited.title = ClipItem::titleFor(trimmed, kind);
    edited.updatedAt = clock_.now();
    edited.fingerprint = ClipItem::makeFingerprint(kind, trimmed, {}, std::nullopt, nullptr);
    edited.richTextData.reset();
    edited.htmlData.reset();
    edited.payloadFilename.reset();
    edited.payloadContentType.reset();
    edited.syncPayloadFilename.reset();
    edited.syncPayloadDigest.reset();
    edited.syncPayloadByteCount.reset();
    edited.syncPayloadPixelWidth.reset();
    edited.syncPayloadPixelHeight.reset();
    edited.syncBlobKey.reset();
    edited.legacyPayloadFilename.reset();
    edited.legacyID.reset();
    edited.fileURLs.clear();
    edited.isSensitive = false;
    edited.copyCount = 1;
    // Refused, the clip stays as it was and the editor keeps the user's text.
    if (!admitGrowthToHistoryFile(growthOf(stored, edited), kEditTooLargeMessage)) return false;
    retirePayload(stored);
    if (newText && selectedID_ == clip.id) setSelectedIDQuietly(edited.id);
    // In place, without first copying the old clip that a pending save may share.
    items_.insert(items_.erase(items_.begin() + index), edited);
    itemsDidChange();
    setEditingItem(std::nullopt);
    scheduleSave(false);
    showToast("Clip updated", ToastTone::success);
    if (replaced) notifySyncableDeletion({*replaced});
    if (newText) notifySyncableCapture(edited);
    return true;
}

// ---- Selection and paste requests ---------------------------------------------------------------

std::optional<ClipItem> HistoryStore::selectedItem() const {
    if (!selectedID_) {
        const auto& shown = filteredItems();
        if (shown.empty()) return std::nullopt;
        return shown.front();
    }
    const int index = indexOf(*selectedID_);
    if (index < 0) return std::nullopt;
    return items_[index];
}

std::optional<ClipItem> HistoryStore::shownSelectedItem() const {
    const auto& shown = filteredItems();
    if (shown.empty()) return std::nullopt;
    if (selectedID_) {
        for (const auto& clip : shown)
            if (clip.id == *selectedID_) return clip;
    }
    return shown.front();
}

void HistoryStore::moveSelection(int delta) {
    const auto& shown = filteredItems();
    if (shown.empty()) {
        setSelectedIDQuietly(std::nullopt);
        return;
    }
    auto current = selectedID_ ? std::find_if(shown.begin(), shown.end(),
                                              [&](const ClipItem& c) { return c.id == *selectedID_; })
                               : shown.end();
    if (current == shown.end()) {
        setSelectedIDQuietly(shown.front().id);
        return;
    }
    const long long n = static_cast<long long>(shown.size());
    const long long target = std::clamp<long long>((current - shown.begin()) + static_cast<long long>(delta), 0, n - 1);
    setSelectedIDQuietly(shown[static_cast<std::size_t>(target)].id);
}

void HistoryStore::requestPaste(const ClipItem& clip, bool asPlainText) {
    // Copy first: the callee may change the list while it runs.
    const ClipItem requested = clip;
    setSelectedIDQuietly(requested.id);
    emit pasteRequested(requested, asPlainText || alwaysPastePlainText());
}

void HistoryStore::requestPasteSelected(bool asPlainText) {
    // Never a clip the search hides: the user pastes the card they see highlighted.
    if (auto clip = shownSelectedItem()) requestPaste(*clip, asPlainText);
}

// ---- Batch import -------------------------------------------------------------------------------

int HistoryStore::importItems(std::vector<ClipItem> batch, const std::string& sourceName) {
    if (batch.empty()) return 0;
    std::unordered_set<std::int64_t> knownLegacyIDs;
    std::unordered_set<std::string> knownFingerprints;
    std::unordered_set<Uuid> knownIDs;
    for (const auto& clip : items_) {
        if (clip.legacyID)
            knownLegacyIDs.insert(*clip.legacyID);
        else
            knownFingerprints.insert(clip.fingerprint);
        knownIDs.insert(clip.id);
    }
    std::stable_sort(batch.begin(), batch.end(), newerFirst);

    std::vector<ClipItem> accepted;
    accepted.reserve(batch.size());
    for (auto& clip : batch) {
        if (clip.legacyID) {
            if (!knownLegacyIDs.insert(*clip.legacyID).second) continue;
        } else if (!knownFingerprints.insert(clip.fingerprint).second) {
            continue;
        }
        clip.importedFrom = sourceName;
        if (!admitToHistoryFile(clip, false, true)) continue;  // its files go with the unreferenced ones
        // Every lookup is by id: a clip may never share one with another.
        while (!knownIDs.insert(clip.id).second) clip.id = Uuid::random();
        accepted.push_back(std::move(clip));
    }
    std::unordered_set<Uuid> acceptedIDs;
    for (const auto& clip : accepted) acceptedIDs.insert(clip.id);

    for (auto& clip : accepted) items_.push_back(std::move(clip));
    items_.stableSort(newerFirst);
    trimItems();
    // Counted after the trim: older clips into a full history may not survive it.
    int added = 0;
    for (const auto& clip : items_) added += acceptedIDs.count(clip.id) ? 1 : 0;
    itemsDidChange();
    setSelectedIDQuietly(items_.empty() ? std::nullopt : std::optional<Uuid>(items_.front().id));
    if (!demoMode_) scheduleSave(true);
    if (added > 0) showToast("Imported " + formattedCount(added) + " older clips", ToastTone::success);
    return added;
}

void HistoryStore::importItemsInSteps(ClipList batch, const std::string& sourceName,
                                      std::function<void(int added, bool saved)> done) {
    (new HistoryImportMerge(*this, std::move(batch), sourceName, std::move(done)))->start();
}

void HistoryStore::removeUnreferencedPayloads(const std::vector<ClipItem>& clips) {
    if (!persistence_) return;  // demo mode touches no file
    const auto referenced = referencedPayloadNames(items_);
    // Deleted on the save thread after the next write: thousands of unlinks (an import into a
    // full history) would otherwise stall the main thread.
    for (const auto& clip : clips) {
        forEachPayloadName(clip, [&](const std::string& name) {
            if (!referenced.count(name) && HistoryPersistence::isSafePayloadName(name))
                retiredPayloadFilenames_.insert(name);
        });
    }
}

// ---- Device-origin repair -----------------------------------------------------------------------

bool HistoryStore::migrateMissingDeviceOrigins() {
    const auto thisMac = MacClipDeviceIdentity::current(defaults_);
    bool changed = false;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (items_[i].sourceDeviceID) continue;
        ClipItem& clip = items_.mutableAt(i);
        if (clip.sourceAppName == kSyncedSourceAppName) {
            clip.sourceDeviceID = kLegacySyncedDeviceKey;
            clip.sourceDeviceName = "Older synced device";
            clip.sourceDevicePlatform = "Device";
        } else {
            clip.sourceDeviceID = thisMac.id;
            clip.sourceDeviceName = thisMac.name;
            clip.sourceDevicePlatform = thisMac.platform;
        }
        changed = true;
    }
    if (changed) itemsDidChange();
    return changed;
}

}  // namespace harbelle
