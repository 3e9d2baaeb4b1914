// Pastes into our own text fields go through the clipboard layer, never through Qt's clipboard.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTest>

#include "history/HistoryStore.h"
#include "shelf/BoundedFieldPaste.h"
#include "shelf/ClipEditorView.h"
#include "shelf/MainShelfView.h"
#include "support/FakePasteboard.h"
#include "support/InMemoryDefaults.h"
#include "support/ManualClock.h"

namespace harbelle::testing {
namespace {

class BoundedFieldPasteTest : public ::testing::Test {
protected:
    InMemoryDefaults defaults;
    ManualClock clock;
    FakePasteboard pasteboard;
    std::unique_ptr<HistoryStore> store;
    std::unique_ptr<MainShelfView> view;

    void SetUp() override {
        // What Qt's own paste would insert; it must never show up.
        QGuiApplication::clipboard()->setText(QStringLiteral("from Qt"));
        pasteboard.setString(pasteboardtype::plainText, "from the layer");
        HistoryStoreOptions options;
        options.demoMode = true;
        options.bundleIdentifier = "com.harbelleapp.Harbelle";
        options.pasteboard = &pasteboard;
        store = std::make_unique<HistoryStore>(defaults, clock, options);
        view = std::make_unique<MainShelfView>(*store);
        view->resize(1200, 405);
        view->show();
        QApplication::processEvents();
    }
    void TearDown() override { QGuiApplication::clipboard()->clear(); }

    QPlainTextEdit* editorField() { return view->editorView()->findChild<QPlainTextEdit*>(); }

    // Opens the field's context menu as a right click would and returns its Paste entry.
    static QAction* contextPasteAction(QWidget* target) {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(4, 4), target->mapToGlobal(QPoint(4, 4)));
        QApplication::sendEvent(target, &event);
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return nullptr;
        return menu->findChild<QAction*>(QStringLiteral("edit-paste"));
    }
    static void closeMenus() {
        while (QWidget* popup = QApplication::activePopupWidget()) popup->close();
    }
};

TEST_F(BoundedFieldPasteTest, PasteKeysInsertTheLayersTextIntoBothFields) {
    QLineEdit* search = view->searchField();
    QTest::keyClick(search, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(search->text(), QStringLiteral("from the layer"));
    EXPECT_EQ(store->query(), "from the layer");
    search->setCursorPosition(4);
    QTest::keyClick(search, Qt::Key_Insert, Qt::ShiftModifier);
    EXPECT_EQ(search->text(), QStringLiteral("fromfrom the layer the layer"));

    QPlainTextEdit* editor = editorField();
    ASSERT_NE(editor, nullptr);
    editor->setPlainText(QStringLiteral("A "));
    editor->moveCursor(QTextCursor::End);
    QTest::keyClick(editor, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(editor, Qt::Key_Insert, Qt::ShiftModifier);
    EXPECT_EQ(editor->toPlainText(), QStringLiteral("A from the layerfrom the layer"));

    // Qt's clipboard was never read into either field.
    EXPECT_FALSE(search->text().contains(QStringLiteral("Qt")));
    EXPECT_FALSE(editor->toPlainText().contains(QStringLiteral("Qt")));
    EXPECT_EQ(pasteboard.reads.size(), 4u);
}

TEST_F(BoundedFieldPasteTest, TheContextMenusPasteGoesThroughTheLayer) {
    QLineEdit* search = view->searchField();
    QAction* paste = contextPasteAction(search);
    ASSERT_NE(paste, nullptr);
    EXPECT_TRUE(paste->isEnabled());
    paste->trigger();
    closeMenus();
    EXPECT_EQ(search->text(), QStringLiteral("from the layer"));

    // The editor's menu opens on its viewport, where the mouse is.
    store->setEditingItem(store->items().front());
    QPlainTextEdit* editor = editorField();
    editor->clear();
    paste = contextPasteAction(editor->viewport());
    ASSERT_NE(paste, nullptr);
    paste->trigger();
    closeMenus();
    EXPECT_EQ(editor->toPlainText(), QStringLiteral("from the layer"));

    // The other entries still edit the field.
    editor->selectAll();
    QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(4, 4), editor->mapToGlobal(QPoint(4, 4)));
    QApplication::sendEvent(editor, &event);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    QAction* remove = menu->findChild<QAction*>(QStringLiteral("edit-delete"));
    ASSERT_NE(remove, nullptr);
    remove->trigger();
    closeMenus();
    EXPECT_TRUE(editor->toPlainText().isEmpty());
}

TEST_F(BoundedFieldPasteTest, NoTextOnTheLayerInsertsNothing) {
    pasteboard.setContents({{std::string(pasteboardtype::png), Bytes{1, 2, 3}}});
    QLineEdit* search = view->searchField();
    search->setText(QStringLiteral("kept"));
    search->selectAll();
    QTest::keyClick(search, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(search->text(), QStringLiteral("kept"));

    QAction* paste = contextPasteAction(search);
    ASSERT_NE(paste, nullptr);
    EXPECT_FALSE(paste->isEnabled());
    closeMenus();

    ClipEditorView editor(nullptr, &pasteboard);
    editor.setText(QStringLiteral("kept"));
    QTest::keyClick(editor.findChild<QPlainTextEdit*>(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(editor.text(), QStringLiteral("kept"));
}

TEST(BoundedFieldPaste, WithoutALayerQtsClipboardIsRead) {
    QGuiApplication::clipboard()->setText(QStringLiteral("from Qt"));
    QLineEdit field;
    BoundedFieldPaste::install(&field, nullptr);
    QTest::keyClick(&field, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(field.text(), QStringLiteral("from Qt"));

    // A read-only field takes nothing.
    QPlainTextEdit readOnly;
    readOnly.setReadOnly(true);
    BoundedFieldPaste::install(&readOnly, nullptr);
    QTest::keyClick(&readOnly, Qt::Key_V, Qt::ControlModifier);
    EXPECT_TRUE(readOnly.toPlainText().isEmpty());
    QGuiApplication::clipboard()->clear();
}

}  // namespace
}  // namespace harbelle::testing
