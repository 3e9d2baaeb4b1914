#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "shell/PasteOperations.h"

namespace harbelle {

class HistoryStore;
class ShelfPanelController;

// Pasting by copying only: the clip goes to the clipboard, is marked as pasted and announced,
// and the shelf hides 0.45 s later, giving activation back to the application the user came
// from. Every request takes this route, whatever the direct-paste setting says; a transaction
// still has a generation so that the toggle and termination can abandon it.
class CopyOnlyPaste final : public PasteOperations {
public:
    static constexpr Milliseconds kFinishDelay{450};
    static constexpr const char* kCopiedMessage = "Copied to the clipboard";
    static constexpr const char* kUnavailableMessage = "That clip is no longer available";

    struct Hooks {
        // Writes the clip to the clipboard; false when nothing could be written for it.
        std::function<bool(const ClipItem& item, bool plainText)> writeToPasteboard;
        std::function<void()> beep;
        // One diagnostic line, without the "[DirectPaste] " prefix.
        std::function<void(const std::string&)> diagnostic;
    };

    CopyOnlyPaste(HistoryStore& store, ShelfPanelController& panelController, Clock& clock, Hooks hooks);
    ~CopyOnlyPaste() override;

    void paste(const ClipItem& item, bool plainText) override;
    void cancelActivePasteOperation() override;
    std::uint64_t pasteOperationGeneration() const override { return generation_; }
    std::optional<std::uint64_t> activePasteOperationGeneration() const override { return active_; }

private:
    void finish(std::uint64_t generation);
    bool isRunning(std::uint64_t generation) const { return active_ && *active_ == generation; }
    void endTransaction();

    HistoryStore& store_;
    ShelfPanelController& panel_;
    Clock& clock_;
    Hooks hooks_;
    std::uint64_t generation_ = 0;
    std::optional<std::uint64_t> active_;
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace harbelle
