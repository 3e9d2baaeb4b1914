// The real program pasting into other programs' windows, chosen from the shelf with Ctrl+1: a
// GTK entry keeps the text around its caret, a terminal gets its own paste key, xterm (which
// has no clipboard key) its primary selection, and programs that offer no focused
// element get their keys at once. Each paste's time from Ctrl+1 is printed.
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "AccessibilityBus.h"
#include "HarbelleProcess.h"
#include "TextFieldProcess.h"
#include "platform/linux/AtspiAccessibility.h"

namespace harbelle::testing {
namespace {

constexpr const char* kSystemShortcutOff = R"({"hasLaunchedPemberlow": true, "pasteUsesSystemShortcut": false})";

// A terminal running `cat > file` with the line discipline off, so every byte pasted reaches
// the file at once.
class TerminalProcess {
public:
    TerminalProcess(const QString& program, const QString& title) : title_(title) {
        file_ = dir_.filePath(QStringLiteral("typed.txt"));
        const QString shell = QStringLiteral("stty -icanon; exec cat > '%1'").arg(file_);
        process_.setStandardOutputFile(QProcess::nullDevice());
        process_.setStandardErrorFile(QProcess::nullDevice());
        if (program == QStringLiteral("lxterminal")) {
            process_.start(program, {QStringLiteral("--no-remote"), QStringLiteral("-t"), title,
                                     QStringLiteral("--command=sh -c \"%1\"").arg(shell)});
        } else {
            process_.start(program, {QStringLiteral("-T"), title, QStringLiteral("-e"), QStringLiteral("sh"),
                                     QStringLiteral("-c"), shell});
        }
    }
    ~TerminalProcess() {
        process_.kill();
        process_.waitForFinished(3000);
    }
    bool waitForWindow() {
        return QTest::qWaitFor(
            [&] {
                QProcess search;
                search.start(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                                         QStringLiteral("--name"), QLatin1Char('^') + title_ + QLatin1Char('$')});
                search.waitForFinished(3000);
                window_ = QString::fromLatin1(search.readAllStandardOutput()).split(QLatin1Char('\n')).first().trimmed();
                // The shell has started cat once the file exists.
                return !window_.isEmpty() && QFile::exists(file_);
            },
            15000);
    }
    bool activate() const {
        return runQuietly(QStringLiteral("xdotool"), {QStringLiteral("windowactivate"), QStringLiteral("--sync"), window_});
    }
    QString typed() const {
        QFile file(file_);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    QTemporaryDir dir_;
    QString title_;
    QString file_;
    QString window_;
    QProcess process_;
};

// The process's focused field as a screen reader reads it; none when it could not be read.
std::optional<ElementInfo> focusedField(qint64 pid) {
    AtspiAccessibility ax;
    QObject context;
    std::optional<ElementInfo> field;
    bool answered = false;
    ax.focusedElement(pid, Milliseconds(2000), &context, [&](AXResult<AXElement> found) {
        if (!found.ok() || !found.value) {
            answered = true;
            return;
        }
        ax.readElement(found.value, Milliseconds(2000), &context, [&](AXResult<ElementInfo> info) {
            if (info.ok()) field = info.value;
            answered = true;
        });
    });
    (void)QTest::qWaitFor([&] { return answered; }, 5000);
    return field;
}

// The selection of the process's focused field; none when the field has no selection or could
// not be read.
std::optional<TextRange> focusedSelection(qint64 pid, bool& read) {
    const auto field = focusedField(pid);
    read = field.has_value();
    return field ? field->selection : std::nullopt;
}

// Screen readers' view of the focus, as the program listening to them has it. Made before the
// first field starts, so that field learns of it as it starts.
AtspiAccessibility& focusListener() {
    static AtspiAccessibility listener;
    return listener;
}

// Takes the keyboard focus from every window (to the root), as a click on the bare desktop.
void focusNothing() {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (!xcb_connection_has_error(connection)) {
        xcb_set_input_focus(connection, XCB_INPUT_FOCUS_POINTER_ROOT, XCB_INPUT_FOCUS_POINTER_ROOT, XCB_CURRENT_TIME);
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    }
    xcb_disconnect(connection);
}

// The field shows its caret, and screen readers were told it gained the focus, as the program
// was. A program that has only just started can take the focus before it has learnt that anyone
// listens, and then says nothing: the focus leaves its window and comes back.
bool fieldHasFocus(TextFieldProcess& field) {
    if (!focusListener().isTrusted()) return false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) {
            focusNothing();
            if (!field.activate()) return false;
        }
        if (QTest::qWaitFor(
                [&] {
                    const auto focused = focusedField(field.pid());
                    return focused && focused->focused && focusListener().remembersFocusedElement(field.pid());
                },
                3000))
            return true;
    }
    return false;
}

class TargetPasteX11 : public ::testing::Test {
protected:
    // Opens the shelf over the active window and presses Ctrl+digit; returns when the keys went.
    void chooseWithShelf(const char* choose) {
        ASSERT_TRUE(openShelfWithHotKey()) << "the shelf opens";
        clock.start();
        ASSERT_TRUE(pressKeys(choose));
    }
    // Milliseconds from the Ctrl+digit to now, printed with what it measured.
    qint64 report(const char* what) {
        const qint64 elapsed = clock.elapsed();
        std::cout << "[ timing ] " << what << ": " << elapsed << " ms from Ctrl+1 to the text\n";
        return elapsed;
    }

    AccessibilityBusSwitch bus{true};
    // Listening before the test's first field starts.
    bool listening = focusListener().isTrusted();
    QElapsedTimer clock;
};

// A Gtk.Entry holding "hello world": the clip lands at the caret, or over the selection only,
// with the system shortcut (Ctrl+V) and with accessible insertion.
TEST_F(TargetPasteX11, AGtkEntryKeepsTheTextAroundItsCaretOnBothPastePaths) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    struct Case {
        QStringList placement;
        QString clip;
        QString expected;
    };
    const Case cases[] = {
        {{QStringLiteral("--caret"), QStringLiteral("5")}, QStringLiteral(", dear"), QStringLiteral("hello, dear world")},
        {{QStringLiteral("--select"), QStringLiteral("6"), QStringLiteral("11")}, QStringLiteral("there"),
         QStringLiteral("hello there")},
        // The selection replaced by the same text: only the selection's end shows it was pasted.
        {{QStringLiteral("--select"), QStringLiteral("0"), QStringLiteral("5")}, QStringLiteral("hello"),
         QStringLiteral("hello world")},
    };
    for (const char* settings : {HarbelleProcess::kDefaultSettings, kSystemShortcutOff}) {
        SCOPED_TRACE(settings);
        HarbelleProcess harbelle(settings, {QStringLiteral("--paste-diagnostics")});
        ASSERT_TRUE(harbelle.waitUntilRunning());
        for (const Case& current : cases) {
            SCOPED_TRACE(current.expected.toStdString());
            TextFieldProcess gtk(QStringList{QStringLiteral("--text"), QStringLiteral("hello world")} + current.placement,
                                 gtkFieldCommand());
            ASSERT_TRUE(gtk.waitForWindow()) << "python3-gi with GTK 3 is needed";
            ASSERT_TRUE(gtk.activate());
            ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(current.clip, HarbelleProcess::Saved::asNewest));
            ASSERT_TRUE(gtk.activate());
            ASSERT_TRUE(fieldHasFocus(gtk)) << "the entry never shows its caret";
            ASSERT_NO_FATAL_FAILURE(chooseWithShelf("ctrl+1"));
            if (current.clip != QStringLiteral("hello")) {
                EXPECT_TRUE(gtk.waitForContent(current.expected)) << "field: " << gtk.content().toStdString() << "\n"
                                                                  << harbelle.output().toStdString();
                report("GTK 3 entry");
            } else {
                bool read = false;
                EXPECT_TRUE(QTest::qWaitFor([&] { return !focusedSelection(gtk.pid(), read) && read; }, 5000))
                    << "the selection is still there: nothing was pasted\n" << harbelle.output().toStdString();
            }
            // Marked as pasted, no failure: the clip's paste time is saved.
            EXPECT_TRUE(QTest::qWaitFor(
                [&] {
                    for (const ClipItem& clip : harbelle.savedClips())
                        if (clip.text == current.clip.toStdString() && clip.lastReplayedAt) return true;
                    return false;
                },
                5000))
                << harbelle.output().toStdString();
            EXPECT_EQ(gtk.content(), current.expected);
            EXPECT_FALSE(harbelle.output().contains(QStringLiteral("reporting failure")))
                << harbelle.output().toStdString();
        }
        // The entry was read while it still had the focus, before the shelf took it.
        const QString output = harbelle.output();
        EXPECT_TRUE(output.contains(QStringLiteral("focusedElement=true")) &&
                    !output.contains(QStringLiteral("focusedElement=false")))
            << output.toStdString();
    }
}

// A Qt line edit on the accessibility path: the clip replaces only the selection, and the next
// key the user types follows the clip.
TEST_F(TargetPasteX11, AKeyTypedAfterAnInsertIntoAQtFieldFollowsTheClip) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    HarbelleProcess harbelle(kSystemShortcutOff, {QStringLiteral("--paste-diagnostics")});
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(QStringLiteral(", dear"), HarbelleProcess::Saved::asNewest));
    int pastes = 0;
    for (const QStringList& placement : {QStringList{"--caret", "5"}, QStringList{"--select", "0", "5"}}) {
        TextFieldProcess qt(QStringList{"--text", "hello world"} + placement);
        ASSERT_TRUE(qt.waitForWindow() && qt.activate());
        ASSERT_TRUE(fieldHasFocus(qt)) << "the field never shows its caret";
        ASSERT_NO_FATAL_FAILURE(chooseWithShelf("ctrl+1"));
        const QString pasted = placement.size() == 2 ? "hello, dear world" : ", dear world";
        ASSERT_TRUE(qt.waitForContent(pasted)) << qt.content().toStdString() << harbelle.output().toStdString();
        // The user types once the paste is over, as the text showing is not yet its end.
        ++pastes;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return harbelle.output().count(QStringLiteral("direct AX insertion succeeded")) == pastes; }, 10000))
            << harbelle.output().toStdString();
        ASSERT_TRUE(pressKeys("exclam"));
        EXPECT_TRUE(qt.waitForContent(QString(pasted).replace(" world", "! world"))) << qt.content().toStdString();
    }
}

// A GTK entry given the focus selects its whole text and takes the primary selection: a
// window that takes the keyboard a moment after it is activated, as on a busy machine, gets
// its entry's focus back without a grab, and the user's primary selection stays.
TEST_F(TargetPasteX11, APasteLeavesTheUsersPrimarySelectionWhereItWas) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    HarbelleProcess harbelle(HarbelleProcess::kDefaultSettings, {QStringLiteral("--paste-diagnostics")});
    ASSERT_TRUE(harbelle.waitUntilRunning());
    TextFieldProcess gtk({"--text", "hello world", "--caret", "5", "--slow-focus", "300"}, gtkFieldCommand());
    ASSERT_TRUE(gtk.waitForWindow() && gtk.activate());
    ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(QStringLiteral(", dear"), HarbelleProcess::Saved::asNewest));
    const QString selected = QStringLiteral("selected in another program");
    ASSERT_TRUE(copyWithXclip(selected, QStringLiteral("primary")));
    ASSERT_TRUE(gtk.activate());
    bool focused = false;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (focusedSelection(gtk.pid(), focused), focused); }, 5000));
    ASSERT_NO_FATAL_FAILURE(chooseWithShelf("ctrl+1"));
    EXPECT_TRUE(gtk.waitForContent(QStringLiteral("hello, dear world")))
        << "field: " << gtk.content().toStdString() << "\n" << harbelle.output().toStdString();
    QProcess primary;
    primary.start(QStringLiteral("xclip"), {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("primary")});
    ASSERT_TRUE(primary.waitForFinished(5000));
    EXPECT_EQ(QString::fromUtf8(primary.readAllStandardOutput()), selected) << harbelle.output().toStdString();
}

// The user typed in a program's first window, then went to its second window, which holds no
// field: the clip goes to that second window alone, on both paths, and the first window's field
// is neither written to nor brought back to the front.
TEST_F(TargetPasteX11, TheClipGoesOnlyToTheWindowActiveAtTheHotKey) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    const struct {
        const char* name;
        QStringList command;
    } programs[] = {{"GTK 3", gtkFieldCommand()}, {"Qt", {}}};
    int round = 0;
    for (const char* settings : {HarbelleProcess::kDefaultSettings, kSystemShortcutOff}) {
        HarbelleProcess harbelle(settings, {QStringLiteral("--paste-diagnostics")});
        ASSERT_TRUE(harbelle.waitUntilRunning());
        for (const auto& program : programs) {
            SCOPED_TRACE(std::string(settings) + " " + program.name);
            const QString clip = QStringLiteral("clip %1").arg(++round);
            TextFieldProcess field({"--text", "typed", "--caret", "5", "--second-window"}, program.command);
            ASSERT_TRUE(field.waitForWindow() && field.activate() && pressKeys("End"));
            ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(clip, HarbelleProcess::Saved::asNewest));
            ASSERT_TRUE(field.activate() && field.activateSecond());
            ASSERT_NO_FATAL_FAILURE(chooseWithShelf("ctrl+1"));
            // The paste ends (the clip is marked as pasted) with the second window in front.
            EXPECT_TRUE(QTest::qWaitFor(
                [&] {
                    for (const ClipItem& saved : harbelle.savedClips())
                        if (saved.text == clip.toStdString() && saved.lastReplayedAt) return true;
                    return false;
                },
                15000))
                << harbelle.output().toStdString();
            EXPECT_EQ(field.content().toStdString(), "typed") << harbelle.output().toStdString();
            const QString active = QString::fromUtf8([] {
                QProcess query;
                query.start(QStringLiteral("xdotool"), {QStringLiteral("getactivewindow")});
                query.waitForFinished(5000);
                return query.readAllStandardOutput();
            }()).trimmed();
            EXPECT_EQ(active.toStdString(), field.secondWindow().toStdString())
                << "first window " << field.window().toStdString();
        }
    }
}

// A field whose accessible insert answers yes and changes nothing gets the clip by its paste
// key, once.
TEST_F(TargetPasteX11, AFieldThatIgnoresTheInsertGetsTheClipByItsPasteKey) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    HarbelleProcess harbelle(kSystemShortcutOff, {QStringLiteral("--paste-diagnostics")});
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(QStringLiteral(", dear"), HarbelleProcess::Saved::asNewest));
    TextFieldProcess qt({"--text", "hello world", "--caret", "5", "--ignore-inserts"});
    ASSERT_TRUE(qt.waitForWindow() && qt.activate());
    ASSERT_NO_FATAL_FAILURE(chooseWithShelf("ctrl+1"));
    EXPECT_TRUE(qt.waitForContent(QStringLiteral("hello, dear world"), 15000))
        << qt.content().toStdString() << "\n" << harbelle.output().toStdString();
    EXPECT_TRUE(harbelle.output().contains(QStringLiteral("falling back to synthetic"))) << harbelle.output().toStdString();
}

// Tab to the next field and the hot key at once: the clip goes where Tab put the focus.
TEST_F(TargetPasteX11, TabAndTheHotKeyAtOncePasteIntoTheFieldTabbedTo) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    HarbelleProcess harbelle(HarbelleProcess::kDefaultSettings, {QStringLiteral("--paste-diagnostics")});
    ASSERT_TRUE(harbelle.waitUntilRunning());
    TextFieldProcess gtk({"--entries", "2", "--text", "first"}, gtkFieldCommand());
    ASSERT_TRUE(gtk.waitForWindow());
    for (int round = 1; round <= 8; ++round) {
        SCOPED_TRACE(round);
        const QString clip = QStringLiteral("tabbed %1").arg(round);
        ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(clip, HarbelleProcess::Saved::asNewest));
        // The first field has the focus (Tab wraps back to it from the second).
        ASSERT_TRUE(gtk.activate() && (round == 1 || pressKeys("Tab")));
        ASSERT_TRUE(runQuietly(QStringLiteral("xdotool"),
                               {QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("0"),
                                QStringLiteral("Tab"), QStringLiteral("shift+super+v")}));
        ASSERT_TRUE(shelfHasKeyboard()) << activeWindowName().toStdString() << "\n" << harbelle.output().toStdString();
        ASSERT_TRUE(pressKeys("ctrl+1"));
        // Tab selects the second field's text, which the clip replaces.
        EXPECT_TRUE(gtk.waitForContent(QStringLiteral("first\n") + clip, 15000))
            << gtk.content().toStdString() << "\n" << harbelle.output().toStdString();
    }
}

// A paste whose target closed, vanished or hung leaves nothing behind: the next hot key and
// Return paste the newest clip into the program the user is in.
TEST_F(TargetPasteX11, AFailedPasteLeavesTheNextOneWhole) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    HarbelleProcess harbelle(HarbelleProcess::kDefaultSettings, {QStringLiteral("--paste-diagnostics")});
    ASSERT_TRUE(harbelle.waitUntilRunning());
    TextFieldProcess other({"--text", ""}, gtkFieldCommand());
    ASSERT_TRUE(other.waitForWindow());
    enum class Gone { closed, unmapped, hung };
    int round = 0;
    for (Gone way : {Gone::closed, Gone::unmapped, Gone::hung}) {
        SCOPED_TRACE(way == Gone::closed ? "closed" : way == Gone::unmapped ? "unmapped" : "hung");
        ++round;
        ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(QStringLiteral("older %1").arg(round), HarbelleProcess::Saved::asNewest));
        auto target = std::make_unique<TextFieldProcess>(QStringList{"--text", "target"}, gtkFieldCommand());
        ASSERT_TRUE(target->waitForWindow() && target->activate());
        ASSERT_TRUE(openShelfWithHotKey());
        if (way == Gone::closed) target.reset();
        if (way == Gone::unmapped) {
            ASSERT_TRUE(runQuietly("xdotool", {"windowunmap", "--sync", target->window()}));
        }
        if (way == Gone::hung) target->stop();
        const qsizetype earlier = harbelle.output().size();
        ASSERT_TRUE(pressKeys("Return"));
        if (way == Gone::hung) {
            // Keys sent to a stopped program are no paste: the user is told, and nothing is
            // called done.
            const auto since = [&] { return harbelle.output().mid(earlier); };
            EXPECT_TRUE(QTest::qWaitFor([&] { return since().contains(QStringLiteral("paste failed")); }, 10000))
                << since().toStdString();
            EXPECT_FALSE(since().contains(QStringLiteral("paste done"))) << since().toStdString();
        }
        if (shelfWindowVisible()) {
            ASSERT_TRUE(pressKeys("Escape"));
        }
        const QString newest = QStringLiteral("newest %1").arg(round);
        ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(QStringLiteral("newer %1").arg(round), HarbelleProcess::Saved::asNewest));
        ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(newest, HarbelleProcess::Saved::asNewest));
        ASSERT_TRUE(other.activate());
        ASSERT_TRUE(openShelfWithHotKey());
        ASSERT_TRUE(pressKeys("Return"));
        EXPECT_TRUE(QTest::qWaitFor([&] { return other.content().endsWith(newest); }, 15000))
            << "field: " << other.content().toStdString() << " (wanted " << newest.toStdString() << " at the end)\n"
            << harbelle.output().toStdString();
    }
}

TEST_F(TargetPasteX11, AGtkTextViewGetsTheClipAtItsCaret) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    HarbelleProcess harbelle(HarbelleProcess::kDefaultSettings, {QStringLiteral("--paste-diagnostics")});
    ASSERT_TRUE(harbelle.waitUntilRunning());
    TextFieldProcess view({QStringLiteral("--textview"), QStringLiteral("--text"), QStringLiteral("hello world"),
                           QStringLiteral("--caret"), QStringLiteral("5")},
                          gtkFieldCommand());
    ASSERT_TRUE(view.waitForWindow());
    ASSERT_TRUE(view.activate());
    ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(QStringLiteral(" big"), HarbelleProcess::Saved::asNewest));
    ASSERT_TRUE(view.activate());
    ASSERT_NO_FATAL_FAILURE(chooseWithShelf("ctrl+1"));
    EXPECT_TRUE(view.waitForContent(QStringLiteral("hello big world")))
        << view.content().toStdString() << "\n" << harbelle.output().toStdString();
}

TEST_F(TargetPasteX11, ATerminalGetsItsOwnPasteKey) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    HarbelleProcess harbelle(HarbelleProcess::kDefaultSettings, {QStringLiteral("--paste-diagnostics")});
    ASSERT_TRUE(harbelle.waitUntilRunning());
    TerminalProcess terminal(QStringLiteral("lxterminal"), QStringLiteral("Harbelle terminal"));
    ASSERT_TRUE(terminal.waitForWindow()) << "lxterminal is needed";
    ASSERT_TRUE(terminal.activate());
    ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(QStringLiteral("echo from the shelf"), HarbelleProcess::Saved::asNewest));
    ASSERT_TRUE(terminal.activate());
    ASSERT_NO_FATAL_FAILURE(chooseWithShelf("ctrl+1"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return terminal.typed() == QStringLiteral("echo from the shelf"); }, 5000))
        << "cat received: \"" << terminal.typed().toStdString() << "\"\n" << harbelle.output().toStdString();
    report("lxterminal");
}

// xterm pastes only the primary selection, with Shift+Insert.
TEST_F(TargetPasteX11, XtermGetsTheClipChosenOnTheShelf) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    HarbelleProcess harbelle(HarbelleProcess::kDefaultSettings, {QStringLiteral("--paste-diagnostics")});
    ASSERT_TRUE(harbelle.waitUntilRunning());
    TerminalProcess xterm(QStringLiteral("xterm"), QStringLiteral("Harbelle xterm"));
    ASSERT_TRUE(xterm.waitForWindow()) << "xterm is needed";
    const QString older = QStringLiteral("make test");
    ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(older, HarbelleProcess::Saved::asNewest));
    ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(QStringLiteral("git status"), HarbelleProcess::Saved::asNewest));
    ASSERT_TRUE(xterm.activate());
    ASSERT_NO_FATAL_FAILURE(chooseWithShelf("ctrl+2"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return xterm.typed() == older; }, 5000))
        << "cat received: \"" << xterm.typed().toStdString() << "\"\n" << harbelle.output().toStdString();
    report("xterm");
    EXPECT_TRUE(harbelle.waitUntilSaved(older, HarbelleProcess::Saved::asNewest)) << "marked as pasted, moved up";
}

// GTK 4 names no focused element and Tk is not on the bus: the keys go out as soon as the
// window is in front, not after the restore attempts have run out.
TEST_F(TargetPasteX11, FieldsOfferingNoFocusedElementGetTheirPasteWithinASecond) {
    ASSERT_TRUE(bus.ok()) << "the session has no accessibility bus";
    HarbelleProcess harbelle(HarbelleProcess::kDefaultSettings, {QStringLiteral("--paste-diagnostics")});
    ASSERT_TRUE(harbelle.waitUntilRunning());
    const struct {
        const char* name;
        QStringList command;
    } fields[] = {
        {"GTK 4 entry", QStringList{gtkFieldCommand()} << QStringLiteral("--gtk") << QStringLiteral("4")},
        {"Tk entry", {QStringLiteral("/usr/bin/python3"), QStringLiteral(HARBELLE_TK_FIELD)}},
    };
    int round = 0;
    for (const auto& kind : fields) {
        SCOPED_TRACE(kind.name);
        const QString clip = QStringLiteral("pasted %1").arg(++round);
        TextFieldProcess field({QStringLiteral("--text"), QStringLiteral("typed "), QStringLiteral("--caret"),
                                QStringLiteral("6")},
                               kind.command);
        ASSERT_TRUE(field.waitForWindow()) << kind.name << " is needed";
        ASSERT_TRUE(field.activate());
        ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(clip, HarbelleProcess::Saved::asNewest));
        ASSERT_TRUE(field.activate());
        ASSERT_NO_FATAL_FAILURE(chooseWithShelf("ctrl+1"));
        EXPECT_TRUE(field.waitForContent(QStringLiteral("typed ") + clip, 1000))
            << "field: " << field.content().toStdString() << "\n" << harbelle.output().toStdString();
        report(kind.name);
        EXPECT_TRUE(field.waitForContent(QStringLiteral("typed ") + clip));
    }
    const QString output = harbelle.output();
    EXPECT_EQ(output.count(QStringLiteral("target offers no focused element; sending the paste keys at once")), 2)
        << output.toStdString();
    EXPECT_FALSE(output.contains(QStringLiteral("timed out"))) << output.toStdString();
}

}  // namespace
}  // namespace harbelle::testing
