#include "sync/HTTPSyncBlobTransport.h"

#include <stdexcept>

namespace harbelle::sync {

HTTPSyncBlobTransport::HTTPSyncBlobTransport(const std::string& baseURL, const std::string& mediaBaseURL,
                                             std::shared_ptr<SyncHTTPSession> session)
    : baseURL_(baseURL), mediaBaseURL_(mediaBaseURL.empty() ? defaultMediaBaseURL(baseURL) : mediaBaseURL),
      session_(std::move(session)) {
    if (SyncHTTPSession::originOf(baseURL_).empty() || SyncHTTPSession::originOf(mediaBaseURL_).empty())
        throw std::invalid_argument("The sync base and media URLs must be http or https.");
    if (!session_) session_ = std::make_shared<SyncHTTPSession>(baseURL_);
}

HTTPSyncBlobTransport::~HTTPSyncBlobTransport() = default;

std::string HTTPSyncBlobTransport::defaultMediaBaseURL(const std::string& baseURL) {
    return joinURL(baseURL, "v1/media/");
}

void HTTPSyncBlobTransport::setStopped(bool stopped) { session_->setStopped(stopped); }

bool HTTPSyncBlobTransport::upload(const std::string& token, const std::string& blobKey, const std::string& sealedBytes) {
    if (sealedBytes.size() > SyncHTTPSession::maxBlobResponseBytes)
        throw SyncServiceError(SyncServiceErrorCode::payloadTooLarge, std::nullopt, "blob over 1 MiB");
    SyncHTTPRequest request;
    request.method = "PUT";
    request.url = joinURL(baseURL_, "v1/blobs/" + blobKey);
    request.body = sealedBytes;
    request.contentType = "application/octet-stream";
    request.bearerToken = token;
    request.blob = true;
    request.maxResponseBytes = SyncHTTPSession::maxJSONResponseBytes;
    SyncHTTPResponse response = session_->perform(request);
    if (response.tooLarge)
        throw SyncServiceError(SyncServiceErrorCode::invalidResponse, std::nullopt, "blob upload: answer too large");
    if (auto error = syncServiceErrorForStatus(SyncEndpoint::uploadBlob, response.status))
        throw SyncServiceError(*error, response.retryAfterSeconds, "blob upload: HTTP " + std::to_string(response.status));
    return response.status == 201;
}

std::optional<std::string> HTTPSyncBlobTransport::download(const std::string& token, const std::string& blobKey) {
    SyncHTTPRequest request;
    request.url = joinURL(mediaBaseURL_, blobKey);
    // The session sends it only when the media URL has the base URL's origin.
    request.bearerToken = token;
    request.blob = true;
    request.maxResponseBytes = SyncHTTPSession::maxBlobResponseBytes;
    request.timeoutMilliseconds = SyncHTTPSession::blobDownloadMilliseconds;
    SyncHTTPResponse response = session_->perform(request);
    if (response.tooLarge)
        throw SyncServiceError(SyncServiceErrorCode::invalidResponse, std::nullopt, "blob download: over 1 MiB");
    // Unknown or gone: the image is not there to hand out.
    if (response.status == 404 || response.status == 410) return std::nullopt;
    if (auto error = syncServiceErrorForStatus(SyncEndpoint::downloadBlob, response.status))
        throw SyncServiceError(*error, response.retryAfterSeconds, "blob download: HTTP " + std::to_string(response.status));
    return std::move(response.body);
}

}  // namespace harbelle::sync
