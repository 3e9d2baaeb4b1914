// The sync round: deletes, then pushes, then waiting image fetches and the pull.
#include "sync/SyncEngine.h"

#include <cstdio>

#include "sync/SyncImageSniffer.h"

namespace harbelle::sync {
namespace {

bool isRetryable(SyncServiceErrorCode code) {
    return code == SyncServiceErrorCode::transport || code == SyncServiceErrorCode::serverUnavailable ||
           code == SyncServiceErrorCode::rateLimited || code == SyncServiceErrorCode::invalidResponse;
}

SyncServiceError invalidResponse(const char* detail) {
    return SyncServiceError(SyncServiceErrorCode::invalidResponse, std::nullopt, detail);
}

std::string contentMacOf(const std::string& macKey, const SyncClipPayload& payload) {
    if (payload.kind == "image" && payload.blob) return imageContentMac(macKey, payload.blob->digest);
    return textContentMac(macKey, payload.text);
}

}  // namespace

void SyncEngine::requestRound(bool skipBackoff) {
    // A local note during back-off does not skip the wait; only Sync Now does.
    if (!skipBackoff && (!running_ || scheduler_.inBackoff())) return;
    auto now = clock_->now();
    auto current = actor_.timerDate();
    if (!current || *current > now) actor_.setTimer(now);
}

void SyncEngine::armPollTimer() {
    if (!running_ || !session_) {
        actor_.setTimer(std::nullopt);
        return;
    }
    auto now = clock_->now();
    if (morePagesWaiting_ && !scheduler_.inBackoff()) {
        actor_.setTimer(now);
        return;
    }
    actor_.setTimer(now + std::chrono::duration_cast<SyncDate::duration>(SyncSeconds(scheduler_.nextDelay(now))));
}

void SyncEngine::runRound() {
    auto waiters = std::move(roundWaiters_);
    roundWaiters_.clear();
    refusedThisRound_ = 0;
    skippedThisRound_ = 0;
    gaveUpThisRound_ = 0;
    imageHandedOver_ = false;
    refusedAnswer_.clear();
    blobFetchesThisRound_ = 0;
    blobFetchTime_ = SyncSeconds(0);
    morePagesWaiting_ = false;
    if (session_ && !aborted()) {
        bool succeeded = false;
        try {
            pushDeletes();
            pushClips();
            pull();
            pushDeletes();  // deletes made again for a later record of their id
            pushClips();  // clips that left an id the service holds deleted
            succeeded = true;
        } catch (const Aborted&) {
        } catch (const SyncServiceError& error) {
            if (aborted()) {
            } else if (error.code() == SyncServiceErrorCode::unauthorized) {
                endSessionByService();
            } else {
                // A refused answer (too deep, a forged duplicate, an id that is no UUID) is one
                // failure for back-off; the log line below names it.
                if (error.code() == SyncServiceErrorCode::invalidResponse) {
                    refusedAnswer_ = error.detail();
                    ++refusedThisRound_;
                }
                if (isRetryable(error.code())) {
                    std::optional<double> retryAfter;
                    if (error.retryAfterSeconds()) retryAfter = *error.retryAfterSeconds();
                    scheduler_.noteFailure(retryAfter);
                }
                status_.lastErrorDescription = SyncServiceError::message(error.code());
            }
        } catch (const std::exception&) {
            status_.lastErrorDescription = "Something went wrong. Try again.";
        }
        if (succeeded) {
            scheduler_.noteSuccess();
            status_.lastSyncAt = clock_->now();
            status_.lastErrorDescription.reset();
        }
        parked_.clear();
        // One line per round, however many there were.
        if (refusedThisRound_ > 0)
            std::fprintf(stderr, "harbelle sync: refused %d events or answers from the service this round%s%s\n",
                         refusedThisRound_, refusedAnswer_.empty() ? "" : "; last: ", refusedAnswer_.c_str());
        if (skippedThisRound_ > 0 || gaveUpThisRound_ > 0)
            std::fprintf(stderr,
                         "harbelle sync: skipped %d events that could not be opened and gave up %d images "
                         "the service did not hand out this round\n",
                         skippedThisRound_, gaveUpThisRound_);
        if (sessionDirty_) saveSessionQuietly();
        if (!aborted()) publishStatus();
    }
    if (!aborted()) armPollTimer();
    for (auto& waiter : waiters) finish(std::move(waiter));
}

// ---- deletes ----

void SyncEngine::pushDeletes() {
    while (!deletes_.empty()) {
        if (aborted()) throw Aborted{};
        std::vector<std::string> batch(deletes_.begin(),
                                       deletes_.begin() + std::ptrdiff_t(std::min(deletes_.size(), maxDeleteIDs)));
        std::vector<SyncDeleteItem> items;
        for (const auto& id : batch) {
            auto date = deleteDates_.find(id);
            items.push_back({id, deleteMac(keys_.macKey, id,
                                           date == deleteDates_.end() ? std::nullopt
                                                                      : std::optional<std::int64_t>(date->second))});
        }
        auto answer = api_->deleteClips(session_->token, items);
        std::set<std::string> acknowledged(answer.begin(), answer.end());
        std::vector<std::string> done;
        for (const auto& id : batch)
            if (acknowledged.count(id)) done.push_back(id);
        if (done.empty()) throw invalidResponse("delete acknowledged nothing");
        // Only what this batch sent: an id queued behind it is still to be sent.
        const std::set<std::string> cleared(done.begin(), done.end());
        std::erase_if(deletes_, [&](const std::string& id) { return cleared.count(id) > 0; });
        for (const auto& id : done) {
            auto time = deleteTimes_.find(id);
            if (auto date = deleteDates_.find(id); date != deleteDates_.end()) {
                noteDeleteAcknowledged(
                    id, {date->second, time == deleteTimes_.end() ? std::nullopt : std::optional(time->second)});
                unsettledDeletes_.insert(id);
                deleteDates_.erase(date);
            }
            if (time != deleteTimes_.end()) deleteTimes_.erase(time);
        }
        if (callbacksSet_ && callbacks_.localChangesAcknowledged)
            callbackAwaited([callback = callbacks_.localChangesAcknowledged, done] { callback({}, done); });
    }
}

void SyncEngine::noteDeleteAcknowledged(const std::string& id, AcknowledgedDelete stamp) {
    if (acknowledgedDeleteDates_.insert_or_assign(id, stamp).second) acknowledgedDeleteOrder_.push_back(id);
    if (acknowledgedDeleteOrder_.size() > maxAcknowledgedDeleteDates) {
        acknowledgedDeleteDates_.erase(acknowledgedDeleteOrder_.front());
        acknowledgedDeleteOrder_.pop_front();
    }
}

void SyncEngine::renewDelete(const std::string& id, std::int64_t date) {
    auto& stamp = acknowledgedDeleteDates_[id];
    stamp.date = date;
    deleteDates_[id] = date;
    if (stamp.deletedAt) deleteTimes_[id] = *stamp.deletedAt;
    if (std::find(deletes_.begin(), deletes_.end(), id) == deletes_.end()) deletes_.push_back(id);
    // Kept pending by the application before it is sent: a quit in between loses nothing.
    if (callbacksSet_ && callbacks_.localDeleteRenewed)
        callbackAwaited([callback = callbacks_.localDeleteRenewed, id, date, deletedAt = stamp.deletedAt] {
            callback(id, date, deletedAt);
        });
}

void SyncEngine::settleDeletes(const std::set<std::string>& ids) {
    if (ids.empty()) return;
    for (const auto& id : ids) unsettledDeletes_.erase(id);
    if (callbacksSet_ && callbacks_.localDeletesSettled)
        callbackAwaited([callback = callbacks_.localDeletesSettled, settled = std::vector<std::string>(ids.begin(), ids.end())] {
            callback(settled);
        });
}

// ---- pushes ----

void SyncEngine::pushClips() {
    for (;;) {
        if (aborted()) throw Aborted{};
        std::vector<std::string> order;
        for (const auto& push : pushes_)
            if (!parked_.count(push.id)) order.push_back(push.id);
        if (order.empty()) return;
        std::vector<SyncPushItem> batch;
        std::size_t bytes = 0;
        for (const auto& id : order) {
            if (batch.size() >= maxPushItems) break;
            auto* push = findPush(id);
            if (!push) continue;
            auto item = sealPending(*push);
            if (!item) continue;
            // Base64 grows the ciphertext by a third; the rest of the item is small.
            std::size_t size = item->ciphertext.size() / 3 * 4 + 512;
            if (!batch.empty() && bytes + size > maxPushBytes) break;
            bytes += size;
            batch.push_back(std::move(*item));
        }
        if (!batch.empty()) sendBatch(std::move(batch));
    }
}

std::optional<SyncPushItem> SyncEngine::sealPending(PendingPush& push) {
    const std::string id = push.id;
    if (isWithdrawn(id)) {
        std::erase_if(pushes_, [&](const PendingPush& queued) { return queued.id == id; });
        return std::nullopt;
    }
    SyncPushItem item;
    item.clientID = id;
    item.createdAt = wireSeconds(push.createdAt);
    item.replaceExisting = push.replaceExisting;
    SyncClipPayload payload;
    payload.origin = push.origin;
    payload.text = push.text;
    try {
        if (push.blob) {
            const auto& blob = *push.blob;
            bool knownType = blob.contentType == "image/png" || blob.contentType == "image/jpeg";
            if (blob.data.empty() || !knownType || sha256Hex(blob.data) != blob.digest) {
                reject(id, SyncClipRejection::imageRejected);
                return std::nullopt;
            }
            auto blobKey = blobKeyForDigest(keys_.macKey, blob.digest);
            if (!uploadedBlobKeys_.count(blobKey)) {
                // The blob goes up before the push that names it.
                auto sealed = sealBlob(keys_.blobKey, blob.data, blobKey);
                if (sealed.size() > maxSealedBlobBytes) {
                    reject(id, SyncClipRejection::imageRejected);
                    return std::nullopt;
                }
                try {
                    blobs_->upload(session_->token, blobKey, sealed);
                } catch (const SyncServiceError& error) {
                    if (aborted()) throw Aborted{};
                    if (error.code() != SyncServiceErrorCode::payloadTooLarge) throw;
                    reject(id, SyncClipRejection::imageRejected);
                    return std::nullopt;
                }
                uploadedBlobKeys_.insert(blobKey);
            }
            payload.kind = "image";
            payload.blob = SyncClipBlobInfo{std::int64_t(blob.data.size()), blob.contentType, blob.digest,
                                            blobKey, blob.pixelHeight, blob.pixelWidth};
            item.blobKey = blobKey;
            item.contentMac = imageContentMac(keys_.macKey, blob.digest);
        } else {
            payload.kind = "text";
            item.contentMac = textContentMac(keys_.macKey, push.text);
        }
        item.createdMac = createdMac(keys_.macKey, item.contentMac, item.createdAt);
        // Sealed now, not when queued: the AAD names the identifier as it is at push time.
        item.ciphertext = sealClip(keys_.clipKey, encodeClipPayload(payload), id);
    } catch (const SyncCryptoError&) {
        reject(id, SyncClipRejection::encryptionFailed);
        return std::nullopt;
    }
    if (item.ciphertext.size() > maxSealedClipBytes) {
        reject(id, SyncClipRejection::tooLarge);
        return std::nullopt;
    }
    return item;
}

void SyncEngine::sendBatch(std::vector<SyncPushItem> items) {
    std::vector<SyncPushResult> results;
    try {
        results = api_->push(session_->token, items);
    } catch (const SyncServiceError& error) {
        if (aborted()) throw Aborted{};
        bool refused = error.code() == SyncServiceErrorCode::payloadTooLarge ||
                       error.code() == SyncServiceErrorCode::invalidRequest;
        if (!refused) throw;
        // One bad item never blocks the rest: halve until it stands alone.
        if (items.size() == 1) {
            if (error.code() == SyncServiceErrorCode::payloadTooLarge)
                reject(items.front().clientID, SyncClipRejection::tooLarge);
            else
                parked_.insert(items.front().clientID);
            return;
        }
        auto middle = items.begin() + std::ptrdiff_t(items.size() / 2);
        std::vector<SyncPushItem> second(std::make_move_iterator(middle), std::make_move_iterator(items.end()));
        items.erase(middle, items.end());
        sendBatch(std::move(items));
        sendBatch(std::move(second));
        return;
    }
    static const std::set<std::string> statuses{"stored", "updated", "unchanged", "duplicate", "deleted"};
    if (results.size() != items.size()) throw invalidResponse("push results do not match the request");
    for (std::size_t i = 0; i < items.size(); ++i)
        if (results[i].clientID != items[i].clientID || !statuses.count(results[i].status) ||
            (results[i].status == "duplicate" && !isSyncClipID(results[i].canonicalID)))
            throw invalidResponse("push results do not match the request");
    auto keepOwnID = checkDuplicates(items, results);
    std::vector<std::string> acknowledged;
    for (const auto& result : results) {
        std::string id = result.clientID;
        if (result.status == "deleted" && !leftDeletedIDs_.count(id))
            if (const auto* push = findPush(id)) answeredDeleted_.insert_or_assign(id, *push);
        std::erase_if(pushes_, [&](const PendingPush& push) { return push.id == id; });
        // Left unacknowledged, so the next start offers it again; not pushed again this time.
        if (keepOwnID.count(id)) continue;
        // Settled once the pull has brought the delete (leaveDeletedIDs).
        if (answeredDeleted_.count(id)) continue;
        if (result.status == "duplicate" && result.canonicalID != id) {
            // Canonicalized first, so the acknowledgement names the identifier that stays.
            canonicalize(id, result.canonicalID);
            id = result.canonicalID;
        }
        if (result.status == "stored") {
            ++session_->syncedClipCount;
            sessionDirty_ = true;
        }
        acknowledged.push_back(id);
    }
    if (callbacksSet_ && callbacks_.localChangesAcknowledged)
        callbackAwaited(
            [callback = callbacks_.localChangesAcknowledged, acknowledged] { callback(acknowledged, {}); });
}

std::set<std::string> SyncEngine::checkDuplicates(const std::vector<SyncPushItem>& items,
                                                 const std::vector<SyncPushResult>& results) {
    // A "duplicate" may only rename a clip onto one of the same content: one held here with
    // other content would be merged away by the canonicalization, and a deleted one would take
    // the pushed clip with it when its delete is replayed. Such an answer is refused for that
    // clip alone (it keeps its id); the round and its pull go on.
    std::optional<std::vector<SyncLocalClip>> snapshot;
    std::optional<SyncClipKeySet> remembered;
    std::set<std::string> keepOwnID;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto& result = results[i];
        if (result.status != "duplicate" || result.canonicalID == result.clientID) continue;
        if (!remembered) remembered = rememberedDeletes();
        if (remembered->count(*syncClipKey(result.canonicalID)) ||
            std::find(deletes_.begin(), deletes_.end(), result.canonicalID) != deletes_.end()) {
            refuseAnswer("a duplicate names a deleted clip");
            keepOwnID.insert(result.clientID);
            continue;
        }
        std::optional<std::string> heldMac;
        for (const auto& item : items)
            if (item.clientID == result.canonicalID) heldMac = item.contentMac;
        if (!heldMac)
            if (const auto* push = findPush(result.canonicalID))
                heldMac = push->blob ? imageContentMac(keys_.macKey, push->blob->digest)
                                     : textContentMac(keys_.macKey, push->text);
        if (!heldMac && callbacksSet_ && callbacks_.localClipsSnapshot) {
            if (!snapshot)
                snapshot = awaitMain<std::vector<SyncLocalClip>>(
                    [callback = callbacks_.localClipsSnapshot] { return callback(); });
            for (const auto& clip : *snapshot)
                if (clip.clientID == result.canonicalID)
                    heldMac = clip.blobDigest ? imageContentMac(keys_.macKey, *clip.blobDigest)
                                              : textContentMac(keys_.macKey, clip.text);
        }
        if (heldMac && *heldMac != items[i].contentMac) refuseAnswer("a duplicate names a clip with other content");
        // Nothing here shows that the named record exists with this content: the clip keeps
        // its id. The record's own upsert, when it arrives, gives it the id by content.
        if (!heldMac || *heldMac != items[i].contentMac) keepOwnID.insert(result.clientID);
    }
    return keepOwnID;
}

void SyncEngine::refuseAnswer(const char* detail) {
    ++refusedThisRound_;
    refusedAnswer_ = detail;
}

SyncClipKeySet SyncEngine::rememberedDeletes() {
    if (!callbacksSet_ || !callbacks_.rememberedDeletes) return {};
    // The main thread only copies its flat list; the lookup set is built here.
    const auto keys =
        awaitMain<std::vector<SyncClipKey>>([callback = callbacks_.rememberedDeletes] { return callback(); });
    return SyncClipKeySet(keys.begin(), keys.end());
}

void SyncEngine::reject(const std::string& id, SyncClipRejection rejection) {
    std::erase_if(pushes_, [&](const PendingPush& push) { return push.id == id; });
    if (callbacksSet_ && callbacks_.localClipRejected)
        callbackAwaited([callback = callbacks_.localClipRejected, id, rejection] { callback(id, rejection); });
}

void SyncEngine::canonicalize(const std::string& localID, const std::string& canonicalID) {
    if (callbacksSet_ && callbacks_.canonicalizeLocalClip)
        callbackAwaited([callback = callbacks_.canonicalizeLocalClip, localID, canonicalID] {
            callback(localID, canonicalID);
        });
    rekeyQueues(localID, canonicalID);
}

void SyncEngine::rekeyQueues(const std::string& from, const std::string& to) {
    if (from == to) return;
    if (auto* push = findPush(from)) {
        if (findPush(to))
            std::erase_if(pushes_, [&](const PendingPush& p) { return p.id == from; });
        else
            push->id = to;
    }
    if (std::find(deletes_.begin(), deletes_.end(), from) != deletes_.end()) {
        std::erase(deletes_, from);
        if (std::find(deletes_.begin(), deletes_.end(), to) == deletes_.end()) deletes_.push_back(to);
    }
    if (auto date = deleteDates_.find(from); date != deleteDates_.end()) {
        deleteDates_.emplace(to, date->second);
        deleteDates_.erase(date);
    }
    if (auto time = deleteTimes_.find(from); time != deleteTimes_.end()) {
        deleteTimes_.emplace(to, time->second);
        deleteTimes_.erase(time);
    }
    if (parked_.erase(from)) parked_.insert(to);
    if (session_)
        for (auto& fetch : session_->pendingBlobFetches)
            if (fetch.event.clientID == from) {
                fetch.event.clientID = to;
                sessionDirty_ = true;
            }
}

// ---- pull ----

void SyncEngine::pull() {
    if (!callbacksSet_ || !callbacks_.localClipsSnapshot || !callbacks_.applyMergeAction) return;
    // The snapshot is taken once, and only when there is something to apply: an idle poll
    // costs the main thread nothing.
    std::optional<SyncLocalIndex> local;
    auto index = [&]() -> SyncLocalIndex& {
        if (!local) {
            local.emplace(awaitMain<std::vector<SyncLocalClip>>([callback = callbacks_.localClipsSnapshot] {
                return callback();
            }));
            local->noteDeleted(rememberedDeletes());
        }
        return *local;
    };
    if (!session_->pendingBlobFetches.empty()) retryPendingBlobFetches(index());
    // Acknowledged before this pull: once it reaches the log's end, every record of theirs
    // logged before the delete has been seen (the service answers "deleted" to later pushes).
    const std::set<std::string> settling = unsettledDeletes_;
    int limit = maxPullLimit;
    bool restarted = false;
    for (int pages = 0;; ++pages) {
        if (pages == maxPullPagesPerRound) {
            morePagesWaiting_ = true;
            return;
        }
        if (aborted()) throw Aborted{};
        SyncPullResponse page;
        try {
            page = api_->pull(session_->token, session_->lastPulledSeq, limit);
        } catch (const SyncServiceError& error) {
            // Only an answer refused as too large is asked for again in halves; any other
            // invalid answer would be just as invalid smaller.
            if (!aborted() && error.responseTooLarge() && limit > 1) {
                limit /= 2;
                continue;
            }
            throw;
        }
        if (page.latestSeq < session_->lastPulledSeq) {
            // The service was reset: identifiers make a pull from 0 harmless.
            if (restarted) throw invalidResponse("sequence went back twice");
            restarted = true;
            session_->lastPulledSeq = 0;
            sessionDirty_ = true;
            continue;
        }
        std::int64_t cursor = session_->lastPulledSeq;
        for (auto event = page.events.begin(); event != page.events.end(); ++event) {
            if (event->type == kMalformedEventType) {
                refuseEvent();
                // Its seq is believed only below the next readable event (at the page's end, up
                // to latest_seq): a forged high one never takes the cursor past a genuine event.
                auto next = std::find_if(event + 1, page.events.end(),
                                         [](const SyncPullEvent& e) { return e.type != kMalformedEventType; });
                const bool fits = next != page.events.end() ? event->seq < next->seq : event->seq <= page.latestSeq;
                if (fits && event->seq > cursor) cursor = event->seq;
                continue;
            }
            if (event->seq <= cursor) throw invalidResponse("events out of order");
            applyEvent(*event, index(), false);
            cursor = event->seq;
        }
        if (!page.events.empty()) scheduler_.noteActivity(clock_->now());
        // The cursor moves only once the whole page is applied, and taken by the application.
        bool advanced = cursor != session_->lastPulledSeq;
        if (advanced) {
            awaitApplicationCaughtUp();
            session_->lastPulledSeq = cursor;
            saveSessionQuietly();
        }
        // A page of nothing but unreadable events would be asked for again forever.
        if (!page.hasMore) {
            if (!answeredDeleted_.empty()) leaveDeletedIDs(index());
            settleDeletes(settling);
            break;
        }
        if (!advanced) break;
    }
}

void SyncEngine::leaveDeletedIDs(SyncLocalIndex& index) {
    // The service holds these ids deleted, and the log up to its end brought no delete that
    // removed the clip here: the clip is a later copy (made after the delete reached the
    // service, or the delete named an earlier record of the id). It is not lost and not left
    // under a dead id: it takes a new id here and goes up as a new record, so it reaches the
    // devices that applied the delete. Once per clip: a new id answered "deleted" again is
    // acknowledged as it is.
    std::vector<std::string> acknowledged;
    for (auto& [id, push] : std::exchange(answeredDeleted_, {})) {
        if (!index.byID(id) || isWithdrawn(id)) {
            acknowledged.push_back(id);
            continue;
        }
        auto fresh = randomUUID();
        canonicalize(id, fresh);
        index.rekey(id, fresh);
        push.id = fresh;
        leftDeletedIDs_.insert(fresh);
        pushes_.push_back(std::move(push));
    }
    if (!acknowledged.empty() && callbacksSet_ && callbacks_.localChangesAcknowledged)
        callbackAwaited(
            [callback = callbacks_.localChangesAcknowledged, acknowledged] { callback(acknowledged, {}); });
}

void SyncEngine::retryPendingBlobFetches(SyncLocalIndex& index) {
    auto waiting = session_->pendingBlobFetches;
    // The least tried first: one image that never arrives does not keep the others waiting.
    std::stable_sort(waiting.begin(), waiting.end(),
                     [](const SyncPendingBlobFetch& a, const SyncPendingBlobFetch& b) { return a.attempts < b.attempts; });
    const auto now = wireSeconds(clock_->now());
    std::vector<SyncPendingBlobFetch> applied;
    for (const auto& entry : waiting) {
        if (aborted()) throw Aborted{};
        auto& list = session_->pendingBlobFetches;
        auto it = std::find(list.begin(), list.end(), entry);
        if (it == list.end()) continue;
        if (blobBudgetSpent()) break;  // left as they are for a later round
        auto outcome = applyEvent(entry.event, index, true);
        auto& current = session_->pendingBlobFetches;
        auto again = std::find(current.begin(), current.end(), entry);
        if (again == current.end()) continue;
        switch (outcome) {
        case EventOutcome::applied:
            applied.push_back(entry);  // dropped below, once the application has it
            continue;
        case EventOutcome::deferred:
            continue;
        case EventOutcome::skipped:
            current.erase(again);
            break;
        case EventOutcome::failed:
            ++again->attempts;
            if (again->waitingSince == 0) again->waitingSince = now;
            if (again->attempts >= blobFetchGiveUpAttempts &&
                double(now - again->waitingSince) >= blobFetchGiveUpSeconds)
                giveUpBlobFetch(again);
            break;
        }
        sessionDirty_ = true;
    }
    if (applied.empty()) return;
    awaitApplicationCaughtUp();
    for (const auto& entry : applied) std::erase(session_->pendingBlobFetches, entry);
    sessionDirty_ = true;
}

void SyncEngine::queueBlobFetch(const SyncPullEvent& event, bool tried) {
    auto& list = session_->pendingBlobFetches;
    if (list.size() >= maxPendingBlobFetches) {
        // The list is capped, and the events after this one never wait for it: the entry least
        // likely to arrive (the most tried, then the longest waiting) makes room.
        auto worst = std::max_element(list.begin(), list.end(), [](const auto& a, const auto& b) {
            return a.attempts != b.attempts ? a.attempts < b.attempts : a.waitingSince > b.waitingSince;
        });
        giveUpBlobFetch(worst);
    }
    list.push_back({event, tried ? 1 : 0, wireSeconds(clock_->now())});
    sessionDirty_ = true;
}

void SyncEngine::giveUpBlobFetch(std::vector<SyncPendingBlobFetch>::iterator entry) {
    session_->pendingBlobFetches.erase(entry);
    ++gaveUpThisRound_;
    ++session_->skippedEventCount;
    sessionDirty_ = true;
}

void SyncEngine::awaitApplicationCaughtUp() {
    // The application may still be taking a received image (it checks images off its main
    // thread). One more step through the main thread comes after that: only then do the
    // cursor and the to-fetch list move past the image, so a quit in between leaves it to be
    // fetched again at the next start.
    if (!imageHandedOver_) return;
    callbackAwaited([] {});
    imageHandedOver_ = false;
}

SyncEngine::EventOutcome SyncEngine::applyEvent(const SyncPullEvent& event, SyncLocalIndex& index,
                                                bool fromFetchList) {
    const auto& id = event.clientID;
    // Everything is verified before anything changes: the service can forge any field but
    // the MACs.
    if (!isSyncClipID(id)) {
        refuseEvent();
        return EventOutcome::skipped;
    }
    std::optional<SyncClipPayload> payload;
    if (event.type == "delete") {
        // Made for one record: the clip held here under the id (or the upsert waiting for its
        // image), with its date. A delete for an id held nowhere here has nothing to remove.
        std::optional<std::int64_t> heldDate;
        if (const auto* held = index.byID(id)) heldDate = wireSeconds(held->createdAt);
        for (const auto& fetch : session_->pendingBlobFetches)
            if (!heldDate && fetch.event.clientID == id) heldDate = fetch.event.createdAt;
        if (!heldDate) return EventOutcome::applied;
        if (!event.deleteMac || !macEquals(deleteMac(keys_.macKey, id, heldDate), *event.deleteMac)) {
            refuseEvent();
            return EventOutcome::skipped;
        }
    } else {
        if (event.type == "upsert" && event.ciphertext && event.createdAt) {
            try {
                payload = decodeClipPayload(openClip(keys_.clipKey, *event.ciphertext, id));
            } catch (const SyncCryptoError&) {
            }
        }
        if (!payload || (payload->kind == "image" && !payload->blob)) {
            skipEvent();
            return EventOutcome::skipped;
        }
        // The date sits outside the sealed clip: only a date some client of the account
        // authenticated for this content is believed.
        auto expected = createdMac(keys_.macKey, contentMacOf(keys_.macKey, *payload), *event.createdAt);
        if (!event.createdMac || !macEquals(expected, *event.createdMac)) {
            refuseEvent();
            return EventOutcome::skipped;
        }
    }
    if (!fromFetchList) {
        // A newer event of the same clip supersedes one still waiting for its image.
        auto removed = std::erase_if(session_->pendingBlobFetches,
                                     [&](const SyncPendingBlobFetch& f) { return f.event.clientID == id; });
        if (removed) sessionDirty_ = true;
    }
    if (event.type == "delete") {
        if (index.byID(id)) {
            apply(SyncMergeDeleteExisting{id});
            index.remove(id);
            index.noteDeleted(id);
        }
        return EventOutcome::applied;
    }
    // Another device copied the clip again before the user deleted it here, and its push
    // reached the service just before our delete of the earlier record: that delete cannot
    // remove the later clip there, so it is made again for this record. A copy made after the
    // delete is that device's own and stays. Only for deletes acknowledged in this run or
    // handed over unsettled: a replay can at most make us delete again what we deleted.
    if (auto acked = acknowledgedDeleteDates_.find(id);
        acked != acknowledgedDeleteDates_.end() && *event.createdAt > acked->second.date &&
        (!acked->second.deletedAt || *event.createdAt <= *acked->second.deletedAt)) {
        renewDelete(id, *event.createdAt);
        return EventOutcome::applied;
    }
    // An old upsert of a clip deleted here, or waiting to be deleted, never brings it back.
    if (index.wasDeleted(id) || std::find(deletes_.begin(), deletes_.end(), id) != deletes_.end())
        return EventOutcome::applied;
    auto plan = planUpsert(id, *event.createdAt, *payload, index);
    std::optional<SyncBlobPayload> blob;
    if (plan.needsBlob) {
        SyncBlobPayload fetched;
        const auto result = fetchBlob(*payload->blob, fetched);
        switch (result) {
        case BlobFetch::ok:
            blob = std::move(fetched);
            break;
        case BlobFetch::missing:
        case BlobFetch::unreachable:
        case BlobFetch::later: {
            // Applied only together with its image: the event waits, the clip is not lost.
            const bool counted = result == BlobFetch::missing;
            if (!fromFetchList) queueBlobFetch(event, counted);
            return counted ? EventOutcome::failed : EventOutcome::deferred;
        }
        }
    }
    if (plan.canonicalizeFrom) {
        canonicalize(*plan.canonicalizeFrom, id);
        index.rekey(*plan.canonicalizeFrom, id);
    }
    if (blob) imageHandedOver_ = true;
    if (auto* insert = std::get_if<SyncMergeInsertNew>(&plan.action)) {
        insert->blob = blob;
        apply(plan.action);
        index.put(SyncLocalClip{id, insert->text, insert->createdAt, insert->origin,
                                blob ? std::optional<std::string>(blob->digest) : std::nullopt, true});
        ++session_->syncedClipCount;
        sessionDirty_ = true;
    } else if (auto* promote = std::get_if<SyncMergePromoteExisting>(&plan.action)) {
        promote->blob = blob;
        apply(plan.action);
        if (const auto* local = index.byID(id)) {
            auto moved = *local;
            if (promote->createdAt) moved.createdAt = *promote->createdAt;
            index.put(moved);
        }
    }
    return EventOutcome::applied;
}

SyncEngine::BlobFetch SyncEngine::fetchBlob(const SyncClipBlobInfo& info, SyncBlobPayload& out) {
    // Our own HMAC of the digest names the blob; a key the service sends is never trusted.
    auto key = blobKeyForDigest(keys_.macKey, info.digest);
    // Past this round's budget the image waits in the to-fetch list; texts, pushes and the
    // cursor go on.
    if (blobBudgetSpent()) return BlobFetch::later;
    ++blobFetchesThisRound_;
    auto started = clock_->now();
    std::optional<std::string> sealed;
    try {
        sealed = blobs_->download(session_->token, key);
    } catch (const SyncServiceError& error) {
        blobFetchTime_ += std::chrono::duration_cast<SyncSeconds>(clock_->now() - started);
        if (aborted()) throw Aborted{};
        if (error.code() == SyncServiceErrorCode::unauthorized) throw;
        return error.code() == SyncServiceErrorCode::transport ? BlobFetch::unreachable : BlobFetch::missing;
    }
    blobFetchTime_ += std::chrono::duration_cast<SyncSeconds>(clock_->now() - started);
    if (!sealed) return BlobFetch::missing;
    // Bytes that fail a check count as a try, as a missing image does: a service that lost or
    // damaged one copy may still hand out a good one later, within the same bounds.
    std::string bytes;
    try {
        bytes = openBlob(keys_.blobKey, *sealed, key);
    } catch (const SyncCryptoError&) {
        return BlobFetch::missing;
    }
    if (sha256Hex(bytes) != info.digest) return BlobFetch::missing;
    auto header = sniffSyncImage(bytes);
    if (!header || header->contentType != info.contentType) return BlobFetch::missing;
    out = SyncBlobPayload{key, info.digest, info.contentType, info.pixelWidth, info.pixelHeight, std::move(bytes)};
    return BlobFetch::ok;
}

void SyncEngine::skipEvent() {
    ++skippedThisRound_;
    ++session_->skippedEventCount;
    sessionDirty_ = true;
}

void SyncEngine::refuseEvent() {
    ++refusedThisRound_;
    ++session_->skippedEventCount;
    sessionDirty_ = true;
}

bool SyncEngine::blobBudgetSpent() const {
    return blobFetchesThisRound_ >= maxBlobFetchesPerRound || blobFetchTime_ >= SyncSeconds(blobFetchBudgetSeconds);
}

void SyncEngine::apply(const SyncMergeAction& action) {
    if (std::holds_alternative<SyncMergeNone>(action)) return;
    callbackAwaited([callback = callbacks_.applyMergeAction, action] { callback(action); });
}

}  // namespace harbelle::sync
