#include "sync/KeychainSyncStore.h"

namespace harbelle::sync {

KeychainSyncStore::KeychainSyncStore(std::string service) : service_(std::move(service)) {}
KeychainSyncStore::~KeychainSyncStore() = default;
std::optional<std::string> KeychainSyncStore::read(const std::string&) { throw SyncSecureStoreError("not yet"); }
void KeychainSyncStore::write(const std::string&, const std::string&) { throw SyncSecureStoreError("not yet"); }
void KeychainSyncStore::remove(const std::string&) { throw SyncSecureStoreError("not yet"); }

}  // namespace harbelle::sync
