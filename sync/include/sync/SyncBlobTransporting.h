#pragma once

#include <optional>
#include <string>

#include "sync/SyncServiceError.h"

namespace harbelle::sync {

// Upload and download of sealed image blobs. Failures throw SyncServiceError.
class SyncBlobTransporting {
public:
    virtual ~SyncBlobTransporting() = default;

    // PUT v1/blobs/{blobKey}; true when the service stored it new (201), false when present (200).
    virtual bool upload(const std::string& token, const std::string& blobKey, const std::string& sealedBytes) = 0;
    // GET {media}/{blobKey}; nullopt when the service does not have it (404).
    virtual std::optional<std::string> download(const std::string& token, const std::string& blobKey) = 0;

    virtual void setStopped(bool stopped) = 0;
};

}  // namespace harbelle::sync
