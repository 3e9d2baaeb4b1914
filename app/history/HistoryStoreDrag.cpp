#include "history/HistoryStore.h"

namespace harbelle {

void HistoryStore::beginClipDrag(const ClipItem& clip) {
    setSelectedID(clip.id);
    draggingItem_ = clip;
    setDraggingClip(true);
}

void HistoryStore::endClipDrag(bool didDrop) {
    if (!isDraggingClip_) return;
    std::optional<ClipItem> dragged = std::move(draggingItem_);
    draggingItem_.reset();
    setDraggingClip(false);
    if (didDrop && dragged) markReplaySucceeded(*dragged);
    emit clipDragSessionEnded(didDrop);
}

}  // namespace harbelle
