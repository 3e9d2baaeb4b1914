// The real program against a hostile machine: a second launch, the hot key with the shelf
// focused, an image that claims a quarter of a gigapixel.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTest>
#include <cstdio>

#include "HarbelleProcess.h"

namespace harbelle::testing {
namespace {

// Peak resident memory of a running process, in megabytes; -1 when unknown.
long peakResidentMegabytes(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (!line.startsWith("VmHWM:")) continue;
        return line.mid(6).trimmed().split(' ').value(0).toLong() / 1024;
    }
    return -1;
}

bool focusShelfWindow() {
    return runQuietly(QStringLiteral("xdotool"),
                      {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                       QStringLiteral("^Harbelle$"), QStringLiteral("windowactivate"), QStringLiteral("--sync")});
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

TEST(HarbelleProgramX11, ASecondLaunchReopensTheRunningOneAndExits) {
    HarbelleProcess first(HarbelleProcess::kCopyOnlySettings, {}, /*startNow=*/false);
    // Temporary files of saves killed midway, and look-alikes that are not ours.
    const QString stale[] = {first.path(QStringLiteral("XDG_DATA_HOME/Pemberlow/.history.json.tmp-a1B2c3")),
                             first.path(QStringLiteral("XDG_CONFIG_HOME/.com.harbelleapp.Harbelle.json.tmp-x9Y8z7"))};
    const QString kept = first.path(QStringLiteral("XDG_DATA_HOME/Pemberlow/.history.json.tmp-not.ours"));
    for (const QString& path : stale) writeFile(path, "partial");
    writeFile(kept, "partial");

    first.start();
    ASSERT_TRUE(first.waitUntilRunning());
    for (const QString& path : stale) EXPECT_FALSE(QFile::exists(path)) << path.toStdString();
    EXPECT_TRUE(QFile::exists(kept));
    EXPECT_FALSE(shelfWindowVisible());

    HarbelleProcess second(first, {});
    ASSERT_TRUE(second.process().waitForFinished(15000)) << "the second launch must not keep running";
    EXPECT_EQ(second.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.process().exitCode(), 0);
    EXPECT_TRUE(QTest::qWaitFor([] { return shelfWindowVisible(); }, 5000)) << "the first one reopens";
    EXPECT_EQ(first.process().state(), QProcess::Running);

    // Reports still run beside it, and so does a demo.
    HarbelleProcess report(first, {QStringLiteral("--diagnose-permissions")});
    ASSERT_TRUE(report.process().waitForFinished(15000));
    EXPECT_EQ(report.process().exitCode(), 0);
    HarbelleProcess demo(first, {QStringLiteral("--demo")});
    QTest::qWait(2000);
    EXPECT_EQ(demo.process().state(), QProcess::Running);
}

TEST(HarbelleProgramX11, TheHotKeyClosesTheShelfWhileItHasTheFocus) {
    HarbelleProcess harbelle;
    ASSERT_TRUE(harbelle.waitUntilRunning());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(pressKeys("super+shift+v"));
        ASSERT_TRUE(QTest::qWaitFor([] { return shelfWindowVisible(); }, 5000));
        ASSERT_TRUE(focusShelfWindow());
        ASSERT_TRUE(pressKeys("super+shift+v"));
        EXPECT_TRUE(QTest::qWaitFor([] { return !shelfWindowVisible(); }, 5000)) << "the key closes a focused shelf";
    }
    // Closed by Escape, the shelf opens again at the next press.
    ASSERT_TRUE(pressKeys("super+shift+v"));
    ASSERT_TRUE(QTest::qWaitFor([] { return shelfWindowVisible(); }, 5000));
    ASSERT_TRUE(focusShelfWindow());
    ASSERT_TRUE(pressKeys("Escape"));
    ASSERT_TRUE(QTest::qWaitFor([] { return !shelfWindowVisible(); }, 5000));
    ASSERT_TRUE(pressKeys("super+shift+v"));
    EXPECT_TRUE(QTest::qWaitFor([] { return shelfWindowVisible(); }, 5000));
}

TEST(HarbelleProgramX11, AnImageOfTooManyPixelsIsNeverDecoded) {
    // The clipboard is taken at launch; a picture an earlier test left there would be saved.
    ASSERT_TRUE(copyWithXclip(QStringLiteral("before the picture")));
    HarbelleProcess harbelle;
    ASSERT_TRUE(harbelle.waitUntilRunning());
    const QString bomb = harbelle.path(QStringLiteral("bomb.png"));
    {
        QImage mono(15000, 15000, QImage::Format_Mono);  // well under a megabyte as PNG
        mono.fill(0);
        ASSERT_TRUE(mono.save(bomb, "PNG"));
    }
    QProcess xclip;
    xclip.setStandardOutputFile(QProcess::nullDevice());
    xclip.setStandardErrorFile(QProcess::nullDevice());
    xclip.start(QStringLiteral("xclip"), {QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-t"),
                                          QStringLiteral("image/png"), QStringLiteral("-i"), bomb});
    ASSERT_TRUE(xclip.waitForFinished(5000));
    QTest::qWait(2000);
    ASSERT_TRUE(pressKeys("super+shift+v"));  // a shelf showing the clip would make its thumbnail
    QTest::qWait(3000);
    ASSERT_TRUE(pressKeys("super+shift+v"));  // copies made while the shelf is in front are not taken
    ASSERT_TRUE(QTest::qWaitFor([] { return !shelfWindowVisible(); }, 5000));

    // A later copy is taken, so the picture's turn has certainly passed.
    ASSERT_TRUE(
        harbelle.copyAndWaitUntilSaved(QStringLiteral("after the picture"), HarbelleProcess::Saved::anywhere, 10000));
    const long peak = peakResidentMegabytes(harbelle.process().processId());
    ASSERT_GT(peak, 0);
    std::printf("peak resident memory after a 15000x15000 PNG: %ld MB\n", peak);
    EXPECT_LT(peak, 300) << "peak resident memory in MB";
    EXPECT_FALSE(harbelle.history().contains("\"image\"")) << "no image clip was made";
}

}  // namespace
}  // namespace harbelle::testing
