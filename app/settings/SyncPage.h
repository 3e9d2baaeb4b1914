#pragma once

#include <QWidget>
#include <functional>
#include <optional>
#include <string>

#include "platform/Clock.h"
#include "syncbridge/SyncAccountService.h"

class QLabel;
class QPropertyAnimation;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace harbelle {

struct SettingsViewState;

// The sync account: create or sign in, see how sync goes, sync now, change the password, sign
// out. Forms, busy flag and texts live in the settings view's state, so they outlast hiding the
// window and a sign-out.
class SyncPage : public QWidget {
    Q_OBJECT
public:
    static constexpr std::chrono::seconds kStaleAfter{600};
    static constexpr int kFormAnimationMilliseconds = 150;

    SyncPage(SyncAccountService& sync, SettingsViewState& state, Clock& clock,
             std::optional<QString> supportURL = std::nullopt, QWidget* parent = nullptr);
    void refresh();

    // The warning line of the signed-in card, or none.
    static std::optional<std::string> healthProblem(const SyncAccountService& sync, Date now);
    // The notice after a successful password change.
    static std::string passwordChangedNotice(int revokedSessions);

    // Starts one account operation: busy until it answers, then its error (or none) is kept.
    void runAccountAction(std::function<void(SyncAccountService::Completion)> action,
                          std::function<void()> onSuccess = {});

    QWidget* notConfiguredCard() const { return notConfigured_; }
    QWidget* signedOutCard() const { return signedOut_; }
    QWidget* signedInCard() const { return signedIn_; }
    QLineEdit* emailField() const { return email_; }
    QLineEdit* passwordField() const { return password_; }
    QLineEdit* confirmField() const { return confirm_; }
    QPushButton* createAccountButton() const { return create_; }
    QPushButton* signInButton() const { return signInButton_; }
    QProgressBar* busyIndicator() const { return busy_; }
    QLabel* engineErrorLine() const { return engineError_; }
    QLabel* signedOutErrorLine() const { return signedOutError_; }
    QLabel* signedInErrorLine() const { return signedInError_; }
    QPushButton* syncNowButton() const { return syncNow_; }
    QPushButton* signOutButton() const { return signOut_; }
    QPushButton* changePasswordButton() const { return changePassword_; }
    QWidget* changePasswordForm() const { return form_; }
    // Opens and closes the form on a shown page; a test jumps it to any moment with setCurrentTime().
    QPropertyAnimation* changePasswordAnimation() const { return formAnimation_; }
    QLineEdit* newPasswordField() const { return newPassword_; }
    QLineEdit* newPasswordConfirmField() const { return newConfirm_; }
    QLabel* noticeLine() const { return notice_; }
    QPushButton* updatePasswordButton() const { return update_; }
    QLabel* accountEmail() const { return accountEmail_; }
    QLabel* deviceName() const { return device_; }
    QLabel* lastSync() const { return lastSync_; }
    QLabel* clipCount() const { return clipCount_; }
    QLabel* healthLine() const { return health_; }

private:
    QWidget* buildNotConfigured();
    QWidget* buildSignedOut(const std::optional<QString>& supportURL);
    QWidget* buildSignedIn();
    QWidget* buildEncryption();
    void pressUpdatePassword();
    void animateChangePasswordForm(int from);
    void settleChangePasswordForm();

    SyncAccountService& sync_;
    SettingsViewState& state_;
    Clock& clock_;

    QWidget* notConfigured_ = nullptr;
    QWidget* signedOut_ = nullptr;
    QWidget* signedIn_ = nullptr;
    QLabel* engineError_ = nullptr;
    QLineEdit* email_ = nullptr;
    QLineEdit* password_ = nullptr;
    QLineEdit* confirm_ = nullptr;
    QLabel* signedOutError_ = nullptr;
    QPushButton* create_ = nullptr;
    QPushButton* signInButton_ = nullptr;
    QProgressBar* busy_ = nullptr;
    QLabel* accountEmail_ = nullptr;
    QPushButton* syncNow_ = nullptr;
    QPushButton* signOut_ = nullptr;
    QPushButton* changePassword_ = nullptr;
    QWidget* form_ = nullptr;
    QPropertyAnimation* formAnimation_ = nullptr;
    QLineEdit* newPassword_ = nullptr;
    QLineEdit* newConfirm_ = nullptr;
    QLabel* notice_ = nullptr;
    QPushButton* update_ = nullptr;
    QLabel* device_ = nullptr;
    QLabel* lastSync_ = nullptr;
    QLabel* clipCount_ = nullptr;
    QWidget* healthDivider_ = nullptr;
    QLabel* health_ = nullptr;
    QLabel* signedInError_ = nullptr;
};

}  // namespace harbelle
