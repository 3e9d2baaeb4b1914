#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

// Records shared by the service client, the account store and the engine. Byte strings
// (keys, ciphertext) are std::string; on the wire they are standard Base64 with padding.
namespace harbelle::sync {

// The device that captured a clip; JSON keys device_id, device_name, platform.
struct SyncClipOrigin {
    std::string id;
    std::string name;
    std::string platform;
    bool operator==(const SyncClipOrigin&) const = default;
};
void to_json(nlohmann::json& j, const SyncClipOrigin& origin);
void from_json(const nlohmann::json& j, SyncClipOrigin& origin);

// ---- Wire records ----

struct SyncKDFParameters {
    std::string algorithm = "pbkdf2-sha256";
    std::string salt;  // raw bytes
    std::int64_t iterations = 0;
    bool operator==(const SyncKDFParameters&) const = default;
};

struct SyncRegisterRequest {
    std::string email;
    std::string authKey;  // raw bytes
    SyncKDFParameters kdf;
    std::string wrappedSyncKey;  // sealed box bytes
    std::string deviceName;
    std::string platform;
};

struct SyncRegisterResponse {
    std::string token;
    std::string deviceID;
};

struct SyncLoginRequest {
    std::string email;
    std::string authKey;
    std::string deviceName;
    std::string platform;
};

struct SyncLoginResponse {
    std::string token;
    std::string deviceID;
    std::string wrappedSyncKey;
};

struct SyncChangePasswordRequest {
    std::string authKey;
    SyncKDFParameters kdf;
    std::string wrappedSyncKey;
};

struct SyncPushItem {
    std::string clientID;  // lower-case UUID text
    std::int64_t createdAt = 0;  // whole seconds
    std::string contentMac;  // lower-case hex
    std::string ciphertext;  // sealed clip bytes
    std::optional<std::string> blobKey;
    bool replaceExisting = false;
    std::string createdMac;  // lower-case hex; authenticates createdAt for contentMac
    bool operator==(const SyncPushItem&) const = default;
};

// "stored", "updated", "unchanged", "duplicate", "deleted".
struct SyncPushResult {
    std::string clientID;
    std::string canonicalID;
    std::string status;
    std::optional<std::int64_t> seq;
    bool operator==(const SyncPushResult&) const = default;
};

struct SyncPullEvent {
    std::int64_t seq = 0;
    std::string type;  // "upsert" or "delete"
    std::string clientID;
    std::optional<std::int64_t> createdAt;
    std::optional<std::string> ciphertext;
    std::optional<std::string> blobKey;
    std::optional<std::string> createdMac;  // upserts
    std::optional<std::string> deleteMac;  // deletes
    bool operator==(const SyncPullEvent&) const = default;
};

// One entry of a delete request.
struct SyncDeleteItem {
    std::string clientID;
    std::string deleteMac;
    bool operator==(const SyncDeleteItem&) const = default;
};

struct SyncPullResponse {
    std::vector<SyncPullEvent> events;
    std::int64_t latestSeq = 0;
    bool hasMore = false;
};

// JSON forms of the wire records (snake_case keys; bytes as Base64). from_json throws
// SyncServiceError(invalidResponse) on a missing or mistyped field.
nlohmann::json toJSON(const SyncKDFParameters& value);
nlohmann::json toJSON(const SyncRegisterRequest& value);
nlohmann::json toJSON(const SyncLoginRequest& value);
nlohmann::json toJSON(const SyncChangePasswordRequest& value);
nlohmann::json toJSON(const SyncPushItem& value);
nlohmann::json toJSON(const SyncPushResult& value);
nlohmann::json toJSON(const SyncPullEvent& value);
nlohmann::json toJSON(const SyncDeleteItem& value);
SyncKDFParameters kdfParametersFromJSON(const nlohmann::json& j);
SyncRegisterResponse registerResponseFromJSON(const nlohmann::json& j);
SyncLoginResponse loginResponseFromJSON(const nlohmann::json& j);
SyncPushResult pushResultFromJSON(const nlohmann::json& j);
SyncPullEvent pullEventFromJSON(const nlohmann::json& j);
// A malformed event (a field of the wrong type, text that is not Base64, an unknown type)
// comes back in its place with type kMalformedEventType, for the engine to skip and count.
SyncPullResponse pullResponseFromJSON(const nlohmann::json& j);
inline constexpr const char* kMalformedEventType = "malformed";

// A clip identifier as the protocol writes it: a lower-case UUID text.
bool isSyncClipID(std::string_view text);

// False when JSON text nests arrays and objects deeper than `limit` (strings are skipped):
// checked before parsing, so a hostile answer never builds a huge tree.
bool jsonNestingWithin(std::string_view text, int limit);
inline constexpr int kMaxJSONNesting = 64;

// ---- Clip payload (the plaintext inside a sealed clip) ----

struct SyncClipBlobInfo {
    std::int64_t byteCount = 0;
    std::string contentType;  // "image/png" or "image/jpeg"
    std::string digest;  // lower-case hex SHA-256 of the image bytes
    std::string key;  // blob_key
    std::int64_t pixelHeight = 0;
    std::int64_t pixelWidth = 0;
    bool operator==(const SyncClipBlobInfo&) const = default;
};

struct SyncClipPayload {
    std::optional<SyncClipBlobInfo> blob;
    std::string kind = "text";  // "text" or "image"
    std::optional<SyncClipOrigin> origin;
    std::string text;
    int v = 1;
    bool operator==(const SyncClipPayload&) const = default;
};

// Sorted keys, unescaped slashes.
std::string encodeClipPayload(const SyncClipPayload& payload);
// nullopt for malformed JSON, an unknown kind or a version other than 1.
std::optional<SyncClipPayload> decodeClipPayload(std::string_view json);

// ---- Client-side stored records ----

// An image event waiting for its blob (kept in the session, capped by the engine).
struct SyncPendingBlobFetch {
    SyncPullEvent event;
    int attempts = 0;  // downloads the service answered with anything but the image
    std::int64_t waitingSince = 0;  // seconds; 0 in entries stored before it was kept
    bool operator==(const SyncPendingBlobFetch&) const = default;
};

// The signed-in account, stored as JSON in the keyring.
struct SyncSession {
    std::string baseURL;
    std::string email;  // normalized
    std::string token;
    std::string deviceID;
    std::string deviceName;
    std::string syncKey;  // 32 raw bytes
    std::int64_t lastPulledSeq = 0;
    std::int64_t syncedClipCount = 0;
    std::int64_t skippedEventCount = 0;  // events that could not be opened
    std::int64_t originBackfillVersion = 0;
    std::vector<SyncPendingBlobFetch> pendingBlobFetches;
    bool operator==(const SyncSession&) const = default;
};
nlohmann::json toJSON(const SyncSession& session);
// nullopt when a required field is missing or the sync key is not 32 bytes.
std::optional<SyncSession> sessionFromJSON(const nlohmann::json& j);

// A token a failed sign-in could not log out; bootstrap retries it.
struct SyncPendingRevocation {
    std::string baseURL;
    std::string token;
    bool operator==(const SyncPendingRevocation&) const = default;
};

// Sorted keys, unescaped slashes (the form the client stores).
std::string dumpSortedJSON(const nlohmann::json& j);

}  // namespace harbelle::sync
