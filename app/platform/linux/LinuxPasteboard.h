#pragma once

#include <chrono>
#include <memory>

#include "platform/Pasteboard.h"

namespace harbelle {

// The CLIPBOARD selection; PRIMARY is never read, and written only for a terminal that pastes nothing else. Changes are counted from QClipboard; contents of
// other programs are read on a private X connection with a deadline, our own through Qt.
class LinuxPasteboard final : public Pasteboard {
public:
    // The longest one clipboard change may keep the caller waiting on an owner that sends
    // nothing, over all reads of that change.
    static constexpr std::chrono::milliseconds kIdleBudget{900};
    // Larger offers are not read at all.
    static constexpr std::size_t kMaxReadBytes = 64u * 1024 * 1024;

    LinuxPasteboard();
    ~LinuxPasteboard() override;

    std::int64_t changeCount() const override;
    void catchUpWithOwner() override;
    std::vector<std::string> types() override;
    std::optional<Bytes> data(std::string_view type) override;
    bool write(const std::vector<PasteboardObject>& objects) override;
    bool writePrimarySelection(const std::vector<PasteboardObject>& objects) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace harbelle
