#include "history/ClipKind.h"

#include <QString>
#include <QTextBoundaryFinder>
#include <QUrl>

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

constexpr std::string_view kCodeKeywords[] = {
    "import ", "func ", "class ", "struct ", "enum ", "const ", "let ", "var ",
    "def ",    "return ", "=>",  "</",     "SELECT ", "FROM ", "#!/"};
constexpr std::string_view kCodePunctuation = "{}[]();<>";

bool looksLikeCode(std::string_view trimmed) {
    if (trimmed.size() < 12) return false;  // fewer bytes means fewer characters
    const QString text = QString::fromUtf8(trimmed.data(), static_cast<qsizetype>(trimmed.size()));
    if (textunits::graphemeCount(text, 12) < 12) return false;

    int keywords = 0;
    for (auto keyword : kCodeKeywords)
        if (trimmed.find(keyword) != std::string_view::npos) ++keywords;
    if (keywords >= 2) return true;
    if (keywords == 0) return false;

    // Punctuation counts only as a whole character: a bracket carrying a combining mark is
    // another character.
    int punctuation = 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    for (qsizetype end = finder.toNextBoundary(); end != -1; end = finder.toNextBoundary()) {
        if (end - start == 1) {
            const char16_t c = text.at(start).unicode();
            if (c < 0x80 && kCodePunctuation.find(static_cast<char>(c)) != std::string_view::npos &&
                ++punctuation >= 3)
                return true;
        }
        start = end;
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
