#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sync/SyncEngineTypes.h"

namespace harbelle::sync {

// The engine's view of the local history during one pull: looked up by identifier, by text
// (non-image clips) and by image digest, and kept current as actions are applied.
class SyncLocalIndex {
public:
    explicit SyncLocalIndex(const std::vector<SyncLocalClip>& clips = {});
    const SyncLocalClip* byID(const std::string& id) const;
    const SyncLocalClip* byContent(const SyncClipPayload& payload) const;
    void put(const SyncLocalClip& clip);
    void remove(const std::string& id);
    void rekey(const std::string& from, const std::string& to);
    std::size_t size() const { return clips_.size(); }
    // Identifiers deleted here or seen deleted: never inserted again.
    bool wasDeleted(const std::string& id) const;
    void noteDeleted(const std::string& id);
    void noteDeleted(SyncClipKeySet keys) {
        if (deleted_.empty()) deleted_ = std::move(keys);
        else deleted_.insert(keys.begin(), keys.end());
    }

private:
    SyncClipKeySet deleted_;
    std::map<std::string, SyncLocalClip> clips_;
    std::map<std::string, std::string> byText_;
    std::map<std::string, std::string> byDigest_;
};

// What one opened upsert asks of the history.
struct SyncMergePlan {
    // A local clip holding the same content under another identifier; it is canonicalized to
    // the event's identifier before the action is applied.
    std::optional<std::string> canonicalizeFrom;
    SyncMergeAction action;
    // The action needs the event's image (an image clip that is inserted or promoted).
    bool needsBlob = false;
};

// Dates compare in whole seconds, so our own clip coming back is never "later".
SyncMergePlan planUpsert(const std::string& clientID, std::int64_t createdAtSeconds, const SyncClipPayload& payload,
                         const SyncLocalIndex& local);

}  // namespace harbelle::sync
