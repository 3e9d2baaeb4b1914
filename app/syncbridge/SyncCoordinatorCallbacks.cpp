// The two directions between engine and history: the engine's callbacks (status, snapshot,
// merge actions, canonicalization, acknowledgements, rejections) and the store's sync hooks.
#include <algorithm>

#include <QMetaObject>
#include <QPointer>
#include <QScopeGuard>
#include <QThreadPool>
#include <QtGlobal>

#include "history/Fingerprint.h"
#include "history/HistoryStore.h"
#include "syncbridge/SyncCoordinator.h"
#include "syncbridge/SyncImageCompressor.h"

namespace harbelle {

namespace {

std::optional<ClipSourceDeviceOrigin> clipOrigin(const std::optional<sync::SyncClipOrigin>& origin) {
    if (!origin) return std::nullopt;
    return ClipSourceDeviceOrigin{origin->id, origin->name, origin->platform};
}

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
    callbacks.rememberedDeletes = [self]() -> std::vector<sync::SyncClipKey> {
        const auto email = self ? self->currentAccountEmail() : std::nullopt;
        return email ? self->syncBookkeeping_->rememberedDeletes(*email) : std::vector<sync::SyncClipKey>{};
    };
    callbacks.localDeleteRenewed = [self](const std::string& id, std::int64_t createdAt,
                                          std::optional<std::int64_t> deletedAt) {
        const auto email = self ? self->currentAccountEmail() : std::nullopt;
        if (email) self->syncBookkeeping_->recordDeletes({id}, *email, {{id, createdAt}}, deletedAt);
    };
    callbacks.localDeletesSettled = [self](const std::vector<std::string>& ids) {
        const auto email = self ? self->currentAccountEmail() : std::nullopt;
        if (email) self->syncBookkeeping_->settleDeletes(sync::SyncIDSet(ids.begin(), ids.end()), *email);
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
    store_->onSyncableClipsDeleted = [self](const std::vector<Uuid>& ids, const std::vector<Date>& createdAt) {
        if (self) self->syncableClipsDeleted(ids, createdAt);
    };
    connect(store_, &HistoryStore::editingItemChanged, this, [this] {
        if (!heldPlaceholders_.empty()) releaseHeldPlaceholders();
    });
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
    const sync::SyncBookkeepingAccountState state = syncBookkeeping_->state(*email);
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
        local.acknowledged = state.reportedIDs.count(local.clientID) && !state.pendingPushIDs.count(local.clientID);
        out.push_back(std::move(local));
    }
    return out;
}

// One received action in its turn; an image waits for its check, and for its file.
struct SyncCoordinator::ReceivedAction {
    sync::SyncMergeAction action;
    bool needsCheck = false;
    bool inserting = false;
    std::uint64_t place = 0;  // in the gate's insertsAhead
    // Where the worker writes an accepted image, when the store may take it (chosen here).
    std::optional<std::string> fileToWrite;
    HistoryStore::PayloadWriter write;
    // The fingerprint hashes of the clips held when the image came: one of the same bytes
    // takes the image, so the worker writes no file for it.
    std::vector<std::uint64_t> heldFingerprints;
    // Written by the worker under the gate's lock.
    std::optional<bool> acceptable;
    Bytes data;
    std::string fingerprint;  // of an inserted image's clip
    std::optional<std::string> written;
    bool writing = false;  // a file asked for at the image's turn
    bool writeAsked = false;
};

namespace {

const std::string& clientIDOf(const sync::SyncMergeAction& action) {
    return std::visit(
        [](const auto& value) -> const std::string& {
            if constexpr (std::is_same_v<std::decay_t<decltype(value)>, sync::SyncMergeNone>) {
                static const std::string none;
                return none;
            } else {
                return value.clientID;
            }
        },
        action);
}

const sync::SyncBlobPayload* blobOf(const sync::SyncMergeAction& action) {
    if (const auto* insert = std::get_if<sync::SyncMergeInsertNew>(&action); insert && insert->blob)
        return &*insert->blob;
    if (const auto* promote = std::get_if<sync::SyncMergePromoteExisting>(&action); promote && promote->blob)
        return &*promote->blob;
    return nullptr;
}

// A worker's part is done; the main thread was told first, so the engine's next step, let go
// here, comes after this one.
void workDone(SyncCoordinator::ImageCheckGate& gate) {
    std::lock_guard lock(gate.mutex);
    --gate.running;
    gate.idle.notify_all();
}

}  // namespace

std::optional<Uuid> SyncCoordinator::wireID(const std::string& text) {
    auto id = Uuid::parse(text);
    if (!id || id->lowercaseString() != text) return std::nullopt;
    return id;
}

void SyncCoordinator::applyMergeAction(const sync::SyncMergeAction& action) {
    if (!store_ || !currentAccountEmail()) return;
    if (std::holds_alternative<sync::SyncMergeNone>(action)) return;
    const std::string& clientID = clientIDOf(action);
    // An identifier names files and bookkeeping entries: anything but a UUID is refused whole.
    const auto id = wireID(clientID);
    if (!id) {
        ++refusals_.invalidIdentifiers;
        return;
    }
    const sync::SyncBlobPayload* blob = blobOf(action);
    const bool needsCheck = blob && !blob->data.empty() && !store_->demoMode();
    if (!needsCheck && receivedQueue_.empty()) {
        applyChecked(action, std::nullopt);
        return;
    }
    auto entry = std::make_shared<ReceivedAction>();
    entry->action = action;
    entry->needsCheck = needsCheck;
    receivedQueue_.push_back(entry);
    if (!needsCheck) return;
    // Decoding a large image takes a quarter second and more, and writing its file waits for
    // the disk: neither on this thread. What another device sends is checked before it is
    // stored; the worker writes its file, and the store takes both here. A file is written
    // only under a name no clip held here may own, never for bytes a clip here already has,
    // and never while an earlier action of the same clip waits (such a file, if the clip needs
    // it at its turn, is written then, by a worker too).
    const bool sameClipWaits = std::any_of(receivedQueue_.begin(), receivedQueue_.end() - 1, [&](const auto& waiting) {
        return clientIDOf(waiting->action) == clientID;
    });
    entry->inserting = std::holds_alternative<sync::SyncMergeInsertNew>(action);
    if (!sameClipWaits) {
        entry->fileToWrite = store_->receivedImageFileToWrite(*id, blob->contentType, !entry->inserting);
        if (entry->fileToWrite) entry->write = store_->payloadWriter();
        // Hashing the bytes is the worker's; here only the held clips' hashes are copied.
        if (entry->fileToWrite && entry->inserting) entry->heldFingerprints = store_->items().fingerprintHashes();
    }
    // Counted until the file is written: the engine moves its cursor past the image only after
    // that, so a quit before it leaves the image to the next pull.
    {
        std::lock_guard lock(imageChecks_->mutex);
        ++imageChecks_->running;
        entry->place = imageChecks_->nextPlace++;
    }
    QPointer<SyncCoordinator> self(this);
    imageCheckPool_->start([gate = imageChecks_, entry, back = imageCheckReturns_->sender(), self] {
        const auto& checked = *blobOf(entry->action);
        Bytes data(checked.data.begin(), checked.data.end());
        const bool acceptable = SyncImageCompressor::isAcceptableReceivedImage(data, checked.contentType, checked.digest);
        std::string fingerprint;
        bool held = false;
        if (acceptable && entry->inserting) {
            fingerprint = ClipItem::makeFingerprint(ClipKind::image, "", {}, std::nullopt, &data);
            const std::uint64_t hash = Fingerprint(fingerprint).hash();
            held = std::find(entry->heldFingerprints.begin(), entry->heldFingerprints.end(), hash) !=
                   entry->heldFingerprints.end();
            std::lock_guard lock(gate->mutex);
            // An image of the same bytes earlier in the queue becomes the clip first.
            for (auto ahead = gate->insertsAhead.begin(); ahead != gate->insertsAhead.lower_bound(entry->place); ++ahead)
                held = held || ahead->second == hash;
            gate->insertsAhead.emplace(entry->place, hash);
        }
        // Atomic: a quit never leaves half a file under the name.
        const bool written = acceptable && !held && entry->fileToWrite && entry->write(*entry->fileToWrite, data);
        {
            std::lock_guard lock(gate->mutex);
            entry->acceptable = acceptable;
            entry->data = std::move(data);
            entry->fingerprint = std::move(fingerprint);
            if (written) entry->written = entry->fileToWrite;
        }
        back.post([self] {
            if (self) self->applyReceivedInOrder();
        });
        workDone(*gate);
    });
}

void SyncCoordinator::writeOnWorker(const std::shared_ptr<ReceivedAction>& entry, const std::string& name) {
    entry->fileToWrite = name;
    entry->write = store_->payloadWriter();
    {
        std::lock_guard lock(imageChecks_->mutex);
        entry->writing = true;
        entry->writeAsked = true;
        ++imageChecks_->running;
    }
    QPointer<SyncCoordinator> self(this);
    // The entry's bytes are the worker's until `writing` is cleared.
    imageCheckPool_->start([gate = imageChecks_, entry, back = imageCheckReturns_->sender(), self] {
        const bool written = entry->write(*entry->fileToWrite, entry->data);
        {
            std::lock_guard lock(gate->mutex);
            entry->writing = false;
            if (written) entry->written = entry->fileToWrite;
        }
        back.post([self] {
            if (self) self->applyReceivedInOrder();
        });
        workDone(*gate);
    });
}

std::optional<std::string> SyncCoordinator::fileNeededBy(const ReceivedAction& entry) const {
    const std::string& clientID = clientIDOf(entry.action);
    const auto id = wireID(clientID);
    const auto email = currentAccountEmail();
    if (!store_ || !id || !email) return std::nullopt;
    if (entry.inserting && syncBookkeeping_->isRememberedDelete(clientID, *email)) return std::nullopt;
    return store_->receivedImageFileToWrite(*id, blobOf(entry.action)->contentType, !entry.inserting,
                                            entry.fingerprint);
}

void SyncCoordinator::applyReceivedInOrder(bool all) {
    while (!receivedQueue_.empty()) {
        const auto entry = receivedQueue_.front();
        std::optional<SyncableImagePayload> image;
        std::optional<std::string> written;
        if (entry->needsCheck) {
            bool acceptable = false;
            {
                std::lock_guard lock(imageChecks_->mutex);
                // Still being checked or written: the rest waits behind it.
                if (!entry->acceptable || entry->writing) return;
                acceptable = *entry->acceptable;
                written = entry->written;
            }
            // No file was written (the same bytes were held, or the clip was), and the clip
            // needs one now: written off this thread like the rest, before the store sees it.
            if (!acceptable) {
                ++refusals_.badImages;
            } else if (const auto needed = written ? std::nullopt : fileNeededBy(*entry)) {
                if (!entry->writeAsked) return writeOnWorker(entry, *needed);
                acceptable = false;  // the write failed: the image goes as a failed write always went
            }
            Bytes data;
            {
                std::lock_guard lock(imageChecks_->mutex);
                data = std::move(entry->data);
            }
            if (acceptable) {
                const auto& blob = *blobOf(entry->action);
                image = SyncableImagePayload{std::move(data), blob.contentType, blob.digest, blob.pixelWidth,
                                             blob.pixelHeight};
            }
        }
        receivedQueue_.pop_front();
        if (receivedQueue_.empty()) {
            // An image applied is still ahead of those whose held clips were copied before it
            // came in: forgotten once none waits.
            std::lock_guard lock(imageChecks_->mutex);
            imageChecks_->insertsAhead.clear();
        }
        const bool stored = image.has_value();
        applyChecked(entry->action, std::move(image), written, entry->fingerprint);
        // One image per turn of the event loop: each one's clip is a change of the list.
        if (stored && !all && !receivedQueue_.empty()) {
            QPointer<SyncCoordinator> self(this);
            imageCheckReturns_->handBack([self] {
                if (self) self->applyReceivedInOrder();
            });
            return;
        }
    }
}

void SyncCoordinator::applyChecked(const sync::SyncMergeAction& action, std::optional<SyncableImagePayload> image,
                                   const std::optional<std::string>& written, const std::string& fingerprint) {
    const auto email = currentAccountEmail();
    if (!store_) return;  // a file written ahead is left to the next start's orphan pass
    HistoryStore& store = *store_;
    // An image not handed to the store leaves the file written ahead for it.
    bool handed = false;
    const auto leaveUnused = qScopeGuard([&] {
        if (written && !handed) store.retirePayloadFilename(*written);
    });
    if (!email) return;
    std::visit(
        [&](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, sync::SyncMergeInsertNew>) {
                // A clip deleted here never comes back, whatever the service replays.
                if (syncBookkeeping_->isRememberedDelete(value.clientID, *email)) return;
                const auto id = wireID(value.clientID);
                if (id && !value.blob) {
                    store.applySyncInsert(*id, value.text, value.createdAt, clipOrigin(value.origin));
                } else if (id && image) {
                    handed = true;
                    store.applySyncImageInsert(*id, *image, value.createdAt, clipOrigin(value.origin), written,
                                               fingerprint);
                }
                // A bad image is dropped, and still counts as reported so it is never sent back.
                syncBookkeeping_->markReported(value.clientID, *email);
            } else if constexpr (std::is_same_v<T, sync::SyncMergePromoteExisting>) {
                if (const auto id = wireID(value.clientID)) {
                    if (image) {
                        handed = true;
                        store.applySyncImagePayload(*id, *image, written);
                    }
                    store.applySyncPromote(*id, value.createdAt, clipOrigin(value.origin));
                }
                syncBookkeeping_->markReported(value.clientID, *email);
            } else if constexpr (std::is_same_v<T, sync::SyncMergeDeleteExisting>) {
                // A deletion by one account never removes another account's clip.
                if (!syncBookkeeping_->eligibleLocalIDs({value.clientID}, *email).count(value.clientID)) return;
                const auto id = wireID(value.clientID);
                const bool removed = id && store.applySyncDelete(*id);
                syncBookkeeping_->acknowledge({}, {value.clientID}, *email);
                // A favourite kept here leaves the deleted id, so the delete never finds it
                // again (a pull from 0 replays it). It stays this account's, already reported:
                // it is not pushed back.
                if (!removed && id && store.item(*id)) {
                    const Uuid kept = Uuid::random();
                    store.applySyncCanonicalization(*id, kept);
                    syncBookkeeping_->markReported(kept.lowercaseString(), *email);
                }
            }
        },
        action);
}

void SyncCoordinator::finishImageChecks() {
    if (!imageChecks_) return;
    // What was received is not lost to a quit: running checks are waited for, briefly, and
    // their clips applied now, in order. A check cut short leaves its image to the engine's
    // next start: the engine moves its cursor past an image only once the check is done.
    imageChecks_->close();
    const auto deadline = std::chrono::steady_clock::now() + kImageCheckWaitOnQuit;
    // A turn may ask the worker for a file: its write is waited for too.
    do {
        {
            std::unique_lock lock(imageChecks_->mutex);
            imageChecks_->idle.wait_until(lock, deadline, [&] { return imageChecks_->running == 0; });
        }
        applyReceivedInOrder(true);
    } while (!receivedQueue_.empty() && std::chrono::steady_clock::now() < deadline);
}

void SyncCoordinator::reportRefusals() {
    if (refusals_.total() == 0) return;
    qWarning("sync: refused from the service: %d duplicate answer(s) naming other content, %d invalid "
             "identifier(s), %d bad image(s)",
             refusals_.forgedDuplicates, refusals_.invalidIdentifiers, refusals_.badImages);
    refusals_ = {};
    refusedCanonicalIDs_.clear();
}

void SyncCoordinator::applyStatus(const sync::SyncEngineStatus& status) {
    // The engine reports after each round: what it refused is logged once for the round.
    reportRefusals();
    status_ = status;
    if (!status_.isSignedIn && lastSyncNotice_) {
        lastSyncNotice_.reset();
        emit lastSyncNoticeChanged();
    }
    emit statusChanged();
}

void SyncCoordinator::canonicalizeLocalClip(const std::string& localID, const std::string& canonicalID) {
    const auto local = wireID(localID);
    const auto canonical = wireID(canonicalID);
    if (!local || !canonical) {
        ++refusals_.invalidIdentifiers;
        refusedCanonicalIDs_.insert(canonicalID);
        return;
    }
    // Refused when the named clip was deleted here (its delete would take this clip with it)
    // or holds other content: both stay, and the local clip stays waiting to be pushed, so
    // nothing is lost, only delayed.
    const auto email = currentAccountEmail();
    const bool deleted = email && syncBookkeeping_->isRememberedDelete(canonicalID, *email);
    if (deleted || (store_ && !store_->applySyncCanonicalization(*local, *canonical))) {
        ++refusals_.forgedDuplicates;
        refusedCanonicalIDs_.insert(canonicalID);
        return;
    }
    syncBookkeeping_->remapID(localID, canonicalID);
}

void SyncCoordinator::localChangesAcknowledged(const std::vector<std::string>& pushed,
                                               const std::vector<std::string>& deleted) {
    const auto email = currentAccountEmail();
    if (!email) return;
    // Only identifiers; a refused merge's canonical clip is not the one that was pushed.
    sync::SyncIDSet pushedIDs;
    for (const auto& id : pushed)
        if (wireID(id) && !refusedCanonicalIDs_.count(id)) pushedIDs.insert(id);
    sync::SyncIDSet deletedIDs;
    for (const auto& id : deleted)
        if (wireID(id)) deletedIDs.insert(id);
    syncBookkeeping_->acknowledge(pushedIDs, deletedIDs, *email);
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
    // New Text Clip opens its placeholder in the editor right after this: it waits for the
    // editor, looked at once the store is done.
    if (text == HistoryStore::kNewTextClipText) {
        heldPlaceholders_.insert(id);
        QMetaObject::invokeMethod(this, [self = QPointer<SyncCoordinator>(this)] {
            if (self) self->releaseHeldPlaceholders();
        }, Qt::QueuedConnection);
        return;
    }
    // A capture never waits for the engine.
    engine_->noteLocalClip(clientID, text, createdAt, syncOrigin(origin), false, std::nullopt, {});
}

void SyncCoordinator::releaseHeldPlaceholders() {
    const std::optional<ClipItem>* editing = store_ ? &store_->editingItem() : nullptr;
    for (auto id = heldPlaceholders_.begin(); id != heldPlaceholders_.end();) {
        if (editing && *editing && (*editing)->id == *id) {
            ++id;
            continue;
        }
        const ClipItem* clip = store_ ? store_->item(*id) : nullptr;
        // Typed over, the placeholder's id was deleted (and its capture with it): nothing goes.
        if (clip && clip->text == HistoryStore::kNewTextClipText && engine_ && currentAccountEmail())
            engine_->noteLocalClip(id->lowercaseString(), clip->text, clip->createdAt, syncOrigin(clipSyncOrigin(*clip)),
                                   false, std::nullopt, {});
        id = heldPlaceholders_.erase(id);
    }
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

std::vector<sync::SyncLocalDelete> SyncCoordinator::localDeletes(const sync::SyncIDSet& ids,
                                                                const std::string& email) const {
    // One lookup per id: the pending deletes may be many, and a delete names a few.
    std::vector<sync::SyncLocalDelete> out;
    for (const auto& id : ids) {
        auto& item = out.emplace_back(sync::SyncLocalDelete{id});
        if (const auto stamp = syncBookkeeping_->pendingDeleteStamp(id, email)) {
            item.createdAt = sync::dateFromWireSeconds(stamp->createdAt);
            if (stamp->deletedAt) item.deletedAt = sync::dateFromWireSeconds(*stamp->deletedAt);
        }
    }
    return out;
}

SyncCoordinator::DeletedIDs SyncCoordinator::deletedIDs(const std::vector<Uuid>& ids, const std::vector<Date>& createdAt) {
    // Made in key order (a UUID's bytes sort as its lower-case text does), the entries lie in
    // memory in the order the bookkeeping walks them, and each goes in at the end.
    std::vector<std::size_t> order(ids.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return ids[a] < ids[b]; });
    DeletedIDs out;
    for (const std::size_t i : order) {
        std::string id = ids[i].lowercaseString();
        if (i < createdAt.size()) out.dates.emplace_hint(out.dates.end(), id, sync::wireSeconds(createdAt[i]));
        out.ids.insert(out.ids.end(), std::move(id));
    }
    return out;
}

void SyncCoordinator::syncableClipsDeleted(const std::vector<Uuid>& ids, const std::vector<Date>& createdAt) {
    auto [set, dates] = deletedIDs(ids, createdAt);
    for (const auto& run : reconcileRuns_) run->deletedMeanwhile.insert(set.begin(), set.end());
    const auto email = currentAccountEmail();
    // The time the user deleted (or edited away) these clips decides a race with a copy made
    // elsewhere: a copy made before it is deleted too, one made after it stays there.
    const auto batches = syncBookkeeping_->recordDeletes(std::move(set), email, dates, sync::wireSeconds(clock_->now()));
    if (!email || !engine_) return;
    const auto scope = sync::SyncBookkeepingStore::accountScope(*email);
    if (!scope) return;
    for (const auto& batch : batches) {
        if (batch.accountScope != *scope) continue;
        engine_->noteLocalDeletes(localDeletes(batch.ids, *email), {});
        return;
    }
}

}  // namespace harbelle
