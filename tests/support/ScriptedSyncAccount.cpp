#include "support/ScriptedSyncAccount.h"

namespace harbelle::testing {

void ScriptedSyncAccount::signIn(const std::string& email, const std::string& password, Completion done) {
    calls.push_back("signIn " + email + " " + password);
    pending_.push_back(std::move(done));
}

void ScriptedSyncAccount::createAccount(const std::string& email, const std::string& password,
                                        const std::string& confirmPassword, Completion done) {
    calls.push_back("createAccount " + email + " " + password + " " + confirmPassword);
    pending_.push_back(std::move(done));
}

void ScriptedSyncAccount::changePassword(const std::string& newPassword, const std::string& confirmPassword,
                                         Completion done) {
    calls.push_back("changePassword " + newPassword + " " + confirmPassword);
    pending_.push_back(std::move(done));
}

void ScriptedSyncAccount::syncNow(Completion done) {
    calls.push_back("syncNow");
    pending_.push_back(std::move(done));
}

void ScriptedSyncAccount::signOut(Completion done) {
    calls.push_back("signOut");
    pending_.push_back(std::move(done));
}

void ScriptedSyncAccount::publish(SyncAccountStatus status) {
    current = std::move(status);
    emit statusChanged();
}

bool ScriptedSyncAccount::answer(std::optional<std::string> error) {
    if (pending_.empty()) return false;
    Completion done = std::move(pending_.front());
    pending_.pop_front();
    if (done) done(std::move(error));
    return true;
}

}  // namespace harbelle::testing
