#include "sync/SyncAccountStore.h"

#include <algorithm>

namespace harbelle::sync {

using nlohmann::json;

SyncSessionStorageError::SyncSessionStorageError()
    : std::runtime_error("Harbelle could not save your sync account in the system keyring. Unlock the keyring and try again.") {}

SyncSessionStorageError::SyncSessionStorageError(const std::string& detail)
    : std::runtime_error("Harbelle could not save your sync account in the system keyring. Unlock the keyring and try again. (" +
                         detail + ")") {}

SyncAccountStore::SyncAccountStore(std::shared_ptr<SyncSecureStoring> store) : store_(std::move(store)) {}

std::optional<SyncSession> SyncAccountStore::loadSession() {
    auto data = store_->read(sessionAccount);
    if (!data) return std::nullopt;
    json j = json::parse(*data, nullptr, false);
    if (j.is_discarded()) return std::nullopt;
    return sessionFromJSON(j);
}

void SyncAccountStore::saveSession(const SyncSession& session) {
    try {
        store_->write(sessionAccount, dumpSortedJSON(toJSON(session)));
    } catch (const SyncSecureStoreError& error) {
        throw SyncSessionStorageError(error.what());
    }
}

void SyncAccountStore::requireSessionStorage() {
    try {
        store_->checkWritable();
    } catch (const SyncSecureStoreError& error) {
        throw SyncKeyringUnavailableError(error.what());
    }
}

void SyncAccountStore::clearSession() { store_->remove(sessionAccount); }

std::vector<SyncPendingRevocation> SyncAccountStore::pendingRevocations() {
    auto data = store_->read(revocationsAccount);
    std::vector<SyncPendingRevocation> out;
    if (!data) return out;
    json j = json::parse(*data, nullptr, false);
    if (!j.is_array()) return out;
    for (const json& item : j) {
        if (!item.is_object()) continue;
        auto base = item.find("base_url");
        auto token = item.find("token");
        if (base == item.end() || token == item.end() || !base->is_string() || !token->is_string()) continue;
        out.push_back({base->get<std::string>(), token->get<std::string>()});
    }
    return out;
}

void SyncAccountStore::addPendingRevocation(const SyncPendingRevocation& revocation) {
    auto all = pendingRevocations();
    if (std::find(all.begin(), all.end(), revocation) != all.end()) return;
    all.push_back(revocation);
    saveRevocations(all);
}

void SyncAccountStore::removePendingRevocation(const SyncPendingRevocation& revocation) {
    auto all = pendingRevocations();
    auto end = std::remove(all.begin(), all.end(), revocation);
    if (end == all.end()) return;
    all.erase(end, all.end());
    saveRevocations(all);
}

void SyncAccountStore::saveRevocations(const std::vector<SyncPendingRevocation>& revocations) {
    if (revocations.empty()) {
        store_->remove(revocationsAccount);
        return;
    }
    json j = json::array();
    for (const auto& r : revocations) j.push_back({{"base_url", r.baseURL}, {"token", r.token}});
    store_->write(revocationsAccount, dumpSortedJSON(j));
}

}  // namespace harbelle::sync
