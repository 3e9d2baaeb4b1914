#include "history/ShelfPlacement.h"

namespace harbelle {

namespace shelfplacement {
std::string_view rawValue(ShelfPlacement placement) {
    switch (placement) {
    case ShelfPlacement::bottom: return "bottom";
    case ShelfPlacement::top: return "top";
    case ShelfPlacement::left: return "left";
    case ShelfPlacement::right: return "right";
    }
    return "bottom";
}

std::optional<ShelfPlacement> fromRawValue(std::string_view raw) {
    for (auto placement : allCases)
        if (rawValue(placement) == raw) return placement;
    return std::nullopt;
}
}  // namespace shelfplacement

namespace shelfsizemode {
std::string_view rawValue(ShelfSizeMode mode) {
    switch (mode) {
    case ShelfSizeMode::compact: return "compact";
    case ShelfSizeMode::medium: return "medium";
    case ShelfSizeMode::full: return "full";
    case ShelfSizeMode::custom: return "custom";
    }
    return "compact";
}

std::optional<ShelfSizeMode> fromRawValue(std::string_view raw) {
    for (auto mode : allCases)
        if (rawValue(mode) == raw) return mode;
    return std::nullopt;
}
}  // namespace shelfsizemode

}  // namespace harbelle
