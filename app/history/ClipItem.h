#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/ClipKind.h"
#include "history/Uuid.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"

namespace harbelle {

// One clip. A value: the store's list owns its copies and replaces whole values.
struct ClipItem {
    Uuid id = Uuid::random();
    Date createdAt{};
    Date updatedAt{};
    std::optional<Date> lastReplayedAt;
    ClipKind kind = ClipKind::text;
    std::string title;
    std::string text;
    std::string searchableText;
    std::string sourceAppName = "Unknown";
    std::optional<std::string> sourceBundleID;
    std::optional<std::string> sourceDeviceID;
    std::optional<std::string> sourceDeviceName;
    std::optional<std::string> sourceDevicePlatform;
    std::optional<std::string> payloadFilename;
    std::optional<std::string> payloadContentType;
    std::optional<std::string> syncPayloadFilename;
    std::optional<std::string> syncPayloadDigest;
    std::optional<std::int64_t> syncPayloadByteCount;
    std::optional<std::int64_t> syncPayloadPixelWidth;
    std::optional<std::int64_t> syncPayloadPixelHeight;
    std::optional<std::string> syncBlobKey;
    std::vector<std::string> fileURLs;
    std::optional<Bytes> richTextData;
    std::optional<Bytes> htmlData;
    bool isPinned = false;
    std::string fingerprint;
    std::optional<std::string> importedFrom;
    bool isSensitive = false;
    std::optional<std::string> legacyPayloadFilename;
    std::optional<std::int64_t> legacyID;
    std::int64_t copyCount = 1;

    // Member-wise over all stored fields; the search cache takes no part.
    bool operator==(const ClipItem& other) const;

    std::string displayTitle() const;
    Date recencyDate() const;

    static std::string makeFingerprint(ClipKind kind, std::string_view text,
                                       const std::vector<std::string>& fileURLs,
                                       const std::optional<std::string>& payloadFilename,
                                       const Bytes* payloadData);
    // The stored title of a new or edited clip. (Named apart from the `title` field, which a
    // static member may not share a name with.)
    static std::string titleFor(std::string_view text, ClipKind kind);

    // Device origin as shown on cards.
    std::string sourceDeviceDisplayName() const;
    std::string sourceDeviceDisplayPlatform() const;
    std::string sourceDeviceSymbol() const;
    std::string deviceFilterKey() const;

    // The folded text a clip is searched by. Folded once and cached; the cache is checked
    // against the clip's fingerprint and field sizes, so a changed clip folds again.
    std::string searchBlob() const;
    const std::string& foldedSearchBlob() const;

private:
    struct SearchCache;
    mutable std::shared_ptr<const SearchCache> searchCache_;
};

}  // namespace harbelle
