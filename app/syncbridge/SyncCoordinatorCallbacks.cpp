// The two directions between engine and history: the engine's callbacks (status, snapshot,
// merge actions, canonicalization, acknowledgements, rejections) and the store's sync hooks.
#include <QMetaObject>
#include <QPointer>

#include "history/HistoryStore.h"
#include "syncbridge/SyncCoordinator.h"
#include "syncbridge/SyncImageCompressor.h"

namespace harbelle {

namespace {

std::optional<ClipSourceDeviceOrigin> clipOrigin(const std::optional<sync::SyncClipOrigin>& origin) {
    if (!origin) return std::nullopt;
    return ClipSourceDeviceOrigin{origin->id, origin->name, origin->platform};
}

std::optional<Uuid> clipID(const std::string& text) { return Uuid::parse(text); }

sync::SyncIDSet idSet(const std::vector<std::string>& ids) { return sync::SyncIDSet(ids.begin(), ids.end()); }

bool isSyncCandidate(const ClipItem& clip) {
    if (!HistoryStore::isSyncableKind(clip.kind) || clip.isSensitive) return false;
    return clip.kind == ClipKind::image ? clip.syncPayloadDigest.has_value() : !clip.text.empty();
}

}  // namespace

sync::SyncClipOrigin SyncCoordinator::syncOrigin(const ClipSourceDeviceOrigin& origin) {
    return {origin.id, origin.name, origin.platform};
}

void SyncCoordinator::wireEngineCallbacks() {
    if (!engine_) return;
    QPointer<SyncCoordinator> self(this);
    sync::SyncEngineCallbacks callbacks;
    callbacks.localClipsSnapshot = [self]() -> std::vector<sync::SyncLocalClip> {
        return self ? self->localClipsSnapshot() : std::vector<sync::SyncLocalClip>{};
    };
    callbacks.applyMergeAction = [self](const sync::SyncMergeAction& action) {
        if (self) self->applyMergeAction(action);
    };
    callbacks.statusChanged = [self](const sync::SyncEngineStatus& status) {
        if (self) self->applyStatus(status);
    };
    callbacks.canonicalizeLocalClip = [self](const std::string& localID, const std::string& canonicalID) {
        if (self) self->canonicalizeLocalClip(localID, canonicalID);
    };
    callbacks.localChangesAcknowledged = [self](const std::vector<std::string>& pushed,
                                                const std::vector<std::string>& deleted) {
        if (self) self->localChangesAcknowledged(pushed, deleted);
    };
    callbacks.localClipRejected = [self](const std::string&, sync::SyncClipRejection rejection) {
        if (self) self->localClipRejected(rejection);
    };
    engine_->setCallbacks(std::move(callbacks), [self] {
        if (!self) return;
        self->callbacksInstalled_ = true;
        for (auto& step : std::exchange(self->afterCallbacksInstalled_, {})) step();
    });
}

void SyncCoordinator::wireStoreHooks() {
    if (demoMode_ || !store_) return;
    QPointer<SyncCoordinator> self(this);
    store_->onSyncableTextCaptured = [self](const Uuid& id, const std::string& text, Date createdAt,
                                            const ClipSourceDeviceOrigin& origin) {
        if (self) self->syncableTextCaptured(id, text, createdAt, origin);
    };
    store_->onSyncableImageCaptured = [self](const Uuid& id, const SyncableImagePayload& image, Date createdAt,
                                             const ClipSourceDeviceOrigin& origin) {
        if (self) self->syncableImageCaptured(id, image, createdAt, origin);
    };
    store_->onSyncableClipsDeleted = [self](const std::vector<Uuid>& ids) {
        if (self) self->syncableClipsDeleted(ids);
    };
}

// ---- Engine to history --------------------------------------------------------------------------

std::vector<sync::SyncLocalClip> SyncCoordinator::localClipsSnapshot() {
    std::vector<sync::SyncLocalClip> out;
    const auto email = currentAccountEmail();
    if (!store_ || !email) return out;
    sync::SyncIDSet ids;
    for (const auto& clip : store_->items())
        if (isSyncCandidate(clip)) ids.insert(clip.id.lowercaseString());
    const sync::SyncIDSet eligible = syncBookkeeping_->eligibleLocalIDs(ids, *email);
    out.reserve(eligible.size());
    for (const auto& clip : store_->items()) {
        if (!isSyncCandidate(clip)) continue;
        std::string id = clip.id.lowercaseString();
        if (!eligible.count(id)) continue;
        sync::SyncLocalClip local;
        local.clientID = std::move(id);
        local.text = clip.text;
        local.createdAt = clip.createdAt;
        local.origin = syncOrigin(clipSyncOrigin(clip));
        if (clip.kind == ClipKind::image) local.blobDigest = clip.syncPayloadDigest;
        out.push_back(std::move(local));
    }
    return out;
}

void SyncCoordinator::applyMergeAction(const sync::SyncMergeAction& action) {
    const auto email = currentAccountEmail();
    if (!store_ || !email) return;
    HistoryStore& store = *store_;
    std::visit(
        [&](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, sync::SyncMergeInsertNew>) {
                const auto id = clipID(value.clientID);
                if (id && !value.blob) {
                    store.applySyncInsert(*id, value.text, value.createdAt, clipOrigin(value.origin));
                } else if (id && value.blob && !store.demoMode() && !value.blob->data.empty()) {
                    const auto& blob = *value.blob;
                    Bytes data(blob.data.begin(), blob.data.end());
                    // What another device sends is checked before it is stored: a bad image
                    // is dropped, and still counts as reported so it is never sent back.
                    if (SyncImageCompressor::isAcceptableReceivedImage(data, blob.contentType, blob.digest)) {
                        SyncableImagePayload image{std::move(data), blob.contentType, blob.digest, blob.pixelWidth,
                                                   blob.pixelHeight};
                        store.applySyncImageInsert(*id, image, value.createdAt, clipOrigin(value.origin));
                    }
                }
                syncBookkeeping_->markReported(value.clientID, *email);
            } else if constexpr (std::is_same_v<T, sync::SyncMergePromoteExisting>) {
                if (const auto id = clipID(value.clientID)) {
                    if (value.blob) {
                        const auto& blob = *value.blob;
                        Bytes data(blob.data.begin(), blob.data.end());
                        if (SyncImageCompressor::isAcceptableReceivedImage(data, blob.contentType, blob.digest))
                            store.applySyncImagePayload(*id, SyncableImagePayload{std::move(data), blob.contentType,
                                                                                  blob.digest, blob.pixelWidth,
                                                                                  blob.pixelHeight});
                    }
                    store.applySyncPromote(*id, value.createdAt, clipOrigin(value.origin));
                }
                syncBookkeeping_->markReported(value.clientID, *email);
            } else if constexpr (std::is_same_v<T, sync::SyncMergeDeleteExisting>) {
                // A deletion by one account never removes another account's clip.
                if (!syncBookkeeping_->eligibleLocalIDs({value.clientID}, *email).count(value.clientID)) return;
                const auto id = clipID(value.clientID);
                const bool removed = id && store.applySyncDelete(*id);
                syncBookkeeping_->acknowledge({}, {value.clientID}, *email);
                // A favourite kept here stays this account's, already reported: it is not
                // pushed back, and a later delete here still reaches the service.
                if (!removed && id && store.item(*id)) syncBookkeeping_->markReported(value.clientID, *email);
            }
        },
        action);
}

void SyncCoordinator::applyStatus(const sync::SyncEngineStatus& status) {
    status_ = status;
    if (!status_.isSignedIn && lastSyncNotice_) {
        lastSyncNotice_.reset();
        emit lastSyncNoticeChanged();
    }
    emit statusChanged();
}

void SyncCoordinator::canonicalizeLocalClip(const std::string& localID, const std::string& canonicalID) {
    const auto local = clipID(localID);
    const auto canonical = clipID(canonicalID);
    if (store_ && local && canonical) store_->applySyncCanonicalization(*local, *canonical);
    syncBookkeeping_->remapID(localID, canonicalID);
}

void SyncCoordinator::localChangesAcknowledged(const std::vector<std::string>& pushed,
                                               const std::vector<std::string>& deleted) {
    const auto email = currentAccountEmail();
    if (!email) return;
    syncBookkeeping_->acknowledge(idSet(pushed), idSet(deleted), *email);
}

void SyncCoordinator::localClipRejected(sync::SyncClipRejection rejection) {
    setLastSyncNotice(std::string(sync::syncClipRejectionMessage(rejection)));
}

// ---- History to engine --------------------------------------------------------------------------

void SyncCoordinator::syncableTextCaptured(const Uuid& id, const std::string& text, Date createdAt,
                                           const ClipSourceDeviceOrigin& origin) {
    const auto email = currentAccountEmail();
    if (!email || !engine_) return;
    const std::string clientID = id.lowercaseString();
    if (!syncBookkeeping_->recordCapture(clientID, *email)) return;
    // A capture never waits for the engine.
    engine_->noteLocalClip(clientID, text, createdAt, syncOrigin(origin), false, std::nullopt, {});
}

void SyncCoordinator::syncableImageCaptured(const Uuid& id, const SyncableImagePayload& image, Date createdAt,
                                            const ClipSourceDeviceOrigin& origin) {
    const auto email = currentAccountEmail();
    if (!email || !engine_) return;
    const std::string clientID = id.lowercaseString();
    if (!syncBookkeeping_->recordCapture(clientID, *email)) return;
    sync::SyncBlobPayload blob;
    blob.digest = image.digest;
    blob.contentType = image.contentType;
    blob.pixelWidth = image.pixelWidth;
    blob.pixelHeight = image.pixelHeight;
    blob.data.assign(image.data.begin(), image.data.end());
    engine_->noteLocalClip(clientID, "", createdAt, syncOrigin(origin), false, std::move(blob), {});
}

void SyncCoordinator::syncableClipsDeleted(const std::vector<Uuid>& ids) {
    sync::SyncIDSet set;
    for (const auto& id : ids) set.insert(id.lowercaseString());
    for (const auto& run : reconcileRuns_) run->deletedMeanwhile.insert(set.begin(), set.end());
    const auto email = currentAccountEmail();
    const auto batches = syncBookkeeping_->recordDeletes(set, email);
    if (!email || !engine_) return;
    const auto scope = sync::SyncBookkeepingStore::accountScope(*email);
    if (!scope) return;
    for (const auto& batch : batches) {
        if (batch.accountScope != *scope) continue;
        engine_->noteLocalDeletes(std::vector<std::string>(batch.ids.begin(), batch.ids.end()), {});
        return;
    }
}

}  // namespace harbelle
