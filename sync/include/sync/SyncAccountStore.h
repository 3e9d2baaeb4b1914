#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "sync/SyncModels.h"
#include "sync/SyncSecureStoring.h"

namespace harbelle::sync {

// The signed-in session could not be written to the keyring.
class SyncSessionStorageError : public std::runtime_error {
public:
    SyncSessionStorageError();
    explicit SyncSessionStorageError(const std::string& detail);
};

// No keyring can keep a session now (no Secret Service, none to write into, locked): found
// before an account is made or signed into, so nothing is left half done on the service.
class SyncKeyringUnavailableError : public SyncSessionStorageError {
public:
    explicit SyncKeyringUnavailableError(const std::string& detail) : SyncSessionStorageError(detail) {}
};

// The signed-in session and the pending token revocations over a secure store.
class SyncAccountStore {
public:
    static constexpr const char* sessionAccount = "session";
    static constexpr const char* revocationsAccount = "pending-revocations";

    explicit SyncAccountStore(std::shared_ptr<SyncSecureStoring> store);

    // nullopt only when no session is stored; throws SyncSecureStoreError when the keyring
    // cannot be read (locked). An unreadable stored session reads as none.
    std::optional<SyncSession> loadSession();
    // Throws SyncSessionStorageError.
    void saveSession(const SyncSession& session);
    // Throws SyncKeyringUnavailableError when saveSession could not succeed now.
    void requireSessionStorage();
    // Throws SyncSecureStoreError.
    void clearSession();

    std::vector<SyncPendingRevocation> pendingRevocations();
    void addPendingRevocation(const SyncPendingRevocation& revocation);
    void removePendingRevocation(const SyncPendingRevocation& revocation);

private:
    void saveRevocations(const std::vector<SyncPendingRevocation>& revocations);
    std::shared_ptr<SyncSecureStoring> store_;
};

}  // namespace harbelle::sync
