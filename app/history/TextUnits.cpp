#include "history/TextUnits.h"

#include <QString>
#include <QTextBoundaryFinder>

namespace harbelle::textunits {
namespace {

bool isWhitespaceOrNewline(char32_t c) {
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    switch (c) {
    case 0x85: case 0xA0: case 0x1680: case 0x202F: case 0x205F: case 0x3000:
    case 0x2028: case 0x2029:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

// Decodes the scalar starting at `pos`; returns its byte length, or 0 when the bytes are not
// valid UTF-8 there.
std::size_t decodeAt(std::string_view s, std::size_t pos, char32_t& out) {
    const auto b0 = static_cast<unsigned char>(s[pos]);
    if (b0 < 0x80) {
        out = b0;
        return 1;
    }
    std::size_t len = 0;
    char32_t c = 0;
    if ((b0 & 0xE0) == 0xC0) { len = 2; c = b0 & 0x1F; }
    else if ((b0 & 0xF0) == 0xE0) { len = 3; c = b0 & 0x0F; }
    else if ((b0 & 0xF8) == 0xF0) { len = 4; c = b0 & 0x07; }
    else return 0;
    if (pos + len > s.size()) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        const auto b = static_cast<unsigned char>(s[pos + i]);
        if ((b & 0xC0) != 0x80) return 0;
        c = (c << 6) | (b & 0x3F);
    }
    out = c;
    return len;
}

}  // namespace

std::string_view trimmedWhitespaceAndNewlines(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        char32_t c = 0;
        const std::size_t len = decodeAt(text, begin, c);
        if (len == 0 || !isWhitespaceOrNewline(c)) break;
        begin += len;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // Step back to the lead byte of the last scalar (at most 4 bytes).
        std::size_t start = end - 1;
        while (start > begin && end - start < 4 &&
               (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
            --start;
        char32_t c = 0;
        const std::size_t len = decodeAt(text, start, c);
        if (len != end - start || !isWhitespaceOrNewline(c)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::size_t graphemeCount(const QString& text, std::size_t limit) {
    if (text.isEmpty()) return 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    std::size_t count = 0;
    while (count < limit && finder.toNextBoundary() != -1) ++count;
    return count;
}

}  // namespace harbelle::textunits
