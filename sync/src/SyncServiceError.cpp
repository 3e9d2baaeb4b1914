#include "sync/SyncServiceError.h"

namespace harbelle::sync {

SyncServiceError::SyncServiceError(SyncServiceErrorCode code, std::optional<int> retryAfterSeconds, std::string detail)
    : std::runtime_error(std::string(name(code)) + (detail.empty() ? "" : ": " + detail)),
      code_(code), retryAfterSeconds_(retryAfterSeconds), detail_(std::move(detail)) {}

SyncServiceError SyncServiceError::tooLargeResponse(std::string detail) {
    SyncServiceError error(SyncServiceErrorCode::invalidResponse, std::nullopt, std::move(detail));
    error.responseTooLarge_ = true;
    return error;
}

const char* SyncServiceError::message(SyncServiceErrorCode code) {
    switch (code) {
    case SyncServiceErrorCode::invalidCredentials: return "Email or password is incorrect.";
    case SyncServiceErrorCode::emailTaken: return "An account already exists for that email. Try signing in.";
    case SyncServiceErrorCode::unauthorized: return "Email or password is incorrect.";
    case SyncServiceErrorCode::rateLimited: return "Too many attempts. Wait a minute and try again.";
    case SyncServiceErrorCode::serverUnavailable: return "The sync service is temporarily unavailable.";
    case SyncServiceErrorCode::payloadTooLarge:
    case SyncServiceErrorCode::invalidRequest:
    case SyncServiceErrorCode::invalidResponse: return "The sync service rejected the request. Try again.";
    case SyncServiceErrorCode::transport: return "Could not reach the sync service. Check your connection.";
    }
    return "Something went wrong. Try again.";
}

const char* SyncServiceError::name(SyncServiceErrorCode code) {
    switch (code) {
    case SyncServiceErrorCode::invalidCredentials: return "invalidCredentials";
    case SyncServiceErrorCode::emailTaken: return "emailTaken";
    case SyncServiceErrorCode::unauthorized: return "unauthorized";
    case SyncServiceErrorCode::rateLimited: return "rateLimited";
    case SyncServiceErrorCode::serverUnavailable: return "serverUnavailable";
    case SyncServiceErrorCode::payloadTooLarge: return "payloadTooLarge";
    case SyncServiceErrorCode::invalidRequest: return "invalidRequest";
    case SyncServiceErrorCode::invalidResponse: return "invalidResponse";
    case SyncServiceErrorCode::transport: return "transport";
    }
    return "unknown";
}

std::optional<SyncServiceErrorCode> syncServiceErrorForStatus(SyncEndpoint endpoint, long status) {
    using E = SyncServiceErrorCode;
    switch (endpoint) {
    case SyncEndpoint::registerAccount:
        if (status == 201) return std::nullopt;
        break;
    case SyncEndpoint::logout:
        if (status == 204) return std::nullopt;
        break;
    case SyncEndpoint::uploadBlob:
        if (status == 200 || status == 201) return std::nullopt;
        break;
    default:
        if (status == 200) return std::nullopt;
    }
    if (status == 400 || status == 422) return E::invalidRequest;
    if (status == 401 || status == 403)
        return (endpoint == SyncEndpoint::kdf || endpoint == SyncEndpoint::login) ? E::invalidCredentials
                                                                                 : E::unauthorized;
    if (status == 409 && endpoint == SyncEndpoint::registerAccount) return E::emailTaken;
    if (status == 413) return E::payloadTooLarge;
    if (status == 429) return E::rateLimited;
    if (status >= 500 && status <= 599) return E::serverUnavailable;
    return E::invalidResponse;
}

}  // namespace harbelle::sync
