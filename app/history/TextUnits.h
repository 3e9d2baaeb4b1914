#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <QString>

namespace harbelle::textunits {

// Trims Unicode white space and line breaks (Z* categories, U+0009 to U+000D, U+0085) from both
// ends of UTF-8 text. Bytes that are not valid UTF-8 count as content.
std::string_view trimmedWhitespaceAndNewlines(std::string_view text);

// Counts user-perceived characters (extended grapheme clusters), stopping at `limit`. With a
// limit only a prefix long enough for `limit` characters is examined, so a small limit costs
// the same on a megabyte of text as on a line.
std::size_t graphemeCount(const QString& text, std::size_t limit = std::string::npos);
std::size_t graphemeCount(std::string_view utf8, std::size_t limit);

// The first `limit` user-perceived characters of UTF-8 text: how many there are (at most
// `limit`) and their decoded text. Only a prefix of `utf8` is decoded.
struct GraphemePrefix {
    std::size_t count = 0;
    QString text;
};
GraphemePrefix graphemePrefix(std::string_view utf8, std::size_t limit);

}  // namespace harbelle::textunits
