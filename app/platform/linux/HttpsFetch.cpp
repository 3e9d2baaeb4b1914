#include "platform/linux/HttpsFetch.h"

#include <atomic>
#include <cctype>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <tuple>

#include "sync/CurlLibrary.h"

namespace harbelle {

using sync::curlLibrary;

namespace {

constexpr int kMaxRedirects = 5;

// The transfers running now, so that a quit can wake each one from its wait on the network.
struct RunningTransfers {
    std::mutex mutex;
    std::set<CURLM*> transfers;
    std::atomic<bool> cancelled{false};
};

RunningTransfers& runningTransfers() {
    static auto* running = new RunningTransfers;  // never destroyed: a worker may still use it at exit
    return *running;
}

int stopWhenCancelled(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return runningTransfers().cancelled.load() ? 1 : 0;
}

// curl_easy_perform, except that cancelAllFetches ends it at once rather than after a timeout.
CURLcode performCancellably(CURL* curl) {
    RunningTransfers& running = runningTransfers();
    std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curlLibrary().multi_init(), curlLibrary().multi_cleanup);
    if (!multi) return CURLE_OUT_OF_MEMORY;
    {
        std::lock_guard lock(running.mutex);
        if (running.cancelled.load()) return CURLE_ABORTED_BY_CALLBACK;
        running.transfers.insert(multi.get());
    }
    curlLibrary().easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curlLibrary().easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &stopWhenCancelled);
    curlLibrary().multi_add_handle(multi.get(), curl);
    CURLcode result = CURLE_OK;
    for (bool finished = false; !finished;) {
        int active = 0;
        if (curlLibrary().multi_perform(multi.get(), &active) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        int queued = 0;
        while (CURLMsg* message = curlLibrary().multi_info_read(multi.get(), &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == curl) {
                result = message->data.result;
                finished = true;
            }
        }
        if (finished) break;
        if (running.cancelled.load()) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        curlLibrary().multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
    }
    curlLibrary().multi_remove_handle(multi.get(), curl);
    std::lock_guard lock(running.mutex);
    running.transfers.erase(multi.get());
    return result;
}

struct Sink {
    CURL* curl;
    const FetchSink* consumer;
    std::string* body;
    std::size_t maxBytes;
    std::size_t received = 0;
    bool overflow = false;
    bool refused = false;      // the consumer stopped the transfer
    bool notSuccess = false;   // a redirect or error answer: its body is not wanted
};

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* context) {
    auto* sink = static_cast<Sink*>(context);
    const std::size_t bytes = size * count;
    long status = 0;
    curlLibrary().easy_getinfo(sink->curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        sink->notSuccess = true;
        return 0;  // only the status and headers of such an answer matter
    }
    if (sink->received + bytes > sink->maxBytes) {
        sink->overflow = true;
        return 0;  // makes curl stop with a write error
    }
    sink->received += bytes;
    if (*sink->consumer) {
        if (!(*sink->consumer)(data, bytes)) {
            sink->refused = true;
            return 0;
        }
    } else {
        sink->body->append(data, bytes);
    }
    return bytes;
}

struct Origin {
    std::string scheme, host, port;
    bool operator==(const Origin&) const = default;
};

std::optional<Origin> originOf(const std::string& url) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> handle(curlLibrary().url(), curlLibrary().url_cleanup);
    if (!handle || curlLibrary().url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return std::nullopt;
    Origin origin;
    for (auto [part, target, flags] : {std::tuple{CURLUPART_SCHEME, &origin.scheme, 0u},
                                       std::tuple{CURLUPART_HOST, &origin.host, 0u},
                                       std::tuple{CURLUPART_PORT, &origin.port, unsigned(CURLU_DEFAULT_PORT)}}) {
        char* text = nullptr;
        if (curlLibrary().url_get(handle.get(), part, &text, flags) != CURLUE_OK || !text) return std::nullopt;
        *target = text;
        curlLibrary().free(text);
    }
    for (auto* text : {&origin.scheme, &origin.host})
        for (char& c : *text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return origin;
}

}  // namespace

FetchResult fetchHttps(const std::string& startURL, const FetchLimits& limits, const FetchSink& consumer) {
    FetchResult result;
    const auto fail = [&result](std::string error) {
        result.body.clear();
        result.error = std::move(error);
        return result;
    };
    const auto startOrigin = originOf(startURL);
    std::string url = startURL;
    // Redirects are followed here, one hop at a time, so each target can be checked first.
    for (int hop = 0;; ++hop) {
        std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curlLibrary().easy_init(), curlLibrary().easy_cleanup);
        if (!curl) return fail("Could not start a network request.");
        Sink sink{curl.get(), &consumer, &result.body, limits.maxBytes};
        curlLibrary().easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
        curlLibrary().easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "https");
        curlLibrary().easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 0L);
        curlLibrary().easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
        curlLibrary().easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectTimeout.count()));
        curlLibrary().easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(limits.totalTimeout.count()));
        curlLibrary().easy_setopt(curl.get(), CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes));
        curlLibrary().easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &writeBody);
        curlLibrary().easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
        curlLibrary().easy_setopt(curl.get(), CURLOPT_USERAGENT, "Harbelle");
        if (!limits.caFile.empty()) curlLibrary().easy_setopt(curl.get(), CURLOPT_CAINFO, limits.caFile.c_str());

        const CURLcode code = performCancellably(curl.get());
        if (code == CURLE_ABORTED_BY_CALLBACK && runningTransfers().cancelled.load())
            return fail("The transfer was cancelled.");
        if (sink.overflow || code == CURLE_FILESIZE_EXCEEDED)
            return fail("The server's answer was larger than " + std::to_string(limits.maxBytes) + " bytes.");
        if (code == CURLE_UNSUPPORTED_PROTOCOL) return fail("Only HTTPS addresses are allowed.");
        if (sink.refused) return fail("The download could not be stored.");
        if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && sink.notSuccess))
            return fail(std::string("The request failed: ") + curlLibrary().easy_strerror(code) + ".");
        long status = 0;
        curlLibrary().easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
        if (status == 200) return result;
        if (status < 300 || status >= 400) return fail("The server answered with status " + std::to_string(status) + ".");

        char* location = nullptr;
        curlLibrary().easy_getinfo(curl.get(), CURLINFO_REDIRECT_URL, &location);
        if (limits.redirects == FetchLimits::Redirects::refuse)
            return fail("The server redirected the request, which is not followed for this address.");
        const auto target = location ? originOf(location) : std::nullopt;
        if (!target || !startOrigin || !(*target == *startOrigin))
            return fail("The server redirected the request to another host, which is not followed.");
        if (hop >= kMaxRedirects) return fail("The server redirected the request too many times.");
        url = location;
    }
}

void cancelAllFetches() {
    RunningTransfers& running = runningTransfers();
    std::lock_guard lock(running.mutex);
    running.cancelled.store(true);
    for (CURLM* multi : running.transfers) curlLibrary().multi_wakeup(multi);
}

}  // namespace harbelle
