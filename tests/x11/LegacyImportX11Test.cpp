// The real program imports the outside program's history at its first start, and an imported
// clip chosen on the shelf offers what the outside program had preserved.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <algorithm>
#include <cstdio>

#include "HarbelleProcess.h"
#include "platform/DesktopSettings.h"
#include "support/PasteNowTestDatabase.h"

namespace harbelle::testing {
namespace {

// Only the imported clips: a copy an earlier test left on the clipboard is captured at start too.
std::vector<ClipItem> importedItems(const HarbelleProcess& harbelle) {
    std::vector<ClipItem> imported;
    for (auto& item : harbelle.savedClips())
        if (item.legacyID) imported.push_back(std::move(item));
    return imported;
}

QStringList clipboardTargets() {
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"),
                {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-t"),
                 QStringLiteral("TARGETS")});
    xclip.waitForFinished(5000);
    return QString::fromUtf8(xclip.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QByteArray clipboardData(const char* type) {
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"), {QStringLiteral("-o"), QStringLiteral("-selection"),
                                          QStringLiteral("clipboard"), QStringLiteral("-t"), QString::fromLatin1(type)});
    xclip.waitForFinished(5000);
    return xclip.readAllStandardOutput();
}

TEST(HarbelleLegacyImportX11, TheOutsideHistoryIsImportedAtStartAndPastesItsRepresentations) {
    HarbelleProcess harbelle(HarbelleProcess::kCopyOnlySettings, {}, false);
    const std::filesystem::path documents = std::filesystem::path(harbelle.usePrivateHome().toStdString()) /
                                            "Library" / "Group Containers" / "group.com.pastenow.PasteNow" /
                                            "Documents";
    PasteNowTestDatabase::write(documents, PasteNowTestDatabase::standardRows(),
                                PasteNowTestDatabase::standardExternalFiles());
    harbelle.start();
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_TRUE(QTest::qWaitFor([&] { return importedItems(harbelle).size() == 8; }, 15000))
        << harbelle.history().toStdString();
    const auto items = importedItems(harbelle);
    EXPECT_EQ(items[0].legacyID, 1);
    EXPECT_EQ(items[1].legacyID, 2);
    EXPECT_EQ(items[1].text, "Skip list row");
    EXPECT_FALSE(std::filesystem::exists(documents / "PasteNow.sqlite-shm"));

    // On the shelf: the clip whose archive carries browser-only types is chosen; cards stand in
    // the history's order.
    const auto all = harbelle.savedClips();
    const auto chosen = std::find_if(all.begin(), all.end(), [](const ClipItem& item) { return item.legacyID == 2; });
    ASSERT_NE(chosen, all.end());
    ASSERT_TRUE(pressKeys("shift+super+v"));
    ASSERT_TRUE(QTest::qWaitFor([] { return activeWindowName() == QStringLiteral("Harbelle"); }, 5000));
    for (auto it = all.begin(); it != chosen; ++it) ASSERT_TRUE(pressKeys("Down"));
    ASSERT_TRUE(pressKeys("Return"));
    ASSERT_TRUE(QTest::qWaitFor([] { return clipboardTargets().contains(QStringLiteral("text/html")); }, 5000))
        << clipboardTargets().join(QLatin1Char(' ')).toStdString();
    const QStringList targets = clipboardTargets();
    EXPECT_TRUE(targets.contains(QStringLiteral("text/plain;charset=utf-8"))) << targets.join(QLatin1Char(' ')).toStdString();
    for (const QString& target : targets) {
        EXPECT_FALSE(target.startsWith(QStringLiteral("org.chromium.")) || target.startsWith(QStringLiteral("com.apple.")))
            << target.toStdString();
    }
    EXPECT_EQ(clipboardData("text/html"), QByteArray("<p>kept</p>"));
    EXPECT_EQ(clipboardData("text/plain;charset=utf-8"), QByteArray(50, 'x'));
}

// A new user (no settings file, accessibility bus switched off) gets the history too.
TEST(HarbelleLegacyImportX11, ANewUsersFirstStartImportsTheHistory) {
    HarbelleProcess harbelle("{}", {}, false);
    QFile::remove(harbelle.path(QStringLiteral("XDG_CONFIG_HOME/com.harbelleapp.Harbelle.json")));
    const std::filesystem::path documents = std::filesystem::path(harbelle.usePrivateHome().toStdString()) /
                                            "Library" / "Group Containers" / "group.com.pastenow.PasteNow" /
                                            "Documents";
    PasteNowTestDatabase::write(documents, PasteNowTestDatabase::standardRows(),
                                PasteNowTestDatabase::standardExternalFiles());
    harbelle.start();
    ASSERT_TRUE(harbelle.waitUntilRunning());
    EXPECT_TRUE(QTest::qWaitFor([&] { return importedItems(harbelle).size() == 8; }, 15000))
        << harbelle.history().toStdString();
}

// A long-time user of the older program: 100,000 clips come in at the first start, and all the
// while the shelf answers its keys: it hides and opens again, each time within a moment. Copy-only
// from the start, so no set-up sheet stands in front: the keys are pressed from the launch on,
// long before 100,000 rows can be copied, read, written and merged.
// Twenty thousand rows: twenty times the history's limit, so the import trims as it goes and
// runs for many turns of the shelf, well inside the time of one test on a busy machine.
TEST(HarbelleLegacyImportX11, TwentyThousandClipsImportWhileTheShelfAnswers) {
    HarbelleProcess harbelle(HarbelleProcess::kCopyOnlySettings, {}, false);
    const std::filesystem::path documents = std::filesystem::path(harbelle.usePrivateHome().toStdString()) /
                                            "Library" / "Group Containers" / "group.com.pastenow.PasteNow" /
                                            "Documents";
    constexpr int kRows = 20'000;
    PasteNowTestDatabase::write(documents, PasteNowTestDatabase::bulkRows(kRows));
    const auto imported = [&] {
        return QJsonDocument::fromJson(harbelle.settings()).object().value(QStringLiteral("pasteNowHistoryImportedV2")).toBool();
    };
    const auto shelfActive = [] { return activeWindowName() == QStringLiteral("Harbelle"); };
    harbelle.start();
    ASSERT_TRUE(harbelle.waitUntilRunning());

    // Answered at least once, from the launch on, and then for as long as the import runs.
    int answers = 0;
    QElapsedTimer whole;
    whole.start();
    do {
        if (shelfWindowVisible()) {
            EXPECT_TRUE(QTest::qWaitFor(shelfActive, 2000)) << "the shelf did not take the keyboard";
            // As with the hot key, a press that raced a focus change is tried once more.
            bool hidden = false;
            for (int attempt = 0; attempt < 2 && !hidden; ++attempt) {
                ASSERT_TRUE(pressKeys("Escape"));
                hidden = QTest::qWaitFor([] { return !shelfWindowVisible(); }, 2000);
            }
            EXPECT_TRUE(hidden) << "the shelf did not hide";
        } else {
            // A press while another window is still taking the focus can be lost: tried again.
            bool opened = false;
            for (int attempt = 0; attempt < 3 && !opened; ++attempt) {
                ASSERT_TRUE(pressKeys("shift+super+v"));
                opened = QTest::qWaitFor(shelfActive, 2000);
            }
            EXPECT_TRUE(opened) << "the shelf did not open";
        }
        ++answers;
    } while (!imported() && whole.elapsed() < 90'000);
    ASSERT_TRUE(imported()) << "not imported in a minute and a half";
    std::printf("imported in %lld ms, the shelf answered %d times meanwhile\n", static_cast<long long>(whole.elapsed()),
                answers);
    // The history keeps its default limit: the newest 1,000 clips, one of them the copy an earlier
    // test may have left on the clipboard.
    const auto items = importedItems(harbelle);
    const std::size_t held = harbelle.savedClips().size();
    EXPECT_EQ(held, 1000u);
    EXPECT_LE(held - items.size(), 1u);
    if (!items.empty()) {
        EXPECT_EQ(items.front().legacyID, kRows);
    }
    for (const auto& item : items) {
        EXPECT_EQ(item.importedFrom, "PasteNow");
        if (item.importedFrom != "PasteNow") break;
    }
}

}  // namespace
}  // namespace harbelle::testing
