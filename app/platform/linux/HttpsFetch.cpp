#include "platform/linux/HttpsFetch.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace harbelle {

namespace {

struct Sink {
    std::string* body;
    std::size_t maxBytes;
    bool overflow = false;
};

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* context) {
    auto* sink = static_cast<Sink*>(context);
    const std::size_t bytes = size * count;
    if (sink->body->size() + bytes > sink->maxBytes) {
        sink->overflow = true;
        return 0;  // makes curl stop with a write error
    }
    sink->body->append(data, bytes);
    return bytes;
}

void initializeCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

FetchResult fetchHttps(const std::string& url, const FetchLimits& limits) {
    initializeCurlOnce();
    FetchResult result;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) {
        result.error = "Could not start a network request.";
        return result;
    }
    Sink sink{&result.body, limits.maxBytes};
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectTimeout.count()));
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(limits.totalTimeout.count()));
    curl_easy_setopt(curl.get(), CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes));
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &writeBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl.get(), CURLOPT_USERAGENT, "Harbelle");

    const CURLcode code = curl_easy_perform(curl.get());
    if (sink.overflow || code == CURLE_FILESIZE_EXCEEDED) {
        result.body.clear();
        result.error = "The server's answer was larger than " + std::to_string(limits.maxBytes) + " bytes.";
        return result;
    }
    if (code == CURLE_UNSUPPORTED_PROTOCOL) {
        result.body.clear();
        result.error = "Only HTTPS addresses are allowed.";
        return result;
    }
    if (code != CURLE_OK) {
        result.body.clear();
        result.error = std::string("The request failed: ") + curl_easy_strerror(code) + ".";
        return result;
    }
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        result.body.clear();
        result.error = "The server answered with status " + std::to_string(status) + ".";
    }
    return result;
}

}  // namespace harbelle
