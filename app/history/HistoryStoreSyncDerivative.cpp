// The compressed upload copy of a captured image belongs to the sync bridge, which fills the
// hook; until then captured images simply have none.
#include "history/HistoryStore.h"

namespace harbelle {

void HistoryStore::encodeSyncDerivative(const Bytes& png, const Uuid& itemID) {
    if (onEncodeSyncDerivative) onEncodeSyncDerivative(png, itemID);
}

}  // namespace harbelle
