#include "history/ClipFilter.h"

#include <QList>
#include <QString>
#include <algorithm>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "history/ChunkRunner.h"
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

bool passesDevice(const ClipItem& item, const std::optional<std::string>& activeDeviceID) {
    return !activeDeviceID || deviceKeyView(item) == *activeDeviceID;
}

// Substring test for the hot loop: compares the token's first and last bytes at 16 positions
// at once and checks the rest only where both agree, which rejects ordinary text far faster
// than a byte-wise search.
bool contains(std::string_view haystack, std::string_view needle) {
    const std::size_t k = needle.size();
    if (k == 0) return true;
    if (k > haystack.size()) return false;
    if (k == 1) return std::memchr(haystack.data(), needle[0], haystack.size()) != nullptr;
    const char* p = haystack.data();
    const std::size_t starts = haystack.size() - k + 1;
    std::size_t i = 0;
#ifdef __SSE2__
    const __m128i first = _mm_set1_epi8(needle[0]);
    const __m128i last = _mm_set1_epi8(needle[k - 1]);
    for (; i + 16 <= starts; i += 16) {
        const __m128i blockFirst = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i blockLast = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + k - 1));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_and_si128(_mm_cmpeq_epi8(first, blockFirst), _mm_cmpeq_epi8(last, blockLast))));
        while (mask != 0) {
            const unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (std::memcmp(p + i + bit + 1, needle.data() + 1, k - 2) == 0) return true;
            mask &= mask - 1;
        }
    }
    if (i == starts) return false;
#endif
    return ::memmem(p + i, haystack.size() - i, needle.data(), k) != nullptr;
}

bool containsAll(const std::string& haystack, const std::vector<std::string>& tokens) {
    for (const auto& token : tokens) {
        if (!contains(haystack, token)) return false;
    }
    return true;
}

// Decompose so accents become separate marks, drop the marks, then fold case. Composing
// again keeps scripts whose decomposition is not a mark (Hangul) as whole characters.
std::string foldNonAscii(std::string_view text) {
    const QString decomposed = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))
                                   .normalized(QString::NormalizationForm_D);
    QList<uint> codePoints = decomposed.toUcs4();
    codePoints.removeIf(
        [](uint c) { return QChar::category(char32_t(c)) == QChar::Mark_NonSpacing; });
    const QString stripped = QString::fromUcs4(reinterpret_cast<const char32_t*>(codePoints.constData()),
                                               codePoints.size());
    return stripped.toCaseFolded().toLower().normalized(QString::NormalizationForm_C).toStdString();
}

}  // namespace

std::string foldForSearch(std::string_view text) {
    // ASCII folds byte by byte. Only the non-ASCII runs take the Unicode path; folding run by
    // run gives the same result, since no accent composes with, or reorders across, an ASCII
    // character once the marks are gone.
    std::string folded;
    folded.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            folded += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        while (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x80) ++end;
        folded += foldNonAscii(text.substr(i, end - i));
        i = end;
    }
    return folded;
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

namespace {
constexpr std::size_t kParallelSearchFrom = 8'000;
constexpr std::size_t kSearchThreads = 4;
constexpr std::size_t kChunksPerThread = 8;
}  // namespace

std::vector<std::size_t> filterIndices(const ClipList& items, ClipFilter filter,
                                       const std::optional<std::string>& activeDeviceID,
                                       std::string_view query) {
    const auto tokens = searchTokens(query);
    const auto scan = [&](std::size_t from, std::size_t to) {
        std::vector<std::size_t> found;
        for (std::size_t i = from; i < to; ++i)
            if (matchesFilter(items[i], filter, activeDeviceID, tokens)) found.push_back(i);
        return found;
    };
    // A query over a large history reads ~1 KB of folded text per clip, more than one core's
    // memory bandwidth finishes within a frame: the scan is shared with a few threads. Each clip
    // is read (and its folded text cached) by one thread only.
    const std::size_t parts = usefulThreads(kSearchThreads);
    if (tokens.empty() || items.size() < kParallelSearchFrom || parts < 2) return scan(0, items.size());
    std::vector<std::vector<std::size_t>> found(parts * kChunksPerThread);
    runInChunks(items.size(), parts, found.size(),
                [&](std::size_t chunk, std::size_t from, std::size_t to) { found[chunk] = scan(from, to); });
    std::vector<std::size_t> indices;
    for (const auto& part : found) indices.insert(indices.end(), part.begin(), part.end());
    return indices;
}

ClipList filterItems(const ClipList& items, ClipFilter filter, const std::optional<std::string>& activeDeviceID,
                     std::string_view query) {
    const auto indices = filterIndices(items, filter, activeDeviceID, query);
    ClipList result;
    result.reserve(indices.size());
    for (std::size_t i : indices) result.push_back(items.shared(i));
    return result;
}

FilterCounts countsFor(const ClipList& items, const std::optional<std::string>& activeDeviceID) {
    // One pass for every filter: each clip is read once, not once per chip.
    FilterCounts counts{};
    for (const auto& item : items) {
        if (!passesDevice(item, activeDeviceID)) continue;
        for (std::size_t i = 0; i < clipfilter::allCases.size(); ++i)
            if (clipfilter::includes(clipfilter::allCases[i], item)) ++counts[i];
    }
    return counts;
}

int countFor(const ClipList& items, ClipFilter filter,
             const std::optional<std::string>& activeDeviceID) {
    return countsFor(items, activeDeviceID)[clipfilter::indexOf(filter)];
}

}  // namespace harbelle
