#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "sync/SyncClock.h"
#include "sync/SyncModels.h"
#include "sync/SyncRememberedDeletes.h"
#include "sync/SyncServiceError.h"

// Values that cross between the sync engine and the application. Clip identifiers are
// lower-case UUID texts, as on the wire.
namespace harbelle::sync {

struct SyncEngineStatus {
    bool isSignedIn = false;
    std::optional<std::string> email;
    std::optional<std::string> deviceName;
    bool isRunning = false;
    std::optional<SyncDate> lastSyncAt;
    std::int64_t syncedClipCount = 0;
    std::optional<std::string> lastErrorDescription;
    // Pulled events that could not be opened (bad seal, unknown version, bad image) and were skipped.
    std::int64_t skippedEventCount = 0;

    static SyncEngineStatus signedOut() { return {}; }
    // Signed in, synced at least once, and `date` at least max(threshold, 0) s after it.
    bool isStale(SyncDate date, double afterSeconds) const;
    bool operator==(const SyncEngineStatus&) const = default;
};

enum class SyncEngineErrorCode { service, invalidEmail, passwordTooShort, notSignedIn, crypto };

class SyncEngineError : public std::runtime_error {
public:
    explicit SyncEngineError(SyncEngineErrorCode code);
    explicit SyncEngineError(const SyncServiceError& service);
    SyncEngineErrorCode code() const { return code_; }
    // Present for code() == service.
    std::optional<SyncServiceErrorCode> serviceCode() const { return serviceCode_; }

private:
    SyncEngineErrorCode code_;
    std::optional<SyncServiceErrorCode> serviceCode_;
};

// From the bridge to the engine with an empty key; from the engine to the bridge as a
// downloaded, checked and decrypted image.
struct SyncBlobPayload {
    std::string key;
    std::string digest;
    std::string contentType;
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    std::string data;
    bool operator==(const SyncBlobPayload&) const = default;
};

struct SyncLocalClip {
    std::string clientID;
    std::string text;
    SyncDate createdAt;
    std::optional<SyncClipOrigin> origin;
    std::optional<std::string> blobDigest;
    // The service holds this clip under this identifier (stored or received, and no push
    // outstanding): a pull never renames it by content.
    bool acknowledged = false;
};

// A clip deleted here, with its creation date: the delete is authenticated for that record.
struct SyncLocalDelete {
    std::string clientID;
    std::optional<SyncDate> createdAt;  // unknown for deletes filed before dates were kept
    // When the user deleted (or edited away) the clip here: a copy of the record made later on
    // another device is that device's own, a copy made before it is deleted too. Unknown for
    // deletes filed before these times were kept.
    std::optional<SyncDate> deletedAt;
    // Already acknowledged by the service, but the pull has not yet passed every record of the
    // id logged before the delete: handed over so a later copy can still be deleted after a quit.
    bool acknowledged = false;
    bool operator==(const SyncLocalDelete&) const = default;
};

struct SyncMergeInsertNew {
    std::string clientID;
    std::string text;
    SyncDate createdAt;
    std::optional<SyncClipOrigin> origin;
    std::optional<SyncBlobPayload> blob;
    bool operator==(const SyncMergeInsertNew&) const = default;
};
struct SyncMergePromoteExisting {
    std::string clientID;
    std::optional<SyncDate> createdAt;
    std::optional<SyncClipOrigin> origin;
    std::optional<SyncBlobPayload> blob;
    bool operator==(const SyncMergePromoteExisting&) const = default;
};
struct SyncMergeDeleteExisting {
    std::string clientID;
    bool operator==(const SyncMergeDeleteExisting&) const = default;
};
struct SyncMergeNone {
    bool operator==(const SyncMergeNone&) const = default;
};
using SyncMergeAction = std::variant<SyncMergeNone, SyncMergeInsertNew, SyncMergePromoteExisting, SyncMergeDeleteExisting>;

enum class SyncClipRejection { tooLarge, imageRejected, encryptionFailed };
const char* syncClipRejectionMessage(SyncClipRejection rejection);

// The engine reaches the application only through these. Each body runs on the main thread
// (through the engine's poster) and the engine waits for it, so pulled events reach the
// history one at a time in event order. Unset members are skipped.
struct SyncEngineCallbacks {
    std::function<std::vector<SyncLocalClip>()> localClipsSnapshot;
    std::function<void(const SyncMergeAction&)> applyMergeAction;
    std::function<void(const SyncEngineStatus&)> statusChanged;
    std::function<void(const std::string& localID, const std::string& canonicalID)> canonicalizeLocalClip;
    std::function<void(const std::vector<std::string>& pushedIDs, const std::vector<std::string>& deletedIDs)>
        localChangesAcknowledged;
    std::function<void(const std::string& clientID, SyncClipRejection rejection)> localClipRejected;
    // Identifiers this device deleted or saw deleted (and those waiting to be deleted): an
    // upsert for one is skipped, a "duplicate" naming one is refused.
    std::function<std::vector<SyncClipKey>()> rememberedDeletes;
    // An acknowledged delete named an earlier record of the id than a genuine upsert pulled
    // since, copied before the delete was made: it is pending again, for that later date (whole
    // seconds), with the time the user deleted.
    std::function<void(const std::string& clientID, std::int64_t createdAt, std::optional<std::int64_t> deletedAt)>
        localDeleteRenewed;
    // The pull reached the end of the log after these deletes were acknowledged: no record of
    // theirs can arrive any more, so their dates need not be kept.
    std::function<void(const std::vector<std::string>& clientIDs)> localDeletesSettled;
};

// Runs a step on the application's main thread later (the app queues a Qt call; tests keep a
// queue they pump). It must never run the step before returning.
using SyncMainThreadPoster = std::function<void(std::function<void()>)>;

// A finished engine operation: an error (SyncEngineError, SyncSessionStorageError) or none.
using SyncEngineCompletion = std::function<void(std::exception_ptr error)>;

}  // namespace harbelle::sync
