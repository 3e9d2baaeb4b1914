#include "sync/SyncHTTPSession.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "sync/CurlLibrary.h"
#include "sync/SyncServiceError.h"

namespace harbelle::sync {

namespace {

struct Transfer {
    const SyncHTTPRequest* request;
    SyncHTTPResponse* response;
    const std::atomic<bool>* stopped;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t n = size * count;
    if (t->response->body.size() + n > t->request->maxResponseBytes) {
        t->response->tooLarge = true;
        return 0;  // aborts with CURLE_WRITE_ERROR
    }
    t->response->body.append(data, n);
    return n;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t n = size * count;
    std::string line(data, n);
    static constexpr char name[] = "retry-after:";
    if (line.size() > sizeof(name) - 1) {
        std::string head = line.substr(0, sizeof(name) - 1);
        std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
        if (head == name) {
            std::string value = line.substr(sizeof(name) - 1);
            value.erase(0, value.find_first_not_of(" \t"));
            value.erase(value.find_last_not_of(" \t\r\n") + 1);
            if (!value.empty() && std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c); })) {
                long long seconds = value.size() > 6 ? 300 : std::atoll(value.c_str());
                t->response->retryAfterSeconds = static_cast<int>(std::min<long long>(seconds, 300));
            }
        }
    }
    return n;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(user)->stopped->load() ? 1 : 0;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

struct URLParts {
    std::string scheme, host, port;
};

std::optional<URLParts> parseURL(const std::string& url) {
    CURLU* u = curlLibrary().url();
    if (!u) return std::nullopt;
    std::optional<URLParts> out;
    if (curlLibrary().url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
        char *scheme = nullptr, *host = nullptr, *port = nullptr;
        if (curlLibrary().url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curlLibrary().url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
            curlLibrary().url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT);
            out = URLParts{lower(scheme), lower(host), port ? port : ""};
        }
        curlLibrary().free(scheme);
        curlLibrary().free(host);
        curlLibrary().free(port);
    }
    curlLibrary().url_cleanup(u);
    return out;
}

[[noreturn]] void transportError(const std::string& detail) {
    throw SyncServiceError(SyncServiceErrorCode::transport, std::nullopt, detail);
}

}  // namespace

std::string SyncHTTPSession::originOf(const std::string& url) {
    auto parts = parseURL(url);
    if (!parts || (parts->scheme != "http" && parts->scheme != "https") || parts->host.empty()) return {};
    bool defaultPort = (parts->scheme == "http" && parts->port == "80") || (parts->scheme == "https" && parts->port == "443");
    return parts->scheme + "://" + parts->host + (defaultPort || parts->port.empty() ? "" : ":" + parts->port);
}

bool SyncHTTPSession::isLoopbackHost(const std::string& url) {
    auto parts = parseURL(url);
    return parts && (parts->host == "127.0.0.1" || parts->host == "localhost" || parts->host == "[::1]" || parts->host == "::1");
}

std::string joinURL(const std::string& base, const std::string& path) {
    std::string b = base;
    while (!b.empty() && b.back() == '/') b.pop_back();
    size_t start = path.find_first_not_of('/');
    return b + "/" + (start == std::string::npos ? std::string() : path.substr(start));
}

SyncHTTPSession::SyncHTTPSession(std::string tokenOrigin, SyncHTTPTimeouts timeouts)
    : tokenOrigin_(originOf(tokenOrigin)), timeouts_(timeouts) {
    handle_ = curlLibrary().easy_init();
    multi_ = curlLibrary().multi_init();
    if (!handle_ || !multi_) {
        curlLibrary().easy_cleanup(static_cast<CURL*>(handle_));
        curlLibrary().multi_cleanup(static_cast<CURLM*>(multi_));
        const std::string& reason = curlLibrary().error;
        throw std::runtime_error(reason.empty() ? "libcurl could not start" : reason);
    }
}

SyncHTTPSession::~SyncHTTPSession() {
    stopped_.store(true);
    std::lock_guard lock(mutex_);
    curlLibrary().easy_cleanup(static_cast<CURL*>(handle_));
    curlLibrary().multi_cleanup(static_cast<CURLM*>(multi_));
}

void SyncHTTPSession::setStopped(bool stopped) {
    stopped_.store(stopped);
    // Wakes a transfer waiting for the network so it sees the flag now, not after a timeout.
    if (stopped) curlLibrary().multi_wakeup(static_cast<CURLM*>(multi_));
}

SyncHTTPResponse SyncHTTPSession::perform(const SyncHTTPRequest& request) {
    if (request.body.size() > maxRequestBytes)
        throw SyncServiceError(SyncServiceErrorCode::payloadTooLarge, std::nullopt, "request body over 16 MiB");
    std::string origin = originOf(request.url);
    if (origin.empty())
        throw SyncServiceError(SyncServiceErrorCode::invalidRequest, std::nullopt, "not an http(s) URL: " + request.url);

    std::lock_guard lock(mutex_);
    if (stopped_.load()) transportError("stopped");
    CURL* curl = static_cast<CURL*>(handle_);
    CURLM* multi = static_cast<CURLM*>(multi_);
    curlLibrary().easy_reset(curl);  // keeps the open connection

    SyncHTTPResponse response;
    Transfer transfer{&request, &response, &stopped_};
    curl_slist* headers = nullptr;
    headers = curlLibrary().slist_append(headers, "Expect:");
    headers = curlLibrary().slist_append(headers, "Accept: application/json, application/octet-stream");
    if (!request.contentType.empty()) headers = curlLibrary().slist_append(headers, ("Content-Type: " + request.contentType).c_str());
    // The token never leaves for another origin (a media host, a forged URL).
    if (request.bearerToken && !tokenOrigin_.empty() && origin == tokenOrigin_)
        headers = curlLibrary().slist_append(headers, ("Authorization: Bearer " + *request.bearerToken).c_str());

    curlLibrary().easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curlLibrary().easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curlLibrary().easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curlLibrary().easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curlLibrary().easy_setopt(curl, CURLOPT_NOPROXY, "127.0.0.1,localhost,::1");
    curlLibrary().easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, timeouts_.connectMilliseconds);
    long timeout = request.blob ? timeouts_.blobMilliseconds : timeouts_.requestMilliseconds;
    if (request.timeoutMilliseconds) timeout = std::min(timeout, *request.timeoutMilliseconds);
    curlLibrary().easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout);
    curlLibrary().easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curlLibrary().easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
    curlLibrary().easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curlLibrary().easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
    curlLibrary().easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    curlLibrary().easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curlLibrary().easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
    curlLibrary().easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    curlLibrary().easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.maxResponseBytes));
    if (request.method == "POST" || request.method == "PUT") {
        curlLibrary().easy_setopt(curl, CURLOPT_POST, 1L);
        curlLibrary().easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
        curlLibrary().easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        if (request.method == "PUT") curlLibrary().easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PUT");
    } else if (request.method != "GET") {
        curlLibrary().easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }

    CURLcode result = CURLE_OK;
    bool finished = false;
    curlLibrary().multi_add_handle(multi, curl);
    while (!finished) {
        int running = 0;
        if (curlLibrary().multi_perform(multi, &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        int queued = 0;
        while (CURLMsg* message = curlLibrary().multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == curl) {
                result = message->data.result;
                finished = true;
            }
        }
        if (finished) break;
        if (stopped_.load()) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        curlLibrary().multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    curlLibrary().multi_remove_handle(multi, curl);
    curlLibrary().slist_free_all(headers);

    if (response.tooLarge || result == CURLE_FILESIZE_EXCEEDED) {
        response.tooLarge = true;
        curlLibrary().easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
        return response;
    }
    if (result != CURLE_OK) transportError(curlLibrary().easy_strerror(result));
    curlLibrary().easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
    return response;
}

}  // namespace harbelle::sync
