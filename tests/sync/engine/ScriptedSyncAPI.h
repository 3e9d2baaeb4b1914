#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sync/SyncAPIProviding.h"
#include "sync/SyncBlobTransporting.h"
#include "sync/SyncEngine.h"

namespace harbelle::sync::testing {

// What the scripted service knows and answers; shared by every client the engine's factories
// make. Defaults: every push is "stored", pulls are empty, deletes are acknowledged, blobs are
// kept. Tests replace the hooks or queue failures per call name.
struct ScriptedSyncService {
    std::mutex mutex;
    std::vector<std::string> calls;  // "push", "pull", "delete", "upload", "download", "logout", ...
    std::vector<std::vector<SyncPushItem>> pushes;
    std::vector<std::int64_t> pullSince;
    std::vector<std::vector<std::string>> deletes;
    std::vector<std::vector<SyncDeleteItem>> deleteItems;
    std::vector<std::string> downloads;
    std::vector<std::string> loggedOut;
    std::map<std::string, std::string> blobs;
    std::map<std::string, std::deque<SyncServiceError>> failures;
    std::function<std::vector<SyncPushResult>(const std::vector<SyncPushItem>&)> onPush;
    std::function<SyncPullResponse(std::int64_t since, int limit)> onPull;
    std::function<std::optional<std::string>(const std::string& key)> onDownload;
    std::function<std::vector<std::string>(const std::vector<std::string>& sent)> onDelete;
    // Account calls.
    SyncKDFParameters kdf;
    SyncLoginResponse loginAnswer;
    // Runs as a login arrives, before it is answered.
    std::function<void()> onLogin;
    std::optional<SyncChangePasswordRequest> lastPasswordChange;
    // While set, a push blocks until the client is stopped (an in-flight request).
    bool blockPushes = false;

    std::size_t count(const std::string& call);
    void fail(const std::string& call, SyncServiceError error, int times = 1);
};

class ScriptedSyncAPI final : public SyncAPIProviding, public SyncBlobTransporting {
public:
    explicit ScriptedSyncAPI(std::shared_ptr<ScriptedSyncService> service) : service_(std::move(service)) {}

    void health() override {}
    SyncKDFParameters kdf(const std::string& email) override;
    SyncRegisterResponse registerAccount(const SyncRegisterRequest& request) override;
    SyncLoginResponse login(const SyncLoginRequest& request) override;
    void logout(const std::string& token) override;
    std::int64_t changePassword(const std::string& token, const SyncChangePasswordRequest& request) override;
    std::vector<SyncPushResult> push(const std::string& token, const std::vector<SyncPushItem>& items) override;
    SyncPullResponse pull(const std::string& token, std::int64_t since, int limit) override;
    std::vector<std::string> deleteClips(const std::string& token, const std::vector<SyncDeleteItem>& items) override;
    bool upload(const std::string& token, const std::string& blobKey, const std::string& sealedBytes) override;
    std::optional<std::string> download(const std::string& token, const std::string& blobKey) override;
    void setStopped(bool stopped) override;

private:
    void enter(const std::string& call);
    std::shared_ptr<ScriptedSyncService> service_;
    std::mutex stopMutex_;
    std::condition_variable stopChanged_;
    bool stopped_ = false;
};

// Engine factories over one scripted service.
std::function<std::unique_ptr<SyncAPIProviding>(const std::string&)> scriptedAPIFactory(
    std::shared_ptr<ScriptedSyncService> service);
std::function<std::unique_ptr<SyncBlobTransporting>(const std::string&)> scriptedBlobFactory(
    std::shared_ptr<ScriptedSyncService> service);

}  // namespace harbelle::sync::testing
