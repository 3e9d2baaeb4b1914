#include "history/ClipKind.h"

#include <QString>
#include <QTextBoundaryFinder>
#include <QUrl>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

#include "history/TextUnits.h"

namespace harbelle::clipkind {
namespace {

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// "#" followed by exactly 3, 6 or 8 hexadecimal digits and nothing else.
bool isColorCode(std::string_view s) {
    if (s.size() != 4 && s.size() != 7 && s.size() != 9) return false;
    if (s[0] != '#') return false;
    for (std::size_t i = 1; i < s.size(); ++i)
        if (!isHexDigit(s[i])) return false;
    return true;
}

// Each is at least two bytes long and ends in a space, ">" or "/".
constexpr std::string_view kCodeKeywords[] = {
    "import ", "func ", "class ", "struct ", "enum ", "const ", "let ", "var ",
    "def ",    "return ", "=>",  "</",     "SELECT ", "FROM ", "#!/"};
constexpr std::string_view kCodePunctuation = "{}[]();<>";

// Keywords by their next-to-last byte, for the one-pass search below.
constexpr auto kKeywordsByPenultimateByte = [] {
    std::array<std::uint16_t, 256> table{};
    for (std::size_t k = 0; k < std::size(kCodeKeywords); ++k) {
        const auto keyword = kCodeKeywords[k];
        table[static_cast<unsigned char>(keyword[keyword.size() - 2])] |= static_cast<std::uint16_t>(1u << k);
    }
    return table;
}();

// How many different keywords occur in the text, counting stops at `enough`. One pass over the
// text: each keyword ends in a space, ">" or "/", and only there are keywords compared.
int keywordCount(std::string_view text, int enough) {
    std::uint32_t found = 0;
    int count = 0;
    for (std::size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c != ' ' && c != '>' && c != '/') continue;
        std::uint32_t candidates = kKeywordsByPenultimateByte[static_cast<unsigned char>(text[i - 1])] & ~found;
        while (candidates != 0) {
            const int k = std::countr_zero(candidates);
            candidates &= candidates - 1;
            const auto keyword = kCodeKeywords[k];
            if (keyword.back() != c || i + 1 < keyword.size()) continue;
            if (text.substr(i + 1 - keyword.size(), keyword.size()) != keyword) continue;
            found |= 1u << k;
            if (++count >= enough) return count;
        }
    }
    return count;
}

bool isCodePunctuation(char c) { return kCodePunctuation.find(c) != std::string_view::npos; }

// Whether the ASCII punctuation byte at `pos` is a character of its own. Next to ASCII it
// always is; beside other characters (a combining mark after it, a prepended sign before it)
// the boundaries are looked up in a small window, as they depend only on the neighbours.
bool isWholeCharacterAt(std::string_view text, std::size_t pos) {
    const bool asciiBefore = pos == 0 || static_cast<unsigned char>(text[pos - 1]) < 0x80;
    const bool asciiAfter = pos + 1 == text.size() || static_cast<unsigned char>(text[pos + 1]) < 0x80;
    if (asciiBefore && asciiAfter) return true;
    constexpr std::size_t kReach = 16;
    std::size_t begin = pos > kReach ? pos - kReach : 0;
    while (begin > 0 && (static_cast<unsigned char>(text[begin]) & 0xC0) == 0x80) --begin;
    std::size_t end = std::min(text.size(), pos + 1 + kReach);
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
    const QString window = QString::fromUtf8(text.data() + begin, static_cast<qsizetype>(end - begin));
    const qsizetype at = QString::fromUtf8(text.data() + begin, static_cast<qsizetype>(pos - begin)).size();
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, window);
    finder.setPosition(at);
    if (!finder.isAtBoundary()) return false;
    finder.setPosition(at + 1);
    return finder.isAtBoundary();
}

// The whole-text walk: every character, punctuation counted only as a whole character.
bool hasThreePunctuationCharacters(std::string_view trimmed) {
    const QString text = QString::fromUtf8(trimmed.data(), static_cast<qsizetype>(trimmed.size()));
    int punctuation = 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    for (qsizetype end = finder.toNextBoundary(); end != -1; end = finder.toNextBoundary()) {
        if (end - start == 1) {
            const char16_t c = text.at(start).unicode();
            if (c < 0x80 && isCodePunctuation(static_cast<char>(c)) && ++punctuation >= 3) return true;
        }
        start = end;
    }
    return false;
}

bool looksLikeCode(std::string_view trimmed) {
    if (trimmed.size() < 12) return false;  // fewer bytes means fewer characters
    // ASCII but carriage return is a character a byte, so text that starts so has twelve
    // characters without the Unicode walk (the thirteenth byte, ASCII too, cannot join the
    // twelfth).
    const std::string_view start = trimmed.substr(0, 13);
    const bool plainStart = std::all_of(start.begin(), start.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x80 && c != '\r';
    });
    if (!plainStart && textunits::graphemeCount(trimmed, 12) < 12) return false;

    const int keywords = keywordCount(trimmed, 2);
    if (keywords >= 2) return true;
    if (keywords == 0) return false;

    // Punctuation counts only as a whole character: a bracket carrying a combining mark is
    // another character. Most candidates sit between ASCII and are settled at once; text
    // with many doubtful ones takes the whole-text walk instead.
    constexpr int kMaxWindowLookups = 64;
    int punctuation = 0;
    int lookups = 0;
    for (std::size_t pos = 0; pos < trimmed.size(); ++pos) {
        if (!isCodePunctuation(trimmed[pos])) continue;
        const bool asciiBefore = pos == 0 || static_cast<unsigned char>(trimmed[pos - 1]) < 0x80;
        const bool asciiAfter = pos + 1 == trimmed.size() || static_cast<unsigned char>(trimmed[pos + 1]) < 0x80;
        if (!(asciiBefore && asciiAfter) && ++lookups > kMaxWindowLookups) return hasThreePunctuationCharacters(trimmed);
        if (isWholeCharacterAt(trimmed, pos) && ++punctuation >= 3) return true;
    }
    return false;
}

}  // namespace

std::string_view rawValue(ClipKind kind) {
    switch (kind) {
    case ClipKind::text: return "text";
    case ClipKind::link: return "link";
    case ClipKind::image: return "image";
    case ClipKind::file: return "file";
    case ClipKind::code: return "code";
    case ClipKind::color: return "color";
    }
    return "text";
}

std::optional<ClipKind> fromRawValue(std::string_view raw) {
    for (auto kind : allCases)
        if (rawValue(kind) == raw) return kind;
    return std::nullopt;
}

std::string_view label(ClipKind kind) {
    switch (kind) {
    case ClipKind::text: return "Text";
    case ClipKind::link: return "Link";
    case ClipKind::image: return "Image";
    case ClipKind::file: return "File";
    case ClipKind::code: return "Code";
    case ClipKind::color: return "Color";
    }
    return "Text";
}

std::string_view symbol(ClipKind kind) {
    switch (kind) {
    case ClipKind::text: return "text.alignleft";
    case ClipKind::link: return "link";
    case ClipKind::image: return "photo";
    case ClipKind::file: return "doc";
    case ClipKind::code: return "chevron.left.forwardslash.chevron.right";
    case ClipKind::color: return "paintpalette";
    }
    return "text.alignleft";
}

ClipKind detect(std::string_view text) {
    const std::string_view trimmed = textunits::trimmedWhitespaceAndNewlines(text);
    if (webURL(trimmed)) return ClipKind::link;
    if (isColorCode(trimmed)) return ClipKind::color;
    if (looksLikeCode(trimmed)) return ClipKind::code;
    return ClipKind::text;
}

std::optional<std::string> webURL(std::string_view text) {
    const std::string_view trimmed = textunits::trimmedWhitespaceAndNewlines(text);
    if (trimmed.empty() || trimmed.find('\n') != std::string_view::npos) return std::nullopt;
    // Only http and https qualify; reject anything else before parsing a possibly huge string.
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    std::string prefix;
    for (std::size_t i = 0; i < trimmed.size() && i < 6; ++i) prefix.push_back(lower(trimmed[i]));
    if (!prefix.starts_with("http:") && prefix != "https:") return std::nullopt;

    const QUrl url(QString::fromUtf8(trimmed.data(), static_cast<qsizetype>(trimmed.size())),
                   QUrl::StrictMode);
    if (!url.isValid()) return std::nullopt;
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) return std::nullopt;

    // A host is present exactly when an authority ("//") follows the scheme; it may be empty.
    const std::size_t colon = trimmed.find(':');
    if (colon == std::string_view::npos || trimmed.substr(colon + 1, 2) != "//") return std::nullopt;
    return std::string(trimmed);
}

}  // namespace harbelle::clipkind
