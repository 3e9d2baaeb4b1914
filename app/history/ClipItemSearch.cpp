#include <cstring>
#include <functional>
#include <string_view>
#include <unordered_map>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "history/ClipFilter.h"
#include "history/ClipItem.h"

namespace harbelle {

namespace {

std::size_t joinedURLsSize(const std::vector<std::string>& urls) {
    std::size_t size = urls.empty() ? 0 : urls.size() - 1;
    for (const auto& url : urls) size += url.size();
    return size;
}

std::string rawSearchText(const ClipItem& item) {
    std::string raw;
    raw.reserve(item.title.size() + item.text.size() + item.searchableText.size() +
                item.sourceAppName.size() + joinedURLsSize(item.fileURLs) + 64);
    raw += item.title;
    raw += ' ';
    raw += item.text;
    raw += ' ';
    raw += item.searchableText;
    raw += ' ';
    raw += item.sourceAppName;
    raw += ' ';
    raw += item.sourceDeviceName.value_or("");
    raw += ' ';
    raw += item.sourceDevicePlatform.value_or("");
    raw += ' ';
    raw += clipkind::label(item.kind);
    raw += ' ';
    for (std::size_t i = 0; i < item.fileURLs.size(); ++i) {
        if (i > 0) raw += ' ';
        raw += item.fileURLs[i];
    }
    return raw;
}

bool isAscii(std::string_view text) {
    const char* p = text.data();
    std::size_t n = text.size();
    std::uint64_t high = 0;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        high |= word;
    }
    for (; n > 0; ++p, --n) high |= static_cast<unsigned char>(*p);
    return (high & 0x8080808080808080ULL) == 0;
}

// Calls `field` with each searched field, in the order they are joined.
template <class F>
bool anyField(const ClipItem& item, F&& field) {
    if (field(item.title) || field(item.text) || field(item.searchableText) || field(item.sourceAppName)) return true;
    if (item.sourceDeviceName && field(*item.sourceDeviceName)) return true;
    if (item.sourceDevicePlatform && field(*item.sourceDevicePlatform)) return true;
    if (field(clipkind::label(item.kind))) return true;
    for (const auto& url : item.fileURLs)
        if (field(url)) return true;
    return false;
}

// Whether a run of non-ASCII characters folds to itself (a title's ellipsis, most CJK text).
// Remembered per thread for short runs, so a search asks the Unicode tables once per run.
bool runFoldsToItself(std::string_view run) {
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };
    thread_local std::unordered_map<std::string, bool, Hash, std::equal_to<>> known;
    if (run.size() > 32) return foldForSearch(run) == run;
    if (const auto it = known.find(run); it != known.end()) return it->second;
    if (known.size() >= 4096) known.clear();
    const bool same = foldForSearch(run) == run;
    known.emplace(std::string(run), same);
    return same;
}

// True when folding the text only lower-cases its ASCII letters: every non-ASCII run folds to
// itself, as folding goes run by run.
bool foldsByCaseAlone(std::string_view text) {
    if (isAscii(text)) return true;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
        if (i == text.size()) break;
        std::size_t end = i + 1;
        while (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x80) ++end;
        if (!runFoldsToItself(text.substr(i, end - i))) return false;
        i = end;
    }
    return true;
}

// Text a search can read where it is: folding would change no more than ASCII letters' case.
bool fieldsFoldByCaseAlone(const ClipItem& item) {
    return !anyField(item, [](std::string_view field) { return !foldsByCaseAlone(field); });
}

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Substring test for the hot loop, over folded text (exact bytes) or over ASCII text against a
// folded token (letters in either case). Compares the token's first and last bytes at 16
// positions at once and checks the rest only where both agree, which rejects ordinary text far
// faster than a byte-wise search.
template <bool IgnoreCase>
bool containsToken(std::string_view haystack, std::string_view needle) {
    const std::size_t k = needle.size();
    if (k == 0) return true;
    if (k > haystack.size()) return false;
    const char* p = haystack.data();
    const auto rest = [&](std::size_t at) {
        if constexpr (!IgnoreCase) {
            return std::memcmp(p + at + 1, needle.data() + 1, k - 2) == 0;
        } else {
            for (std::size_t j = 1; j + 1 < k; ++j)
                if (asciiLower(p[at + j]) != needle[j]) return false;
            return true;
        }
    };
    const auto same = [](char byte, char want) { return (IgnoreCase ? asciiLower(byte) : byte) == want; };
    if (k == 1) {
        if constexpr (!IgnoreCase) return std::memchr(p, needle[0], haystack.size()) != nullptr;
    }
    const std::size_t starts = haystack.size() - k + 1;
    std::size_t i = 0;
#ifdef __SSE2__
    if (IgnoreCase || k > 1) {
        // A lower-case letter also matches its capital: OR-ing 0x20 into the text maps exactly
        // those two bytes onto it. Other bytes compare as they are.
        const auto caseBit = [](char c) {
            return static_cast<char>(IgnoreCase && c >= 'a' && c <= 'z' ? 0x20 : 0);
        };
        const __m128i first = _mm_set1_epi8(needle[0]);
        const __m128i last = _mm_set1_epi8(needle[k - 1]);
        const __m128i firstBit = _mm_set1_epi8(caseBit(needle[0]));
        const __m128i lastBit = _mm_set1_epi8(caseBit(needle[k - 1]));
        for (; i + 16 <= starts; i += 16) {
            const __m128i blockFirst =
                _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), firstBit);
            const __m128i blockLast =
                _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + k - 1)), lastBit);
            unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
                _mm_and_si128(_mm_cmpeq_epi8(first, blockFirst), _mm_cmpeq_epi8(last, blockLast))));
            while (mask != 0) {
                const unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
                if (rest(i + bit)) return true;
                mask &= mask - 1;
            }
        }
        if (i == starts) return false;
    }
#endif
    if constexpr (!IgnoreCase) return ::memmem(p + i, haystack.size() - i, needle.data(), k) != nullptr;
    for (; i < starts; ++i)
        if (same(p[i], needle[0]) && same(p[i + k - 1], needle[k - 1]) && (k < 3 || rest(i))) return true;
    return false;
}

bool containsAll(std::string_view haystack, const std::vector<std::string>& tokens) {
    for (const auto& token : tokens)
        if (!containsToken<false>(haystack, token)) return false;
    return true;
}

// Fields that fold by case alone are searched where they are, letters in either case, other
// bytes as they are. A token without a blank cannot span the blank that joins two fields, so
// each field is searched on its own.
bool plainFieldsContainAll(const ClipItem& item, const std::vector<std::string>& tokens) {
    for (const auto& token : tokens)
        if (token.find(' ') != std::string::npos) return containsAll(foldForSearch(rawSearchText(item)), tokens);
    for (const auto& token : tokens)
        if (!anyField(item, [&](std::string_view field) { return containsToken<true>(field, token); })) return false;
    return true;
}

}  // namespace

// What a clip's folded search text was made from. Text and title change only together with
// the fingerprint, so their sizes suffice; the source fields change without it when a copy
// arrives again from elsewhere, so they are compared whole.
struct ClipItem::SearchCache {
    Fingerprint fingerprint;
    ClipKind kind;
    std::size_t textSize;
    std::size_t searchableTextSize;
    std::size_t fileURLsSize;
    std::size_t titleSize;
    std::string sourceAppName;
    SharedOptionalText sourceDeviceName;
    SharedOptionalText sourceDevicePlatform;
    std::string folded;

    explicit SearchCache(const ClipItem& item)
        : fingerprint(item.fingerprint),
          kind(item.kind),
          textSize(item.text.size()),
          searchableTextSize(item.searchableText.size()),
          fileURLsSize(joinedURLsSize(item.fileURLs)),
          titleSize(item.title.size()),
          sourceAppName(item.sourceAppName),
          sourceDeviceName(item.sourceDeviceName),
          sourceDevicePlatform(item.sourceDevicePlatform),
          folded(foldForSearch(rawSearchText(item))) {}

    bool isCurrentFor(const ClipItem& item) const {
        return kind == item.kind && textSize == item.text.size() &&
               searchableTextSize == item.searchableText.size() &&
               fileURLsSize == joinedURLsSize(item.fileURLs) && fingerprint == item.fingerprint &&
               titleSize == item.title.size() && sourceAppName == item.sourceAppName &&
               sourceDeviceName == item.sourceDeviceName &&
               sourceDevicePlatform == item.sourceDevicePlatform;
    }
};

const std::string& ClipItem::foldedSearchBlob() const {
    if (!searchCache_ || !searchCache_->isCurrentFor(*this)) {
        searchCache_ = std::make_shared<const SearchCache>(*this);
    }
    return searchCache_->folded;
}

std::string ClipItem::searchBlob() const { return foldForSearch(rawSearchText(*this)); }

bool ClipItem::searchMatches(const std::vector<std::string>& tokens) const {
    if (tokens.empty()) return true;
    if (searchCache_ && searchCache_->isCurrentFor(*this)) return containsAll(searchCache_->folded, tokens);
    if (fieldsFoldByCaseAlone(*this)) return plainFieldsContainAll(*this, tokens);
    return containsAll(foldedSearchBlob(), tokens);
}

ClipItem::SearchFold ClipItem::makeSearchFold(const ClipItem& item) {
    if (fieldsFoldByCaseAlone(item)) return nullptr;
    return std::make_shared<const SearchCache>(item);
}

void ClipItem::adoptSearchFold(SearchFold fold) const {
    if (!fold || !fold->isCurrentFor(*this)) return;
    if (searchCache_ && searchCache_->isCurrentFor(*this)) return;
    searchCache_ = std::move(fold);
}

bool ClipItem::searchIsReady() const {
    return (searchCache_ && searchCache_->isCurrentFor(*this)) || fieldsFoldByCaseAlone(*this);
}

}  // namespace harbelle
