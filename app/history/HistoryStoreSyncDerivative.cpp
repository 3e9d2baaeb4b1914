#include "history/HistoryStore.h"

#include "history/HistoryPersistence.h"

namespace harbelle {

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
    ClipItem& clip = items_.mutableAt(static_cast<std::size_t>(index));
    clip.syncPayloadFilename = filename;
    clip.syncPayloadDigest = derivative.digest;
    clip.syncPayloadByteCount = static_cast<std::int64_t>(derivative.data.size());
    clip.syncPayloadPixelWidth = derivative.pixelWidth;
    clip.syncPayloadPixelHeight = derivative.pixelHeight;
    const ClipItem updated = clip;
    itemsDidChange();
    scheduleSave(false);
    notifySyncableCapture(updated);
}

}  // namespace harbelle
