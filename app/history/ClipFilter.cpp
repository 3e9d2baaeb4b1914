#include "history/ClipFilter.h"

#include <QList>
#include <QString>
#include <algorithm>
#include <array>
#include <chrono>
#include <mutex>

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

// A run of characters of two UTF-8 bytes each (Latin, Greek, Cyrillic, Hebrew, Arabic...)
// folds character by character: none of them composes with a neighbour once the marks are
// gone, so the run's fold is the folds of its characters in turn. Those are made once.
const std::string* twoByteFolds() {
    static std::array<std::string, 0x800> folds;
    static std::once_flag made;
    std::call_once(made, [] {
        for (unsigned c = 0x80; c < 0x800; ++c) {
            const char bytes[2] = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
            folds[c] = foldNonAscii(std::string_view(bytes, 2));
        }
    });
    return folds.data();
}

void appendFoldedRun(std::string& out, std::string_view run) {
    std::size_t i = 0;
    for (; i + 1 < run.size(); i += 2) {
        const auto lead = static_cast<unsigned char>(run[i]);
        const auto next = static_cast<unsigned char>(run[i + 1]);
        if (lead < 0xC2 || lead > 0xDF || next < 0x80 || next > 0xBF) break;
    }
    if (i != run.size()) {
        out += foldNonAscii(run);
        return;
    }
    const std::string* folds = twoByteFolds();
    for (i = 0; i < run.size(); i += 2) {
        const unsigned c = ((static_cast<unsigned char>(run[i]) & 0x1Fu) << 6) | (static_cast<unsigned char>(run[i + 1]) & 0x3Fu);
        out += folds[c];
    }
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
        const std::size_t start = i;
        while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
        if (i > start) {
            const std::size_t at = folded.size();
            folded.resize(at + (i - start));
            char* out = folded.data() + at;
            for (std::size_t j = start; j < i; ++j) {
                const char c = text[j];
                *out++ = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            }
        }
        if (i == text.size()) break;
        std::size_t end = i + 1;
        while (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x80) ++end;
        appendFoldedRun(folded, text.substr(i, end - i));
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
    return item.searchMatches(tokens);
}

namespace {
constexpr std::size_t kParallelSearchFrom = 8'000;
constexpr std::size_t kSearchThreads = 4;
constexpr std::size_t kChunksPerThread = 8;
// The GUI thread's share of a search's processor time; helpers do the rest. With the model's
// update and the repaint, the keystroke stays within a frame.
constexpr std::chrono::microseconds kSearchCallerShare{5'000};

// `scan(from, to)` over every clip, in parts. A query over a large history reads ~1 KB of folded
// text per clip, more than one core's memory bandwidth finishes within a frame: the scan is
// shared with a few threads. Each clip is read (and its folded text cached) by one thread only.
template <class Scan>
auto scanInParts(const ClipList& items, Scan scan) {
    using Part = decltype(scan(std::size_t{0}, std::size_t{0}));
    const std::size_t threads = usefulThreads(kSearchThreads);
    if (items.size() < kParallelSearchFrom || threads < 2) return std::vector<Part>{scan(0, items.size())};
    std::vector<Part> parts(threads * kChunksPerThread);
    runInChunks(
        items.size(), threads, parts.size(),
        [&](std::size_t chunk, std::size_t from, std::size_t to) { parts[chunk] = scan(from, to); },
        kSearchCallerShare);
    return parts;
}

}  // namespace

std::vector<std::size_t> filterIndices(const ClipList& items, ClipFilter filter,
                                       const std::optional<std::string>& activeDeviceID,
                                       std::string_view query) {
    const auto tokens = searchTokens(query);
    const auto parts = scanInParts(items, [&](std::size_t from, std::size_t to) {
        std::vector<std::size_t> found;
        for (std::size_t i = from; i < to; ++i)
            if (matchesFilter(items[i], filter, activeDeviceID, tokens)) found.push_back(i);
        return found;
    });
    if (parts.size() == 1) return parts.front();
    std::vector<std::size_t> indices;
    for (const auto& part : parts) indices.insert(indices.end(), part.begin(), part.end());
    return indices;
}

ClipList filterItems(const ClipList& items, ClipFilter filter, const std::optional<std::string>& activeDeviceID,
                     std::string_view query) {
    const auto tokens = searchTokens(query);
    // Each part takes its clips' references where the scan has just read them: taken afterwards
    // on one thread, a hundred thousand of them cost as much as the scan.
    auto parts = scanInParts(items, [&](std::size_t from, std::size_t to) {
        ClipList::Storage found;
        for (std::size_t i = from; i < to; ++i)
            if (matchesFilter(items[i], filter, activeDeviceID, tokens)) found.push_back(items.shared(i));
        return found;
    });
    std::size_t count = 0;
    for (const auto& part : parts) count += part.size();
    ClipList result;
    result.reserve(count);
    for (auto& part : parts)
        for (auto& clip : part) result.push_back(std::move(clip));
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
