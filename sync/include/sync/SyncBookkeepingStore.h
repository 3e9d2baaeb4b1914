#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sync/SyncBookkeepingPersisting.h"
#include "sync/SyncRememberedDeletes.h"

namespace harbelle::sync {

// Clip identifiers are lower-case UUID texts; sets are kept sorted.
using SyncIDSet = std::set<std::string>;

// A delete the service acknowledged whose records logged before it a pull has not yet passed:
// a later copy among them, made before the delete, is deleted again, also after a quit.
struct SyncUnsettledDelete {
    std::string clientID;
    std::int64_t createdAt = 0;             // the record the delete was made for, whole seconds
    std::optional<std::int64_t> deletedAt;  // when the user deleted, where known
    bool operator==(const SyncUnsettledDelete&) const = default;
};

// A pending delete's record (the clip's creation date) and when the user made it, where known;
// whole seconds.
struct SyncDeleteStamp {
    std::int64_t createdAt = 0;
    std::optional<std::int64_t> deletedAt;
    bool operator==(const SyncDeleteStamp&) const = default;
};

struct SyncBookkeepingAccountState {
    SyncIDSet reportedIDs;
    SyncIDSet pendingPushIDs;
    SyncIDSet pendingDeleteIDs;
    // The stamps of the pending deletes whose clip's date is known.
    std::map<std::string, SyncDeleteStamp> pendingDeleteDates;
    std::deque<SyncUnsettledDelete> unsettledDeletes;  // oldest first
    SyncIDSet effectivePendingPushIDs() const;  // pending push minus pending delete
    bool operator==(const SyncBookkeepingAccountState&) const = default;
};

// The older per-device keys (reported, pending push, pending delete).
struct SyncLegacyBookkeepingKeys {
    std::string reported;
    std::string pendingPush;
    std::string pendingDelete;
};

struct SyncBookkeepingDeleteBatch {
    std::string accountScope;
    SyncIDSet ids;
    bool operator==(const SyncBookkeepingDeleteBatch&) const = default;
};

// Which clips each account owns, reported, and still has to push or delete. Lives on one
// thread (the app's main thread). Routine marks are saved in batches: with a save requester
// set, the first unsaved change asks for one later flush(); without one every change is
// saved at once. Pending deletes and migrations are always saved at once.
class SyncBookkeepingStore {
public:
    SyncBookkeepingStore(SyncBookkeepingPersisting& defaults, std::string storageKey);
    ~SyncBookkeepingStore();  // flushes

    // Lower-case hex SHA-256 of the trimmed (white space and line breaks), lower-cased
    // address; nullopt when that is empty.
    static std::optional<std::string> accountScope(const std::string& email);

    SyncBookkeepingAccountState state(const std::string& email,
                                      const std::optional<SyncLegacyBookkeepingKeys>& migratingLegacy = std::nullopt);
    SyncIDSet eligibleLocalIDs(const SyncIDSet& ids, const std::string& email) const;
    bool recordCapture(const std::string& id, const std::string& email);
    bool markReported(const std::string& id, const std::string& email);
    void acknowledge(const SyncIDSet& pushedIDs, const SyncIDSet& deletedIDs, const std::string& email);
    // `deletedAt`: when the user deleted them (whole seconds), where known. Handed over, the
    // set becomes the batch when all of it is new to one account (as a user's delete is).
    std::vector<SyncBookkeepingDeleteBatch> recordDeletes(SyncIDSet ids,
                                                          const std::optional<std::string>& currentEmail,
                                                          const std::map<std::string, std::int64_t>& createdAt = {},
                                                          std::optional<std::int64_t> deletedAt = std::nullopt);
    std::map<std::string, std::int64_t> pendingDeleteDates(const std::string& email) const;
    std::map<std::string, std::int64_t> pendingDeleteTimes(const std::string& email) const;
    std::optional<SyncDeleteStamp> pendingDeleteStamp(const std::string& id, const std::string& email) const;
    std::vector<SyncUnsettledDelete> unsettledDeletes(const std::string& email) const;
    void settleDeletes(const SyncIDSet& ids, const std::string& email);
    static constexpr std::size_t kMaxUnsettledDeletes = 4096;
    void remapID(const std::string& oldID, const std::string& newID);
    // The account's remembered deletes (ids deleted here or seen deleted, the newest
    // kMaxRememberedDeletes) and pending deletes: never brought back by a pull, never a
    // clip's new name.
    std::vector<SyncClipKey> rememberedDeletes(const std::string& email) const;
    bool isRememberedDelete(const std::string& id, const std::string& email) const;
    std::size_t rememberedDeleteCount(const std::string& email) const;
    static constexpr std::size_t kMaxRememberedDeletes = 100'000;
    // A newly created account starts clean: its scope counts as migrated (no legacy ids move
    // in) and its reported and pending lists are emptied; ownership stays.
    void resetAccount(const std::string& email);

    // Called once when a change is waiting to be saved; the app posts flush() for later.
    void setSaveRequester(std::function<void()> requester);
    // Called once when recorded deletes wait to be saved; the app posts flush() for the next
    // turn of its event loop, before anything else can happen. Without one they are saved at once.
    void setPromptSaveRequester(std::function<void()> requester);
    void flush();
    bool hasUnsavedChanges() const { return dirty_; }

private:
    struct Data {
        std::map<std::string, SyncBookkeepingAccountState> accounts;  // by scope
        std::map<std::string, SyncRememberedDeletes> deleted;         // by scope
        std::map<std::string, std::string> owners;  // clip id -> scope
        std::set<std::string> migratedScopes;
    };
    void load();
    void save();
    // The remembered deletes live under their own key, written only when they changed: the
    // save of a pending delete does not carry 100,000 ids through the settings again.
    std::string deletedKey() const;
    void saveRememberedDeletes();
    void changed(bool durable);
    void changedPromptly();
    bool mark(const std::string& id, const std::string& email, bool pendingPush);
    // accountScope() of the address last asked about: every mark and lookup names one, and
    // the scope costs a normalization and a hash.
    std::optional<std::string> scopeOf(const std::string& email) const;
    SyncRememberedDeletes& deletedIn(const std::string& scope);
    const SyncRememberedDeletes* deletedFor(const std::string& email) const;

    SyncBookkeepingPersisting& defaults_;
    std::string storageKey_;
    Data data_;
    bool dirty_ = false;
    bool saveRequested_ = false;
    std::function<void()> saveRequester_;
    bool promptSaveRequested_ = false;
    std::function<void()> promptSaveRequester_;
    mutable std::optional<std::pair<std::string, std::optional<std::string>>> cachedScope_;
    // Per scope, the saved text of the remembered deletes and the list version it holds.
    std::map<std::string, std::pair<std::uint64_t, std::string>> savedDeletes_;
};

}  // namespace harbelle::sync
