#pragma once

#include <deque>
#include <string>
#include <vector>

#include "syncbridge/SyncAccountService.h"

namespace harbelle::testing {

// A sync account whose answers the test gives: every operation is recorded and waits until
// answer() hands it its result.
class ScriptedSyncAccount final : public SyncAccountService {
public:
    bool isAvailable() const override { return available; }
    SyncAccountStatus status() const override { return current; }
    std::optional<std::string> lastSyncNotice() const override { return notice; }
    int lastChangePasswordRevokedSessions() const override { return revokedSessions; }

    void signIn(const std::string& email, const std::string& password, Completion done) override;
    void createAccount(const std::string& email, const std::string& password, const std::string& confirmPassword,
                       Completion done) override;
    void changePassword(const std::string& newPassword, const std::string& confirmPassword,
                        Completion done) override;
    void syncNow(Completion done) override;
    void signOut(Completion done) override;

    // Publishes a new status.
    void publish(SyncAccountStatus status);
    // Answers the oldest waiting operation; false when none waits.
    bool answer(std::optional<std::string> error = std::nullopt);
    int waiting() const { return static_cast<int>(pending_.size()); }

    bool available = true;
    SyncAccountStatus current;
    std::optional<std::string> notice;
    int revokedSessions = 0;
    // "signIn alice@example.org secret" and so on, in call order.
    std::vector<std::string> calls;

private:
    std::deque<Completion> pending_;
};

}  // namespace harbelle::testing
