// Quitting the real program while it works in the background: it ends at once, with its history
// written, and lets go of the clipboard.
#include <gtest/gtest.h>

#include <QElapsedTimer>
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

    QElapsedTimer quitting;
    quitting.start();
    ::kill(static_cast<pid_t>(harbelle.process().processId()), SIGTERM);
    ASSERT_TRUE(harbelle.process().waitForFinished(10000)) << "the program does not end";
    const qint64 took = quitting.elapsed();
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
