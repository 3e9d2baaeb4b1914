#include "sync/SyncBookkeepingStore.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <type_traits>

#include "sync/SyncCrypto.h"
#include "sync/SyncModels.h"
#include "sync/SyncText.h"

namespace harbelle::sync {

using nlohmann::json;

namespace {

constexpr const char* kReported = "reported_ids";
constexpr const char* kPendingPush = "pending_push_ids";
constexpr const char* kPendingDelete = "pending_delete_ids";
constexpr const char* kLegacyDeleted = "deleted_ids";  // earlier builds: UUID texts, oldest first
constexpr const char* kPendingDeleteDates = "pending_delete_dates";
// Base64 of 24 bytes per pending delete: the id's 16 bytes and its date, 8 bytes little-endian
// (kNoDate when unknown). Ids that are no lower-case UUID text stay in the two lists above.
constexpr const char* kPendingDeletesPacked = "pending_deletes";
constexpr std::int64_t kNoDate = std::numeric_limits<std::int64_t>::min();
// Base64 of 8 bytes per entry of "pending_deletes", in its order: when the user made the delete
// (kNoDate when unknown). Earlier builds wrote none: their deletes load without a time.
constexpr const char* kPendingDeleteTimes = "pending_delete_times";
// Base64 of 32 bytes per acknowledged, unsettled delete, oldest first: the id's 16 bytes, its
// date and the time it was made (8 bytes little-endian each).
constexpr const char* kUnsettledDeletes = "unsettled_deletes";

void appendSeconds(std::string& out, std::int64_t value) {
    const auto bits = std::uint64_t(value);
    for (int byte = 0; byte < 8; ++byte) out.push_back(char(bits >> (8 * byte) & 0xff));
}

std::int64_t readSeconds(const std::string& bytes, std::size_t at) {
    std::uint64_t bits = 0;
    for (int byte = 7; byte >= 0; --byte) bits = bits << 8 | std::uint8_t(bytes[at + std::size_t(byte)]);
    return std::int64_t(bits);
}

std::optional<std::string> packedBytes(const json& account, const char* key) {
    auto packed = account.find(key);
    return packed != account.end() && packed->is_string() ? base64Decode(packed->get_ref<const std::string&>())
                                                          : std::nullopt;
}

SyncIDSet idSet(const json& j) {
    SyncIDSet out;
    if (!j.is_array()) return out;
    for (const json& id : j)
        if (id.is_string() && !id.get_ref<const std::string&>().empty()) {
            std::string s = id.get<std::string>();
            std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
            out.insert(std::move(s));
        }
    return out;
}

json idList(const SyncIDSet& ids) {
    json out = json::array();
    for (const std::string& id : ids) out.push_back(id);
    return out;
}

void loadLegacyRemembered(const json& account, SyncRememberedDeletes& into) {
    if (auto legacy = account.find(kLegacyDeleted); legacy != account.end() && legacy->is_array())
        for (const json& id : *legacy)
            if (id.is_string()) into.remember(id.get_ref<const std::string&>());
}

// Removes `ids` from a sorted set or map of ids. Both are in id order: one walk along `from`
// from the first id, rather than a search per id.
template <class Sorted>
void eraseAll(Sorted& from, const SyncIDSet& ids) {
    if (ids.empty() || from.empty()) return;
    auto key = [](const auto& entry) -> const std::string& {
        if constexpr (std::is_same_v<Sorted, SyncIDSet>) return entry;
        else return entry.first;
    };
    auto at = from.lower_bound(*ids.begin());
    for (const std::string& id : ids) {
        while (at != from.end() && key(*at) < id) ++at;
        if (at == from.end()) return;
        if (key(*at) == id) at = from.erase(at);
    }
}

void savePendingDeletes(const SyncBookkeepingAccountState& state, json& account) {
    std::string packed, times;
    packed.reserve(state.pendingDeleteIDs.size() * 24);
    std::size_t packedCount = 0;
    json others = json::array();
    json otherDates = json::object();
    auto date = state.pendingDeleteDates.begin();  // in id order too: found by walking along
    for (const std::string& id : state.pendingDeleteIDs) {
        while (date != state.pendingDeleteDates.end() && date->first < id) ++date;
        const bool dated = date != state.pendingDeleteDates.end() && date->first == id;
        auto key = isSyncClipID(id) ? syncClipKey(id) : std::nullopt;
        if (!key) {
            others.push_back(id);
            if (dated) otherDates[id] = date->second.createdAt;
            continue;
        }
        char record[24];
        std::memcpy(record, key->data(), key->size());
        auto seconds = std::uint64_t(dated ? date->second.createdAt : kNoDate);
        for (int byte = 0; byte < 8; ++byte) record[16 + byte] = char(seconds >> (8 * byte) & 0xff);
        packed.append(record, sizeof record);
        // Written only once a delete has a time (all of them, in the app), in the list's order.
        const auto made = dated ? date->second.deletedAt : std::nullopt;
        if (made && times.empty()) {
            times.reserve(state.pendingDeleteIDs.size() * 8);
            for (std::size_t before = 0; before < packedCount; ++before) appendSeconds(times, kNoDate);
        }
        if (made || !times.empty()) appendSeconds(times, made.value_or(kNoDate));
        ++packedCount;
    }
    account[kPendingDelete] = std::move(others);
    account[kPendingDeleteDates] = std::move(otherDates);
    account[kPendingDeletesPacked] = base64Encode(packed);
    if (!times.empty()) account[kPendingDeleteTimes] = base64Encode(times);
    if (state.unsettledDeletes.empty()) return;
    std::string unsettled;
    unsettled.reserve(state.unsettledDeletes.size() * 32);
    for (const auto& entry : state.unsettledDeletes) {
        auto key = syncClipKey(entry.clientID);
        if (!key) continue;
        unsettled.append(reinterpret_cast<const char*>(key->data()), key->size());
        appendSeconds(unsettled, entry.createdAt);
        appendSeconds(unsettled, entry.deletedAt.value_or(kNoDate));
    }
    account[kUnsettledDeletes] = base64Encode(unsettled);
}

void loadPendingDeletes(const json& account, SyncBookkeepingAccountState& state) {
    state.pendingDeleteIDs = idSet(account.value(kPendingDelete, json()));
    if (auto dates = account.find(kPendingDeleteDates); dates != account.end() && dates->is_object())
        for (const auto& [id, seconds] : dates->items())
            if (seconds.is_number_integer() && state.pendingDeleteIDs.count(id))
                state.pendingDeleteDates[id] = {seconds.get<std::int64_t>(), std::nullopt};
    if (auto unsettled = packedBytes(account, kUnsettledDeletes))
        for (std::size_t at = 0; at + 32 <= unsettled->size(); at += 32) {
            SyncClipKey key;
            std::memcpy(key.data(), unsettled->data() + at, key.size());
            const std::int64_t made = readSeconds(*unsettled, at + 24);
            state.unsettledDeletes.push_back({syncClipIDText(key), readSeconds(*unsettled, at + 16),
                                              made == kNoDate ? std::nullopt : std::optional(made)});
        }
    auto bytes = packedBytes(account, kPendingDeletesPacked);
    if (!bytes) return;
    auto times = packedBytes(account, kPendingDeleteTimes);
    // Times belong to the list they were written with; a list of another length is not theirs.
    if (times && times->size() * 3 != bytes->size()) times.reset();
    for (std::size_t at = 0; at + 24 <= bytes->size(); at += 24) {
        SyncClipKey key;
        std::memcpy(key.data(), bytes->data() + at, key.size());
        const std::int64_t seconds = readSeconds(*bytes, at + 16);
        const std::string id = syncClipIDText(key);
        state.pendingDeleteIDs.insert(id);
        if (seconds == kNoDate) continue;
        const std::int64_t made = times ? readSeconds(*times, at / 3) : kNoDate;
        state.pendingDeleteDates[id] = {seconds, made == kNoDate ? std::nullopt : std::optional(made)};
    }
}

// The acknowledged deletes made here (with their dates) leave the pending ones and wait,
// unsettled, for the pull that passes every record of theirs logged before them. Both are in id
// order: one walk, each entry moved over as it is.
void keepUnsettled(SyncBookkeepingAccountState& account, const SyncIDSet& deletedIDs) {
    auto& dates = account.pendingDeleteDates;
    if (dates.empty() || deletedIDs.empty()) return;
    auto at = dates.lower_bound(*deletedIDs.begin());
    for (const std::string& id : deletedIDs) {
        while (at != dates.end() && at->first < id) ++at;
        if (at == dates.end()) break;
        if (at->first != id) continue;
        auto node = dates.extract(at++);
        account.unsettledDeletes.push_back({std::move(node.key()), node.mapped().createdAt, node.mapped().deletedAt});
    }
    while (account.unsettledDeletes.size() > SyncBookkeepingStore::kMaxUnsettledDeletes)
        account.unsettledDeletes.pop_front();
}

}  // namespace

SyncIDSet SyncBookkeepingAccountState::effectivePendingPushIDs() const {
    SyncIDSet out;
    std::set_difference(pendingPushIDs.begin(), pendingPushIDs.end(), pendingDeleteIDs.begin(), pendingDeleteIDs.end(),
                        std::inserter(out, out.end()));
    return out;
}

SyncBookkeepingStore::SyncBookkeepingStore(SyncBookkeepingPersisting& defaults, std::string storageKey)
    : defaults_(defaults), storageKey_(std::move(storageKey)) {
    load();
}

SyncBookkeepingStore::~SyncBookkeepingStore() { flush(); }

std::optional<std::string> SyncBookkeepingStore::accountScope(const std::string& email) {
    std::string normalized = normalizeEmail(email);
    if (normalized.empty()) return std::nullopt;
    return sha256Hex(normalized);
}

std::optional<std::string> SyncBookkeepingStore::scopeOf(const std::string& email) const {
    if (!cachedScope_ || cachedScope_->first != email) cachedScope_.emplace(email, accountScope(email));
    return cachedScope_->second;
}

void SyncBookkeepingStore::load() {
    // Base64 of 16 bytes per id, oldest first, by account scope.
    if (auto deleted = defaults_.object(deletedKey()); deleted && deleted->is_object())
        for (const auto& [scope, packed] : deleted->items())
            if (auto bytes = packed.is_string() ? base64Decode(packed.get_ref<const std::string&>()) : std::nullopt) {
                deletedIn(scope).unpack(*bytes);
                savedDeletes_[scope] = {deletedIn(scope).version(), packed.get<std::string>()};
            }
    auto stored = defaults_.object(storageKey_);
    if (!stored) return;
    if (!stored->is_object()) {
        // Keep what we cannot read beside the new state instead of overwriting it.
        defaults_.set(storageKey_ + ".unreadable", *stored);
        return;
    }
    if (auto it = stored->find("accounts"); it != stored->end() && it->is_object())
        for (const auto& [scope, account] : it->items()) {
            if (!account.is_object()) continue;
            SyncBookkeepingAccountState state;
            state.reportedIDs = idSet(account.value(kReported, json()));
            state.pendingPushIDs = idSet(account.value(kPendingPush, json()));
            loadPendingDeletes(account, state);
            loadLegacyRemembered(account, deletedIn(scope));
            data_.accounts[scope] = std::move(state);
        }
    if (auto it = stored->find("owners"); it != stored->end() && it->is_object())
        for (const auto& [id, scope] : it->items())
            if (scope.is_string()) data_.owners[id] = scope.get<std::string>();
    if (auto it = stored->find("migrated_scopes"); it != stored->end())
        data_.migratedScopes = idSet(*it);
}

void SyncBookkeepingStore::save() {
    // Built by moves: a copy of a large list would cost the main thread as much again.
    json accounts = json::object();
    for (const auto& [scope, state] : data_.accounts) {
        json& account = accounts[scope];
        account[kReported] = idList(state.reportedIDs);
        account[kPendingPush] = idList(state.pendingPushIDs);
        savePendingDeletes(state, account);
    }
    json stored = json::object();
    json& owners = stored["owners"] = json::object();
    for (const auto& [id, scope] : data_.owners) owners[id] = scope;
    stored["accounts"] = std::move(accounts);
    stored["migrated_scopes"] = idList(data_.migratedScopes);
    saveRememberedDeletes();
    defaults_.set(storageKey_, stored);
    dirty_ = false;
}

std::string SyncBookkeepingStore::deletedKey() const { return storageKey_ + ".deleted"; }

void SyncBookkeepingStore::saveRememberedDeletes() {
    // Written only when a list changed, and before the state that names fewer pending
    // deletes: whichever write lands first, every delete stays pending or remembered.
    bool changedSince = false;
    for (const auto& [scope, deleted] : data_.deleted) {
        auto& saved = savedDeletes_[scope];  // a new entry matches a list never changed
        if (saved.first == deleted.version()) continue;
        saved = {deleted.version(), base64Encode(deleted.packed())};
        changedSince = true;
    }
    // An account's list that is gone (reset) goes from the saved ones too.
    if (!changedSince && savedDeletes_.size() == data_.deleted.size()) return;
    std::erase_if(savedDeletes_, [&](const auto& entry) { return !data_.deleted.count(entry.first); });
    json lists = json::object();
    for (const auto& [scope, saved] : savedDeletes_) lists[scope] = saved.second;
    defaults_.set(deletedKey(), lists);
}

void SyncBookkeepingStore::changed(bool durable) {
    dirty_ = true;
    if (durable || !saveRequester_) {
        save();
        return;
    }
    if (!saveRequested_) {
        saveRequested_ = true;
        saveRequester_();
    }
}

void SyncBookkeepingStore::changedPromptly() {
    if (!promptSaveRequester_) {
        changed(true);
        return;
    }
    dirty_ = true;
    if (!promptSaveRequested_) {
        promptSaveRequested_ = true;
        promptSaveRequester_();
    }
}

void SyncBookkeepingStore::setSaveRequester(std::function<void()> requester) { saveRequester_ = std::move(requester); }

void SyncBookkeepingStore::setPromptSaveRequester(std::function<void()> requester) {
    promptSaveRequester_ = std::move(requester);
}

void SyncBookkeepingStore::flush() {
    saveRequested_ = false;
    promptSaveRequested_ = false;
    if (dirty_) save();
}

SyncBookkeepingAccountState SyncBookkeepingStore::state(const std::string& email,
                                                        const std::optional<SyncLegacyBookkeepingKeys>& legacy) {
    auto scope = scopeOf(email);
    if (!scope) return {};
    if (legacy && !data_.migratedScopes.count(*scope)) {
        SyncBookkeepingAccountState& account = data_.accounts[*scope];
        auto migrate = [&](const std::string& key, SyncIDSet& into) {
            if (key.empty()) return;
            if (auto stored = defaults_.object(key))
                for (const std::string& id : idSet(*stored)) {
                    auto owner = data_.owners.find(id);
                    if (owner != data_.owners.end() && owner->second != *scope) continue;
                    data_.owners[id] = *scope;
                    into.insert(id);
                }
        };
        migrate(legacy->reported, account.reportedIDs);
        migrate(legacy->pendingPush, account.pendingPushIDs);
        migrate(legacy->pendingDelete, account.pendingDeleteIDs);
        data_.migratedScopes.insert(*scope);
        // The account's state is on disk before the old keys go.
        changed(true);
        for (const std::string* key : {&legacy->reported, &legacy->pendingPush, &legacy->pendingDelete})
            if (!key->empty()) defaults_.removeObject(*key);
    }
    auto it = data_.accounts.find(*scope);
    return it == data_.accounts.end() ? SyncBookkeepingAccountState{} : it->second;
}

SyncIDSet SyncBookkeepingStore::eligibleLocalIDs(const SyncIDSet& ids, const std::string& email) const {
    auto scope = scopeOf(email);
    SyncIDSet out;
    for (const std::string& id : ids) {
        auto owner = data_.owners.find(id);
        if (owner == data_.owners.end() || (scope && owner->second == *scope)) out.insert(id);
    }
    return out;
}

bool SyncBookkeepingStore::mark(const std::string& id, const std::string& email, bool pendingPush) {
    auto scope = scopeOf(email);
    if (!scope || id.empty()) return false;
    auto owner = data_.owners.find(id);
    if (owner != data_.owners.end() && owner->second != *scope) return false;
    data_.owners[id] = *scope;
    SyncBookkeepingAccountState& account = data_.accounts[*scope];
    account.reportedIDs.insert(id);
    // Only a new capture here takes back a delete; a received clip never cancels one.
    if (pendingPush) {
        account.pendingPushIDs.insert(id);
        account.pendingDeleteIDs.erase(id);
        account.pendingDeleteDates.erase(id);
        if (!account.unsettledDeletes.empty())
            std::erase_if(account.unsettledDeletes, [&](const SyncUnsettledDelete& entry) { return entry.clientID == id; });
        if (auto deleted = data_.deleted.find(*scope); deleted != data_.deleted.end()) deleted->second.forget(id);
    }
    changed(false);
    return true;
}

SyncRememberedDeletes& SyncBookkeepingStore::deletedIn(const std::string& scope) {
    return data_.deleted.try_emplace(scope, kMaxRememberedDeletes).first->second;
}

const SyncRememberedDeletes* SyncBookkeepingStore::deletedFor(const std::string& email) const {
    auto scope = scopeOf(email);
    auto it = scope ? data_.deleted.find(*scope) : data_.deleted.end();
    return it == data_.deleted.end() ? nullptr : &it->second;
}

bool SyncBookkeepingStore::isRememberedDelete(const std::string& id, const std::string& email) const {
    auto scope = scopeOf(email);
    auto it = scope ? data_.accounts.find(*scope) : data_.accounts.end();
    if (it != data_.accounts.end() && it->second.pendingDeleteIDs.count(id)) return true;
    const auto* deleted = deletedFor(email);
    return deleted && deleted->contains(id);
}

std::size_t SyncBookkeepingStore::rememberedDeleteCount(const std::string& email) const {
    const auto* deleted = deletedFor(email);
    return deleted ? deleted->size() : 0;
}

std::vector<SyncClipKey> SyncBookkeepingStore::rememberedDeletes(const std::string& email) const {
    const auto* deleted = deletedFor(email);
    std::vector<SyncClipKey> out = deleted ? deleted->oldestFirst() : std::vector<SyncClipKey>{};
    auto scope = scopeOf(email);
    auto it = scope ? data_.accounts.find(*scope) : data_.accounts.end();
    if (it != data_.accounts.end())
        for (const std::string& id : it->second.pendingDeleteIDs)
            if (auto key = syncClipKey(id)) out.push_back(*key);
    return out;
}

bool SyncBookkeepingStore::recordCapture(const std::string& id, const std::string& email) { return mark(id, email, true); }

bool SyncBookkeepingStore::markReported(const std::string& id, const std::string& email) { return mark(id, email, false); }

void SyncBookkeepingStore::acknowledge(const SyncIDSet& pushedIDs, const SyncIDSet& deletedIDs, const std::string& email) {
    auto scope = scopeOf(email);
    if (!scope) return;
    SyncBookkeepingAccountState& account = data_.accounts[*scope];
    eraseAll(account.pendingPushIDs, pushedIDs);
    eraseAll(account.reportedIDs, deletedIDs);
    eraseAll(account.pendingPushIDs, deletedIDs);
    eraseAll(account.pendingDeleteIDs, deletedIDs);
    keepUnsettled(account, deletedIDs);
    SyncRememberedDeletes& deleted = deletedIn(*scope);
    for (const std::string& id : deletedIDs) {
        deleted.remember(id);
        auto owner = data_.owners.find(id);
        if (owner != data_.owners.end() && owner->second == *scope) data_.owners.erase(owner);
    }
    changed(false);
}

std::map<std::string, std::int64_t> SyncBookkeepingStore::pendingDeleteDates(const std::string& email) const {
    auto scope = scopeOf(email);
    auto it = scope ? data_.accounts.find(*scope) : data_.accounts.end();
    std::map<std::string, std::int64_t> out;
    if (it != data_.accounts.end())
        for (const auto& [id, stamp] : it->second.pendingDeleteDates) out.emplace_hint(out.end(), id, stamp.createdAt);
    return out;
}

std::map<std::string, std::int64_t> SyncBookkeepingStore::pendingDeleteTimes(const std::string& email) const {
    auto scope = scopeOf(email);
    auto it = scope ? data_.accounts.find(*scope) : data_.accounts.end();
    std::map<std::string, std::int64_t> out;
    if (it != data_.accounts.end())
        for (const auto& [id, stamp] : it->second.pendingDeleteDates)
            if (stamp.deletedAt) out.emplace_hint(out.end(), id, *stamp.deletedAt);
    return out;
}

std::optional<SyncDeleteStamp> SyncBookkeepingStore::pendingDeleteStamp(const std::string& id,
                                                                        const std::string& email) const {
    auto scope = scopeOf(email);
    auto it = scope ? data_.accounts.find(*scope) : data_.accounts.end();
    if (it == data_.accounts.end()) return std::nullopt;
    auto stamp = it->second.pendingDeleteDates.find(id);
    return stamp == it->second.pendingDeleteDates.end() ? std::nullopt : std::optional(stamp->second);
}

std::vector<SyncUnsettledDelete> SyncBookkeepingStore::unsettledDeletes(const std::string& email) const {
    auto scope = scopeOf(email);
    auto it = scope ? data_.accounts.find(*scope) : data_.accounts.end();
    if (it == data_.accounts.end()) return {};
    return {it->second.unsettledDeletes.begin(), it->second.unsettledDeletes.end()};
}

void SyncBookkeepingStore::settleDeletes(const SyncIDSet& ids, const std::string& email) {
    auto scope = scopeOf(email);
    auto it = scope ? data_.accounts.find(*scope) : data_.accounts.end();
    if (it == data_.accounts.end() || ids.empty()) return;
    const auto before = it->second.unsettledDeletes.size();
    std::erase_if(it->second.unsettledDeletes, [&](const SyncUnsettledDelete& entry) { return ids.count(entry.clientID) > 0; });
    if (it->second.unsettledDeletes.size() != before) changed(false);
}

std::vector<SyncBookkeepingDeleteBatch> SyncBookkeepingStore::recordDeletes(
    SyncIDSet ids, const std::optional<std::string>& currentEmail,
    const std::map<std::string, std::int64_t>& createdAt, std::optional<std::int64_t> deletedAt) {
    std::optional<std::string> current = currentEmail ? scopeOf(*currentEmail) : std::nullopt;
    auto date = createdAt.begin();
    const std::string* lastScope = nullptr;
    SyncBookkeepingAccountState* account = nullptr;
    // Each recorded id with its account, in order; nearly always all of them, in one.
    std::vector<std::pair<const std::string*, const std::string*>> recorded;
    recorded.reserve(ids.size());
    bool oneScope = true;
    for (const std::string& id : ids) {
        auto owner = data_.owners.empty() ? data_.owners.end() : data_.owners.find(id);
        const std::string* scope = owner != data_.owners.end() ? &owner->second : current ? &*current : nullptr;
        if (!scope) continue;
        // Remembered once acknowledged; a pending delete counts as remembered meanwhile.
        if (scope != lastScope && (!lastScope || *scope != *lastScope)) {  // mostly one account: looked up once
            oneScope = oneScope && !lastScope;
            lastScope = scope;
            account = &data_.accounts[*scope];
        }
        // The ids come in order, as the dates do: each date is found by walking along, and each
        // id lands at the end of what is there without a search.
        while (date != createdAt.end() && date->first < id) ++date;
        if (date != createdAt.end() && date->first == id)
            account->pendingDeleteDates.insert_or_assign(account->pendingDeleteDates.end(), id,
                                                         SyncDeleteStamp{date->second, deletedAt});
        const std::size_t before = account->pendingDeleteIDs.size();
        account->pendingDeleteIDs.insert(account->pendingDeleteIDs.end(), id);
        if (account->pendingDeleteIDs.size() == before) continue;
        recorded.emplace_back(&id, scope);
    }
    std::vector<SyncBookkeepingDeleteBatch> out;
    if (oneScope && !recorded.empty() && recorded.size() == ids.size()) {
        std::string scope = *recorded.front().second;
        out.push_back({std::move(scope), std::move(ids)});  // no copy of each id
    } else if (!recorded.empty()) {
        std::map<std::string, SyncIDSet> batches;
        for (const auto& [id, scope] : recorded) {
            SyncIDSet& batch = batches[*scope];
            batch.insert(batch.end(), *id);
        }
        for (auto& [scope, batchIDs] : batches) out.push_back({scope, std::move(batchIDs)});
    }
    // A deletion must survive a crash: otherwise the clip comes back from the service. Saved in
    // a step of its own right after this one where the app asks for that: 20,000 deletes take
    // as long to record as to encode.
    if (!out.empty()) changedPromptly();
    return out;
}

void SyncBookkeepingStore::remapID(const std::string& oldID, const std::string& newID) {
    if (oldID == newID) return;
    bool touched = false;
    for (auto& [scope, account] : data_.accounts)
        for (SyncIDSet* ids : {&account.reportedIDs, &account.pendingPushIDs, &account.pendingDeleteIDs})
            if (ids->erase(oldID)) {
                ids->insert(newID);
                touched = true;
            }
    for (auto& [scope, account] : data_.accounts)
        if (auto stamp = account.pendingDeleteDates.find(oldID); stamp != account.pendingDeleteDates.end()) {
            account.pendingDeleteDates.emplace(newID, stamp->second);
            account.pendingDeleteDates.erase(stamp);
        }
    if (auto owner = data_.owners.find(oldID); owner != data_.owners.end()) {
        data_.owners.emplace(newID, owner->second);  // an existing entry of the new id wins
        data_.owners.erase(oldID);
        touched = true;
    }
    if (touched) changed(true);
}

void SyncBookkeepingStore::resetAccount(const std::string& email) {
    auto scope = scopeOf(email);
    if (!scope) return;
    data_.migratedScopes.insert(*scope);
    data_.accounts[*scope] = SyncBookkeepingAccountState{};
    data_.deleted.erase(*scope);  // its saved list goes at the next save
    changed(true);
}

}  // namespace harbelle::sync
