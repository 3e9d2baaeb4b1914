#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/Pasteboard.h"

namespace harbelle::testing {

// An in-memory clipboard: scripted contents, a change count, a record of reads and writes.
class FakePasteboard final : public Pasteboard {
public:
    std::int64_t changeCount() const override { return changeCount_ - unannounced; }
    void catchUpWithOwner() override { unannounced = 0; }
    std::vector<std::string> types() override;
    std::optional<Bytes> data(std::string_view type) override;
    bool write(const std::vector<PasteboardObject>& objects) override;
    bool writePrimarySelection(const std::vector<PasteboardObject>& objects) override {
        if (failWrites) return false;
        primaryWrites.push_back(objects);
        return true;
    }

    // Replaces the contents as another program's copy would (moves the change count).
    void setContents(std::vector<std::pair<std::string, Bytes>> representations);
    void setString(std::string_view type, std::string_view text);  // adds to the contents
    void setData(std::string_view type, Bytes data);                // adds to the contents
    void clear();  // the owner went away
    void bumpChangeCount() { ++changeCount_; }

    // Scripting.
    bool failWrites = false;
    // Changes made whose notice has not come yet: the count shows them once caught up with.
    std::int64_t unannounced = 0;
    // Runs after each data read, e.g. to change the contents mid-capture.
    std::function<void(std::string_view type)> onRead;

    // Records.
    std::vector<std::vector<PasteboardObject>> writes;
    std::vector<std::vector<PasteboardObject>> primaryWrites;
    std::vector<std::string> reads;  // types asked for with data(), in order
    const std::vector<std::pair<std::string, Bytes>>& contents() const { return contents_; }

private:
    std::int64_t changeCount_ = 0;
    std::vector<std::pair<std::string, Bytes>> contents_;
};

}  // namespace harbelle::testing
