#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace harbelle {

struct FetchLimits {
    std::chrono::milliseconds connectTimeout{10'000};
    std::chrono::milliseconds totalTimeout{30'000};
    // Bytes of body accepted; a longer answer is cut off and reported as an error.
    std::size_t maxBytes = 1 << 20;
};

struct FetchResult {
    std::string body;
    std::string error;  // empty on success (an HTTP 200 answer within the limits)
    bool ok() const { return error.empty(); }
};

// One blocking GET over HTTPS (redirects too must stay on HTTPS), with no cookies and no cache.
// Call it off the main thread.
FetchResult fetchHttps(const std::string& url, const FetchLimits& limits);

}  // namespace harbelle
