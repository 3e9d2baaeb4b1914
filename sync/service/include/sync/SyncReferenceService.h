#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "sync/SyncModels.h"

namespace harbelle::sync {

// The loopback sync service for tests and trying the app by hand. Binds 127.0.0.1, keeps
// everything in memory (saved to a file when one is given), and lets tests force answers,
// inject events and read what it stored.
class SyncReferenceService {
public:
    // An answer forced on the next `count` requests of one endpoint ("kdf", "register",
    // "login", "logout", "change-password", "push", "pull", "delete", "health", "blobs", "media").
    struct ForcedAnswer {
        enum class Kind { status, malformedJSON, redirect, oversizeBody, delay, dropConnection, body };
        Kind kind = Kind::status;
        int status = 500;
        std::optional<int> retryAfterSeconds;
        int delayMilliseconds = 0;  // for delay: the real answer follows the wait
        std::string body;  // for body: this JSON text with `status`
        int count = 1;
    };

    struct RequestRecord {
        std::string method;
        std::string path;
        bool hadBearer = false;
        std::string bearerToken;
    };

    explicit SyncReferenceService(std::string dataFile = {});
    ~SyncReferenceService();
    SyncReferenceService(const SyncReferenceService&) = delete;
    SyncReferenceService& operator=(const SyncReferenceService&) = delete;

    // Listens on 127.0.0.1 (port 0 = a free port) in background threads; returns the port.
    int start(int port = 0);
    void stop();
    int port() const;
    // http://127.0.0.1:PORT/
    std::string baseURL() const;

    // ---- Test controls ----
    void force(const std::string& endpoint, const ForcedAnswer& answer);
    void clearForced();
    // kdf iterations handed out for new and unknown accounts (and stored accounts when given).
    void setKdfIterations(std::int64_t iterations, bool includingExistingAccounts = true);
    void revokeToken(const std::string& token);
    void revokeAllTokens(const std::string& email);
    // Moves the rate-limit clock forward.
    void advanceClock(std::int64_t seconds);
    // Appends a raw event to the account's log (and its record for an upsert).
    std::int64_t injectEvent(const std::string& email, const SyncPullEvent& event);
    // Forgets records and events: the next pull sees latest_seq below its cursor.
    void resetSequence(const std::string& email);
    // Blob answers 404 for the next `count` downloads.
    void hideBlob(const std::string& blobKey, int count);
    void putBlob(const std::string& email, const std::string& blobKey, const std::string& sealedBytes);
    void setMaxEventPageBytes(std::size_t bytes);

    // ---- Reading ----
    // Everything stored: accounts, records, events, blobs (Base64), tokens.
    nlohmann::json dump() const;
    std::vector<RequestRecord> requestLog() const;
    void clearRequestLog();
    std::vector<std::string> liveTokens(const std::string& email) const;

    // Saves to the data file now (done after every change when a file is given).
    void save() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace harbelle::sync
