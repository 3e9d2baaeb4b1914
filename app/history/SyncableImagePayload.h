#pragma once

#include <cstdint>
#include <string>

#include "platform/Defaults.h"

namespace harbelle {

// An image prepared for sync: the upload copy's bytes and what the engine needs to know of it.
struct SyncableImagePayload {
    Bytes data;
    std::string contentType;
    std::string digest;
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    bool operator==(const SyncableImagePayload&) const = default;
};

}  // namespace harbelle
