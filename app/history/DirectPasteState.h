#pragma once

#include "history/HistoryStore.h"

namespace harbelle {

// Direct paste could never work in this session: no accessibility bus, or no XTest (the
// key-event permission is nothing anyone grants). Chosen clips are then only copied.
inline bool directPasteImpossible(const HistoryStore& store) {
    return !store.accessibilityBusAvailable() || !store.eventPostingAccessGranted();
}

// Whether choosing a clip pastes it into the app the user came from, or only copies it.
inline bool choosingPastes(const HistoryStore& store) {
    return store.pasteDirectly() && !directPasteImpossible(store);
}

}  // namespace harbelle
