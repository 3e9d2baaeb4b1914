#pragma once

#include <QObject>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/Clock.h"

namespace harbelle {

// What the account side of sync publishes: who is signed in and how syncing goes.
struct SyncAccountStatus {
    bool isSignedIn = false;
    bool isRunning = false;
    std::optional<std::string> email;
    std::optional<std::string> deviceName;
    std::optional<Date> lastSyncAt;
    std::int64_t syncedClipCount = 0;
    std::optional<std::string> lastErrorDescription;

    // Signed in, synced once, and nothing heard from the service for at least `after`.
    bool isStale(Date now, std::chrono::seconds after) const {
        return isSignedIn && lastSyncAt && now - *lastSyncAt >= after;
    }
};

// The sync account as the settings window sees it. Every operation answers once, later, on the
// main thread, with no value on success or an English sentence for the user.
class SyncAccountService : public QObject {
    Q_OBJECT
public:
    using Completion = std::function<void(std::optional<std::string> error)>;
    static constexpr int kMinimumPasswordLength = 10;

    using QObject::QObject;

    virtual bool isAvailable() const = 0;
    virtual SyncAccountStatus status() const = 0;
    virtual std::optional<std::string> lastSyncNotice() const = 0;
    // Devices signed out by the last successful password change.
    virtual int lastChangePasswordRevokedSessions() const = 0;

    virtual void signIn(const std::string& email, const std::string& password, Completion done) = 0;
    virtual void createAccount(const std::string& email, const std::string& password,
                               const std::string& confirmPassword, Completion done) = 0;
    virtual void changePassword(const std::string& newPassword, const std::string& confirmPassword,
                                Completion done) = 0;
    virtual void syncNow(Completion done) = 0;
    // Fails only when the session could not be removed from this device.
    virtual void signOut(Completion done) = 0;

signals:
    // The status, the notice or the revoked-session count changed.
    void statusChanged();
};

}  // namespace harbelle
