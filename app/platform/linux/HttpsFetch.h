#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace harbelle {

struct FetchLimits {
    // Feeds are read only where they are published; downloads may move within their own server.
    enum class Redirects { refuse, sameHost };

    std::chrono::milliseconds connectTimeout{10'000};
    std::chrono::milliseconds totalTimeout{30'000};
    // Bytes of body accepted; a longer answer is cut off and reported as an error.
    std::size_t maxBytes = 1 << 20;
    Redirects redirects = Redirects::refuse;
    // A PEM file of extra trust anchors instead of the system's (tests with a local server).
    std::string caFile;
};

struct FetchResult {
    std::string body;
    std::string error;  // empty on success (an HTTP 200 answer within the limits)
    bool ok() const { return error.empty(); }
};

// Receives the body of a 200 answer piece by piece; false stops the transfer as a failure.
using FetchSink = std::function<bool(const char* data, std::size_t size)>;

// One blocking GET over HTTPS with no cookies and no cache. With a sink the body goes there
// and `body` stays empty. Call it off the main thread.
FetchResult fetchHttps(const std::string& url, const FetchLimits& limits, const FetchSink& sink = {});

// At quit: every running fetch ends at once as a failure, and every later one fails at its
// start. Any thread; there is no way back.
void cancelAllFetches();

}  // namespace harbelle
