// Clips that arrive through sync: received texts and images, promotions, remote deletions and
// the merge of a local clip into the identifier the service chose.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

#include "history/HistoryCodec.h"
#include "history/HistoryPersistence.h"
#include "history/HistoryStore.h"

namespace harbelle {

namespace {

constexpr const char* kSyncedSourceAppName = "Synced";

template <typename T>
const T& firstPresent(const T& preferred, const std::vector<const ClipItem*>& candidates, T ClipItem::*field) {
    if (preferred) return preferred;
    for (const ClipItem* clip : candidates)
        if (clip->*field) return clip->*field;
    return preferred;
}

// What sync calls the same content: equal fingerprints, equal texts, or images whose upload
// copies have the same digest (a clip received elsewhere is fingerprinted on that copy).
bool sameSyncedContent(const ClipItem& a, const ClipItem& b) {
    if (!a.fingerprint.empty() && a.fingerprint == b.fingerprint) return true;
    const bool aImage = a.kind == ClipKind::image;
    if (aImage != (b.kind == ClipKind::image)) return false;
    if (aImage) return a.syncPayloadDigest && a.syncPayloadDigest == b.syncPayloadDigest;
    return !a.text.empty() && a.text == b.text;
}

}  // namespace

std::string HistoryStore::syncContentTypeForFilename(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower.ends_with(".png") ? "image/png" : "image/jpeg";
}

const ClipItem* HistoryStore::item(const Uuid& id) const {
    const int index = indexOf(id);
    return index < 0 ? nullptr : &items_[static_cast<std::size_t>(index)];
}

std::optional<Bytes> HistoryStore::readPayloadFile(const std::string& name) const {
    if (!persistence_) return std::nullopt;
    return persistence_->readPayload(name);
}

void HistoryStore::retirePayloadFilename(const std::string& name) {
    if (HistoryPersistence::isSafePayloadName(name)) retiredPayloadFilenames_.insert(name);
}

void HistoryStore::insertByRecency(ClipItem clip) {
    // A received clip goes where its date puts it: on top it could push newer local clips
    // past the limit before they were ever sent.
    if (!admitToHistoryFile(clip)) {
        retirePayload(clip);
        return;
    }
    const Date recency = clip.recencyDate();
    const auto at = items_.begin() + static_cast<std::ptrdiff_t>(items_.firstOlderThan(recency));
    items_.insert(at, std::move(clip));
    trimItems();
    receivedItemsDidChange();
    scheduleSave(false);
}

void HistoryStore::promoteSyncedItem(std::size_t index, const std::optional<Date>& createdAt,
                                     const std::optional<ClipSourceDeviceOrigin>& origin) {
    if (index >= items_.size()) return;
    if (!createdAt && !origin) return;
    const Date now = clock_.now();
    const auto promote = [&](ClipItem& clip) {
        if (createdAt && *createdAt > clip.createdAt) clip.createdAt = *createdAt;
        clip.updatedAt = now;
        clip.lastReplayedAt.reset();
        if (origin) {
            clip.sourceDeviceID = origin->id;
            clip.sourceDeviceName = origin->name;
            clip.sourceDevicePlatform = origin->platform;
            clip.sourceAppName = kSyncedSourceAppName;
            clip.sourceBundleID.reset();
        }
    };
    ClipItem probe = datesAndSourceOf(items_[index]);
    const ClipItem before = probe;
    promote(probe);
    if (!admitGrowthToHistoryFile(growthOf(before, probe), kClipTooLargeMessage)) return;
    ClipItem clip = *items_.take(index);
    promote(clip);
    items_.insert(items_.begin(), std::move(clip));
    receivedItemsDidChange();
    scheduleSave(false);
}

void HistoryStore::applySyncInsert(const Uuid& id, const std::string& text, Date createdAt,
                                   const std::optional<ClipSourceDeviceOrigin>& origin) {
    if (demoMode_ || text.empty()) return;
    const ClipKind kind = clipkind::detect(text);
    const std::string fingerprint = ClipItem::makeFingerprint(kind, text, {}, std::nullopt, nullptr);
    if (const std::size_t i = items_.indexOfIDOrFingerprint(id, fingerprint); i < items_.size()) {
        if (createdAt > items_[i].createdAt) promoteSyncedItem(i, createdAt, origin);
        return;
    }
    ClipItem clip;
    clip.id = id;
    clip.createdAt = createdAt;
    clip.updatedAt = createdAt;
    clip.kind = kind;
    clip.title = ClipItem::titleFor(text, kind);
    clip.text = text;
    clip.sourceAppName = kSyncedSourceAppName;
    if (origin) {
        clip.sourceDeviceID = origin->id;
        clip.sourceDeviceName = origin->name;
        clip.sourceDevicePlatform = origin->platform;
    }
    clip.fingerprint = fingerprint;
    clip.copyCount = 1;
    insertByRecency(std::move(clip));
}

std::string HistoryStore::receivedImageFilename(const Uuid& id, const std::string& contentType) {
    return id.uppercaseString() + (contentType == "image/png" ? ".png" : ".jpg");
}

std::optional<std::string> HistoryStore::writeReceivedImage(const Bytes& data, const Uuid& id,
                                                            const std::string& contentType) {
    if (!persistence_) return std::nullopt;
    const std::string name = receivedImageFilename(id, contentType);
    // Written atomically and 0600 from creation; an older file of the same name is replaced.
    if (!persistence_->writePayload(name, data)) return std::nullopt;
    return name;
}

std::optional<std::string> HistoryStore::receivedImageFileToWrite(const Uuid& id, const std::string& contentType,
                                                                  bool attaching, const std::string& fingerprint) const {
    if (demoMode_ || !persistence_) return std::nullopt;
    // A clip held under the id may have its own file under that very name (a capture's is
    // "<UUID>.png" too): only a file it has lost is written.
    const int index = indexOf(id);
    if (!attaching) {
        if (index >= 0) return std::nullopt;
        if (!fingerprint.empty() && items_.indexOfFingerprint(fingerprint) < items_.size()) return std::nullopt;
    } else {
        if (index < 0) return std::nullopt;
        const ClipItem& clip = items_[static_cast<std::size_t>(index)];
        if (clip.kind != ClipKind::image || clip.legacyPayloadFilename || payloadURL(clip)) return std::nullopt;
    }
    return receivedImageFilename(id, contentType);
}

HistoryStore::PayloadWriter HistoryStore::payloadWriter() const {
    // The guard was bound once, at the start: taking its lock here would wait for a write.
    return [guard = payloadWrites_](const std::string& name, const Bytes& data) {
        std::lock_guard lock(guard->mutex);
        return guard->persistence && guard->persistence->writePayload(name, data);
    };
}

ClipItem HistoryStore::syncPayloadOf(const ClipItem& clip) {
    ClipItem probe;
    probe.syncPayloadFilename = clip.syncPayloadFilename;
    probe.syncPayloadDigest = clip.syncPayloadDigest;
    probe.syncPayloadByteCount = clip.syncPayloadByteCount;
    probe.syncPayloadPixelWidth = clip.syncPayloadPixelWidth;
    probe.syncPayloadPixelHeight = clip.syncPayloadPixelHeight;
    return probe;
}

void HistoryStore::setSyncPayload(ClipItem& clip, const std::string& name, const SyncableImagePayload& image) {
    clip.syncPayloadFilename = name;
    clip.syncPayloadDigest = image.digest;
    clip.syncPayloadByteCount = static_cast<std::int64_t>(image.data.size());
    clip.syncPayloadPixelWidth = image.pixelWidth;
    clip.syncPayloadPixelHeight = image.pixelHeight;
}

void HistoryStore::applySyncImageInsert(const Uuid& id, const SyncableImagePayload& image, Date createdAt,
                                        const std::optional<ClipSourceDeviceOrigin>& origin,
                                        const std::optional<std::string>& written,
                                        const std::string& givenFingerprint) {
    // A file written ahead that no clip takes goes after the next save (a name some clip
    // holds is never deleted).
    const auto unused = [&] {
        if (written) retirePayloadFilename(*written);
    };
    if (demoMode_ || image.data.empty()) return unused();
    const std::string fingerprint = givenFingerprint.empty()
                                        ? ClipItem::makeFingerprint(ClipKind::image, "", {}, std::nullopt, &image.data)
                                        : givenFingerprint;
    if (const std::size_t i = items_.indexOfIDOrFingerprint(id, fingerprint); i < items_.size()) {
        // The stored clip keeps its own payload; the received bytes are dropped.
        unused();
        if (createdAt > items_[i].createdAt) promoteSyncedItem(i, createdAt, origin);
        return;
    }
    const auto name = written ? written : writeReceivedImage(image.data, id, image.contentType);
    if (!name) return;
    ClipItem clip;
    clip.id = id;
    clip.createdAt = createdAt;
    clip.updatedAt = createdAt;
    clip.kind = ClipKind::image;
    clip.title = "Copied image";
    clip.sourceAppName = kSyncedSourceAppName;
    if (origin) {
        clip.sourceDeviceID = origin->id;
        clip.sourceDeviceName = origin->name;
        clip.sourceDevicePlatform = origin->platform;
    }
    clip.payloadFilename = *name;
    clip.payloadContentType = image.contentType;
    setSyncPayload(clip, *name, image);
    clip.fingerprint = fingerprint;
    clip.copyCount = 1;
    // Refused for want of room, its file is retired with it.
    insertByRecency(std::move(clip));
}

void HistoryStore::applySyncImagePayload(const Uuid& id, const SyncableImagePayload& image,
                                         const std::optional<std::string>& written) {
    const int index = demoMode_ || image.data.empty() ? -1 : indexOf(id);
    const ClipItem* stored = index < 0 ? nullptr : &items_[static_cast<std::size_t>(index)];
    const auto unused = [&] {
        if (written && (!stored || (stored->payloadFilename != written && stored->syncPayloadFilename != written)))
            retirePayloadFilename(*written);
    };
    // A clip that still has its own image file is never overwritten; a file written ahead
    // under its payload name is the one it had lost.
    const bool ownFile = stored && payloadURL(*stored) && !(written && stored->payloadFilename == written);
    if (!stored || stored->kind != ClipKind::image || stored->legacyPayloadFilename || ownFile) return unused();
    const std::string name = written ? *written : receivedImageFilename(id, image.contentType);
    ClipItem before = syncPayloadOf(*stored);
    before.payloadFilename = stored->payloadFilename;
    before.payloadContentType = stored->payloadContentType;
    ClipItem after;
    after.payloadFilename = name;
    after.payloadContentType = image.contentType;
    setSyncPayload(after, name, image);
    const std::int64_t growth = growthOf(before, after);
    if (!admitGrowthToHistoryFile(growth, kClipTooLargeMessage)) return unused();
    if (!written && !writeReceivedImage(image.data, id, image.contentType)) {
        admitGrowthToHistoryFile(-growth, nullptr);  // gives the bytes back
        return;
    }
    ClipItem& clip = items_.mutableAt(static_cast<std::size_t>(index));
    clip.payloadFilename = name;
    clip.payloadContentType = image.contentType;
    setSyncPayload(clip, name, image);
    receivedItemsDidChange();
    scheduleSave(false);
}

void HistoryStore::applySyncPromote(const Uuid& id, const std::optional<Date>& createdAt,
                                    const std::optional<ClipSourceDeviceOrigin>& origin) {
    if (demoMode_) return;
    const int index = indexOf(id);
    if (index < 0) return;
    promoteSyncedItem(static_cast<std::size_t>(index), createdAt, origin);
}

bool HistoryStore::applySyncDelete(const Uuid& id) {
    if (demoMode_) return false;
    const int index = indexOf(id);
    if (index < 0) return false;
    // Pins are this machine's own: "clear, keep favourites" elsewhere must not take them.
    if (items_[static_cast<std::size_t>(index)].isPinned) return false;
    retirePayload(items_[static_cast<std::size_t>(index)]);
    releaseFromHistoryFile(items_[static_cast<std::size_t>(index)]);
    items_.erase(items_.begin() + index);
    receivedItemsDidChange();
    if (selectedID_ == id) {
        const auto& shown = filteredItems();
        setSelectedIDQuietly(shown.empty() ? std::nullopt : std::optional<Uuid>(shown.front().id));
    }
    scheduleSave(false);
    return true;
}

bool HistoryStore::applySyncCanonicalization(const Uuid& localID, const Uuid& canonicalID) {
    if (demoMode_ || localID == canonicalID) return true;
    const int localIndex = indexOf(localID);
    if (localIndex < 0) return true;  // deleted meanwhile: nothing is resurrected
    const int canonicalIndex = indexOf(canonicalID);
    const ClipItem& local = items_[static_cast<std::size_t>(localIndex)];
    const ClipItem* canonical = canonicalIndex < 0 ? nullptr : &items_[static_cast<std::size_t>(canonicalIndex)];
    // The service only stores and orders: a "duplicate" naming a different clip held here
    // would merge two clips into one, and one of them would be gone.
    if (canonical && !sameSyncedContent(local, *canonical)) return false;
    std::vector<const ClipItem*> candidates{&local};
    if (canonical) candidates.push_back(canonical);
    // Strictly later wins; on equal dates the local clip does.
    const ClipItem& content = canonical && canonical->updatedAt > local.updatedAt ? *canonical : local;
    const ClipItem& originSource = canonical && canonical->createdAt > local.createdAt ? *canonical : local;

    ClipItem merged = content;
    merged.id = canonicalID;
    merged.createdAt = originSource.createdAt;
    merged.updatedAt = local.updatedAt;
    merged.lastReplayedAt.reset();
    std::set<std::string> files;
    for (const ClipItem* clip : candidates) {
        merged.updatedAt = std::max(merged.updatedAt, clip->updatedAt);
        if (clip->lastReplayedAt && (!merged.lastReplayedAt || *clip->lastReplayedAt > *merged.lastReplayedAt))
            merged.lastReplayedAt = clip->lastReplayedAt;
        merged.isPinned = merged.isPinned || clip->isPinned;
        merged.isSensitive = merged.isSensitive || clip->isSensitive;
        merged.copyCount = std::max(merged.copyCount, clip->copyCount);
        files.insert(clip->fileURLs.begin(), clip->fileURLs.end());
    }
    merged.fileURLs.assign(files.begin(), files.end());
    merged.sourceAppName = originSource.sourceAppName;
    merged.sourceBundleID = originSource.sourceBundleID;
    merged.sourceDeviceID = originSource.sourceDeviceID;
    merged.sourceDeviceName = originSource.sourceDeviceName;
    merged.sourceDevicePlatform = originSource.sourceDevicePlatform;
    merged.richTextData = firstPresent(content.richTextData, candidates, &ClipItem::richTextData);
    merged.htmlData = firstPresent(content.htmlData, candidates, &ClipItem::htmlData);
    merged.importedFrom = firstPresent(content.importedFrom, candidates, &ClipItem::importedFrom);
    // A payload name keeps its content type, a derivative name its digest, size and blob key,
    // even when the two names come from different clips.
    merged.payloadFilename = firstPresent(content.payloadFilename, candidates, &ClipItem::payloadFilename);
    merged.payloadContentType.reset();
    for (const ClipItem* clip : candidates)
        if (clip->payloadFilename == merged.payloadFilename) {
            merged.payloadContentType = clip->payloadContentType;
            break;
        }
    merged.syncPayloadFilename = firstPresent(content.syncPayloadFilename, candidates, &ClipItem::syncPayloadFilename);
    merged.syncPayloadDigest.reset();
    merged.syncPayloadByteCount.reset();
    merged.syncPayloadPixelWidth.reset();
    merged.syncPayloadPixelHeight.reset();
    merged.syncBlobKey.reset();
    for (const ClipItem* clip : candidates)
        if (clip->syncPayloadFilename == merged.syncPayloadFilename) {
            merged.syncPayloadDigest = clip->syncPayloadDigest;
            merged.syncPayloadByteCount = clip->syncPayloadByteCount;
            merged.syncPayloadPixelWidth = clip->syncPayloadPixelWidth;
            merged.syncPayloadPixelHeight = clip->syncPayloadPixelHeight;
            merged.syncBlobKey = clip->syncBlobKey;
            break;
        }

    // One clip in place of two: counted, never refused (a refusal reads as a forged duplicate),
    // and a merge rarely grows. A rename alone keeps the clip's size.
    if (canonical)
        admitGrowthToHistoryFile(growthOf(local, merged) - std::int64_t(historycodec::encodedSize(*canonical)) - 1,
                                 nullptr);
    items_.eraseIf([&](const ClipItem& clip) { return clip.id == localID || clip.id == canonicalID; });
    const Date recency = merged.recencyDate();
    const auto at = items_.begin() + static_cast<std::ptrdiff_t>(items_.firstOlderThan(recency));
    items_.insert(at, merged);
    receivedItemsDidChange();
    if (selectedID_ == localID) setSelectedIDQuietly(canonicalID);
    if (previewItem_ && (previewItem_->id == localID || previewItem_->id == canonicalID)) setPreviewItem(merged);
    if (editingItem_ && (editingItem_->id == localID || editingItem_->id == canonicalID)) followEditingItem(merged);
    scheduleSave(false);
    return true;
}

}  // namespace harbelle
