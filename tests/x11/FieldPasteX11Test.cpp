// Our own text fields against a real X server: an outside owner that stops answering must not
// freeze the GUI thread when the user pastes into them.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <fstream>

#include "history/HistoryStore.h"
#include "OwnerProcess.h"
#include "platform/linux/LinuxPasteboard.h"
#include "platform/linux/LinuxWorkspace.h"
#include "shelf/ClipEditorView.h"
#include "shelf/MainShelfView.h"
#include "support/InMemoryDefaults.h"

using namespace harbelle;

namespace {

using Owner = harbelle::testing::OwnerProcess;

// The longest the GUI thread went without running its timers.
struct Heartbeat {
    QTimer timer;
    QElapsedTimer sinceLast;
    qint64 longestGap = 0;
    int beats = 0;
    Heartbeat() {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            longestGap = std::max(longestGap, sinceLast.restart());
            ++beats;
        });
        sinceLast.start();
        timer.start();
    }
};

// Bounds on the wait, not speed targets: Qt's own reads wait 5 s per format.
constexpr qint64 kBound = 1500;

struct FieldPasteX11Fixture : ::testing::Test {
    QTemporaryDir dir;
    harbelle::testing::InMemoryDefaults defaults;
    LinuxPasteboard pasteboard;
    LinuxWorkspace workspace;
    std::unique_ptr<HistoryStore> store;
    std::unique_ptr<MainShelfView> view;

    void SetUp() override {
        HistoryStoreOptions options;
        options.demoMode = true;
        options.bundleIdentifier = kCurrentBundleIdentifier;
        options.pasteboard = &pasteboard;
        options.workspace = &workspace;
        store = std::make_unique<HistoryStore>(defaults, SystemClock::shared(), options);
        view = std::make_unique<MainShelfView>(*store);
        view->resize(1000, 400);
        view->show();
        (void)QTest::qWaitForWindowExposed(view.get());
    }
    void TearDown() override {
        while (QWidget* popup = QApplication::activePopupWidget()) popup->close();
        view.reset();
        store->shutdown();
    }

    // The probe owning the clipboard with this text, once Qt has counted the change.
    std::unique_ptr<Owner> own(const std::string& text) {
        const QString path = dir.filePath("offer");
        std::ofstream(path.toStdString(), std::ios::binary) << text;
        const auto before = pasteboard.changeCount();
        auto owner = std::make_unique<Owner>(HARBELLE_X11_PROBE, QStringList{"own", "UTF8_STRING=" + path});
        if (!QTest::qWaitFor([&] { return workspace.clipboardOwnerProcess() == owner->pid(); }, 5000))
            ADD_FAILURE() << "the probe never owned the clipboard";
        (void)QTest::qWaitFor([&] { return pasteboard.changeCount() != before; }, 1000);
        return owner;
    }
};

TEST_F(FieldPasteX11Fixture, PasteKeysAndTheMenuDoNotWaitOnAStoppedOwner) {
    QLineEdit* search = view->searchField();
    {
        // An owner that answers is pasted as usual.
        auto owner = own("from outside");
        QTest::keyClick(search, Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(search->text(), QStringLiteral("from outside"));
    }
    search->clear();

    auto owner = own("frozen");
    ASSERT_TRUE(owner->signal(SIGSTOP));
    Heartbeat heartbeat;
    QElapsedTimer timer;
    timer.start();
    QTest::keyClick(search, Qt::Key_V, Qt::ControlModifier);
    EXPECT_LT(timer.elapsed(), kBound);
    EXPECT_TRUE(search->text().isEmpty());

    timer.restart();
    QTest::keyClick(search, Qt::Key_Insert, Qt::ShiftModifier);
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(4, 4), search->mapToGlobal(QPoint(4, 4)));
    QApplication::sendEvent(search, &event);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    if (QAction* paste = menu->findChild<QAction*>(QStringLiteral("edit-paste"))) paste->trigger();
    menu->close();
    EXPECT_LT(timer.elapsed(), kBound);

    // The editor sheet as well.
    store->setEditingItem(store->items().front());
    QPlainTextEdit* editor = view->editorView()->findChild<QPlainTextEdit*>();
    ASSERT_NE(editor, nullptr);
    timer.restart();
    QTest::keyClick(editor, Qt::Key_V, Qt::ControlModifier);
    EXPECT_LT(timer.elapsed(), kBound);

    // The next beat ends the gap the last call may have made.
    const int beats = heartbeat.beats;
    ASSERT_TRUE(QTest::qWaitFor([&] { return heartbeat.beats > beats; }, 5000));
    EXPECT_LT(heartbeat.longestGap, kBound);
    EXPECT_TRUE(search->text().isEmpty());
    owner->signal(SIGCONT);
}

TEST_F(FieldPasteX11Fixture, MiddleClickDoesNotWaitOnAStoppedPrimaryOwner) {
    QLineEdit* search = view->searchField();
    bool primaryChanged = false;
    QObject watcher;
    QObject::connect(QGuiApplication::clipboard(), &QClipboard::changed, &watcher,
                     [&](QClipboard::Mode mode) { primaryChanged |= mode == QClipboard::Selection; });
    const QString path = dir.filePath("primary");
    std::ofstream(path.toStdString(), std::ios::binary) << "selected elsewhere";
    Owner xclip("xclip", {"-quiet", "-selection", "primary", "-i", path});
    ASSERT_TRUE(QTest::qWaitFor([&] { return primaryChanged; }, 5000)) << "xclip never owned the selection";
    ASSERT_TRUE(xclip.signal(SIGSTOP));

    QElapsedTimer timer;
    timer.start();
    QTest::mouseClick(search, Qt::MiddleButton, {}, QPoint(20, 10));
    EXPECT_LT(timer.elapsed(), kBound);
    EXPECT_TRUE(search->text().isEmpty());

    store->setEditingItem(store->items().front());
    QPlainTextEdit* editor = view->editorView()->findChild<QPlainTextEdit*>();
    ASSERT_NE(editor, nullptr);
    const QString before = editor->toPlainText();
    timer.restart();
    QTest::mouseClick(editor->viewport(), Qt::MiddleButton, {}, QPoint(10, 10));
    EXPECT_LT(timer.elapsed(), kBound);
    EXPECT_EQ(editor->toPlainText(), before);
    xclip.signal(SIGCONT);
}

}  // namespace
