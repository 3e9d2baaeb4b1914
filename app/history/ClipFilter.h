#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/ClipItem.h"
#include "history/ClipList.h"

namespace harbelle {

enum class ClipFilter { all, favorites, text, links, images, files };

namespace clipfilter {
inline constexpr std::array<ClipFilter, 6> allCases{ClipFilter::all,   ClipFilter::favorites,
                                                    ClipFilter::text,  ClipFilter::links,
                                                    ClipFilter::images, ClipFilter::files};
std::string_view rawValue(ClipFilter filter);
// The filter's position in allCases.
constexpr std::size_t indexOf(ClipFilter filter) {
    std::size_t i = 0;
    while (allCases[i] != filter) ++i;
    return i;
}
std::optional<ClipFilter> fromRawValue(std::string_view raw);
bool includes(ClipFilter filter, const ClipItem& item);
}  // namespace clipfilter

// Case- and diacritic-insensitive folding, then lower-case: what search compares.
std::string foldForSearch(std::string_view text);
// The folded query split at white space, empty tokens dropped.
std::vector<std::string> searchTokens(std::string_view query);

// The shelf's list: clips passing the kind filter, the device filter and every token, in order.
ClipList filterItems(const ClipList& items, ClipFilter filter, const std::optional<std::string>& activeDeviceID,
                     std::string_view query);
// The same list as positions into `items`.
std::vector<std::size_t> filterIndices(const ClipList& items, ClipFilter filter,
                                       const std::optional<std::string>& activeDeviceID,
                                       std::string_view query);
bool matchesFilter(const ClipItem& item, ClipFilter filter,
                   const std::optional<std::string>& activeDeviceID,
                   const std::vector<std::string>& tokens);
// Clips the filter admits under the device filter, ignoring the query.
int countFor(const ClipList& items, ClipFilter filter,
             const std::optional<std::string>& activeDeviceID);
// countFor of every filter, in the order of clipfilter::allCases.
using FilterCounts = std::array<int, clipfilter::allCases.size()>;
FilterCounts countsFor(const ClipList& items, const std::optional<std::string>& activeDeviceID);

}  // namespace harbelle
