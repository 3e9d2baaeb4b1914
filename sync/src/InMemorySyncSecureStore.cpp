#include "sync/InMemorySyncSecureStore.h"

namespace harbelle::sync {

std::optional<std::string> InMemorySyncSecureStore::read(const std::string& account) {
    std::lock_guard lock(mutex_);
    if (locked_) throw SyncSecureStoreError("The keyring is locked.");
    auto it = items_.find(account);
    if (it == items_.end()) return std::nullopt;
    return it->second;
}

void InMemorySyncSecureStore::write(const std::string& account, const std::string& data) {
    std::lock_guard lock(mutex_);
    if (locked_) throw SyncSecureStoreError("The keyring is locked.");
    items_[account] = data;
    ++writes_;
}

void InMemorySyncSecureStore::remove(const std::string& account) {
    std::lock_guard lock(mutex_);
    if (locked_) throw SyncSecureStoreError("The keyring is locked.");
    items_.erase(account);
}

void InMemorySyncSecureStore::checkWritable() {
    std::lock_guard lock(mutex_);
    if (locked_) throw SyncSecureStoreError("The keyring is locked.");
}

void InMemorySyncSecureStore::setLocked(bool locked) {
    std::lock_guard lock(mutex_);
    locked_ = locked;
}

std::map<std::string, std::string> InMemorySyncSecureStore::items() const {
    std::lock_guard lock(mutex_);
    return items_;
}

int InMemorySyncSecureStore::writeCount() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

}  // namespace harbelle::sync
