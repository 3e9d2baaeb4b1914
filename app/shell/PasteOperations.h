#pragma once

#include <cstdint>
#include <optional>

#include "history/ClipItem.h"

namespace harbelle {

// What the application delegate asks of whatever pastes a clip: the store's paste requests
// go to paste(), and the toggle, the menu and termination abandon a running transaction.
class PasteOperations {
public:
    virtual ~PasteOperations() = default;
    virtual void paste(const ClipItem& item, bool plainText) = 0;
    // Abandons the running transaction silently; nothing when none runs.
    virtual void cancelActivePasteOperation() = 0;
    virtual std::uint64_t pasteOperationGeneration() const = 0;
    virtual std::optional<std::uint64_t> activePasteOperationGeneration() const = 0;
};

}  // namespace harbelle
