// The real program pasting into other programs' windows, chosen from the shelf with Ctrl+1: a
// GTK entry keeps the text around its caret, a terminal gets its own paste key, xterm (which
// has no clipboard key) its primary selection, and programs that offer no focused
// element get their keys at once. Each paste's time from Ctrl+1 is printed.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <iostream>

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

// The selection of the process's focused field as a screen reader reads it; none when the
// field has no selection or could not be read.
std::optional<TextRange> focusedSelection(qint64 pid, bool& read) {
    AtspiAccessibility ax;
    QObject context;
    std::optional<TextRange> selection;
    read = false;
    ax.focusedElement(pid, Milliseconds(2000), &context, [&](AXResult<AXElement> found) {
        if (!found.ok() || !found.value) return;
        ax.readElement(found.value, Milliseconds(2000), &context, [&](AXResult<ElementInfo> info) {
            selection = info.value.selection;
            read = info.ok();
        });
    });
    (void)QTest::qWaitFor([&] { return read; }, 5000);
    return selection;
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
    for (const QStringList& placement : {QStringList{"--caret", "5"}, QStringList{"--select", "0", "5"}}) {
        TextFieldProcess qt(QStringList{"--text", "hello world"} + placement);
        ASSERT_TRUE(qt.waitForWindow() && qt.activate());
        ASSERT_NO_FATAL_FAILURE(chooseWithShelf("ctrl+1"));
        const QString pasted = placement.size() == 2 ? "hello, dear world" : ", dear world";
        ASSERT_TRUE(qt.waitForContent(pasted)) << qt.content().toStdString() << harbelle.output().toStdString();
        ASSERT_TRUE(pressKeys("exclam"));
        EXPECT_TRUE(qt.waitForContent(QString(pasted).replace(" world", "! world"))) << qt.content().toStdString();
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
    ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(older));
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
