#include "history/ClipFilter.h"

#include <QList>
#include <QString>
#include <cstring>

#include "history/ClipDeviceOrigin.h"

namespace harbelle {

namespace clipfilter {

std::string_view rawValue(ClipFilter filter) {
    switch (filter) {
    case ClipFilter::all: return "all";
    case ClipFilter::favorites: return "favorites";
    case ClipFilter::text: return "text";
    case ClipFilter::links: return "links";
    case ClipFilter::images: return "images";
    case ClipFilter::files: return "files";
    }
    return "all";
}

std::optional<ClipFilter> fromRawValue(std::string_view raw) {
    for (ClipFilter filter : allCases) {
        if (rawValue(filter) == raw) return filter;
    }
    return std::nullopt;
}

bool includes(ClipFilter filter, const ClipItem& item) {
    switch (filter) {
    case ClipFilter::all: return true;
    case ClipFilter::favorites: return item.isPinned;
    // Code and colour clips have no filter of their own.
    case ClipFilter::text:
        return item.kind == ClipKind::text || item.kind == ClipKind::code ||
               item.kind == ClipKind::color;
    case ClipFilter::links: return item.kind == ClipKind::link;
    case ClipFilter::images: return item.kind == ClipKind::image;
    case ClipFilter::files: return item.kind == ClipKind::file;
    }
    return false;
}

}  // namespace clipfilter

namespace {

bool isAscii(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80) return false;
    }
    return true;
}

bool passesDevice(const ClipItem& item, const std::optional<std::string>& activeDeviceID) {
    return !activeDeviceID || deviceKeyView(item) == *activeDeviceID;
}

bool containsAll(const std::string& haystack, const std::vector<std::string>& tokens) {
    for (const auto& token : tokens) {
        if (!::memmem(haystack.data(), haystack.size(), token.data(), token.size())) return false;
    }
    return true;
}

}  // namespace

std::string foldForSearch(std::string_view text) {
    if (isAscii(text)) {
        std::string folded(text);
        for (char& c : folded) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return folded;
    }
    // Decompose so accents become separate marks, drop the marks, then fold case. Composing
    // again keeps scripts whose decomposition is not a mark (Hangul) as whole characters.
    const QString decomposed = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))
                                   .normalized(QString::NormalizationForm_D);
    QList<uint> codePoints = decomposed.toUcs4();
    codePoints.removeIf(
        [](uint c) { return QChar::category(char32_t(c)) == QChar::Mark_NonSpacing; });
    const QString stripped = QString::fromUcs4(reinterpret_cast<const char32_t*>(codePoints.constData()),
                                               codePoints.size());
    return stripped.toCaseFolded().toLower().normalized(QString::NormalizationForm_C).toStdString();
}

std::vector<std::string> searchTokens(std::string_view query) {
    const QString folded = QString::fromStdString(foldForSearch(query));
    std::vector<std::string> tokens;
    qsizetype start = -1;
    for (qsizetype i = 0; i <= folded.size(); ++i) {
        const bool atEnd = i == folded.size();
        if (atEnd || folded.at(i).isSpace()) {
            if (start >= 0) tokens.push_back(folded.mid(start, i - start).toStdString());
            start = -1;
        } else if (start < 0) {
            start = i;
        }
    }
    return tokens;
}

bool matchesFilter(const ClipItem& item, ClipFilter filter,
                   const std::optional<std::string>& activeDeviceID,
                   const std::vector<std::string>& tokens) {
    if (!clipfilter::includes(filter, item)) return false;
    if (!passesDevice(item, activeDeviceID)) return false;
    if (tokens.empty()) return true;
    return containsAll(item.foldedSearchBlob(), tokens);
}

std::vector<std::size_t> filterIndices(const std::vector<ClipItem>& items, ClipFilter filter,
                                       const std::optional<std::string>& activeDeviceID,
                                       std::string_view query) {
    const auto tokens = searchTokens(query);
    std::vector<std::size_t> indices;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (matchesFilter(items[i], filter, activeDeviceID, tokens)) indices.push_back(i);
    }
    return indices;
}

std::vector<ClipItem> filterItems(const std::vector<ClipItem>& items, ClipFilter filter,
                                  const std::optional<std::string>& activeDeviceID,
                                  std::string_view query) {
    std::vector<ClipItem> result;
    for (std::size_t i : filterIndices(items, filter, activeDeviceID, query)) result.push_back(items[i]);
    return result;
}

int countFor(const std::vector<ClipItem>& items, ClipFilter filter,
             const std::optional<std::string>& activeDeviceID) {
    int count = 0;
    for (const auto& item : items) {
        if (clipfilter::includes(filter, item) && passesDevice(item, activeDeviceID)) ++count;
    }
    return count;
}

}  // namespace harbelle
