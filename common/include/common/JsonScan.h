#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// A walk over JSON text that knows where strings are and how deeply arrays and objects nest,
// without building anything: for checks made before a parser sees the text, and for edits that
// keep every other byte as it is.
namespace harbelle::jsonscan {

// Calls visit(index, byte, depth) for each byte of `text` from `from` on that lies outside string
// literals (a string's opening quote is visited, the rest of the string is not). `depth` is the
// number of arrays and objects open before the byte; a closing bracket with none open leaves it
// at 0. Returns the index where visit answered false, or std::string::npos at the end.
template <class Visit>
std::size_t scan(std::string_view text, std::size_t from, Visit&& visit) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
            continue;
        }
        if (!visit(i, c, depth)) return i;
        if (c == '"') inString = true;
        else if (c == '[' || c == '{') ++depth;
        else if ((c == ']' || c == '}') && depth > 0) --depth;
    }
    return std::string::npos;
}

// Whether no array or object in `text` opens deeper than `maximumDepth` (the root is level 1;
// empty ones count too). Says nothing else about the text being valid JSON.
inline bool nestingWithin(std::string_view text, int maximumDepth) {
    return scan(text, 0, [&](std::size_t, char c, int depth) {
               return !((c == '[' || c == '{') && depth >= maximumDepth);
           }) == std::string::npos;
}

}  // namespace harbelle::jsonscan
