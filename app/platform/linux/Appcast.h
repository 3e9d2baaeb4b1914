#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Updater.h"

namespace harbelle {

// The update feed (an RSS "appcast" with the updater's XML namespace).
namespace appcast {

constexpr std::size_t kMaxFeedBytes = 256 * 1024;
// Qt's XML reader slows down with the square of the attributes on one element.
constexpr std::size_t kMaxAttributesPerElement = 64;
constexpr const char* kSparkleNamespace = "http://www.andymatuschak.org/xml-namespaces/sparkle";

struct ParseResult {
    std::vector<AppcastItem> items;  // releases with a version, an https download and a signature
    std::string error;               // set when the feed as a whole was refused
    bool ok() const { return error.empty(); }
};

// Reads the feed. An oversized answer, an element with too many attributes, malformed XML or a
// document that is no RSS channel is refused with a clear error; single items that lack a version, an https enclosure or a
// signature are left out.
ParseResult parse(std::string_view xml);

// Orders versions the way release numbers are meant: "1.10" after "1.9", "2" equal to "2.0".
// Non-numeric parts compare as text after numeric ones.
int compareVersions(const std::string& a, const std::string& b);

// The newest item whose version is above `currentVersion`, if any.
std::optional<AppcastItem> newestUpdate(const std::vector<AppcastItem>& items,
                                        const std::string& currentVersion);

}  // namespace appcast
}  // namespace harbelle
