#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace harbelle {

enum class ShelfPlacement { bottom, top, left, right };
enum class ShelfSizeMode { compact, medium, full, custom };

namespace shelfplacement {
inline constexpr std::array<ShelfPlacement, 4> allCases{ShelfPlacement::bottom, ShelfPlacement::top,
                                                       ShelfPlacement::left, ShelfPlacement::right};
std::string_view rawValue(ShelfPlacement placement);
std::optional<ShelfPlacement> fromRawValue(std::string_view raw);
inline bool isVertical(ShelfPlacement p) { return p == ShelfPlacement::left || p == ShelfPlacement::right; }
}  // namespace shelfplacement

namespace shelfsizemode {
inline constexpr std::array<ShelfSizeMode, 4> allCases{ShelfSizeMode::compact, ShelfSizeMode::medium,
                                                      ShelfSizeMode::full, ShelfSizeMode::custom};
std::string_view rawValue(ShelfSizeMode mode);
std::optional<ShelfSizeMode> fromRawValue(std::string_view raw);
}  // namespace shelfsizemode

}  // namespace harbelle
