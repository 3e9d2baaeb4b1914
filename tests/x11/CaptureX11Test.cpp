// The clipboard and workspace layers against a real X server, window manager and outside
// clients (our probe and xclip).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <fstream>

#include "history/ClipPasteboardPayload.h"
#include "history/PasteboardCaptureReader.h"
#include "platform/linux/LinuxPasteboard.h"
#include "platform/linux/LinuxWorkspace.h"
#include "support/ClipBuilder.h"

using namespace harbelle;
using Content = PasteboardCapture::Content;

namespace {

// A started helper, killed by pid when the test ends.
struct Helper {
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    Helper(const QString& program, const QStringList& arguments) {
        // xclip keeps whatever output it inherits: give it none.
        process->setStandardOutputFile(QProcess::nullDevice());
        process->setStandardErrorFile(QProcess::nullDevice());
        process->start(program, arguments);
        process->waitForStarted();
    }
    ~Helper() {
        if (process->state() == QProcess::NotRunning) return;
        signal(SIGCONT);
        process->kill();
        process->waitForFinished(2000);
    }
    ProcessID pid() const { return process->processId(); }
    // Only ever to the helper itself: a pid of 0 would signal our whole process group.
    bool signal(int number) const {
        const pid_t target = static_cast<pid_t>(process->processId());
        return process->state() == QProcess::Running && target > 0 && ::kill(target, number) == 0;
    }
};

struct X11Fixture : ::testing::Test {
    QTemporaryDir dir;
    LinuxPasteboard pasteboard;
    LinuxWorkspace workspace;
    PasteboardCaptureReader reader{pasteboard, workspace, static_cast<ProcessID>(::getpid())};

    QString file(const QString& name, const std::string& contents) {
        const QString path = dir.filePath(name);
        std::ofstream(path.toStdString(), std::ios::binary) << contents;
        return path;
    }
    // Starts the probe owning the clipboard with these offers and waits until Qt saw it.
    std::unique_ptr<Helper> own(const std::vector<std::pair<QString, std::string>>& offers) {
        QStringList arguments{"own"};
        int n = 0;
        for (const auto& [type, contents] : offers)
            arguments << type + "=" + file(QString("offer%1").arg(n++), contents);
        return startOwner(HARBELLE_X11_PROBE, arguments);
    }
    // Waits until the helper owns the clipboard and Qt has counted that change (an earlier
    // owner's exit may still be on its way).
    std::unique_ptr<Helper> startOwner(const QString& program, const QStringList& arguments) {
        auto helper = std::make_unique<Helper>(program, arguments);
        if (!QTest::qWaitFor([&] { return workspace.clipboardOwnerProcess() == helper->pid(); }, 5000))
            ADD_FAILURE() << "the helper never owned the clipboard";
        const auto before = pasteboard.changeCount();
        (void)QTest::qWaitFor([&] { return pasteboard.changeCount() != before; }, 300);
        return helper;
    }
};

TEST_F(X11Fixture, TextWithHTMLFromAnOutsideOwner) {
    auto owner = own({{"UTF8_STRING", "\nHello from outside\n"}, {"text/html", "<b>Hello</b> from outside"}});
    const auto types = pasteboard.types();
    EXPECT_NE(std::find(types.begin(), types.end(), "text/plain;charset=utf-8"), types.end());
    EXPECT_EQ(std::find(types.begin(), types.end(), "TARGETS"), types.end());

    auto capture = reader.read({});
    ASSERT_EQ(capture.content, Content::text);
    EXPECT_EQ(capture.text, "Hello from outside");
    const std::string html = "<b>Hello</b> from outside";
    EXPECT_EQ(capture.html, Bytes(html.begin(), html.end()));
    EXPECT_FALSE(capture.rtf);
    // No window is active here, so the clipboard's owner names the source.
    EXPECT_EQ(workspace.clipboardOwnerProcess(), owner->pid());
    EXPECT_EQ(capture.sourceAppName, "harbelle_x11_pr");
}

TEST_F(X11Fixture, FileURLsOfTwoFiles) {
    const QString a = file("first file.txt", "1"), b = file("second.txt", "2");
    auto owner = own({{"text/uri-list", fileURLString(a.toStdString()) + "\r\n" + fileURLString(b.toStdString())},
                      {"UTF8_STRING", "ignored"}});
    auto capture = reader.read({});
    ASSERT_EQ(capture.content, Content::files);
    EXPECT_EQ(capture.filePaths, (std::vector<std::string>{a.toStdString(), b.toStdString()}));
}

TEST_F(X11Fixture, APasswordManagerHintIsNeverCaptured) {
    auto owner = own({{"UTF8_STRING", "hunter2"}, {"x-kde-passwordManagerHint", "secret"}});
    auto capture = reader.read(CaptureSettings{true, false});
    EXPECT_EQ(capture.skipReason, PasteboardCapture::SkipReason::marked);

    owner = own({{"UTF8_STRING", "hunter2"}});
    EXPECT_EQ(reader.read(CaptureSettings{true, false}).text, "hunter2") << "the same text without the hint is read";
}

TEST_F(X11Fixture, LargeTextArrivesInIncrements) {
    std::string text(3 * 1024 * 1024, 'x');
    for (std::size_t i = 0; i < text.size(); i += 97) text[i] = '\n';
    text.front() = text.back() = 'y';
    const QString path = file("large.txt", text);
    auto xclip = startOwner("xclip", {"-quiet", "-selection", "clipboard", "-t", "UTF8_STRING", "-i", path});
    auto capture = reader.read({});
    ASSERT_EQ(capture.content, Content::text);
    EXPECT_EQ(capture.text, text);
}

TEST_F(X11Fixture, OurLinkPayloadReadsBackThroughXclip) {
    ClipItem link = harbelle::testing::ClipBuilder("https://example.com/harbelle", ClipKind::link);
    const std::string html = "<a href=\"https://example.com/harbelle\">Harbelle</a>";
    link.htmlData = Bytes(html.begin(), html.end());
    auto objects = ClipPasteboardPayload::objects(link, std::nullopt, false, false, {});
    const auto before = pasteboard.changeCount();
    ASSERT_TRUE(pasteboard.write(objects));
    EXPECT_NE(pasteboard.changeCount(), before) << "the count moves before write returns";

    auto readBack = [](const QString& type) {
        QProcess xclip;
        xclip.setStandardErrorFile(QProcess::nullDevice());
        xclip.start("xclip", {"-o", "-selection", "clipboard", "-t", type});
        // We own the clipboard: keep serving it while xclip asks.
        if (!QTest::qWaitFor([&] { return xclip.state() == QProcess::NotRunning; }, 5000)) xclip.kill();
        return xclip.readAllStandardOutput().toStdString();
    };
    EXPECT_EQ(readBack("text/html"), html);
    EXPECT_EQ(readBack("text/uri-list"), "https://example.com/harbelle\r\n");
    EXPECT_EQ(readBack("UTF8_STRING"), link.text);
    // Reading our own contents does not ask the X server to ask us.
    EXPECT_EQ(pasteboard.string(pasteboardtype::plainText), link.text);
}

TEST_F(X11Fixture, AStoppedOwnerDoesNotHoldTheReader) {
    auto owner = own({{"UTF8_STRING", "frozen"}, {"text/html", "<i>frozen</i>"}});
    ASSERT_TRUE(owner->signal(SIGSTOP));
    QElapsedTimer timer;
    timer.start();
    auto capture = reader.read({});
    const auto elapsed = timer.elapsed();
    EXPECT_LT(elapsed, 1500) << "bound on the wait, not a speed target";
    EXPECT_FALSE(capture.hasContent());
    owner->signal(SIGCONT);
    // A change gets one waiting budget; the next owner is read in full.
    owner = own({{"UTF8_STRING", "awake"}});
    EXPECT_EQ(reader.read({}).text, "awake");
}

// Qt hears that it lost the clipboard only when its event loop turns; a stopped owner taking
// over just before must still get the reader's bound, not Qt's own wait.
TEST_F(X11Fixture, AStoppedOwnerQtHasNotHeardOfYetDoesNotHoldTheReader) {
    QGuiApplication::clipboard()->setText(QStringLiteral("ours"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return workspace.clipboardOwnerProcess() == ::getpid(); }, 5000));
    Helper owner(HARBELLE_X11_PROBE, {"own", "UTF8_STRING=" + file("offer", "frozen")});
    QElapsedTimer timer;
    timer.start();  // no event loop from here on
    while (workspace.clipboardOwnerProcess() != owner.pid() && timer.elapsed() < 5000) ::usleep(2000);
    ASSERT_TRUE(owner.signal(SIGSTOP));
    ASSERT_TRUE(QGuiApplication::clipboard()->ownsClipboard()) << "Qt heard of the new owner already";
    timer.restart();
    const auto capture = reader.read({});
    EXPECT_LT(timer.elapsed(), 1500);
    EXPECT_NE(capture.text, "ours");
    owner.signal(SIGCONT);
}

TEST_F(X11Fixture, AnOwnerThatExitsLeavesNothingToCapture) {
    auto owner = own({{"UTF8_STRING", "short-lived"}});
    const auto before = pasteboard.changeCount();
    owner.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return pasteboard.changeCount() != before; }, 5000));
    auto capture = reader.read({});
    EXPECT_FALSE(capture.hasContent());
    EXPECT_EQ(capture.skipReason, PasteboardCapture::SkipReason::nothingUseful);

    owner = own({{"UTF8_STRING", "long-lived"}});
    EXPECT_EQ(reader.read({}).text, "long-lived");
}

TEST_F(X11Fixture, WorkspaceFollowsAndSwitchesTheActiveWindow) {
    std::vector<std::optional<RunningApplication>> seen;
    workspace.addActivationObserver([&](const auto& app) { seen.push_back(app); });

    Helper probe(HARBELLE_X11_PROBE, {"window", "HarbelleProbe"});
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            auto app = workspace.frontmostApplication();
            return app && app->bundleIdentifier == "HarbelleProbe";
        },
        5000));
    auto front = workspace.frontmostApplication();
    EXPECT_EQ(front->processIdentifier, probe.pid());
    EXPECT_EQ(front->localizedName, "HarbelleProbe");
    const auto probeWindow = workspace.frontmostWindow();
    EXPECT_EQ(workspace.runningApplication(probe.pid())->bundleIdentifier, "HarbelleProbe");

    QWidget widget;
    widget.resize(200, 100);
    widget.show();
    widget.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return isThisProgram(workspace.frontmostApplication(), ::getpid()); }, 5000));

    // Qt repeats its own activation request once the window is exposed: wait for both.
    ASSERT_TRUE(QTest::qWaitForWindowActive(&widget));
    ASSERT_TRUE(workspace.activate(probe.pid()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return workspace.frontmostWindow() == probeWindow; }, 5000));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !seen.empty() && seen.back() && seen.back()->processIdentifier == probe.pid(); }, 2000));
    EXPECT_FALSE(workspace.screenReaderEnabled());
}

}  // namespace
