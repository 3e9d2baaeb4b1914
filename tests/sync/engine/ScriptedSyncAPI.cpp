#include "ScriptedSyncAPI.h"

namespace harbelle::sync::testing {

std::size_t ScriptedSyncService::count(const std::string& call) {
    std::lock_guard lock(mutex);
    return std::size_t(std::count(calls.begin(), calls.end(), call));
}

void ScriptedSyncService::fail(const std::string& call, SyncServiceError error, int times) {
    std::lock_guard lock(mutex);
    for (int i = 0; i < times; ++i) failures[call].push_back(error);
}

void ScriptedSyncAPI::enter(const std::string& call) {
    {
        std::lock_guard lock(stopMutex_);
        if (stopped_) throw SyncServiceError(SyncServiceErrorCode::transport, std::nullopt, "stopped");
    }
    std::lock_guard lock(service_->mutex);
    service_->calls.push_back(call);
    auto& queue = service_->failures[call];
    if (!queue.empty()) {
        auto error = queue.front();
        queue.pop_front();
        throw error;
    }
}

SyncKDFParameters ScriptedSyncAPI::kdf(const std::string&) {
    enter("kdf");
    std::lock_guard lock(service_->mutex);
    return service_->kdf;
}

SyncRegisterResponse ScriptedSyncAPI::registerAccount(const SyncRegisterRequest&) {
    enter("register");
    return {"token-registered", "device-1"};
}

SyncLoginResponse ScriptedSyncAPI::login(const SyncLoginRequest&) {
    enter("login");
    if (service_->onLogin) service_->onLogin();  // set before the sign-in starts
    std::lock_guard lock(service_->mutex);
    return service_->loginAnswer;
}

void ScriptedSyncAPI::logout(const std::string& token) {
    enter("logout");
    std::lock_guard lock(service_->mutex);
    service_->loggedOut.push_back(token);
}

std::int64_t ScriptedSyncAPI::changePassword(const std::string&, const SyncChangePasswordRequest& request) {
    enter("change-password");
    std::lock_guard lock(service_->mutex);
    service_->lastPasswordChange = request;
    return 2;
}

std::vector<SyncPushResult> ScriptedSyncAPI::push(const std::string&, const std::vector<SyncPushItem>& items) {
    enter("push");
    bool block;
    {
        std::lock_guard lock(service_->mutex);
        service_->pushes.push_back(items);
        block = service_->blockPushes;
    }
    if (block) {
        std::unique_lock lock(stopMutex_);
        stopChanged_.wait(lock, [this] { return stopped_; });
        throw SyncServiceError(SyncServiceErrorCode::transport, std::nullopt, "aborted");
    }
    std::function<std::vector<SyncPushResult>(const std::vector<SyncPushItem>&)> hook;
    {
        std::lock_guard lock(service_->mutex);
        hook = service_->onPush;
    }
    if (hook) return hook(items);
    std::vector<SyncPushResult> results;
    for (const auto& item : items) results.push_back({item.clientID, item.clientID, "stored", 1});
    return results;
}

SyncPullResponse ScriptedSyncAPI::pull(const std::string&, std::int64_t since, int limit) {
    enter("pull");
    std::function<SyncPullResponse(std::int64_t, int)> hook;
    {
        std::lock_guard lock(service_->mutex);
        service_->pullSince.push_back(since);
        hook = service_->onPull;
    }
    if (hook) return hook(since, limit);
    return {{}, since, false};
}

std::vector<std::string> ScriptedSyncAPI::deleteClips(const std::string&, const std::vector<SyncDeleteItem>& items) {
    enter("delete");
    std::lock_guard lock(service_->mutex);
    std::vector<std::string> ids;
    for (const auto& item : items) ids.push_back(item.clientID);
    service_->deletes.push_back(ids);
    service_->deleteItems.push_back(items);
    return service_->onDelete ? service_->onDelete(ids) : ids;
}

bool ScriptedSyncAPI::upload(const std::string&, const std::string& blobKey, const std::string& sealedBytes) {
    enter("upload");
    std::lock_guard lock(service_->mutex);
    return service_->blobs.insert_or_assign(blobKey, sealedBytes).second;
}

std::optional<std::string> ScriptedSyncAPI::download(const std::string&, const std::string& blobKey) {
    enter("download");
    std::function<std::optional<std::string>(const std::string&)> hook;
    {
        std::lock_guard lock(service_->mutex);
        service_->downloads.push_back(blobKey);
        hook = service_->onDownload;
        if (!hook) {
            auto it = service_->blobs.find(blobKey);
            if (it == service_->blobs.end()) return std::nullopt;
            return it->second;
        }
    }
    return hook(blobKey);
}

void ScriptedSyncAPI::setStopped(bool stopped) {
    std::lock_guard lock(stopMutex_);
    stopped_ = stopped;
    stopChanged_.notify_all();
}

std::function<std::unique_ptr<SyncAPIProviding>(const std::string&)> scriptedAPIFactory(
    std::shared_ptr<ScriptedSyncService> service) {
    return [service](const std::string&) { return std::make_unique<ScriptedSyncAPI>(service); };
}

std::function<std::unique_ptr<SyncBlobTransporting>(const std::string&)> scriptedBlobFactory(
    std::shared_ptr<ScriptedSyncService> service) {
    return [service](const std::string&) { return std::make_unique<ScriptedSyncAPI>(service); };
}

}  // namespace harbelle::sync::testing
