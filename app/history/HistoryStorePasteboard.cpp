// Clips going back out: their clipboard objects, and writes that capture never takes back.
#include <fstream>
#include <iterator>
#include <system_error>

#include "history/ClipPasteboardPayload.h"
#include "history/HistoryPersistence.h"
#include "history/HistoryStore.h"

namespace harbelle {

std::optional<std::filesystem::path> HistoryStore::payloadURL(const ClipItem& item) const {
    if (!item.payloadFilename || !HistoryPersistence::isSafePayloadName(*item.payloadFilename)) return std::nullopt;
    std::filesystem::path path = payloadsURL_ / *item.payloadFilename;
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return std::nullopt;
    return path;
}

std::vector<PasteboardObject> HistoryStore::pasteboardObjects(const ClipItem& item, bool plainText, bool forDrag) const {
    // A clip of the legacy import is rebuilt from its archive, with no fall-back.
    if (item.legacyPayloadFilename) {
        if (!makeLegacyPasteboardItem) return {};
        auto object = makeLegacyPasteboardItem(item, payloadsURL_, plainText);
        if (!object) return {};
        return {std::move(*object)};
    }
    const auto url = payloadURL(item);
    const HistoryPersistence* persistence = persistence_.get();
    ClipPasteboardPayload::PayloadReader read;
    if (persistence) {
        read = [persistence](const std::string& name) { return persistence->readPayload(name); };
    } else if (url) {
        // No history files (demo mode): the payload is read where it lies.
        read = [path = *url](const std::string&) -> std::optional<Bytes> {
            std::ifstream in(path, std::ios::binary);
            if (!in) return std::nullopt;
            return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        };
    }
    return ClipPasteboardPayload::objects(item, url, plainText, forDrag, read);
}

bool HistoryStore::writeToPasteboard(const ClipItem& item, bool plainText) {
    if (!pasteboard_) return false;
    const auto objects = pasteboardObjects(item, plainText, false);
    if (objects.empty()) return false;
    // The X clipboard never leaves this computer, so `replayLocallyOnly` needs nothing here.
    if (!pasteboard_->write(objects)) return false;
    lastSeenChangeCount_ = pasteboard_->changeCount();
    return true;
}

bool HistoryStore::writeToPrimarySelection(const ClipItem& item, bool plainText) {
    if (!pasteboard_) return false;
    const auto objects = pasteboardObjects(item, plainText, false);
    return !objects.empty() && pasteboard_->writePrimarySelection(objects);
}

}  // namespace harbelle
