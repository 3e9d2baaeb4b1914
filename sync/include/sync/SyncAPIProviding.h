#pragma once

#include <string>
#include <vector>

#include "sync/SyncModels.h"
#include "sync/SyncServiceError.h"

namespace harbelle::sync {

// The sync service's calls. Every call throws SyncServiceError on failure. Calls are made
// from one thread at a time; setStopped may be called from any thread.
class SyncAPIProviding {
public:
    virtual ~SyncAPIProviding() = default;

    virtual void health() = 0;
    virtual SyncKDFParameters kdf(const std::string& email) = 0;
    virtual SyncRegisterResponse registerAccount(const SyncRegisterRequest& request) = 0;
    virtual SyncLoginResponse login(const SyncLoginRequest& request) = 0;
    // 204 and 401 both mean the token is gone.
    virtual void logout(const std::string& token) = 0;
    // Returns the number of other sessions the service revoked.
    virtual std::int64_t changePassword(const std::string& token, const SyncChangePasswordRequest& request) = 0;
    // At most 50 items; results in request order (checked: a mismatch is invalidResponse).
    virtual std::vector<SyncPushResult> push(const std::string& token, const std::vector<SyncPushItem>& items) = 0;
    virtual SyncPullResponse pull(const std::string& token, std::int64_t since, int limit) = 0;
    // At most 500 items, each with its delete_mac; returns the acknowledged ids.
    virtual std::vector<std::string> deleteClips(const std::string& token, const std::vector<SyncDeleteItem>& items) = 0;

    // While stopped, a running request aborts at once and new ones fail with transport.
    virtual void setStopped(bool stopped) = 0;
};

}  // namespace harbelle::sync
