// The whole local loop in the real program: a copy reaches the history file, and a clip chosen
// on the shelf is pasted into the field the user was typing in.
#include <gtest/gtest.h>

#include <QDateTime>

#include "HarbelleProcess.h"
#include "TextFieldProcess.h"

namespace harbelle::testing {
namespace {

QString unique(const char* text) {
    return QString::fromLatin1(text) + QLatin1Char(' ') + QString::number(QDateTime::currentMSecsSinceEpoch());
}

TEST(HarbelleLocalLoopX11, ACopyIsInTheHistoryFileAfterTheSave) {
    HarbelleProcess harbelle;
    ASSERT_TRUE(harbelle.waitUntilRunning());

    const QString text = unique("copied by xclip");
    EXPECT_TRUE(harbelle.copyAndWaitUntilSaved(text, HarbelleProcess::Saved::asNewest));

    // It survives the quit.
    harbelle.process().terminate();
    ASSERT_TRUE(harbelle.process().waitForFinished(5000));
    const auto texts = harbelle.savedTexts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), text.toStdString()), 1);
}

TEST(HarbelleLocalLoopX11, AnOlderClipChosenOnTheShelfIsPastedIntoTheField) {
    TextFieldProcess field;
    ASSERT_TRUE(field.waitForWindow());
    HarbelleProcess harbelle(HarbelleProcess::kDefaultSettings, {QStringLiteral("--paste-diagnostics")});
    ASSERT_TRUE(harbelle.waitUntilRunning());
    ASSERT_TRUE(field.activate());

    const QString older = unique("older clip");
    const QString newer = unique("newer clip");
    ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(older, HarbelleProcess::Saved::asNewest));
    ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(newer, HarbelleProcess::Saved::asNewest));

    ASSERT_TRUE(pressKeys("shift+super+v"));
    ASSERT_TRUE(QTest::qWaitFor([] { return activeWindowName() == QStringLiteral("Harbelle"); }, 5000))
        << "the shelf opens and takes the keyboard";
    ASSERT_TRUE(pressKeys("Down"));  // from the newest clip to the one before it
    ASSERT_TRUE(pressKeys("Return"));

    EXPECT_TRUE(field.waitForContent(older, 10000))
        << "field: " << field.content().toStdString() << "\n" << harbelle.output().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([] { return !shelfWindowVisible(); }, 3000));
}

}  // namespace
}  // namespace harbelle::testing
