#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class QString;

namespace harbelle::textunits {

// Trims Unicode white space and line breaks (Z* categories, U+0009 to U+000D, U+0085) from both
// ends of UTF-8 text. Bytes that are not valid UTF-8 count as content.
std::string_view trimmedWhitespaceAndNewlines(std::string_view text);

// Counts user-perceived characters (extended grapheme clusters), stopping at `limit`.
std::size_t graphemeCount(const QString& text, std::size_t limit = std::string::npos);

}  // namespace harbelle::textunits
