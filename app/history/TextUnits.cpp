#include "history/TextUnits.h"

#include <QString>
#include <QTextBoundaryFinder>

#include <limits>

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

namespace {

// Grapheme boundaries depend only on the text before a position and the character at it, so a
// boundary found inside a prefix is one of the whole text; only the prefix's own end may be
// followed by more of the same character. Counts the characters that end inside `prefix`
// (its end counts only when it is the whole text), up to `limit`; `end` is where the last
// counted one ends.
std::size_t countGraphemes(QStringView prefix, bool isWholeText, std::size_t limit, qsizetype& end) {
    end = 0;
    if (prefix.isEmpty() || limit == 0) return 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, prefix);
    std::size_t count = 0;
    for (qsizetype boundary = finder.toNextBoundary(); boundary != -1 && count < limit;
         boundary = finder.toNextBoundary()) {
        if (boundary == prefix.size() && !isWholeText) break;
        ++count;
        end = boundary;
    }
    return count;
}

// A first guess of how many code units `limit` characters take: most characters are one or
// two units; longer ones make the prefix grow.
std::size_t initialPrefixLength(std::size_t limit, std::size_t unitsPerCharacter) {
    constexpr std::size_t kSlack = 32;
    if (limit > (std::numeric_limits<std::size_t>::max() - kSlack) / unitsPerCharacter)
        return std::numeric_limits<std::size_t>::max();
    return limit * unitsPerCharacter + kSlack;
}

}  // namespace

std::size_t graphemeCount(const QString& text, std::size_t limit) {
    if (text.isEmpty() || limit == 0) return 0;
    const auto size = static_cast<std::size_t>(text.size());
    std::size_t length = initialPrefixLength(limit, 2);
    for (;;) {
        if (length >= size) length = size;
        // Never split a surrogate pair.
        else if (text.at(static_cast<qsizetype>(length)).isLowSurrogate()) ++length;
        qsizetype end = 0;
        const std::size_t count =
            countGraphemes(QStringView(text).left(static_cast<qsizetype>(length)), length == size, limit, end);
        if (count >= limit || length == size) return count;
        length = length > size / 2 ? size : length * 2;
    }
}

GraphemePrefix graphemePrefix(std::string_view utf8, std::size_t limit) {
    GraphemePrefix result;
    if (utf8.empty() || limit == 0) return result;
    std::size_t length = initialPrefixLength(limit, 4);
    for (;;) {
        if (length >= utf8.size()) length = utf8.size();
        // Cut only before an ASCII byte or a lead byte, so the prefix decodes exactly as the
        // start of the whole text does.
        while (length < utf8.size() && (static_cast<unsigned char>(utf8[length]) & 0xC0) == 0x80) ++length;
        const QString decoded = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(length));
        qsizetype end = 0;
        const bool whole = length == utf8.size();
        result.count = countGraphemes(decoded, whole, limit, end);
        if (result.count >= limit || whole) {
            result.text = decoded.left(end);
            return result;
        }
        length = length > utf8.size() / 2 ? utf8.size() : length * 2;
    }
}

std::size_t graphemeCount(std::string_view utf8, std::size_t limit) { return graphemePrefix(utf8, limit).count; }

}  // namespace harbelle::textunits
