// The real program's shelf as the user works it: the keys the hints show, a search before
// Return, a drag into another program, a placement change, and a shelf window that another
// program destroyed.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QRect>
#include <QScreen>

#include "AccessibilityBus.h"
#include "HarbelleProcess.h"
#include "ScreenReader.h"
#include "TextFieldProcess.h"

namespace harbelle::testing {
namespace {

const QString kFirst = QStringLiteral("first apple");
const QString kSecond = QStringLiteral("second banana");
const QString kThird = QStringLiteral("third cherry");

QString xdotoolOutput(const QStringList& arguments) {
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"), arguments);
    xdotool.waitForFinished(5000);
    return QString::fromUtf8(xdotool.readAllStandardOutput()).trimmed();
}

bool xdotool(const QStringList& arguments) { return runQuietly(QStringLiteral("xdotool"), arguments); }

// The shown shelf window's id, empty while none is shown.
QString shelfWindow() {
    return xdotoolOutput({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                          QStringLiteral("^Harbelle$")})
        .section(QLatin1Char('\n'), 0, 0);
}

// The shown shelf's frame on screen.
QRect shelfFrame() {
    const QString window = shelfWindow();
    if (window.isEmpty()) return {};
    const QString shell = xdotoolOutput({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window});
    QRect frame;
    for (const QString& line : shell.split(QLatin1Char('\n'))) {
        const QString value = line.section(QLatin1Char('='), 1);
        if (line.startsWith(QStringLiteral("X="))) frame.moveLeft(value.toInt());
        if (line.startsWith(QStringLiteral("Y="))) frame.moveTop(value.toInt());
        if (line.startsWith(QStringLiteral("WIDTH="))) frame.setWidth(value.toInt());
        if (line.startsWith(QStringLiteral("HEIGHT="))) frame.setHeight(value.toInt());
    }
    return frame;
}

bool shelfHasKeyboard() {
    return QTest::qWaitFor([] { return activeWindowName() == QStringLiteral("Harbelle"); }, 5000);
}

// The shelf window alone is shown (no sheet window in front of it) and has the keyboard.
bool shelfAloneHasKeyboard() {
    return QTest::qWaitFor(
        [] {
            const QString shown = xdotoolOutput({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                                 QStringLiteral("--name"), QStringLiteral("^Harbelle$")})
                                      .trimmed();
            return !shown.isEmpty() && !shown.contains(QLatin1Char('\n')) &&
                   xdotoolOutput({QStringLiteral("getactivewindow")}).trimmed() == shown;
        },
        5000);
}

// The hot key, tried again when a press lands while the previous window still takes the focus.
bool openShelf() {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!pressKeys("shift+super+v")) return false;
        if (shelfHasKeyboard()) return true;
    }
    return false;
}

bool typeText(const char* text) {
    return xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("40"), QString::fromUtf8(text)});
}

QString clipboardText() {
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"), {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard")});
    xclip.waitForFinished(3000);
    return QString::fromUtf8(xclip.readAllStandardOutput());
}

// What the screen shows of a rectangle.
QImage screenPicture(const QRect& area) {
    QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->grabWindow(0, area.x(), area.y(), area.width(), area.height()).toImage() : QImage();
}

// The share of pixels whose brightness differs between two pictures of the same size (the
// sheet's dimming of the dark shelf is a small step).
double changedShare(const QImage& a, const QImage& b) {
    if (a.isNull() || a.size() != b.size()) return 0;
    qint64 changed = 0;
    for (int y = 0; y < a.height(); y += 2)
        for (int x = 0; x < a.width(); x += 2) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            if (std::abs(qGray(p) - qGray(q)) > 8) ++changed;
        }
    return double(changed) / ((a.width() / 2) * (a.height() / 2));
}

// The area once it has stopped changing (cards are painted in turn as the shelf opens), or
// the last picture after 3 s.
QImage settledPicture(const QRect& area) {
    QImage last = screenPicture(area);
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 3000) {
        QTest::qWait(150);
        QImage next = screenPicture(area);
        const bool still = changedShare(last, next) < 0.002;
        last = std::move(next);
        if (still) break;
    }
    return last;
}

// The centre of the n-th card of a bottom or top shelf (cards lie left to right).
QPoint rowCardCentre(const QRect& shelf, int n) { return {shelf.left() + 14 + 122 + 244 * n, shelf.top() + 200}; }

// Returns once the server has the pointer there, so a press that follows lands there.
bool mouseTo(QPoint at) {
    return xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(at.x()), QString::number(at.y())});
}

bool clickAt(QPoint at) { return mouseTo(at) && xdotool({QStringLiteral("click"), QStringLiteral("1")}); }

// A fingerprint of the cursor the pointer shows.
QString cursorShown() {
    QProcess probe;
    probe.start(QStringLiteral(HARBELLE_X11_PROBE), {QStringLiteral("cursor"), QStringLiteral("-")});
    probe.waitForFinished(5000);
    return QString::fromLatin1(probe.readAllStandardOutput()).trimmed();
}

// Drags with the pointer from `from` to `to` in small steps, as a hand does. The drag shows its
// cursor over the shelf, where nothing takes a drop; over a drop target (`ontoTarget`) the
// button is let go once the cursor shows the target takes it, as the user waits to see.
bool dragPointer(QPoint from, QPoint to, bool ontoTarget) {
    if (!mouseTo(from)) return false;
    const QString pointing = cursorShown();
    if (!xdotool({QStringLiteral("mousedown"), QStringLiteral("1")})) return false;
    QString refused;
    for (int step = 1; step <= 20; ++step) {
        if (!mouseTo(from + (to - from) * step / 20)) return false;
        QTest::qWait(40);
        // The first steps stay over the shelf: the drag starts there.
        if (step == 2 && !QTest::qWaitFor([&] { return (refused = cursorShown()) != pointing; }, 5000)) return false;
    }
    if (ontoTarget && !QTest::qWaitFor([&] {
            const QString shown = cursorShown();
            return shown != pointing && shown != refused;
        }, 5000))
        return false;
    return xdotool({QStringLiteral("mouseup"), QStringLiteral("1")});
}

// The program with three copies made in another program, oldest first.
void copyThree(HarbelleProcess& harbelle) {
    for (const QString& text : {kFirst, kSecond, kThird})
        ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(text, HarbelleProcess::Saved::asNewest));
}

const ClipItem* savedClip(const std::vector<ClipItem>& clips, const QString& text) {
    for (const auto& clip : clips)
        if (clip.text == text.toStdString()) return &clip;
    return nullptr;
}

// The GTK field holding text with its caret at the end, active.
bool focusFieldWithCaretAtEnd(TextFieldProcess& field) {
    return field.activate() && pressKeys("End");
}

TEST(ShelfCardsX11, ReturnAfterASearchPastesTheOneCardShownAndNothingWithoutACard) {
    AccessibilityBusSwitch bus(true);
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    TextFieldProcess gtk({QStringLiteral("--text"), QStringLiteral("note: ")}, gtkFieldCommand());
    ASSERT_TRUE(gtk.waitForWindow()) << "python3-gi with GTK 3 is needed";
    HarbelleProcess harbelle(HarbelleProcess::kDefaultSettings);
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_NO_FATAL_FAILURE(copyThree(harbelle));

    ASSERT_TRUE(focusFieldWithCaretAtEnd(gtk));
    ASSERT_TRUE(openShelf());
    ASSERT_TRUE(typeText("apple"));
    ASSERT_TRUE(pressKeys("Return"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return gtk.content().endsWith(kFirst); }, 5000))
        << "field: " << gtk.content().toStdString();
    EXPECT_FALSE(gtk.content().contains(QStringLiteral("cherry")));

    // A search that leaves no card: Return pastes nothing and the shelf stays, so the search
    // typed next is the shelf's and its Return pastes that card alone.
    const QString before = gtk.content();
    ASSERT_TRUE(focusFieldWithCaretAtEnd(gtk));
    ASSERT_TRUE(openShelf());
    ASSERT_TRUE(pressKeys("ctrl+a"));
    ASSERT_TRUE(typeText("zzzz"));
    ASSERT_TRUE(pressKeys("Return"));
    ASSERT_TRUE(pressKeys("ctrl+a"));
    ASSERT_TRUE(typeText("cherry"));
    ASSERT_TRUE(pressKeys("Return"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return gtk.content() == before + kThird; }, 5000))
        << "field: " << gtk.content().toStdString();
    EXPECT_EQ(harbelle.process().state(), QProcess::Running);
}

TEST(ShelfCardsX11, TheHintedKeysActRightAfterOpeningAndClearingTheSearchDeletesNothing) {
    // The shelf hides after 5 s without a key or a click; on a loaded machine the screen checks
    // between two keys can take that long.
    HarbelleProcess harbelle(R"({"hasLaunchedPemberlow": true, "pasteDirectly": false, "autoHideEnabled": false})");
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_NO_FATAL_FAILURE(copyThree(harbelle));

    // The pointer away from the cards: a hover highlight or a tool tip would change the pictures.
    ASSERT_TRUE(xdotool({QStringLiteral("mousemove"), QStringLiteral("1270"), QStringLiteral("10")}));
    ASSERT_TRUE(openShelf());
    const QRect shelf = shelfFrame();
    ASSERT_FALSE(shelf.isEmpty());
    const QImage plain = settledPicture(shelf);
    ASSERT_TRUE(pressKeys("space"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return changedShare(plain, screenPicture(shelf)) > 0.5; }, 3000))
        << "Space shows the preview and dims the shelf";
    ASSERT_TRUE(pressKeys("Escape"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return changedShare(plain, screenPicture(shelf)) < 0.05; }, 3000))
        << "Escape closes the preview";
    ASSERT_TRUE(shelfAloneHasKeyboard()) << "and only the preview: the shelf has the keyboard back";

    // The highlighted card is the newest copy (a copy an earlier test left on the clipboard may
    // be older still).
    const auto before = harbelle.savedTexts();
    ASSERT_TRUE(pressKeys("Delete"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return harbelle.savedTexts().size() == before.size() - 1; }, 5000));
    const auto remaining = harbelle.savedTexts();
    EXPECT_EQ(remaining, std::vector<std::string>(before.begin() + 1, before.end()));
    EXPECT_EQ(before.front(), kThird.toStdString());

    // Holding Backspace for a second (the server repeats it) empties the search and stops there.
    ASSERT_TRUE(typeText("ab"));
    ASSERT_TRUE(xdotool({QStringLiteral("keydown"), QStringLiteral("BackSpace")}));
    QTest::qWait(1000);
    ASSERT_TRUE(xdotool({QStringLiteral("keyup"), QStringLiteral("BackSpace")}));
    // An empty search lets Escape hide the shelf at once.
    ASSERT_TRUE(pressKeys("Escape"));
    EXPECT_TRUE(QTest::qWaitFor([] { return shelfWindow().isEmpty(); }, 3000)) << "the search was not emptied";
    // Every repeat came before Escape; a copy saved after them shows the list they left.
    const QString later = QStringLiteral("after the backspaces");
    ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(later, HarbelleProcess::Saved::asNewest));
    auto expected = remaining;
    expected.insert(expected.begin(), later.toStdString());
    EXPECT_EQ(harbelle.savedTexts(), expected) << "clearing the search deleted a clip";
}

TEST(ShelfCardsX11, AKeyPressedRightAfterTheHotKeyActsInTheShelfNotInTheField) {
    AccessibilityBusSwitch bus(true);
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    HarbelleProcess harbelle(R"({"hasLaunchedPemberlow": true, "pasteDirectly": false, "autoHideEnabled": false})");
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_NO_FATAL_FAILURE(copyThree(harbelle));
    TextFieldProcess gtk({QStringLiteral("--entries"), QStringLiteral("2"), QStringLiteral("--text"), QStringLiteral("abc")},
                         gtkFieldCommand());
    ASSERT_TRUE(gtk.waitForWindow()) << "python3-gi with GTK 3 is needed";
    // The entry gains the focus anew: the program sees focus changes made while it runs.
    ASSERT_TRUE(gtk.activate() && pressKeys("Tab") && pressKeys("shift+Tab") && pressKeys("Home"));

    // One command with no delay, so the server has Delete before this program has read the hot
    // key; a few rounds, each deleting a clip. Then Delete as soon as the shelf shows, before the
    // window manager has given it the focus.
    constexpr std::size_t kRounds = 5;
    for (std::size_t round = 1; round < kRounds; ++round)
        ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(QStringLiteral("round %1").arg(round), HarbelleProcess::Saved::asNewest));
    // A copy an earlier test left on the clipboard may be saved too.
    const std::size_t saved = harbelle.savedTexts().size();
    for (std::size_t deleted = 1; deleted <= kRounds + 1; ++deleted) {
        SCOPED_TRACE(deleted);
        if (deleted <= kRounds) {
            ASSERT_TRUE(gtk.activate());
            ASSERT_TRUE(xdotool({QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("0"),
                                 QStringLiteral("shift+super+v"), QStringLiteral("Delete")}));
        } else {
            ASSERT_TRUE(gtk.activate() && pressKeys("shift+super+v"));
            ASSERT_TRUE(QTest::qWaitFor([] { return !shelfWindow().isEmpty(); }, 5000));
            ASSERT_TRUE(pressKeys("Delete"));
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return harbelle.savedTexts().size() == saved - deleted; }, 5000))
            << "no clip was deleted";
        ASSERT_EQ(gtk.content().toStdString(), "abc\n");
        ASSERT_TRUE(pressKeys("Escape") && QTest::qWaitFor([] { return shelfWindow().isEmpty(); }, 5000));
    }
}

TEST(ShelfCardsX11, AfterAPlacementChangeAClickOnACardPastesIt) {
    HarbelleProcess harbelle;
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_NO_FATAL_FAILURE(copyThree(harbelle));
    ASSERT_TRUE(openShelf());
    QRect shelf = shelfFrame();
    // "Shelf Position" is the third of the four buttons at the header's right end.
    ASSERT_TRUE(clickAt(QPoint(shelf.right() - 105, shelf.top() + 26)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return popupShown(harbelle.process().processId()); }, 5000))
        << "the placement menu does not open";
    // Bottom, Top, Left: the shelf moves to the left edge.
    for (const char* key : {"Down", "Down", "Down", "Return"}) ASSERT_TRUE(pressKeys(key));
    ASSERT_TRUE(QTest::qWaitFor([&] { return shelfFrame().height() > shelfFrame().width(); }, 3000))
        << "the shelf did not move to a side";
    shelf = shelfFrame();
    // The second card of the stack: "second banana".
    ASSERT_TRUE(clickAt(QPoint(shelf.center().x(), shelf.top() + 160 + 140)));
    EXPECT_TRUE(QTest::qWaitFor([] { return clipboardText() == kSecond; }, 3000))
        << "clipboard: " << clipboardText().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([] { return shelfWindow().isEmpty(); }, 3000)) << "a paste hides the shelf";
}

TEST(ShelfCardsX11, ADraggedCardDropsItsTextIntoAGtkTextViewAndADropOnNothingChangesNothing) {
    TextFieldProcess gtk({QStringLiteral("--textview"), QStringLiteral("--text"), QStringLiteral("dropped: ")},
                         gtkFieldCommand());
    ASSERT_TRUE(gtk.waitForWindow()) << "python3-gi with GTK 3 is needed";
    HarbelleProcess harbelle;
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_NO_FATAL_FAILURE(copyThree(harbelle));
    const auto before = harbelle.savedClips();

    // Dropped on nothing (the bare desktop): the clip keeps its place, so the third card is
    // still "first apple" for the next drag.
    ASSERT_TRUE(openShelf());
    QRect shelf = shelfFrame();
    ASSERT_TRUE(dragPointer(rowCardCentre(shelf, 2), QPoint(1000, 150), false));

    // Into the text view at the top left: the oldest card, "first apple".
    if (shelfWindow().isEmpty()) {
        ASSERT_TRUE(openShelf());
    }
    shelf = shelfFrame();
    ASSERT_TRUE(dragPointer(rowCardCentre(shelf, 2), QPoint(200, 120), true)) << "the text view never took the drag";
    EXPECT_TRUE(QTest::qWaitFor([&] { return gtk.content().contains(kFirst); }, 5000))
        << "text view: " << gtk.content().toStdString();
    EXPECT_TRUE(harbelle.waitUntilSaved(kFirst, HarbelleProcess::Saved::asNewest)) << "a drop counts as a paste";
    const auto after = harbelle.savedClips();
    const ClipItem* dropped = savedClip(after, kFirst);
    ASSERT_NE(dropped, nullptr);
    EXPECT_TRUE(dropped->lastReplayedAt.has_value());
    // The others kept their paste times through both drags.
    for (const ClipItem& clip : before) {
        if (const ClipItem* now = savedClip(after, QString::fromStdString(clip.text)); now && now != dropped) {
            EXPECT_EQ(now->lastReplayedAt, clip.lastReplayedAt) << clip.text;
        }
    }
}

TEST(ShelfCardsX11, TheHotKeyShowsTheShelfAgainAfterItsWindowWasDestroyedFromOutside) {
    HarbelleProcess harbelle;
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_TRUE(openShelf());
    const QString window = shelfWindow();
    ASSERT_FALSE(window.isEmpty());
    ASSERT_TRUE(xdotool({QStringLiteral("windowclose"), window}));
    ASSERT_TRUE(QTest::qWaitFor([] { return shelfWindow().isEmpty(); }, 3000));

    ASSERT_TRUE(pressKeys("shift+super+v"));
    EXPECT_TRUE(QTest::qWaitFor([] { return !shelfWindow().isEmpty(); }, 3000)) << "the first press shows it";
    EXPECT_TRUE(shelfHasKeyboard());
    ASSERT_TRUE(pressKeys("shift+super+v"));
    EXPECT_TRUE(QTest::qWaitFor([] { return shelfWindow().isEmpty(); }, 3000)) << "and the next hides it";
    EXPECT_EQ(harbelle.process().state(), QProcess::Running);
}

}  // namespace
}  // namespace harbelle::testing
