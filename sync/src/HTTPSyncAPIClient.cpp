#include "sync/HTTPSyncAPIClient.h"

#include <stdexcept>

namespace harbelle::sync {

using nlohmann::json;

namespace {

[[noreturn]] void invalidResponse(const std::string& detail) {
    throw SyncServiceError(SyncServiceErrorCode::invalidResponse, std::nullopt, detail);
}

}  // namespace

HTTPSyncAPIClient::HTTPSyncAPIClient(const std::string& baseURL, std::shared_ptr<SyncHTTPSession> session)
    : baseURL_(baseURL), session_(std::move(session)) {
    if (SyncHTTPSession::originOf(baseURL).empty()) throw std::invalid_argument("The sync base URL must be http or https.");
    if (!session_) session_ = std::make_shared<SyncHTTPSession>(baseURL);
}

HTTPSyncAPIClient::~HTTPSyncAPIClient() = default;

void HTTPSyncAPIClient::setStopped(bool stopped) { session_->setStopped(stopped); }

json HTTPSyncAPIClient::call(SyncEndpoint endpoint, const char* path, const json* body, const std::string* token) {
    SyncHTTPRequest request;
    request.url = joinURL(baseURL_, path);
    if (body) {
        request.method = "POST";
        request.body = body->dump();
        request.contentType = "application/json";
    } else if (endpoint != SyncEndpoint::health) {
        request.method = "POST";  // logout has no body
    }
    if (token) request.bearerToken = *token;
    request.maxResponseBytes = SyncHTTPSession::maxJSONResponseBytes;
    SyncHTTPResponse response = session_->perform(request);
    if (response.tooLarge) throw SyncServiceError::tooLargeResponse(std::string(path) + ": answer over 32 MiB");
    if (auto error = syncServiceErrorForStatus(endpoint, response.status))
        throw SyncServiceError(*error, response.retryAfterSeconds,
                               std::string(path) + ": HTTP " + std::to_string(response.status));
    if (response.status == 204) return json();
    // Depth is checked before any tree is built: the wire format needs only a few levels.
    if (!jsonNestingWithin(response.body, kMaxJSONNesting)) invalidResponse(std::string(path) + ": JSON nested too deep");
    json answer = json::parse(response.body, nullptr, false);
    if (answer.is_discarded() || !answer.is_object()) invalidResponse(std::string(path) + ": body is not a JSON object");
    return answer;
}

void HTTPSyncAPIClient::health() {
    json answer = call(SyncEndpoint::health, "v1/health", nullptr, nullptr);
    if (answer.value("status", "") != "ok") invalidResponse("health: status is not ok");
}

SyncKDFParameters HTTPSyncAPIClient::kdf(const std::string& email) {
    json body{{"email", email}};
    return kdfParametersFromJSON(call(SyncEndpoint::kdf, "v1/kdf", &body, nullptr));
}

SyncRegisterResponse HTTPSyncAPIClient::registerAccount(const SyncRegisterRequest& request) {
    json body = toJSON(request);
    return registerResponseFromJSON(call(SyncEndpoint::registerAccount, "v1/register", &body, nullptr));
}

SyncLoginResponse HTTPSyncAPIClient::login(const SyncLoginRequest& request) {
    json body = toJSON(request);
    return loginResponseFromJSON(call(SyncEndpoint::login, "v1/login", &body, nullptr));
}

void HTTPSyncAPIClient::logout(const std::string& token) {
    try {
        call(SyncEndpoint::logout, "v1/logout", nullptr, &token);
    } catch (const SyncServiceError& error) {
        // A token the service no longer knows is as good as logged out.
        if (error.code() != SyncServiceErrorCode::unauthorized) throw;
    }
}

std::int64_t HTTPSyncAPIClient::changePassword(const std::string& token, const SyncChangePasswordRequest& request) {
    json body = toJSON(request);
    json answer = call(SyncEndpoint::changePassword, "v1/change-password", &body, &token);
    auto it = answer.find("revoked_sessions");
    if (it == answer.end() || !it->is_number_integer()) invalidResponse("change-password: no revoked_sessions");
    return it->get<std::int64_t>();
}

std::vector<SyncPushResult> HTTPSyncAPIClient::push(const std::string& token, const std::vector<SyncPushItem>& items) {
    json list = json::array();
    for (const auto& item : items) list.push_back(toJSON(item));
    json body{{"items", list}};
    json answer = call(SyncEndpoint::push, "v1/push", &body, &token);
    auto it = answer.find("results");
    if (it == answer.end() || !it->is_array()) invalidResponse("push: no results");
    std::vector<SyncPushResult> results;
    for (const json& r : *it) results.push_back(pushResultFromJSON(r));
    // Acknowledging against a mismatched list could mark the wrong clip as sent.
    if (results.size() != items.size()) invalidResponse("push: result count differs from the request");
    for (size_t i = 0; i < items.size(); ++i)
        if (results[i].clientID != items[i].clientID) invalidResponse("push: result ids differ from the request");
    return results;
}

SyncPullResponse HTTPSyncAPIClient::pull(const std::string& token, std::int64_t since, int limit) {
    json body{{"since", since}, {"limit", limit}};
    return pullResponseFromJSON(call(SyncEndpoint::pull, "v1/pull", &body, &token));
}

std::vector<std::string> HTTPSyncAPIClient::deleteClips(const std::string& token,
                                                        const std::vector<SyncDeleteItem>& items) {
    json list = json::array();
    for (const auto& item : items) list.push_back(toJSON(item));
    json body{{"items", list}};
    json answer = call(SyncEndpoint::deleteClips, "v1/delete", &body, &token);
    auto it = answer.find("deleted");
    if (it == answer.end() || !it->is_array()) invalidResponse("delete: no deleted list");
    std::vector<std::string> deleted;
    for (const json& id : *it) {
        if (!id.is_string()) invalidResponse("delete: id is not a text");
        deleted.push_back(id.get<std::string>());
    }
    return deleted;
}

}  // namespace harbelle::sync
