#include "sync/SyncMergePlanner.h"

namespace harbelle::sync {

SyncLocalIndex::SyncLocalIndex(const std::vector<SyncLocalClip>& clips) {
    // The snapshot is newest first: the first clip of a content wins its content key.
    for (auto it = clips.rbegin(); it != clips.rend(); ++it) put(*it);
}

bool SyncLocalIndex::wasDeleted(const std::string& id) const {
    auto key = syncClipKey(id);
    return key && deleted_.count(*key) > 0;
}

void SyncLocalIndex::noteDeleted(const std::string& id) {
    if (auto key = syncClipKey(id)) deleted_.insert(*key);
}

const SyncLocalClip* SyncLocalIndex::byID(const std::string& id) const {
    auto it = clips_.find(id);
    return it == clips_.end() ? nullptr : &it->second;
}

const SyncLocalClip* SyncLocalIndex::byContent(const SyncClipPayload& payload) const {
    const std::map<std::string, std::string>* keys = nullptr;
    std::string key;
    if (payload.kind == "image") {
        if (!payload.blob) return nullptr;
        keys = &byDigest_;
        key = payload.blob->digest;
    } else {
        if (payload.text.empty()) return nullptr;
        keys = &byText_;
        key = payload.text;
    }
    auto it = keys->find(key);
    return it == keys->end() ? nullptr : byID(it->second);
}

void SyncLocalIndex::put(const SyncLocalClip& clip) {
    remove(clip.clientID);
    clips_[clip.clientID] = clip;
    if (clip.blobDigest)
        byDigest_[*clip.blobDigest] = clip.clientID;
    else if (!clip.text.empty())
        byText_[clip.text] = clip.clientID;
}

void SyncLocalIndex::remove(const std::string& id) {
    auto it = clips_.find(id);
    if (it == clips_.end()) return;
    const auto& clip = it->second;
    auto& keys = clip.blobDigest ? byDigest_ : byText_;
    auto key = clip.blobDigest ? *clip.blobDigest : clip.text;
    if (auto k = keys.find(key); k != keys.end() && k->second == id) keys.erase(k);
    clips_.erase(it);
}

void SyncLocalIndex::rekey(const std::string& from, const std::string& to) {
    auto it = clips_.find(from);
    if (it == clips_.end() || from == to) return;
    auto clip = it->second;
    remove(from);
    clip.clientID = to;
    clip.acknowledged = true;  // now the service's record
    put(clip);
}

SyncMergePlan planUpsert(const std::string& clientID, std::int64_t createdAtSeconds, const SyncClipPayload& payload,
                         const SyncLocalIndex& local) {
    SyncMergePlan plan;
    bool image = payload.kind == "image";
    const SyncLocalClip* match = local.byID(clientID);
    auto createdAt = dateFromWireSeconds(createdAtSeconds);
    if (!match) {
        if (const auto* same = local.byContent(payload)) {
            // A clip the service already holds under its own id keeps it: this record is
            // another one of the same content (an older copy, maybe deleted later in the log).
            // A clip not yet acknowledged takes the record's id, and keeps its payload and
            // source: the sync copy adds nothing a local clip lacks. Its date moves up to the
            // record's when that is later, so every device holds the id with one date and a
            // delete made on any of them verifies on the others.
            if (!same->acknowledged) {
                plan.canonicalizeFrom = same->clientID;
                if (wireSeconds(same->createdAt) < createdAtSeconds)
                    plan.action = SyncMergePromoteExisting{clientID, createdAt, std::nullopt, {}};
            }
            return plan;
        }
        plan.action = SyncMergeInsertNew{clientID, image ? std::string() : payload.text, createdAt, payload.origin, {}};
        plan.needsBlob = image;
        return plan;
    }
    if (wireSeconds(match->createdAt) < createdAtSeconds) {
        plan.action = SyncMergePromoteExisting{clientID, createdAt, payload.origin, {}};
        plan.needsBlob = image;
    }
    return plan;
}

}  // namespace harbelle::sync
