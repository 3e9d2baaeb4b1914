#include "sync/SyncBookkeepingStore.h"

#include <algorithm>
#include <cctype>

#include "sync/SyncCrypto.h"
#include "sync/SyncText.h"

namespace harbelle::sync {

using nlohmann::json;

namespace {

constexpr const char* kReported = "reported_ids";
constexpr const char* kPendingPush = "pending_push_ids";
constexpr const char* kPendingDelete = "pending_delete_ids";
constexpr const char* kDeleted = "deleted_ids";
constexpr const char* kPendingDeleteDates = "pending_delete_dates";

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

json idList(const SyncIDSet& ids) { return json(std::vector<std::string>(ids.begin(), ids.end())); }

std::vector<std::string> orderedIDs(const json& j) {
    std::vector<std::string> out;
    if (!j.is_array()) return out;
    for (const json& id : j)
        if (id.is_string() && !id.get_ref<const std::string&>().empty()) out.push_back(id.get<std::string>());
    return out;
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

void SyncBookkeepingStore::load() {
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
            state.pendingDeleteIDs = idSet(account.value(kPendingDelete, json()));
            state.deletedIDs = orderedIDs(account.value(kDeleted, json()));
            if (auto dates = account.find(kPendingDeleteDates); dates != account.end() && dates->is_object())
                for (const auto& [id, seconds] : dates->items())
                    if (seconds.is_number_integer() && state.pendingDeleteIDs.count(id))
                        state.pendingDeleteDates[id] = seconds.get<std::int64_t>();
            data_.accounts[scope] = std::move(state);
        }
    if (auto it = stored->find("owners"); it != stored->end() && it->is_object())
        for (const auto& [id, scope] : it->items())
            if (scope.is_string()) data_.owners[id] = scope.get<std::string>();
    if (auto it = stored->find("migrated_scopes"); it != stored->end())
        data_.migratedScopes = idSet(*it);
}

void SyncBookkeepingStore::save() {
    json accounts = json::object();
    for (const auto& [scope, state] : data_.accounts)
        accounts[scope] = {{kReported, idList(state.reportedIDs)},
                           {kPendingPush, idList(state.pendingPushIDs)},
                           {kPendingDelete, idList(state.pendingDeleteIDs)},
                           {kDeleted, state.deletedIDs},
                           {kPendingDeleteDates, state.pendingDeleteDates}};
    json owners = json::object();
    for (const auto& [id, scope] : data_.owners) owners[id] = scope;
    defaults_.set(storageKey_, {{"accounts", accounts}, {"owners", owners}, {"migrated_scopes", idList(data_.migratedScopes)}});
    dirty_ = false;
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

void SyncBookkeepingStore::setSaveRequester(std::function<void()> requester) { saveRequester_ = std::move(requester); }

void SyncBookkeepingStore::flush() {
    saveRequested_ = false;
    if (dirty_) save();
}

SyncBookkeepingAccountState SyncBookkeepingStore::state(const std::string& email,
                                                        const std::optional<SyncLegacyBookkeepingKeys>& legacy) {
    auto scope = accountScope(email);
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
    auto scope = accountScope(email);
    SyncIDSet out;
    for (const std::string& id : ids) {
        auto owner = data_.owners.find(id);
        if (owner == data_.owners.end() || (scope && owner->second == *scope)) out.insert(id);
    }
    return out;
}

bool SyncBookkeepingStore::mark(const std::string& id, const std::string& email, bool pendingPush) {
    auto scope = accountScope(email);
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
        std::erase(account.deletedIDs, id);
    }
    changed(false);
    return true;
}

void SyncBookkeepingStore::remember(SyncBookkeepingAccountState& account, const std::string& id) {
    auto& ids = account.deletedIDs;
    if (std::find(ids.begin(), ids.end(), id) != ids.end()) return;
    ids.push_back(id);
    if (ids.size() > kMaxRememberedDeletes) ids.erase(ids.begin(), ids.end() - std::ptrdiff_t(kMaxRememberedDeletes));
}

bool SyncBookkeepingStore::isRememberedDelete(const std::string& id, const std::string& email) const {
    auto scope = accountScope(email);
    auto it = scope ? data_.accounts.find(*scope) : data_.accounts.end();
    if (it == data_.accounts.end()) return false;
    const auto& deleted = it->second.deletedIDs;
    return it->second.pendingDeleteIDs.count(id) || std::find(deleted.begin(), deleted.end(), id) != deleted.end();
}

SyncIDSet SyncBookkeepingStore::rememberedDeletes(const std::string& email) const {
    auto scope = accountScope(email);
    if (!scope) return {};
    auto it = data_.accounts.find(*scope);
    if (it == data_.accounts.end()) return {};
    SyncIDSet out(it->second.deletedIDs.begin(), it->second.deletedIDs.end());
    out.insert(it->second.pendingDeleteIDs.begin(), it->second.pendingDeleteIDs.end());
    return out;
}

bool SyncBookkeepingStore::recordCapture(const std::string& id, const std::string& email) { return mark(id, email, true); }

bool SyncBookkeepingStore::markReported(const std::string& id, const std::string& email) { return mark(id, email, false); }

void SyncBookkeepingStore::acknowledge(const SyncIDSet& pushedIDs, const SyncIDSet& deletedIDs, const std::string& email) {
    auto scope = accountScope(email);
    if (!scope) return;
    SyncBookkeepingAccountState& account = data_.accounts[*scope];
    for (const std::string& id : pushedIDs) account.pendingPushIDs.erase(id);
    for (const std::string& id : deletedIDs) {
        remember(account, id);
        account.reportedIDs.erase(id);
        account.pendingPushIDs.erase(id);
        account.pendingDeleteIDs.erase(id);
        account.pendingDeleteDates.erase(id);
        auto owner = data_.owners.find(id);
        if (owner != data_.owners.end() && owner->second == *scope) data_.owners.erase(owner);
    }
    changed(false);
}

std::map<std::string, std::int64_t> SyncBookkeepingStore::pendingDeleteDates(const std::string& email) const {
    auto scope = accountScope(email);
    auto it = scope ? data_.accounts.find(*scope) : data_.accounts.end();
    return it == data_.accounts.end() ? std::map<std::string, std::int64_t>{} : it->second.pendingDeleteDates;
}

std::vector<SyncBookkeepingDeleteBatch> SyncBookkeepingStore::recordDeletes(
    const SyncIDSet& ids, const std::optional<std::string>& currentEmail,
    const std::map<std::string, std::int64_t>& createdAt) {
    std::optional<std::string> current = currentEmail ? accountScope(*currentEmail) : std::nullopt;
    std::map<std::string, SyncIDSet> batches;
    for (const std::string& id : ids) {
        auto owner = data_.owners.find(id);
        std::optional<std::string> scope = owner != data_.owners.end() ? std::optional(owner->second) : current;
        if (!scope) continue;
        SyncBookkeepingAccountState& account = data_.accounts[*scope];
        remember(account, id);
        if (auto date = createdAt.find(id); date != createdAt.end()) account.pendingDeleteDates[id] = date->second;
        if (!account.pendingDeleteIDs.insert(id).second) continue;
        batches[*scope].insert(id);
    }
    std::vector<SyncBookkeepingDeleteBatch> out;
    for (auto& [scope, batchIDs] : batches) out.push_back({scope, std::move(batchIDs)});
    // A deletion must survive a crash: otherwise the clip comes back from the service.
    if (!out.empty()) changed(true);
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
        if (auto date = account.pendingDeleteDates.find(oldID); date != account.pendingDeleteDates.end()) {
            account.pendingDeleteDates.emplace(newID, date->second);
            account.pendingDeleteDates.erase(date);
        }
    if (auto owner = data_.owners.find(oldID); owner != data_.owners.end()) {
        data_.owners.emplace(newID, owner->second);  // an existing entry of the new id wins
        data_.owners.erase(oldID);
        touched = true;
    }
    if (touched) changed(true);
}

void SyncBookkeepingStore::resetAccount(const std::string& email) {
    auto scope = accountScope(email);
    if (!scope) return;
    data_.migratedScopes.insert(*scope);
    data_.accounts[*scope] = SyncBookkeepingAccountState{};
    changed(true);
}

}  // namespace harbelle::sync
