#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/ClipItem.h"
#include "platform/Pasteboard.h"

class QMimeData;

namespace harbelle {

// The clipboard objects of one clip, for pastes and drags alike: every form the clip holds
// (plain text, RTF, HTML, a link's address, the image, file references), or plain text only.
class ClipPasteboardPayload {
public:
    // Reads a payload file by its name inside the payload folder; nothing when it cannot.
    using PayloadReader = std::function<std::optional<Bytes>(const std::string& name)>;
    using FileExists = std::function<bool(const std::string& path)>;

    // `payloadURL` is the clip's payload file when it exists (the store's payloadURL(for:)).
    // An empty list means the clip has nothing to offer in that mode.
    static std::vector<PasteboardObject> objects(const ClipItem& item,
                                                 const std::optional<std::filesystem::path>& payloadURL,
                                                 bool plainText, bool forDrag, const PayloadReader& readPayload,
                                                 const FileExists& fileExists = defaultFileExists);

    // Drag data of the objects, in the same forms as a clipboard write.
    static std::unique_ptr<QMimeData> mimeData(const std::vector<PasteboardObject>& objects);

    static bool defaultFileExists(const std::string& path);

private:
    static std::vector<PasteboardObject> stringItem(const std::string& text);
};

}  // namespace harbelle
