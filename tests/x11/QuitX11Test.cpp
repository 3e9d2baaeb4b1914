// Quitting the real program while it works in the background: it ends at once, with its history
// written, and lets go of the clipboard.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <sys/stat.h>
#include <csignal>
#include <cstdio>
#include <optional>
#include <QProcess>
#include <QTest>

#include "HarbelleProcess.h"
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

const ClipItem* imageClip(const std::vector<ClipItem>& clips) {
    for (const auto& clip : clips)
        if (clip.payloadFilename) return &clip;
    return nullptr;
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

    const qint64 firstPid = harbelle.process().processId();
    const QString lockFile = harbelle.path(QStringLiteral("XDG_DATA_HOME/Pemberlow/.instance.lock"));
    ASSERT_EQ(lockHolders(lockFile), std::vector<qint64>{firstPid});
    QElapsedTimer quitting;
    quitting.start();
    ::kill(static_cast<pid_t>(firstPid), SIGTERM);
    // A launch while the first one ends waits for it: the lock never has two holders, and the
    // first one holds it until it is gone.
    QTest::qWait(100);
    HarbelleProcess relaunch(harbelle, {});
    while (harbelle.process().state() != QProcess::NotRunning && quitting.elapsed() < 10000) {
        const auto holders = lockHolders(lockFile);
        ASSERT_EQ(holders, std::vector<qint64>{firstPid}) << "at " << quitting.elapsed() << " ms";
        harbelle.process().waitForFinished(20);
    }
    ASSERT_EQ(harbelle.process().state(), QProcess::NotRunning) << "the program does not end";
    const qint64 took = quitting.elapsed();
    EXPECT_TRUE(QTest::qWaitFor([&] { return lockHolders(lockFile) == std::vector<qint64>{relaunch.process().processId()}; },
                                15000))
        << "the later launch takes over once the first one is gone";
    std::printf("SIGTERM during recognition: the process ended after %lld ms\n", static_cast<long long>(took));
    EXPECT_LT(took, 2000);
    EXPECT_EQ(harbelle.process().exitStatus(), QProcess::NormalExit);

    const auto clips = harbelle.savedClips();
    const ClipItem* image = imageClip(clips);
    ASSERT_NE(image, nullptr) << harbelle.history().toStdString();
    EXPECT_TRUE(image->searchableText.empty()) << "the page was read before the quit, so nothing was cancelled";
    EXPECT_NE(pasteWithXclip(1000), std::nullopt) << "another program's paste waits for the dead owner";
}

}  // namespace
}  // namespace harbelle::testing
