#pragma once

#include <memory>
#include <string>

#include "sync/SyncAPIProviding.h"
#include "sync/SyncHTTPSession.h"

namespace harbelle::sync {

// SyncAPIProviding over HTTP(S) with libcurl. Throws std::invalid_argument for a base URL
// that is not http or https.
class HTTPSyncAPIClient final : public SyncAPIProviding {
public:
    // With no session given the client makes its own.
    explicit HTTPSyncAPIClient(const std::string& baseURL, std::shared_ptr<SyncHTTPSession> session = nullptr);
    ~HTTPSyncAPIClient() override;

    void health() override;
    SyncKDFParameters kdf(const std::string& email) override;
    SyncRegisterResponse registerAccount(const SyncRegisterRequest& request) override;
    SyncLoginResponse login(const SyncLoginRequest& request) override;
    void logout(const std::string& token) override;
    std::int64_t changePassword(const std::string& token, const SyncChangePasswordRequest& request) override;
    std::vector<SyncPushResult> push(const std::string& token, const std::vector<SyncPushItem>& items) override;
    SyncPullResponse pull(const std::string& token, std::int64_t since, int limit) override;
    std::vector<std::string> deleteClips(const std::string& token, const std::vector<SyncDeleteItem>& items) override;
    void setStopped(bool stopped) override;

    const std::string& baseURL() const { return baseURL_; }

private:
    nlohmann::json call(SyncEndpoint endpoint, const char* path, const nlohmann::json* body, const std::string* token);

    std::string baseURL_;
    std::shared_ptr<SyncHTTPSession> session_;
};

}  // namespace harbelle::sync
