#pragma once

#include <QObject>
#include <QUrl>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/BundleInfo.h"
#include "platform/Defaults.h"
#include "syncbridge/SyncAccountService.h"

namespace harbelle {

// Owner of the sync life cycle. Sync is available when a permitted service address is
// configured (environment first, then the information dictionary) and the program is not in
// demo mode; availability never changes after construction.
class SyncCoordinator final : public SyncAccountService {
    Q_OBJECT
public:
    static constexpr const char* kBaseURLEnvironmentVariable = "HARBELLE_SYNC_BASE_URL";
    static constexpr const char* kBaseURLInfoKey = "HarbelleSyncAPIBaseURL";

    // Reads one environment variable; absent when unset.
    using Environment = std::function<std::optional<std::string>(const std::string& name)>;

    SyncCoordinator(bool demoMode, Defaults& defaults, QObject* parent = nullptr);
    // For tests and tools: an explicit environment and information dictionary.
    SyncCoordinator(bool demoMode, Defaults& defaults, const Environment& environment,
                    const BundleInfo& bundle, QObject* parent = nullptr);

    bool isAvailable() const override { return syncBaseURL_.has_value() && !demoMode_; }

    // Until the engine joins, nobody is signed in and every account operation answers that
    // sync cannot run here.
    SyncAccountStatus status() const override { return {}; }
    std::optional<std::string> lastSyncNotice() const override { return std::nullopt; }
    int lastChangePasswordRevokedSessions() const override { return 0; }
    void signIn(const std::string& email, const std::string& password, Completion done) override;
    void createAccount(const std::string& email, const std::string& password, const std::string& confirmPassword,
                       Completion done) override;
    void changePassword(const std::string& newPassword, const std::string& confirmPassword,
                        Completion done) override;
    void syncNow(Completion done) override;
    void signOut(Completion done) override;
    static constexpr const char* kUnavailableMessage = "Sync is not available in this build.";
    const std::optional<QUrl>& syncBaseURL() const { return syncBaseURL_; }
    bool demoMode() const { return demoMode_; }

    // Records whether the program wants sync running and restarts the life cycle. Activation
    // while sync is unavailable is ignored entirely; deactivation is always accepted.
    void setActive(bool active);

    bool wantsActive() const { return wantsActive_; }
    std::uint64_t lifecycleGeneration() const { return lifecycleGeneration_; }

    static std::optional<QUrl> resolveBaseURL(const Environment& environment, const BundleInfo& bundle);
    // https to any host, or http to a loopback host; no user name or password.
    static bool isPermittedEndpoint(const QUrl& url);
    static Environment processEnvironment();

private:
    void answerUnavailable(Completion done);

    bool demoMode_;
    Defaults& defaults_;
    std::optional<QUrl> syncBaseURL_;
    bool wantsActive_ = false;
    std::uint64_t lifecycleGeneration_ = 0;
};

}  // namespace harbelle
