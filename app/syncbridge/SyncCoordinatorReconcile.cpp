// Rebuilding the engine's queues of local work from the history and the bookkeeping: the
// engine keeps them in memory only, the bookkeeping is the durable record.
#include <QPointer>

#include "history/HistoryStore.h"
#include "syncbridge/SyncCoordinator.h"

namespace harbelle {

void SyncCoordinator::reconcileLocalChanges(bool replaceExisting, std::function<void()> done) {
    const auto email = currentAccountEmail();
    if (!email || !store_ || !engine_) {
        if (done) done();
        return;
    }
    bookkeepingStep();
    std::vector<const ClipItem*> syncable;
    sync::SyncIDSet ids;
    for (const auto& clip : store_->items()) {
        if (!HistoryStore::isSyncableKind(clip.kind) || clip.isSensitive) continue;
        if (clip.kind == ClipKind::image ? !clip.syncPayloadDigest : clip.text.empty()) continue;
        syncable.push_back(&clip);
        ids.insert(clip.id.lowercaseString());
    }
    const sync::SyncIDSet eligible = syncBookkeeping_->eligibleLocalIDs(ids, *email);
    const sync::SyncBookkeepingAccountState state = syncBookkeeping_->state(*email);
    const sync::SyncIDSet stillPending = state.effectivePendingPushIDs();

    auto run = std::make_shared<ReconcileRun>();
    run->email = *email;
    run->replaceExisting = replaceExisting;
    run->pendingDeletes = state.pendingDeleteIDs;
    run->done = std::move(done);
    for (const ClipItem* clip : syncable) {
        const std::string id = clip->id.lowercaseString();
        if (!eligible.count(id) || state.pendingDeleteIDs.count(id) || heldPlaceholders_.count(clip->id)) continue;
        // Reported and acknowledged clips are not sent again, whatever replaceExisting says.
        if (state.reportedIDs.count(id) && !stillPending.count(id)) continue;
        run->chosen.push_back(clip->id);
    }
    reconcileRuns_.push_back(run);
    reconcileNext(run);
}

void SyncCoordinator::reconcileNext(const std::shared_ptr<ReconcileRun>& run) {
    QPointer<SyncCoordinator> self(this);
    auto finish = [self, run] {
        if (!self) return;
        std::erase(self->reconcileRuns_, run);
        if (!self->engine_) return;
        auto done = std::move(run->done);
        if (run->pendingDeletes.empty()) {
            if (done) done();
            return;
        }
        self->engine_->noteLocalDeletes(self->localDeletes(run->pendingDeletes, run->email), [done] {
            if (done) done();
        });
    };
    while (run->next < run->chosen.size()) {
        if (!store_ || !engine_) {
            std::erase(reconcileRuns_, run);
            return;
        }
        const Uuid id = run->chosen[run->next++];
        const std::string clientID = id.lowercaseString();
        // Checked again before each clip: the user may have deleted it while this run
        // waited for the engine, and a deleted clip must not reach every other device.
        const ClipItem* clip = store_->item(id);
        if (!clip || run->deletedMeanwhile.count(clientID)) continue;
        std::optional<sync::SyncBlobPayload> blob;
        if (clip->kind == ClipKind::image) {
            if (!clip->syncPayloadFilename || !clip->syncPayloadDigest) continue;
            auto data = store_->readPayloadFile(*clip->syncPayloadFilename);
            if (!data) continue;
            blob.emplace();
            blob->digest = *clip->syncPayloadDigest;
            blob->contentType = HistoryStore::syncContentTypeForFilename(*clip->syncPayloadFilename);
            blob->pixelWidth = clip->syncPayloadPixelWidth.value_or(0);
            blob->pixelHeight = clip->syncPayloadPixelHeight.value_or(0);
            blob->data.assign(data->begin(), data->end());
        }
        if (!syncBookkeeping_->recordCapture(clientID, run->email)) continue;
        engine_->noteLocalClip(clientID, clip->text, clip->createdAt, syncOrigin(clipSyncOrigin(*clip)),
                               run->replaceExisting, std::move(blob), [self, run] {
                                   if (self) self->reconcileNext(run);
                               });
        return;
    }
    finish();
}

}  // namespace harbelle
