#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace harbelle {

enum class ClipKind { text, link, image, file, code, color };

namespace clipkind {
inline constexpr std::array<ClipKind, 6> allCases{ClipKind::text, ClipKind::link,  ClipKind::image,
                                                  ClipKind::file, ClipKind::code, ClipKind::color};
std::string_view rawValue(ClipKind kind);
std::optional<ClipKind> fromRawValue(std::string_view raw);
std::string_view label(ClipKind kind);
// Symbol names as the shelf's icon set knows them.
std::string_view symbol(ClipKind kind);

// Classifies a plain string; never returns image or file.
ClipKind detect(std::string_view text);
// The URL of a string that is exactly one http(s) address, else nothing.
std::optional<std::string> webURL(std::string_view text);
}  // namespace clipkind

}  // namespace harbelle
