#pragma once

#include <memory>
#include <optional>
#include <string>

#include "sync/SyncBlobTransporting.h"
#include "sync/SyncHTTPSession.h"

namespace harbelle::sync {

// SyncBlobTransporting over HTTP(S) with libcurl.
class HTTPSyncBlobTransport final : public SyncBlobTransporting {
public:
    // An empty media base URL means defaultMediaBaseURL(baseURL).
    HTTPSyncBlobTransport(const std::string& baseURL, const std::string& mediaBaseURL = {},
                          std::shared_ptr<SyncHTTPSession> session = nullptr);
    ~HTTPSyncBlobTransport() override;

    // The built-in media endpoint: the base URL + "v1/media/".
    static std::string defaultMediaBaseURL(const std::string& baseURL);

    bool upload(const std::string& token, const std::string& blobKey, const std::string& sealedBytes) override;
    std::optional<std::string> download(const std::string& token, const std::string& blobKey) override;
    void setStopped(bool stopped) override;

    const std::string& mediaBaseURL() const { return mediaBaseURL_; }

private:
    std::string baseURL_;
    std::string mediaBaseURL_;
    std::shared_ptr<SyncHTTPSession> session_;
};

}  // namespace harbelle::sync
