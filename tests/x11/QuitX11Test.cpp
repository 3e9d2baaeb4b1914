// Quitting the real program while it works in the background: it ends at once, with its history
// written, and lets go of the clipboard.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRect>
#include <sys/stat.h>
#include <csignal>
#include <cstdio>
#include <optional>
#include <QProcess>
#include <QTest>

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "HarbelleProcess.h"
#include "TestUpdateFeed.h"
#include "support/LocalHttpsServer.h"
#include "support/TextPage.h"

namespace harbelle::testing {
namespace {

bool copyImageWithXclip(const QString& file) {
    QProcess xclip;
    xclip.setStandardOutputFile(QProcess::nullDevice());
    xclip.setStandardErrorFile(QProcess::nullDevice());
    xclip.start(QStringLiteral("xclip"), {QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-t"),
                                          QStringLiteral("image/png"), QStringLiteral("-i"), file});
    return xclip.waitForFinished(5000) && xclip.exitCode() == 0;
}

// What `xclip -o` in another program reads; nullopt when it has not answered within `timeoutMs`.
std::optional<QString> pasteWithXclip(int timeoutMs) {
    QProcess xclip;
    xclip.setStandardErrorFile(QProcess::nullDevice());
    xclip.start(QStringLiteral("xclip"), {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard")});
    if (!xclip.waitForFinished(timeoutMs)) {
        xclip.kill();
        xclip.waitForFinished(1000);
        return std::nullopt;
    }
    return QString::fromUtf8(xclip.readAllStandardOutput());
}

// The processes holding the lock on `file` (flock), from the kernel's table.
std::vector<qint64> lockHolders(const QString& file) {
    struct stat info {};
    if (::stat(QFile::encodeName(file).constData(), &info) != 0) return {};
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly)) return {};
    std::vector<qint64> holders;
    const QByteArray inode = ':' + QByteArray::number(static_cast<qulonglong>(info.st_ino));
    for (const QByteArray& line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 5 && fields[1] == "FLOCK" && fields[5].endsWith(inode)) holders.push_back(fields[4].toLongLong());
    }
    return holders;
}

// Gone, or a zombie that only waits to be reaped.
bool hasEnded(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return true;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) == "Z" || line.mid(close + 2, 1) == "X";
}

const ClipItem* imageClip(const std::vector<ClipItem>& clips) {
    for (const auto& clip : clips)
        if (clip.payloadFilename) return &clip;
    return nullptr;
}

// SIGTERM, and a second launch on the same folders 100 ms later: it waits for the first one to
// end, the lock never has two holders, and it passes to the second only once the first is gone.
// How long the first one took to end, in ms; -1 when it did not end within 10 s.
qint64 terminateWhileRelaunching(HarbelleProcess& harbelle) {
    const qint64 firstPid = harbelle.process().processId();
    const QString lockFile = harbelle.path(QStringLiteral("XDG_DATA_HOME/Pemberlow/.instance.lock"));
    EXPECT_EQ(lockHolders(lockFile), std::vector<qint64>{firstPid});
    QElapsedTimer quitting;
    quitting.start();
    ::kill(static_cast<pid_t>(firstPid), SIGTERM);
    QTest::qWait(100);
    HarbelleProcess relaunch(harbelle, {});
    bool alone = true;
    while (harbelle.process().state() != QProcess::NotRunning && quitting.elapsed() < 10000) {
        // The kernel lets the lock go as the process ends, a moment before it is seen as ended.
        if (lockHolders(lockFile) != std::vector<qint64>{firstPid} && alone &&
            !QTest::qWaitFor([&] { return hasEnded(firstPid); }, 200)) {
            alone = false;
            ADD_FAILURE() << "the lock changed hands " << quitting.elapsed() << " ms after SIGTERM, before the end";
        }
        harbelle.process().waitForFinished(20);
    }
    if (harbelle.process().state() != QProcess::NotRunning) return -1;
    const qint64 took = quitting.elapsed();
    EXPECT_EQ(harbelle.process().exitStatus(), QProcess::NormalExit);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return lockHolders(lockFile) == std::vector<qint64>{relaunch.process().processId()}; }, 15000))
        << "the later launch takes over once the first one is gone";
    return took;
}

TEST(HarbelleQuitX11, SigtermWhileAPageIsReadEndsAtOnceAndLetsGoOfTheClipboard) {
    // The clipboard is taken at launch; a picture an earlier test left there would be read.
    ASSERT_TRUE(copyWithXclip(QStringLiteral("before the page")));
    HarbelleProcess harbelle;
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_TRUE(harbelle.waitUntilSaved(QStringLiteral("before the page")));

    const QString page = harbelle.path(QStringLiteral("page.png"));
    ASSERT_TRUE(textPage().save(page));
    ASSERT_TRUE(copyImageWithXclip(page));
    // Saved within a second of the copy; reading 140 lines takes the engine many seconds.
    ASSERT_TRUE(QTest::qWaitFor([&] { return imageClip(harbelle.savedClips()) != nullptr; }, 10000))
        << harbelle.history().toStdString();

    // The program itself owns the clipboard: a card copied from the shelf.
    ASSERT_TRUE(pressKeys("super+shift+v"));
    ASSERT_TRUE(QTest::qWaitFor([] { return shelfWindowVisible(); }, 5000));
    ASSERT_TRUE(pressKeys("ctrl+2"));
    ASSERT_TRUE(QTest::qWaitFor([] { return pasteWithXclip(2000) == QStringLiteral("before the page"); }, 5000));

    const qint64 took = terminateWhileRelaunching(harbelle);
    std::printf("SIGTERM during recognition: the process ended after %lld ms\n", static_cast<long long>(took));
    ASSERT_GE(took, 0) << "the program does not end";
    EXPECT_LT(took, 2000);

    const auto clips = harbelle.savedClips();
    const ClipItem* image = imageClip(clips);
    ASSERT_NE(image, nullptr) << harbelle.history().toStdString();
    EXPECT_TRUE(image->searchableText.empty()) << "the page was read before the quit, so nothing was cancelled";
    EXPECT_NE(pasteWithXclip(1000), std::nullopt) << "another program's paste waits for the dead owner";
}

// The clipboard is polled every 0.4 s: a quit right after a copy comes before the poll has read
// it, and the copy must still be in the history.
TEST(HarbelleQuitX11, SigtermRightAfterACopyKeepsTheCopy) {
    for (int round = 0; round < 2; ++round) {
        const QString before = QStringLiteral("before the quit %1").arg(round);
        ASSERT_TRUE(copyWithXclip(before));
        HarbelleProcess harbelle;
        ASSERT_TRUE(harbelle.waitUntilRunning());
        ASSERT_TRUE(harbelle.waitUntilSaved(before));
        const QString copied = QStringLiteral("copied right before the quit %1").arg(round);
        ASSERT_TRUE(copyWithXclip(copied));
        ASSERT_TRUE(QTest::qWaitFor([&] { return pasteWithXclip(2000) == copied; }, 5000));  // on the clipboard
        ::kill(static_cast<pid_t>(harbelle.process().processId()), SIGTERM);
        ASSERT_TRUE(harbelle.process().waitForFinished(10000)) << "the program does not end";
        const auto texts = harbelle.savedTexts();
        EXPECT_NE(std::find(texts.begin(), texts.end(), copied.toStdString()), texts.end())
            << "round " << round << ": " << harbelle.history().toStdString();
    }
}

// Settings of a user who chose automatic downloads, with nothing checked on a schedule.
constexpr const char* kDownloadsSettings =
    R"({"hasLaunchedPemberlow": true, "pasteDirectly": false, "harbelle.automaticUpdateCheckChoiceRecorded": true,
        "SUEnableAutomaticChecks": false, "SUAutomaticallyUpdate": true})";

// "Check for Updates…" in the program's settings window, clicked where a screen reader shows it.
bool clickCheckForUpdates(qint64 pid) {
    return QTest::qWaitFor(
        [pid] {
            QProcess reader;
            reader.setStandardErrorFile(QProcess::nullDevice());
            reader.start(QStringLiteral(HARBELLE_SCREEN_READER), {QString::number(pid)});
            if (!reader.waitForFinished(10000)) return false;
            for (const QByteArray& line : reader.readAllStandardOutput().split('\n')) {
                const QList<QByteArray> fields = line.split('\t');
                if (fields.size() != 6 || fields[0] != "push button" || QString::fromUtf8(fields[1]) != QStringLiteral("Check for Updates\u2026"))
                    continue;
                const QRect button(fields[2].toInt(), fields[3].toInt(), fields[4].toInt(), fields[5].toInt());
                if (button.isEmpty()) continue;
                return runQuietly(QStringLiteral("xdotool"),
                                  {QStringLiteral("mousemove"), QString::number(button.center().x()),
                                   QString::number(button.center().y()), QStringLiteral("click"), QStringLiteral("1")});
            }
            return false;
        },
        20000);
}

// A server on the loopback interface that accepts connections and never says a word.
class SilentServer {
public:
    SilentServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(listener_, 8) == 0 &&
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            for (int fd; (fd = ::accept(listener_, nullptr, nullptr)) >= 0;) {
                held_.push_back(fd);
                ++accepted_;
                // The client's first bytes (its TLS hello): it now waits for an answer. The
                // client's end closing wakes this too.
                pollfd readable{fd, POLLIN, 0};
                if (::poll(&readable, 1, 10000) > 0 && (readable.revents & POLLIN)) ++greeted_;
            }
        });
    }
    ~SilentServer() {
        ::shutdown(listener_, SHUT_RDWR);  // ends the accept
        thread_.join();
        for (int fd : held_) ::close(fd);
        ::close(listener_);
    }
    std::string url(const char* path) const { return "https://127.0.0.1:" + std::to_string(port_) + path; }
    int accepted() const { return accepted_; }
    int greeted() const { return greeted_; }

private:
    int listener_ = -1;
    int port_ = 0;
    std::vector<int> held_;
    std::atomic<int> accepted_{0};
    std::atomic<int> greeted_{0};
    std::thread thread_;
};

TEST(HarbelleQuitX11, SigtermWhileTheFeedDoesNotAnswerEndsAtOnce) {
    SilentServer feed;
    const TestFeed testFeed(feed.url("/appcast.xml"));
    ASSERT_TRUE(copyWithXclip(QStringLiteral("before the check")));
    HarbelleProcess harbelle(kDownloadsSettings, {QStringLiteral("--show-settings")});
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_TRUE(harbelle.waitUntilSaved(QStringLiteral("before the check")));
    ASSERT_TRUE(clickCheckForUpdates(harbelle.process().processId()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return feed.greeted() > 0; }, 5000)) << "the check never reached the feed";

    const qint64 took = terminateWhileRelaunching(harbelle);
    std::printf("SIGTERM while the feed does not answer: the process ended after %lld ms\n", static_cast<long long>(took));
    ASSERT_GE(took, 0) << "the program does not end";
    EXPECT_LT(took, 2000);
    EXPECT_EQ(harbelle.savedTexts(), std::vector<std::string>{"before the check"});
}

TEST(HarbelleQuitX11, SigtermDuringASlowDownloadEndsAtOnceAndRemovesThePartialFile) {
    LocalHttpsServer server;
    constexpr std::size_t kSize = 1'000'000;
    server.get("/appcast.xml", [&server](const httplib::Request&, httplib::Response& r) {
        r.set_content(R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel><title>Harbelle</title>
<item><title>Harbelle 999</title><sparkle:version>999</sparkle:version><enclosure url=")" +
                          server.url("/Harbelle-999.tar.gz") + R"(" length=")" + std::to_string(kSize) +
                          R"(" type="application/octet-stream" sparkle:edSignature="c2lnbmF0dXJl"/></item></channel></rss>)",
                      "application/xml");
    });
    // A byte every 50 ms: the whole file would take most of a day.
    server.get("/Harbelle-999.tar.gz", [](const httplib::Request&, httplib::Response& r) {
        r.set_content_provider(kSize, "application/octet-stream", [](std::size_t, std::size_t, httplib::DataSink& sink) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return sink.write("x", 1);
        });
    });
    server.start();
    const TestFeed testFeed(server.url("/appcast.xml"), server.caFile());
    ASSERT_TRUE(copyWithXclip(QStringLiteral("before the download")));
    HarbelleProcess harbelle(kDownloadsSettings, {QStringLiteral("--show-settings")});
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_TRUE(harbelle.waitUntilSaved(QStringLiteral("before the download")));
    ASSERT_TRUE(clickCheckForUpdates(harbelle.process().processId()));
    const QString partial = harbelle.path(QStringLiteral("XDG_CACHE_HOME/Harbelle/Updates/.Harbelle-999.tar.gz.part"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(partial).size() >= 3; }, 10000))
        << "the download never started; stderr:\n" << harbelle.errorOutput().toStdString();

    const qint64 took = terminateWhileRelaunching(harbelle);
    std::printf("SIGTERM during a slow download: the process ended after %lld ms\n", static_cast<long long>(took));
    ASSERT_GE(took, 0) << "the program does not end";
    EXPECT_LT(took, 2000);
    EXPECT_FALSE(QFileInfo::exists(partial)) << "the partial download is left behind";
    EXPECT_EQ(harbelle.savedTexts(), std::vector<std::string>{"before the download"});
}

}  // namespace
}  // namespace harbelle::testing
