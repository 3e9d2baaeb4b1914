#include "settings/SyncPage.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QLocale>
#include <QPointer>
#include <QProgressBar>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "settings/RelativeTimeText.h"
#include "settings/SettingsCard.h"
#include "settings/SettingsPageBlocks.h"
#include "settings/SettingsViewState.h"
#include "theme/VisualTheme.h"

namespace harbelle {

using namespace settingsblocks;

namespace {

QString text(const std::optional<std::string>& value) {
    return value && !value->empty() ? QString::fromStdString(*value) : QStringLiteral("\u2014");
}

QLineEdit* field(const QString& placeholder, bool secret, int maximumWidth = 0) {
    auto* edit = new QLineEdit;
    edit->setPlaceholderText(placeholder);
    edit->setAccessibleName(placeholder);
    if (secret) edit->setEchoMode(QLineEdit::Password);
    if (maximumWidth > 0) edit->setMaximumWidth(maximumWidth);
    return edit;
}

void setText(QLineEdit* edit, const std::string& value) {
    const QString wanted = QString::fromStdString(value);
    if (edit->text() == wanted) return;
    const QSignalBlocker quiet(edit);
    edit->setText(wanted);
}

QLabel* coloured(QLabel* label, const char* colour) {
    setLabelColor(label, statusColor(colour));
    return label;
}

QWidget* valueRow(const QString& name, QLabel* value) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(title(name, 14, QFont::Normal));
    layout->addStretch(1);
    layout->addWidget(value);
    return row;
}

}  // namespace

std::optional<std::string> SyncPage::healthProblem(const SyncAccountService& sync, Date now) {
    const SyncAccountStatus status = sync.status();
    if (status.lastErrorDescription) return status.lastErrorDescription;
    if (!status.isSignedIn) return std::nullopt;
    if (auto notice = sync.lastSyncNotice()) return notice;
    if (!status.isRunning) {
        if (status.lastSyncAt)
            return "Sync is paused. The last server contact was " + RelativeTimeText::format(*status.lastSyncAt, now) +
                   ". Harbelle will restart it automatically.";
        return std::string("Sync is paused before its first server contact. Harbelle will restart it automatically.");
    }
    if (status.isStale(now, kStaleAfter) && status.lastSyncAt)
        return "Harbelle has not reached the sync service since " + RelativeTimeText::format(*status.lastSyncAt, now) +
               ". It is still retrying.";
    return std::nullopt;
}

std::string SyncPage::passwordChangedNotice(int revokedSessions) {
    if (revokedSessions < 1) return "Password updated.";
    return "Password updated. " + std::to_string(revokedSessions) + " other device" +
           (revokedSessions == 1 ? "" : "s") + " signed out.";
}

SyncPage::SyncPage(SyncAccountService& sync, SettingsViewState& state, Clock& clock,
                   std::optional<QString> supportURL, QWidget* parent)
    : QWidget(parent), sync_(sync), state_(state), clock_(clock) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(22);
    page->addWidget(notConfigured_ = buildNotConfigured());
    page->addWidget(signedOut_ = buildSignedOut(supportURL));
    page->addWidget(signedIn_ = buildSignedIn());
    page->addWidget(buildEncryption());
    page->addStretch(1);
    connect(&sync_, &SyncAccountService::statusChanged, this, &SyncPage::refresh);
    refresh();
}

QWidget* SyncPage::buildNotConfigured() {
    auto* card = new SettingsCard(8);
    card->content()->addWidget(title("Sync is not configured", 14, QFont::DemiBold));
    card->content()->addWidget(caption("This build has no sync endpoint, so Harbelle makes no sync connections at all. "
                                       "Your clipboard history stays on this computer."));
    return card;
}

QWidget* SyncPage::buildSignedOut(const std::optional<QString>& supportURL) {
    auto* card = new SettingsCard(13);
    auto* c = card->content();
    c->addWidget(title("Sync text and image clips across your devices", 14, QFont::DemiBold));
    engineError_ = coloured(caption(QString()), "orange");
    c->addWidget(engineError_);
    email_ = field("Email", false, 340);
    password_ = field("Password (at least 10 characters)", true, 340);
    confirm_ = field("Confirm password (new accounts only)", true, 340);
    c->addWidget(email_);
    c->addWidget(password_);
    c->addWidget(confirm_);
    signedOutError_ = coloured(caption(QString()), "red");
    c->addWidget(signedOutError_);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    create_ = new QPushButton("Create Account");
    const QColor accent = PemberlowTheme::selection();
    // A style sheet replaces the style's focus frame: the focused button draws its own ring.
    create_->setStyleSheet(QStringLiteral("QPushButton { background: %1; color: white; border-radius: 6px; padding: 5px "
                                          "12px; } QPushButton:disabled { background: %2; } QPushButton[keyboardFocus=\"true\"] { "
                                          "border: 2px solid %3; padding: 3px 10px; }")
                               .arg(accent.name(), accent.lighter(150).name(),
                                    focusRingColor().name()));
    markKeyboardFocus(create_);
    signInButton_ = new QPushButton("Sign In");
    busy_ = new QProgressBar;
    busy_->setRange(0, 0);
    busy_->setMaximumSize(60, 10);
    busy_->setTextVisible(false);
    buttons->addWidget(create_);
    buttons->addWidget(signInButton_);
    buttons->addWidget(busy_);
    buttons->addStretch(1);
    c->addLayout(buttons);

    auto* forgot = new QVBoxLayout;
    forgot->setSpacing(6);
    forgot->addWidget(title("Forgotten your password?", 12, QFont::DemiBold));
    forgot->addWidget(caption("The password is the encryption key, so nobody — including us — can decrypt your clips "
                              "without it. There is no reset link that could bring them back."));
    forgot->addWidget(caption("If another computer is still signed in, open Settings → Sync there and use Change "
                              "Password. That sets a new password and keeps every clip."));
    forgot->addWidget(caption("If no device is still signed in, support can clear the account so you can start again "
                              "with the same email. Clips already stored on each device stay and upload again; the "
                              "encrypted copies on the server cannot be recovered."));
    if (supportURL) {
        auto* link = new QLabel(QStringLiteral("<a href=\"%1\">Contact support</a>").arg(supportURL->toHtmlEscaped()));
        link->setFont(settingsblocks::font(11));
        link->setOpenExternalLinks(true);
        forgot->addWidget(link);
    }
    c->addLayout(forgot);

    // Typing only records the text; Return starts nothing here.
    connect(email_, &QLineEdit::textEdited, this, [this](const QString& t) { state_.syncEmail = t.toStdString(); });
    connect(password_, &QLineEdit::textEdited, this,
            [this](const QString& t) { state_.syncPassword = t.toStdString(); });
    connect(confirm_, &QLineEdit::textEdited, this,
            [this](const QString& t) { state_.syncConfirmPassword = t.toStdString(); });
    connect(create_, &QPushButton::clicked, this, [this] {
        runAccountAction([this, email = state_.syncEmail, password = state_.syncPassword,
                          confirm = state_.syncConfirmPassword](SyncAccountService::Completion done) {
            sync_.createAccount(email, password, confirm, std::move(done));
        });
    });
    connect(signInButton_, &QPushButton::clicked, this, [this] {
        runAccountAction([this, email = state_.syncEmail, password = state_.syncPassword](
                             SyncAccountService::Completion done) { sync_.signIn(email, password, std::move(done)); });
    });
    return card;
}

QWidget* SyncPage::buildSignedIn() {
    auto* card = new SettingsCard(14);
    auto* c = card->content();

    auto* account = new QHBoxLayout;
    auto* who = new QVBoxLayout;
    who->setSpacing(3);
    who->addWidget(title("Account"));
    accountEmail_ = caption(QString());
    who->addWidget(accountEmail_);
    account->addLayout(who, 1);
    syncNow_ = new QPushButton("Sync Now");
    signOut_ = new QPushButton("Sign Out");
    account->addWidget(syncNow_);
    account->addWidget(signOut_);
    c->addLayout(account);
    c->addWidget(divider());

    auto* passwordRow = new QVBoxLayout;
    passwordRow->setSpacing(10);
    auto* header = new QHBoxLayout;
    auto* explain = new QVBoxLayout;
    explain->setSpacing(3);
    explain->addWidget(title("Password"));
    explain->addWidget(caption("Your password also encrypts your clips. Changing it here keeps every clip readable."));
    header->addLayout(explain, 1);
    changePassword_ = new QPushButton;
    header->addWidget(changePassword_);
    passwordRow->addLayout(header);
    form_ = new QWidget;
    auto* form = new QVBoxLayout(form_);
    form->setContentsMargins(0, 0, 0, 0);
    form->setSpacing(10);
    newPassword_ = field("New password", true);
    newConfirm_ = field("Confirm new password", true);
    form->addWidget(newPassword_);
    form->addWidget(newConfirm_);
    form->addWidget(caption("At least " + QString::number(SyncAccountService::kMinimumPasswordLength) +
                            " characters. Other devices are signed out and will need the new password."));
    notice_ = coloured(caption(QString()), "green");
    form->addWidget(notice_);
    update_ = new QPushButton("Update Password");
    update_->setAutoDefault(true);
    form->addWidget(update_, 0, Qt::AlignRight);
    passwordRow->addWidget(form_);
    // The form slides open and shut by its maximum height, which its layout must not overrule.
    form->setSizeConstraint(QLayout::SetNoConstraint);
    formAnimation_ = new QPropertyAnimation(form_, "maximumHeight", this);
    formAnimation_->setDuration(kFormAnimationMilliseconds);
    formAnimation_->setEasingCurve(QEasingCurve::OutCubic);
    connect(formAnimation_, &QPropertyAnimation::finished, this, &SyncPage::settleChangePasswordForm);
    c->addLayout(passwordRow);
    c->addWidget(divider());

    device_ = caption(QString());
    device_->setWordWrap(false);
    device_->setFont(settingsblocks::font(13, QFont::Medium));
    c->addWidget(valueRow("This device", device_));
    c->addWidget(divider());
    lastSync_ = caption(QString());
    lastSync_->setWordWrap(false);
    lastSync_->setFont(settingsblocks::font(13, QFont::Medium));
    c->addWidget(valueRow("Last sync", lastSync_));
    c->addWidget(divider());
    clipCount_ = new QLabel;
    clipCount_->setFont(settingsblocks::font(15, QFont::DemiBold, true));
    c->addWidget(valueRow("Clips synced", clipCount_));
    healthDivider_ = divider();
    c->addWidget(healthDivider_);
    health_ = coloured(caption(QString()), "orange");
    c->addWidget(health_);
    signedInError_ = coloured(caption(QString()), "red");
    c->addWidget(signedInError_);
    c->addWidget(divider());
    c->addWidget(caption("Signing out keeps every clip on this computer; it only stops syncing and removes the sync key "
                         "from this device."));

    connect(syncNow_, &QPushButton::clicked, this, [this] {
        runAccountAction([this](SyncAccountService::Completion done) { sync_.syncNow(std::move(done)); });
    });
    connect(signOut_, &QPushButton::clicked, this, [this] {
        runAccountAction([this](SyncAccountService::Completion done) { sync_.signOut(std::move(done)); });
    });
    connect(changePassword_, &QPushButton::clicked, this, [this] {
        const int from = form_->isVisible() ? form_->height() : 0;
        state_.showChangePassword = !state_.showChangePassword;
        state_.newSyncPassword.clear();
        state_.newSyncPasswordConfirm.clear();
        state_.changePasswordNotice.reset();
        animateChangePasswordForm(from);
        refresh();
    });
    connect(newPassword_, &QLineEdit::textEdited, this, [this](const QString& t) {
        state_.newSyncPassword = t.toStdString();
        refresh();
    });
    connect(newConfirm_, &QLineEdit::textEdited, this, [this](const QString& t) {
        state_.newSyncPasswordConfirm = t.toStdString();
        refresh();
    });
    // Return in the form presses "Update Password" while it can be pressed.
    connect(newPassword_, &QLineEdit::returnPressed, this, &SyncPage::pressUpdatePassword);
    connect(newConfirm_, &QLineEdit::returnPressed, this, &SyncPage::pressUpdatePassword);
    connect(update_, &QPushButton::clicked, this, &SyncPage::pressUpdatePassword);
    return card;
}

QWidget* SyncPage::buildEncryption() {
    auto* card = new SettingsCard(9);
    card->content()->addWidget(coloured(title("End-to-end encrypted", 15, QFont::DemiBold), "green"));
    auto* body = new QLabel("Clips are end-to-end encrypted. Your password never leaves this computer. The sync server "
                            "stores only ciphertext it cannot read, and only text and image clips are synced — never "
                            "files.");
    body->setWordWrap(true);
    body->setFont(settingsblocks::font(13));
    setLabelColor(body, secondaryColor());
    card->content()->addWidget(body);
    return card;
}

void SyncPage::animateChangePasswordForm(int from) {
    formAnimation_->stop();
    if (!isVisible()) {
        settleChangePasswordForm();
        return;
    }
    // The open height is wherever the page's layout settles the form, measured before anything
    // is painted; the slide starts where the form stood, so a second press mid-way turns it back.
    int full = 0;
    if (state_.showChangePassword) {
        settleChangePasswordForm();
        if (QLayout* page = layout()) page->activate();
        full = form_->height();
    }
    form_->setMaximumHeight(from);
    form_->setVisible(true);
    formAnimation_->setStartValue(from);
    formAnimation_->setEndValue(full);
    formAnimation_->start();
}

void SyncPage::settleChangePasswordForm() {
    form_->setMaximumHeight(QWIDGETSIZE_MAX);
    form_->setVisible(state_.showChangePassword);
}

void SyncPage::pressUpdatePassword() {
    if (!update_->isEnabled() || !state_.showChangePassword || !form_->isVisibleTo(this)) return;
    runAccountAction(
        [this, password = state_.newSyncPassword, confirm = state_.newSyncPasswordConfirm](
            SyncAccountService::Completion done) { sync_.changePassword(password, confirm, std::move(done)); },
        [this] {
            state_.changePasswordNotice = passwordChangedNotice(sync_.lastChangePasswordRevokedSessions());
            state_.newSyncPassword.clear();
            state_.newSyncPasswordConfirm.clear();
        });
}

void SyncPage::runAccountAction(std::function<void(SyncAccountService::Completion)> action,
                                std::function<void()> onSuccess) {
    state_.syncBusy = true;
    state_.syncError.reset();
    refresh();
    // The state lives as long as the process; the page may not, so it is only refreshed if alive.
    SettingsViewState* state = &state_;
    action([state, page = QPointer<SyncPage>(this), onSuccess = std::move(onSuccess)](std::optional<std::string> error) {
        state->syncError = error;
        state->syncBusy = false;
        if (!error) {
            state->syncPassword.clear();
            state->syncConfirmPassword.clear();
            if (onSuccess && page) onSuccess();
        }
        if (page) page->refresh();
    });
}

void SyncPage::refresh() {
    const SyncAccountStatus status = sync_.status();
    const bool available = sync_.isAvailable();
    // An account action's error stays, across a change of the account state too, until the next
    // action starts (runAccountAction clears it).

    notConfigured_->setVisible(!available);
    signedOut_->setVisible(available && !status.isSignedIn);
    signedIn_->setVisible(available && status.isSignedIn);
    const bool busy = state_.syncBusy;
    const QString error = state_.syncError ? QString::fromStdString(*state_.syncError) : QString();

    // Signed out.
    // The engine's warning is not repeated under the action's error that says the same.
    const bool engineSaysTheSame = state_.syncError && status.lastErrorDescription == state_.syncError;
    engineError_->setVisible(status.lastErrorDescription.has_value() && !engineSaysTheSame);
    engineError_->setText("⚠ " + QString::fromStdString(status.lastErrorDescription.value_or("")));
    setText(email_, state_.syncEmail);
    setText(password_, state_.syncPassword);
    setText(confirm_, state_.syncConfirmPassword);
    signedOutError_->setVisible(state_.syncError.has_value());
    signedOutError_->setText(error);
    create_->setEnabled(!busy);
    signInButton_->setEnabled(!busy);
    busy_->setVisible(busy);

    // Signed in.
    accountEmail_->setText(text(status.email));
    syncNow_->setEnabled(!busy);
    signOut_->setEnabled(!busy);
    changePassword_->setText(state_.showChangePassword ? "Cancel" : "Change Password");
    changePassword_->setEnabled(!busy);
    if (formAnimation_->state() != QAbstractAnimation::Running) settleChangePasswordForm();
    setText(newPassword_, state_.newSyncPassword);
    setText(newConfirm_, state_.newSyncPasswordConfirm);
    notice_->setVisible(state_.changePasswordNotice.has_value());
    notice_->setText(QString::fromStdString(state_.changePasswordNotice.value_or("")));
    update_->setEnabled(!busy && !state_.newSyncPassword.empty() && !state_.newSyncPasswordConfirm.empty());
    device_->setText(text(status.deviceName));
    const Date now = clock_.now();
    if (status.lastSyncAt) {
        lastSync_->setText(QString::fromStdString(RelativeTimeText::format(*status.lastSyncAt, now)));
    } else {
        lastSync_->setText("Waiting for first sync");
    }
    setLabelColor(lastSync_, status.isStale(now, kStaleAfter) ? statusColor("orange") : secondaryColor());
    clipCount_->setText(QLocale().toString(static_cast<qlonglong>(status.syncedClipCount)));
    const auto problem = healthProblem(sync_, now);
    const bool showsProblem = problem.has_value() && !(state_.syncError && problem == state_.syncError);
    healthDivider_->setVisible(showsProblem);
    health_->setVisible(showsProblem);
    health_->setText("⚠ " + QString::fromStdString(problem.value_or("")));
    signedInError_->setVisible(state_.syncError.has_value());
    signedInError_->setText(error);
}

}  // namespace harbelle
