#include <array>

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
    std::optional<std::string> sourceDeviceName;
    std::optional<std::string> sourceDevicePlatform;
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

std::string ClipItem::searchBlob() const { return foldedSearchBlob(); }

}  // namespace harbelle
