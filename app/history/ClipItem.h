#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/BoxedOptional.h"
#include "history/ClipKind.h"
#include "history/Fingerprint.h"
#include "history/SharedOptionalText.h"
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
    bool isPinned = false;
    bool isSensitive = false;
    std::string title;
    std::string text;
    std::string searchableText;
    std::string sourceAppName = "Unknown";
    SharedOptionalText sourceBundleID;
    SharedOptionalText sourceDeviceID;
    SharedOptionalText sourceDeviceName;
    SharedOptionalText sourceDevicePlatform;
    OptionalText payloadFilename;
    OptionalText payloadContentType;
    OptionalText syncPayloadFilename;
    OptionalText syncPayloadDigest;
    OptionalInt syncPayloadByteCount;
    OptionalInt syncPayloadPixelWidth;
    OptionalInt syncPayloadPixelHeight;
    OptionalText syncBlobKey;
    std::vector<std::string> fileURLs;
    OptionalBytes richTextData;
    OptionalBytes htmlData;
    Fingerprint fingerprint;
    OptionalText importedFrom;
    OptionalText legacyPayloadFilename;
    OptionalInt legacyID;
    std::int64_t copyCount = 1;

    // Member-wise over all stored fields; the search cache takes no part.
    bool operator==(const ClipItem& other) const;

    std::string displayTitle() const;
    Date recencyDate() const;

    static std::string makeFingerprint(ClipKind kind, std::string_view text,
                                       const std::vector<std::string>& fileURLs,
                                       const std::optional<std::string>& payloadFilename,
                                       const Bytes* payloadData);
    // The same fingerprint as a held value.
    static Fingerprint fingerprintOf(ClipKind kind, std::string_view text, const std::vector<std::string>& fileURLs,
                                     const Bytes* payloadData);
    // The stored title of a new or edited clip. (Named apart from the `title` field, which a
    // static member may not share a name with.)
    static std::string titleFor(std::string_view text, ClipKind kind);

    // Device origin as shown on cards.
    std::string sourceDeviceDisplayName() const;
    std::string sourceDeviceDisplayPlatform() const;
    std::string sourceDeviceSymbol() const;
    std::string deviceFilterKey() const;

    // The folded text a clip is searched by, folded afresh.
    std::string searchBlob() const;
    // The same, folded once and kept; the kept fold is checked against the clip's fingerprint
    // and field sizes, so a changed clip folds again.
    const std::string& foldedSearchBlob() const;
    // True when every token (folded, as searchTokens makes them) occurs in the folded search
    // text. Text that folds by ASCII case alone is searched where it is, with nothing kept;
    // other text is folded once and the fold kept, as by foldedSearchBlob.
    bool searchMatches(const std::vector<std::string>& tokens) const;

    // Folding away from the thread that owns the clip: makeSearchFold reads the clip's fields
    // only (any thread may call it while nobody changes them) and gives nothing when a search
    // needs no fold; the owner hands the result to adoptSearchFold, which keeps it unless a
    // current fold is already there.
    struct SearchCache;
    using SearchFold = std::shared_ptr<const SearchCache>;
    static SearchFold makeSearchFold(const ClipItem& item);
    void adoptSearchFold(SearchFold fold) const;
    // True when a search of this clip folds nothing: ASCII text, or a current fold kept.
    bool searchIsReady() const;

private:
    mutable SearchFold searchCache_;
};

}  // namespace harbelle
