// The real program as a new user meets it on an ordinary desktop (accessibility bus present
// but switched off, no settings file), and the accessibility paste path under load with a GTK
// window as the target.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QFont>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>

#include "AccessibilityBus.h"
#include "HarbelleProcess.h"
#include "ScreenReader.h"
#include "TextFieldProcess.h"
#include "platform/DesktopSettings.h"
#include "shelf/PermissionSetupView.h"
#include "support/TextPage.h"

namespace harbelle::testing {
namespace {

QString unique(const char* text) {
    return QString::fromLatin1(text) + QLatin1Char(' ') + QString::number(QDateTime::currentMSecsSinceEpoch());
}

// Copies the field's whole text inside the field itself, as a user does in another program.
bool copyInField(TextFieldProcess& field) { return field.activate() && pressKeys("ctrl+a") && pressKeys("ctrl+c"); }

// Copies two clips, then, over the GTK field with its whole text selected, opens the shelf
// and chooses the older clip with Ctrl+2.
void copyTwoAndChooseTheOlder(HarbelleProcess& harbelle, TextFieldProcess& gtk, const QString& older,
                              const QString& newer) {
    // As the newest clip: a clip of the same text an earlier test left on the clipboard may be
    // in the history since the launch, and the copy is not taken until the program sees it.
    ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(older, HarbelleProcess::Saved::asNewest));
    ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(newer, HarbelleProcess::Saved::asNewest));
    ASSERT_TRUE(gtk.activate());
    ASSERT_TRUE(pressKeys("ctrl+a"));  // the paste replaces the whole text
    ASSERT_TRUE(openShelfWithHotKey()) << "the shelf opens over the GTK window";
    ASSERT_TRUE(pressKeys("ctrl+2"));
}

class FirstRunX11 : public ::testing::Test {
protected:
    // The set-up sheet's own window (role "sheet", in front of the shelf) is the active one.
    static bool sheetHasKeyboard() {
        return QTest::qWaitFor(
            [] {
                QProcess xprop;
                xprop.start(QStringLiteral("sh"),
                            {QStringLiteral("-c"), QStringLiteral("xprop -id \"$(xdotool getactivewindow)\" WM_WINDOW_ROLE")});
                xprop.waitForFinished(3000);
                return xprop.readAllStandardOutput().contains("\"sheet\"");
            },
            5000);
    }
    // On the sheet shown at launch: "Request Accessibility Access", then "Continue and Return
    // to Your App".
    void grantAccessAndContinue(HarbelleProcess& harbelle) {
        ASSERT_TRUE(QTest::qWaitFor([] { return shelfWindowVisible(); }, 5000)) << "the set-up sheet opens at launch";
        ASSERT_TRUE(sheetHasKeyboard());
        // "Request Accessibility Access" has the keyboard focus.
        ASSERT_TRUE(pressKeys("space"));
        EXPECT_TRUE(QTest::qWaitFor([] { return accessibilityBusEnabled() == true; }, 3000));
        // Only once both rows are allowed is "Continue and Return to Your App" there (and focused);
        // the bus just switched on lets a screen reader see when.
        ScreenReader reader(harbelle.process().processId());
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                const auto shown = reader.use(ATSPI_ROLE_PUSH_BUTTON, PermissionSetupView::kContinueTitle);
                return shown && shown->focused;
            },
            10000))
            << "Continue does not take the focus";
        ASSERT_TRUE(pressKeys("space"));
        EXPECT_TRUE(QTest::qWaitFor([] { return !shelfWindowVisible(); }, 5000)) << "Continue closes the shelf";
    }

    // On the same sheet: "Use History in Copy-Only Mode".
    void chooseCopyOnlyMode() {
        ASSERT_TRUE(QTest::qWaitFor([] { return shelfWindowVisible(); }, 5000)) << "the set-up sheet opens at launch";
        ASSERT_TRUE(sheetHasKeyboard());
        // From "Request Accessibility Access" past "Check Again" (and "Open System Settings" where
        // this desktop has accessibility settings).
        for (int tab = accessibilitySettingsCommand() ? 3 : 2; tab > 0; --tab) ASSERT_TRUE(pressKeys("Tab"));
        ASSERT_TRUE(pressKeys("space"));
        EXPECT_TRUE(QTest::qWaitFor([] { return !shelfWindowVisible(); }, 5000));
    }

    AccessibilityBusSwitch bus{false};
};

TEST_F(FirstRunX11, RequestingAccessEnablesTheBusAndContinueStartsCapture) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    AccessibleLaunch accessible;  // lets the test see the sheet's buttons
    HarbelleProcess harbelle(nullptr);
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_NO_FATAL_FAILURE(grantAccessAndContinue(harbelle));

    const QString text = unique("copied in another program");
    TextFieldProcess field({QStringLiteral("--text"), text});
    ASSERT_TRUE(field.waitForWindow());
    ASSERT_TRUE(copyInField(field));
    EXPECT_TRUE(harbelle.waitUntilSaved(text));
    EXPECT_FALSE(harbelle.settings().contains("\"pasteDirectly\": false"));
}

// The GTK window was open before the program, as the user's own programs are; its entry gets
// the older of two clips from the shelf, its focus put back through the access the sheet
// switched on. The diagnostics only add output lines.
TEST_F(FirstRunX11, AfterContinueTheShelfPastesIntoAnAlreadyOpenGtkField) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    TextFieldProcess gtk({QStringLiteral("--text"), QStringLiteral("typed before")}, gtkFieldCommand());
    ASSERT_TRUE(gtk.waitForWindow()) << "python3-gi with GTK 3 is needed";
    AccessibleLaunch accessible;  // lets the test see the sheet's buttons
    HarbelleProcess harbelle(nullptr, {QStringLiteral("--paste-diagnostics")});
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_NO_FATAL_FAILURE(grantAccessAndContinue(harbelle));

    const QString older = unique("older clip");
    const QString newer = unique("newer clip");
    ASSERT_NO_FATAL_FAILURE(copyTwoAndChooseTheOlder(harbelle, gtk, older, newer));
    EXPECT_TRUE(gtk.waitForContent(older, 5000))
        << "field: " << gtk.content().toStdString() << "\n" << harbelle.output().toStdString();
    // A Ctrl+V lands even without access, so only the engine's own account shows that it used
    // the access granted on the sheet rather than a stale answer from before.
    const QString output = harbelle.output();
    EXPECT_TRUE(output.contains(QStringLiteral("trusted=true")) && !output.contains(QStringLiteral("trusted=false")))
        << output.toStdString();
}

// The user's caret in a GTK entry is where a new user's first paste lands: the rest of the
// entry stays as it was.
TEST_F(FirstRunX11, AfterContinueAPasteLandsAtTheCaretOfAGtkEntry) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    TextFieldProcess gtk({QStringLiteral("--text"), QStringLiteral("hello world"), QStringLiteral("--caret"),
                          QStringLiteral("5")},
                         gtkFieldCommand());
    ASSERT_TRUE(gtk.waitForWindow()) << "python3-gi with GTK 3 is needed";
    AccessibleLaunch accessible;  // lets the test see the sheet's buttons
    HarbelleProcess harbelle(nullptr, {QStringLiteral("--paste-diagnostics")});
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_NO_FATAL_FAILURE(grantAccessAndContinue(harbelle));

    ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(QStringLiteral(" brave new"), HarbelleProcess::Saved::asNewest));
    ASSERT_TRUE(gtk.activate());
    ASSERT_TRUE(openShelfWithHotKey());
    ASSERT_TRUE(pressKeys("ctrl+1"));
    EXPECT_TRUE(gtk.waitForContent(QStringLiteral("hello brave new world")))
        << "field: " << gtk.content().toStdString() << "\n" << harbelle.output().toStdString();
}

TEST_F(FirstRunX11, CopyOnlyModeStartsCaptureAndStaysChosenAfterARestart) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    HarbelleProcess harbelle(nullptr);
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_NO_FATAL_FAILURE(chooseCopyOnlyMode());
    EXPECT_EQ(accessibilityBusEnabled(), false) << "copy-only mode asks for nothing";

    const QString first = unique("first copy");
    TextFieldProcess field({QStringLiteral("--text"), first});
    ASSERT_TRUE(field.waitForWindow());
    ASSERT_TRUE(copyInField(field));
    EXPECT_TRUE(harbelle.waitUntilSaved(first));
    ASSERT_TRUE(harbelle.stop());
    const QJsonObject saved = QJsonDocument::fromJson(harbelle.settings()).object();
    EXPECT_EQ(saved.value(QStringLiteral("pasteDirectly")), QJsonValue(false)) << harbelle.settings().toStdString();

    // A restart captures at once, without the sheet: once the copy is saved, the launch (and
    // the sheet's moment) is past.
    harbelle.restart();
    const QString second = unique("copy after the restart");
    EXPECT_TRUE(harbelle.copyAndWaitUntilSaved(second));
    EXPECT_FALSE(shelfWindowVisible());
}

// A new user in copy-only mode searches before Return: the card on screen is what reaches
// the clipboard, and a Ctrl+V in their GTK field brings that text, not a hidden newer clip.
TEST_F(FirstRunX11, InCopyOnlyModeReturnAfterASearchCopiesTheOneCardShown) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    TextFieldProcess gtk({QStringLiteral("--text"), QStringLiteral("note: ")}, gtkFieldCommand());
    ASSERT_TRUE(gtk.waitForWindow()) << "python3-gi with GTK 3 is needed";
    HarbelleProcess harbelle(nullptr);
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_NO_FATAL_FAILURE(chooseCopyOnlyMode());
    for (const char* text : {"first apple", "second banana", "third cherry"})
        ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(QString::fromLatin1(text), HarbelleProcess::Saved::asNewest));

    ASSERT_TRUE(gtk.activate());
    ASSERT_TRUE(pressKeys("End"));
    ASSERT_TRUE(openShelfWithHotKey());
    ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("--delay"),
                                                         QStringLiteral("40"), QStringLiteral("apple")}));
    ASSERT_TRUE(pressKeys("Return"));
    ASSERT_TRUE(QTest::qWaitFor([] { return !shelfWindowVisible(); }, 5000)) << "the copy hides the shelf";
    ASSERT_TRUE(gtk.activate());
    ASSERT_TRUE(pressKeys("End"));
    ASSERT_TRUE(pressKeys("ctrl+v"));
    EXPECT_TRUE(gtk.waitForContent(QStringLiteral("note: first apple"), 5000)) << "field: " << gtk.content().toStdString();
}

// The shipped program opens the OCR engine only on first use: a picture copied in another
// program is saved with the words it shows as its searchable text.
TEST_F(FirstRunX11, ACopiedPictureIsSavedWithTheWordsItShows) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    HarbelleProcess harbelle(nullptr);
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_NO_FATAL_FAILURE(chooseCopyOnlyMode());

    const QString picture = harbelle.path(QStringLiteral("receipt.png"));
    {
        QImage image(760, 110, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(44);
        painter.setFont(font);
        painter.setPen(Qt::black);
        painter.drawText(image.rect().adjusted(20, 0, -20, 0), Qt::AlignLeft | Qt::AlignVCenter,
                         QStringLiteral("RECEIPT 8126 HARBOUR"));
        painter.end();
        ASSERT_TRUE(image.save(picture, "PNG"));
    }
    // The program takes the clipboard at launch: later tests must not start with this picture.
    struct HandBackTheClipboard {
        ~HandBackTheClipboard() { copyWithXclip(QStringLiteral("after the picture")); }
    } handBack;
    ASSERT_TRUE(runQuietly(QStringLiteral("xclip"), {QStringLiteral("-selection"), QStringLiteral("clipboard"),
                                                     QStringLiteral("-t"), QStringLiteral("image/png"),
                                                     QStringLiteral("-i"), picture}));

    // The clip is saved at once; its text follows when the engine has read the picture.
    const auto readPicture = [&] {
        for (const ClipItem& clip : harbelle.savedClips()) {
            if (clip.kind != ClipKind::image) continue;
            const QString text = QString::fromStdString(clip.searchableText);
            if (text.contains(QStringLiteral("RECEIPT"), Qt::CaseInsensitive) && text.contains(QStringLiteral("8126")) &&
                text.contains(QStringLiteral("HARBOUR"), Qt::CaseInsensitive))
                return true;
        }
        return false;
    };
    EXPECT_TRUE(QTest::qWaitFor(readPicture, 30000))
        << "history file:\n" << harbelle.history().toStdString() << "\nstderr:\n" << harbelle.errorOutput().toStdString();
}

// A new user's first large picture: SIGTERM while the engine reads it ends the program at once,
// and the picture's clip is in the history file.
TEST_F(FirstRunX11, SigtermWhileTheFirstPictureIsReadEndsAtOnceWithTheClipSaved) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    HarbelleProcess harbelle(nullptr);
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_NO_FATAL_FAILURE(chooseCopyOnlyMode());

    const QString page = harbelle.path(QStringLiteral("page.png"));
    ASSERT_TRUE(textPage().save(page));
    struct HandBackTheClipboard {
        ~HandBackTheClipboard() { copyWithXclip(QStringLiteral("after the page")); }
    } handBack;
    ASSERT_TRUE(runQuietly(QStringLiteral("xclip"), {QStringLiteral("-selection"), QStringLiteral("clipboard"),
                                                     QStringLiteral("-t"), QStringLiteral("image/png"),
                                                     QStringLiteral("-i"), page}));
    const auto savedImage = [&] {
        for (const ClipItem& clip : harbelle.savedClips())
            if (clip.kind == ClipKind::image) return true;
        return false;
    };
    ASSERT_TRUE(QTest::qWaitFor(savedImage, 10000)) << harbelle.errorOutput().toStdString();

    QElapsedTimer quitting;
    quitting.start();
    harbelle.process().terminate();
    ASSERT_TRUE(harbelle.process().waitForFinished(5000)) << "the program does not end";
    EXPECT_LT(quitting.elapsed(), 2000);
    EXPECT_EQ(harbelle.process().exitStatus(), QProcess::NormalExit);
    EXPECT_TRUE(savedImage()) << harbelle.history().toStdString();
}

// Each round: copy two clips in another program, open the shelf over a focused GTK entry and
// paste the older one with Ctrl+2 (the accessibility path), then end the program by SIGTERM.
TEST(AccessibilityPasteStressX11, RoundsOfPastingIntoAGtkFieldEachEndingBySigterm) {
    AccessibilityBusSwitch bus(true);
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    const int rounds = qEnvironmentVariableIsSet("HARBELLE_STRESS_ROUNDS")
                           ? qEnvironmentVariableIntValue("HARBELLE_STRESS_ROUNDS")
                           : 50;
    TextFieldProcess gtk({}, gtkFieldCommand());
    ASSERT_TRUE(gtk.waitForWindow()) << "python3-gi with GTK 3 is needed";
    HarbelleProcess harbelle(HarbelleProcess::kDefaultSettings);
    ASSERT_TRUE(harbelle.waitUntilRunning());

    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round + 1);
        // A copy made before the restarted program watches is still taken at its start.
        if (round > 0) harbelle.restart();
        const QString older = QStringLiteral("older clip %1").arg(round);
        const QString newer = QStringLiteral("newer clip %1").arg(round);
        ASSERT_NO_FATAL_FAILURE(copyTwoAndChooseTheOlder(harbelle, gtk, older, newer));
        EXPECT_TRUE(gtk.waitForContent(older, 5000)) << "field: " << gtk.content().toStdString();

        QElapsedTimer answer;
        answer.start();
        ASSERT_TRUE(harbelle.stop(2000)) << "no answer to SIGTERM within 2 s: the program hangs";
        EXPECT_LT(answer.elapsed(), 2000);
        const auto texts = harbelle.savedTexts();
        ASSERT_NE(std::find(texts.begin(), texts.end(), newer.toStdString()), texts.end())
            << "history.json is written on the way out";
    }
}

}  // namespace
}  // namespace harbelle::testing
