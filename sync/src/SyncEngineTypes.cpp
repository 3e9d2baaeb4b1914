#include "sync/SyncEngineTypes.h"

#include <cmath>

namespace harbelle::sync {

bool SyncEngineStatus::isStale(SyncDate date, double afterSeconds) const {
    if (!isSignedIn || !lastSyncAt) return false;
    double threshold = std::isnan(afterSeconds) || afterSeconds < 0 ? 0 : afterSeconds;
    return SyncSeconds(date - *lastSyncAt).count() >= threshold;
}

namespace {

const char* engineErrorText(SyncEngineErrorCode code) {
    switch (code) {
    case SyncEngineErrorCode::service: return "sync service error";
    case SyncEngineErrorCode::invalidEmail: return "invalid email";
    case SyncEngineErrorCode::passwordTooShort: return "password too short";
    case SyncEngineErrorCode::notSignedIn: return "not signed in";
    case SyncEngineErrorCode::crypto: return "crypto failure";
    }
    return "sync engine error";
}

}  // namespace

SyncEngineError::SyncEngineError(SyncEngineErrorCode code) : std::runtime_error(engineErrorText(code)), code_(code) {}

SyncEngineError::SyncEngineError(const SyncServiceError& service)
    : std::runtime_error(service.what()), code_(SyncEngineErrorCode::service), serviceCode_(service.code()) {}

const char* syncClipRejectionMessage(SyncClipRejection rejection) {
    switch (rejection) {
    case SyncClipRejection::tooLarge: return "One clip was too large to sync and stayed on this computer.";
    case SyncClipRejection::imageRejected: return "An image was too large to sync and stayed on this computer.";
    case SyncClipRejection::encryptionFailed: return "Harbelle could not encrypt one clip, so it stayed on this computer.";
    }
    return "";
}

}  // namespace harbelle::sync
