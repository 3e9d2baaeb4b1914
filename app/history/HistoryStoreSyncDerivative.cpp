#include "history/HistoryStore.h"

#include "history/HistoryPersistence.h"

namespace harbelle {

namespace {
constexpr const char* kImageNotSyncedMessage = "Image not synced: the history file has no room to name its upload copy";
}  // namespace

void HistoryStore::encodeSyncDerivative(const Bytes& png, const Uuid& itemID) {
    if (onEncodeSyncDerivative) onEncodeSyncDerivative(png, itemID);
}

void HistoryStore::applySyncDerivative(const Uuid& itemID, const std::string& filename,
                                       const SyncableImagePayload& derivative) {
    const int index = indexOf(itemID);
    if (index < 0) {
        // Deleted or trimmed while the copy was made: the file goes after the next save.
        if (HistoryPersistence::isSafePayloadName(filename)) retiredPayloadFilenames_.insert(filename);
        scheduleSave(false);
        return;
    }
    const ClipItem& stored = items_[static_cast<std::size_t>(index)];
    const ClipItem before = syncPayloadOf(stored);
    ClipItem after;
    setSyncPayload(after, filename, derivative);
    if (!admitGrowthToHistoryFile(growthOf(before, after), kImageNotSyncedMessage)) {
        // Without room for its name the upload copy is not kept, and the image is not synced.
        if (HistoryPersistence::isSafePayloadName(filename) && stored.syncPayloadFilename != filename)
            retiredPayloadFilenames_.insert(filename);
        return;
    }
    ClipItem& clip = items_.mutableAt(static_cast<std::size_t>(index));
    setSyncPayload(clip, filename, derivative);
    const ClipItem updated = clip;
    itemsDidChange();
    scheduleSave(false);
    notifySyncableCapture(updated);
}

}  // namespace harbelle
