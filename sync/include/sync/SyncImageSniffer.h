#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace harbelle::sync {

struct SyncImageHeader {
    std::string contentType;  // "image/png" or "image/jpeg"
    int pixelWidth = 0;
    int pixelHeight = 0;
};

// Reads the header of a PNG or JPEG far enough to know its type and size. The engine checks a
// downloaded image with it without decoding pixels (the sync library has no image codec);
// anything else, or a truncated header, gives none.
std::optional<SyncImageHeader> sniffSyncImage(std::string_view bytes);

}  // namespace harbelle::sync
