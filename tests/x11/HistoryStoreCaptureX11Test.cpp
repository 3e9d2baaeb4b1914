// A real store capturing from a real X clipboard: outside owners (our probe, xclip), the real
// workspace and the system clock.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QClipboard>
#include <QGuiApplication>
#include <QTest>
#include <fstream>

#include "history/HistoryStore.h"
#include "OwnerProcess.h"
#include "platform/linux/LinuxPasteboard.h"
#include "platform/linux/LinuxWorkspace.h"
#include "support/InMemoryDefaults.h"
#include "support/ClipBuilder.h"

using namespace harbelle;
using harbelle::testing::ClipBuilder;

namespace {

using Owner = harbelle::testing::OwnerProcess;

struct StoreX11Fixture : ::testing::Test {
    QTemporaryDir dir;
    harbelle::testing::InMemoryDefaults defaults;
    LinuxPasteboard pasteboard;
    LinuxWorkspace workspace;
    std::unique_ptr<HistoryStore> store;

    void SetUp() override {
        // An xclip of an earlier test may still own the clipboard (it stays until someone else
        // takes it): take it ourselves, so the first look at the clipboard finds our own copy.
        QGuiApplication::clipboard()->setText(QStringLiteral("fixture"));
        if (!QTest::qWaitFor([&] { return workspace.clipboardOwnerProcess() == static_cast<ProcessID>(::getpid()); },
                             3000))
            ADD_FAILURE() << "could not take the clipboard over";
        HistoryStoreOptions options;
        options.applicationSupport = std::filesystem::path(dir.path().toStdString()) / "Pemberlow";
        options.bundleIdentifier = kCurrentBundleIdentifier;
        options.pasteboard = &pasteboard;
        options.workspace = &workspace;
        store = std::make_unique<HistoryStore>(defaults, SystemClock::shared(), options);
    }
    void TearDown() override { store->shutdown(); }

    QString file(const QString& name, const std::string& contents) {
        const QString path = dir.filePath(name);
        std::ofstream(path.toStdString(), std::ios::binary) << contents;
        return path;
    }
    // The probe owning the clipboard with these offers, once the X server says so.
    std::unique_ptr<Owner> own(const std::vector<std::pair<QString, std::string>>& offers) {
        QStringList arguments{"own"};
        int n = 0;
        for (const auto& [type, contents] : offers)
            arguments << type + "=" + file(QString("offer%1").arg(n++), contents);
        auto owner = std::make_unique<Owner>(HARBELLE_X11_PROBE, arguments);
        if (!QTest::qWaitFor([&] { return workspace.clipboardOwnerProcess() == owner->pid(); }, 5000))
            ADD_FAILURE() << "the probe never owned the clipboard";
        return owner;
    }
    bool waitForClips(std::size_t count) {
        return QTest::qWaitFor([&] { return store->items().size() >= count; }, 5000);
    }
    // The store's poll has looked at the clipboard as it is now (its decision is made by then).
    bool waitUntilPolled(std::int64_t before) {
        return QTest::qWaitFor([&] { return pasteboard.changeCount() != before &&
                                            store->lastSeenChangeCount() == pasteboard.changeCount(); }, 5000);
    }
    // A plain copy from outside arrives (as the only clip unless said): capture was alive all along.
    void expectPlainCopyCaptured(bool alone = true) {
        auto owner = own({{"text/plain", "plain copy"}});
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return !store->items().empty() && store->items().front().text == "plain copy"; }, 5000));
        if (alone) {
            EXPECT_EQ(store->items().size(), 1u);
        }
    }
};

TEST_F(StoreX11Fixture, TextWithHTMLBecomesOneClip) {
    store->startMonitoring();
    auto owner = own({{"text/plain", "\nInvoice text from outside\n"}, {"text/html", "<b>Invoice</b> text"}});
    ASSERT_TRUE(waitForClips(1));
    QTest::qWait(1000);  // a few more polls: still one clip
    ASSERT_EQ(store->items().size(), 1u);
    const ClipItem& clip = store->items().front();
    EXPECT_EQ(clip.kind, ClipKind::text);
    EXPECT_EQ(clip.text, "Invoice text from outside");
    const std::string html = "<b>Invoice</b> text";
    EXPECT_EQ(clip.htmlData, Bytes(html.begin(), html.end()));
    // No window is active, so the clipboard's owner is the source.
    EXPECT_EQ(clip.sourceAppName, "harbelle_x11_pr");
}

TEST_F(StoreX11Fixture, TwoCopiedFilesBecomeOneFileClip) {
    const QString a = file("first file.txt", "1"), b = file("second.txt", "2");
    store->startMonitoring();
    auto owner = own({{"text/uri-list", fileURLString(a.toStdString()) + "\r\n" + fileURLString(b.toStdString())}});
    ASSERT_TRUE(waitForClips(1));
    QTest::qWait(600);
    ASSERT_EQ(store->items().size(), 1u);
    const ClipItem& clip = store->items().front();
    EXPECT_EQ(clip.kind, ClipKind::file);
    EXPECT_EQ(clip.title, "2 files");
    EXPECT_EQ(clip.fileURLs, (std::vector<std::string>{a.toStdString(), b.toStdString()}));
}

TEST_F(StoreX11Fixture, APasswordManagerHintIsNeverCaptured) {
    store->startMonitoring();
    const auto before = pasteboard.changeCount();
    auto owner = own({{"text/plain", "hunter2"}, {"x-kde-passwordManagerHint", "secret"}});
    ASSERT_TRUE(waitUntilPolled(before));
    EXPECT_TRUE(store->items().empty());
    expectPlainCopyCaptured();
}

TEST_F(StoreX11Fixture, OurOwnLinkWriteReadsBackAndIsNotCaptured) {
    store->startMonitoring();
    ClipItem link = ClipBuilder("https://example.com/harbelle", ClipKind::link).title("example.com").realFingerprint();
    const std::string html = "<a href=\"https://example.com/harbelle\">Harbelle</a>";
    link.htmlData = Bytes(html.begin(), html.end());
    ASSERT_TRUE(store->writeToPasteboard(link, false));

    QProcess xclip;
    xclip.setStandardErrorFile(QProcess::nullDevice());
    xclip.start("xclip", {"-o", "-selection", "clipboard", "-t", "text/html"});
    // We own the clipboard: keep serving it while xclip asks.
    if (!QTest::qWaitFor([&] { return xclip.state() == QProcess::NotRunning; }, 5000)) xclip.kill();
    EXPECT_EQ(xclip.readAllStandardOutput().toStdString(), html);
    QTest::qWait(1000);
    EXPECT_TRUE(store->items().empty()) << "our own write came back as a clip";
    expectPlainCopyCaptured();
}

TEST_F(StoreX11Fixture, AStoppedOwnerDoesNotHoldTheProgram) {
    auto owner = own({{"text/plain", "frozen"}, {"text/html", "<i>frozen</i>"}});
    const auto before = pasteboard.changeCount();
    (void)QTest::qWaitFor([&] { return pasteboard.changeCount() != before; }, 300);
    ASSERT_TRUE(owner->signal(SIGSTOP));
    QElapsedTimer timer;
    timer.start();
    store->startMonitoring();  // captures what is there at once
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_TRUE(store->items().empty());
    owner->signal(SIGCONT);
    expectPlainCopyCaptured(false);
}

}  // namespace
