#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace harbelle::sync {

struct SyncHTTPRequest {
    std::string method = "GET";  // GET, POST, PUT
    std::string url;
    std::string body;
    std::string contentType;
    // Sent only when the URL has the session's origin.
    std::optional<std::string> bearerToken;
    bool blob = false;  // blob timeout instead of the request timeout
    std::size_t maxResponseBytes = 32u << 20;
    // A shorter whole-request timeout than the session's (never a longer one).
    std::optional<long> timeoutMilliseconds;
};

struct SyncHTTPResponse {
    long status = 0;
    std::string body;
    std::optional<int> retryAfterSeconds;  // capped at 300
    bool tooLarge = false;  // the body passed maxResponseBytes and was cut off
};

// The protocol's timeouts; tests shorten them.
struct SyncHTTPTimeouts {
    long connectMilliseconds = 10'000;
    long requestMilliseconds = 30'000;
    long blobMilliseconds = 60'000;
};

// One reused libcurl easy handle (connection reuse), released with the session. Requests are
// serialized; http/https only, no redirects, no proxy for loopback hosts, connect timeout 10 s.
// setStopped wakes and aborts a running transfer at once (multi wakeup, progress callback).
class SyncHTTPSession {
public:
    // origin = scheme://host[:port] that may receive the bearer token.
    explicit SyncHTTPSession(std::string tokenOrigin, SyncHTTPTimeouts timeouts = {});
    ~SyncHTTPSession();
    SyncHTTPSession(const SyncHTTPSession&) = delete;
    SyncHTTPSession& operator=(const SyncHTTPSession&) = delete;

    // Throws SyncServiceError(transport) when no answer came (connection, TLS, timeout, stop),
    // payloadTooLarge for a body over 16 MiB, invalidRequest for a URL that is not http/https.
    SyncHTTPResponse perform(const SyncHTTPRequest& request);
    void setStopped(bool stopped);
    bool stopped() const { return stopped_.load(); }

    // scheme://host[:port] of a URL, lower-cased, with the default port dropped; empty when
    // the URL is not http or https.
    static std::string originOf(const std::string& url);
    static bool isLoopbackHost(const std::string& url);

    static constexpr std::size_t maxRequestBytes = 16u << 20;
    static constexpr std::size_t maxJSONResponseBytes = 32u << 20;
    static constexpr std::size_t maxBlobResponseBytes = 1u << 20;
    // An image download gives up sooner than an upload: a slow one waits for a later round.
    static constexpr long blobDownloadMilliseconds = 15'000;

private:
    std::string tokenOrigin_;
    SyncHTTPTimeouts timeouts_;
    std::mutex mutex_;
    void* handle_ = nullptr;  // CURL*, reused so the connection stays open
    void* multi_ = nullptr;  // CURLM*, lets setStopped wake a waiting transfer
    std::atomic<bool> stopped_{false};
};

// Joins a path to a base URL with exactly one "/".
std::string joinURL(const std::string& base, const std::string& path);

}  // namespace harbelle::sync
