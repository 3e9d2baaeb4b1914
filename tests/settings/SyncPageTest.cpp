#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPropertyAnimation>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "settings/RelativeTimeText.h"
#include "settings/SettingsViewState.h"
#include "settings/SyncPage.h"
#include "support/ManualClock.h"
#include "support/ScriptedSyncAccount.h"

namespace harbelle::testing {
namespace {

using namespace std::chrono_literals;

class SyncPageFixture : public ::testing::Test {
protected:
    ManualClock clock;
    ScriptedSyncAccount sync;
    SettingsViewState state;
    std::unique_ptr<SyncPage> page;

    void SetUp() override {
        page = std::make_unique<SyncPage>(sync, state, clock);
        page->show();
    }

    SyncAccountStatus signedIn() const {
        SyncAccountStatus status;
        status.isSignedIn = true;
        status.isRunning = true;
        status.email = "ann@example.org";
        status.deviceName = "Desk";
        status.lastSyncAt = clock.now() - 30s;
        status.syncedClipCount = 1234;
        return status;
    }

    std::vector<QPushButton*> accountButtons() const {
        return {page->createAccountButton(), page->signInButton(),          page->syncNowButton(),
                page->signOutButton(),       page->changePasswordButton(), page->updatePasswordButton()};
    }
};

TEST_F(SyncPageFixture, BusyDisablesEveryAccountButtonUntilTheAnswerIsKept) {
    // Signed out with empty fields: both buttons work and the answer shows in red.
    QTest::mouseClick(page->signInButton(), Qt::LeftButton);
    EXPECT_TRUE(state.syncBusy);
    EXPECT_TRUE(page->busyIndicator()->isVisible());
    for (QPushButton* button : accountButtons()) EXPECT_FALSE(button->isEnabled()) << button->text().toStdString();
    QTest::mouseClick(page->signInButton(), Qt::LeftButton);  // disabled: nothing more starts
    EXPECT_EQ(sync.waiting(), 1);

    ASSERT_TRUE(sync.answer("Enter your email address."));
    EXPECT_FALSE(state.syncBusy);
    EXPECT_FALSE(page->busyIndicator()->isVisible());
    EXPECT_TRUE(page->signedOutErrorLine()->isVisible());
    EXPECT_EQ(page->signedOutErrorLine()->text(), "Enter your email address.");
    EXPECT_TRUE(page->signInButton()->isEnabled());

    // Typed values are sent as they stand; a success empties the passwords, keeps the address.
    QTest::keyClicks(page->emailField(), " Ann@Example.org");
    QTest::keyClicks(page->passwordField(), "correct horse");
    QTest::keyClicks(page->confirmField(), "correct horse");
    QTest::mouseClick(page->createAccountButton(), Qt::LeftButton);
    EXPECT_FALSE(page->signedOutErrorLine()->isVisible());  // cleared as the action starts
    ASSERT_TRUE(sync.answer());
    EXPECT_EQ(sync.calls.back(), "createAccount  Ann@Example.org correct horse correct horse");
    EXPECT_EQ(page->passwordField()->text(), "");
    EXPECT_EQ(page->confirmField()->text(), "");
    EXPECT_EQ(page->emailField()->text(), " Ann@Example.org");
    EXPECT_FALSE(page->signedOutErrorLine()->isVisible());
}

TEST_F(SyncPageFixture, ErrorsShowOnBothCardsAndStayWhenTheAccountStateFlips) {
    sync.publish(signedIn());
    ASSERT_TRUE(page->signedInCard()->isVisible());
    EXPECT_EQ(page->clipCount()->text(), QLocale().toString(1234));

    QTest::mouseClick(page->syncNowButton(), Qt::LeftButton);
    for (QPushButton* button : {page->syncNowButton(), page->signOutButton(), page->changePasswordButton()})
        EXPECT_FALSE(button->isEnabled());
    sync.answer("The sync service could not be reached.");
    EXPECT_TRUE(page->signedInErrorLine()->isVisible());
    EXPECT_EQ(page->signedInErrorLine()->text(), "The sync service could not be reached.");

    // A sign-out whose key could not be removed says so and stays signed in.
    QTest::mouseClick(page->signOutButton(), Qt::LeftButton);
    sync.answer("Could not remove the sync key from the keyring.");
    EXPECT_EQ(page->signedInErrorLine()->text(), "Could not remove the sync key from the keyring.");

    // Signed out by the engine: the action's error stays until the next action starts.
    SyncAccountStatus out;
    out.lastErrorDescription = "Your session expired. Sign in again.";
    sync.publish(out);
    EXPECT_TRUE(page->signedOutCard()->isVisible());
    EXPECT_TRUE(page->signedOutErrorLine()->isVisible());
    EXPECT_EQ(page->signedOutErrorLine()->text(), "Could not remove the sync key from the keyring.");
    EXPECT_TRUE(page->engineErrorLine()->isVisible());
    EXPECT_TRUE(page->engineErrorLine()->text().contains("Your session expired."));
}

TEST_F(SyncPageFixture, PasswordChangeNoticeCountsSignedOutDevices) {
    sync.publish(signedIn());
    QTest::mouseClick(page->changePasswordButton(), Qt::LeftButton);
    ASSERT_TRUE(page->changePasswordForm()->isVisible());
    EXPECT_EQ(page->changePasswordButton()->text(), "Cancel");

    const std::pair<int, const char*> cases[] = {
        {0, "Password updated."}, {1, "Password updated. 1 other device signed out."},
        {3, "Password updated. 3 other devices signed out."}};
    for (const auto& [revoked, notice] : cases) {
        EXPECT_FALSE(page->updatePasswordButton()->isEnabled());
        QTest::keyClicks(page->newPasswordField(), "new secret 1");
        EXPECT_FALSE(page->updatePasswordButton()->isEnabled());
        QTest::keyClicks(page->newPasswordConfirmField(), "new secret 1");
        EXPECT_TRUE(page->updatePasswordButton()->isEnabled());
        QTest::keyClick(page->newPasswordConfirmField(), Qt::Key_Return);  // Return presses it
        EXPECT_EQ(sync.calls.back(), "changePassword new secret 1 new secret 1");
        sync.revokedSessions = revoked;
        sync.answer();
        EXPECT_EQ(page->noticeLine()->text(), notice);
        EXPECT_TRUE(page->noticeLine()->isVisible());
        EXPECT_TRUE(page->changePasswordForm()->isVisible());  // stays open, fields empty
        EXPECT_EQ(page->newPasswordField()->text(), "");
    }

    // The open form and its notice outlive a sign-out and a new sign-in.
    sync.publish(SyncAccountStatus{});
    sync.publish(signedIn());
    EXPECT_TRUE(page->changePasswordForm()->isVisible());
    EXPECT_TRUE(page->noticeLine()->isVisible());
    QTest::mouseClick(page->changePasswordButton(), Qt::LeftButton);
    page->changePasswordAnimation()->setCurrentTime(SyncPage::kFormAnimationMilliseconds);
    EXPECT_FALSE(page->changePasswordForm()->isVisible());
    EXPECT_FALSE(state.changePasswordNotice);
}

// The form slides open and shut over 0.15 s, easing out; on a hidden page it just flips.
TEST_F(SyncPageFixture, ChangePasswordFormSlidesOpenAndShut) {
    sync.publish(signedIn());
    page->resize(600, 1600);  // room for the whole form
    QWidget* form = page->changePasswordForm();
    QPropertyAnimation* slide = page->changePasswordAnimation();
    const auto heightAt = [&](int milliseconds) {
        slide->setCurrentTime(milliseconds);
        QApplication::processEvents();  // the layout follows the new maximum
        return form->height();
    };

    QTest::mouseClick(page->changePasswordButton(), Qt::LeftButton);
    ASSERT_EQ(slide->state(), QAbstractAnimation::Running);
    EXPECT_EQ(slide->duration(), 150);
    EXPECT_TRUE(form->isVisible());
    const int full = slide->endValue().toInt();
    ASSERT_GT(full, 60);
    EXPECT_EQ(heightAt(0), 0);
    const int half = heightAt(75);
    EXPECT_GT(half, full / 2) << "eases out: more than half the way at half the time";
    EXPECT_LT(half, full);
    EXPECT_EQ(heightAt(150), full) << "ends where the settled layout puts it, without a jump";
    EXPECT_EQ(slide->state(), QAbstractAnimation::Stopped);
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->maximumHeight(), QWIDGETSIZE_MAX);

    // Closing shrinks it from where it stands and hides it at the end; a refresh meanwhile
    // (a published status) does not cut the slide short.
    QTest::mouseClick(page->changePasswordButton(), Qt::LeftButton);
    EXPECT_EQ(slide->endValue().toInt(), 0);
    const int closing = heightAt(40);
    sync.publish(signedIn());
    EXPECT_TRUE(form->isVisible());
    EXPECT_GT(closing, 0);
    EXPECT_LT(closing, full);
    heightAt(150);
    EXPECT_FALSE(form->isVisible());

    // A hidden page has nothing to show moving: the form's state flips at once.
    page->hide();
    QTest::mouseClick(page->changePasswordButton(), Qt::LeftButton);
    EXPECT_NE(slide->state(), QAbstractAnimation::Running);
    EXPECT_TRUE(form->isVisibleTo(page.get()));
    EXPECT_EQ(form->maximumHeight(), QWIDGETSIZE_MAX);
}

TEST_F(SyncPageFixture, CardsFollowAvailabilityAndLastSyncTurnsOrangeAtTenMinutes) {
    sync.available = false;
    page->refresh();
    EXPECT_TRUE(page->notConfiguredCard()->isVisible());
    EXPECT_FALSE(page->signedOutCard()->isVisible());
    EXPECT_FALSE(page->signedInCard()->isVisible());

    sync.available = true;
    SyncAccountStatus status = signedIn();
    status.email.reset();
    status.deviceName.reset();
    status.lastSyncAt.reset();
    sync.publish(status);
    EXPECT_EQ(page->accountEmail()->text(), "—");
    EXPECT_EQ(page->deviceName()->text(), "—");
    EXPECT_EQ(page->lastSync()->text(), "Waiting for first sync");

    const QColor secondary = page->lastSync()->palette().color(QPalette::WindowText);
    for (const auto& [age, stale] : {std::pair{599s, false}, std::pair{600s, true}}) {
        status.lastSyncAt = clock.now() - age;
        sync.publish(status);
        EXPECT_EQ(page->lastSync()->palette().color(QPalette::WindowText) != secondary, stale) << age.count();
        EXPECT_EQ(page->healthLine()->isVisible(), stale);
    }
    EXPECT_EQ(page->lastSync()->text(), "10 min ago");
}

// A failed "Sync Now" while the service is down: the page says it once, and keeps saying it when
// the engine then signs the account out, until the user starts the next action.
TEST_F(SyncPageFixture, OneErrorLineKeptAcrossASignedInFlipUntilTheNextAction) {
    const std::string unreachable = "Could not reach the sync service. Check your connection.";
    sync.publish(signedIn());
    QTest::mouseClick(page->syncNowButton(), Qt::LeftButton);
    SyncAccountStatus down = signedIn();
    down.lastErrorDescription = unreachable;
    sync.publish(down);
    ASSERT_TRUE(sync.answer(unreachable));
    auto shownErrors = [&] {
        int count = 0;
        for (QLabel* line : page->findChildren<QLabel*>())
            if (line->isVisible() && line->text().contains(QString::fromStdString(unreachable))) ++count;
        return count;
    };
    EXPECT_EQ(shownErrors(), 1);
    EXPECT_TRUE(page->signedInErrorLine()->isVisible());

    SyncAccountStatus signedOut;
    signedOut.lastErrorDescription = unreachable;
    sync.publish(signedOut);
    EXPECT_EQ(shownErrors(), 1);
    EXPECT_TRUE(page->signedOutErrorLine()->isVisible());
    EXPECT_EQ(state.syncError, unreachable);

    // A different engine warning still shows beside the action's error.
    signedOut.lastErrorDescription = "Your session ended. Sign in again.";
    sync.publish(signedOut);
    EXPECT_TRUE(page->engineErrorLine()->isVisible());
    EXPECT_TRUE(page->signedOutErrorLine()->isVisible());

    QTest::mouseClick(page->signInButton(), Qt::LeftButton);
    EXPECT_FALSE(page->signedOutErrorLine()->isVisible());
}

TEST(SyncHealth, FirstRuleThatAppliesWins) {
    ManualClock clock;
    ScriptedSyncAccount sync;
    const Date now = clock.now();
    auto status = [&](bool signedIn, bool running, std::optional<std::chrono::seconds> age,
                      std::optional<std::string> error) {
        SyncAccountStatus s;
        s.isSignedIn = signedIn;
        s.isRunning = running;
        if (age) s.lastSyncAt = now - *age;
        s.lastErrorDescription = std::move(error);
        return s;
    };
    struct Case {
        SyncAccountStatus status;
        std::optional<std::string> notice;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {status(true, true, 30s, "Engine broke."), "1 clip was rejected.", "Engine broke."},
        {status(false, false, std::nullopt, std::nullopt), "ignored", std::nullopt},
        {status(true, true, 30s, std::nullopt), "1 clip was rejected.", "1 clip was rejected."},
        {status(true, false, std::nullopt, std::nullopt), std::nullopt,
         "Sync is paused before its first server contact. Harbelle will restart it automatically."},
        {status(true, false, 120s, std::nullopt), std::nullopt,
         "Sync is paused. The last server contact was 2 min ago. Harbelle will restart it automatically."},
        {status(true, true, 599s, std::nullopt), std::nullopt, std::nullopt},
        {status(true, true, 7200s, std::nullopt), std::nullopt,
         "Harbelle has not reached the sync service since 2 hr ago. It is still retrying."},
    };
    for (const Case& c : cases) {
        sync.current = c.status;
        sync.notice = c.notice;
        EXPECT_EQ(SyncPage::healthProblem(sync, now), c.expected);
    }
}

TEST(RelativeTimeText, ShortUnitsPastAndFuture) {
    const Date now = Date{} + std::chrono::hours(24 * 365 * 30);
    const std::pair<std::chrono::seconds, const char*> cases[] = {
        {0s, "0 sec ago"},       {59s, "59 sec ago"},       {60s, "1 min ago"},        {119s, "1 min ago"},
        {3600s, "1 hr ago"},     {86400s, "1 day ago"},     {2 * 86400s, "2 days ago"}, {7 * 86400s, "1 wk ago"},
        {40 * 86400s, "1 mo ago"}, {800 * 86400s, "2 yr ago"}, {-300s, "in 5 min"}};
    for (const auto& [age, text] : cases) EXPECT_EQ(RelativeTimeText::format(now - age, now), text) << age.count();
}

}  // namespace
}  // namespace harbelle::testing
