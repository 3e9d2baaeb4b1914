#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace harbelle::sync {

// The service client's failures, in the order callers switch over them.
enum class SyncServiceErrorCode {
    invalidCredentials,
    emailTaken,
    unauthorized,
    rateLimited,
    serverUnavailable,
    payloadTooLarge,
    invalidRequest,
    invalidResponse,
    transport,
};

class SyncServiceError : public std::runtime_error {
public:
    explicit SyncServiceError(SyncServiceErrorCode code, std::optional<int> retryAfterSeconds = std::nullopt,
                              std::string detail = {});

    SyncServiceErrorCode code() const { return code_; }
    // Whole seconds from a 429's Retry-After, capped at 300; only for rateLimited (and 503).
    std::optional<int> retryAfterSeconds() const { return retryAfterSeconds_; }
    // Developer detail (URL, curl error); never shown to the user.
    const std::string& detail() const { return detail_; }
    // An invalidResponse whose body passed the size cap: the only answer that a smaller
    // request can mend.
    bool responseTooLarge() const { return responseTooLarge_; }
    static SyncServiceError tooLargeResponse(std::string detail);

    // The fixed English sentence for the user.
    static const char* message(SyncServiceErrorCode code);
    static const char* name(SyncServiceErrorCode code);

private:
    SyncServiceErrorCode code_;
    std::optional<int> retryAfterSeconds_;
    std::string detail_;
    bool responseTooLarge_ = false;
};

// HTTP status of one endpoint to the error it means; nullopt for the endpoint's success codes.
enum class SyncEndpoint { health, kdf, registerAccount, login, logout, changePassword, push, pull, deleteClips, uploadBlob, downloadBlob };
std::optional<SyncServiceErrorCode> syncServiceErrorForStatus(SyncEndpoint endpoint, long status);

}  // namespace harbelle::sync
