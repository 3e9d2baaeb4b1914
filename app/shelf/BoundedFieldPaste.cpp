#include "shelf/BoundedFieldPaste.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QStyleHints>
#include <QTextCursor>
#include <QTextDocument>
#include <functional>

#include "platform/Pasteboard.h"

namespace harbelle {

namespace {

bool isPasteKey(const QKeyEvent* event) {
    if (event->matches(QKeySequence::Paste)) return true;
    const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
    return event->key() == Qt::Key_Insert && modifiers == Qt::ShiftModifier;
}

bool isMiddleButtonEvent(const QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
        return static_cast<const QMouseEvent*>(event)->button() == Qt::MiddleButton;
    default:
        return false;
    }
}

QString menuText(const char* text, QKeySequence::StandardKey key) {
    QString label = QCoreApplication::translate("QLineEdit", text);
    if (QGuiApplication::styleHints()->showShortcutsInContextMenus()) {
        const QString shortcut = QKeySequence(key).toString(QKeySequence::NativeText);
        if (!shortcut.isEmpty()) label += QLatin1Char('\t') + shortcut;
    }
    return label;
}

}  // namespace

BoundedFieldPaste::BoundedFieldPaste(QWidget* field, QLineEdit* lineEdit, QPlainTextEdit* textEdit,
                                     Pasteboard* pasteboard)
    : QObject(field), field_(field), lineEdit_(lineEdit), textEdit_(textEdit), pasteboard_(pasteboard) {
    field->installEventFilter(this);
    // A plain text editor gets its mouse and mouse-opened menus on its viewport.
    if (textEdit_) textEdit_->viewport()->installEventFilter(this);
}

BoundedFieldPaste* BoundedFieldPaste::install(QLineEdit* field, Pasteboard* pasteboard) {
    return new BoundedFieldPaste(field, field, nullptr, pasteboard);
}

BoundedFieldPaste* BoundedFieldPaste::install(QPlainTextEdit* field, Pasteboard* pasteboard) {
    return new BoundedFieldPaste(field, nullptr, field, pasteboard);
}

bool BoundedFieldPaste::isEditable() const {
    return lineEdit_ ? !lineEdit_->isReadOnly() : !textEdit_->isReadOnly();
}

std::optional<QString> BoundedFieldPaste::clipboardText() const {
    if (pasteboard_) {
        auto text = pasteboard_->string(pasteboardtype::plainText);
        if (!text) return std::nullopt;
        return QString::fromStdString(*text);
    }
    if (QClipboard* clipboard = QGuiApplication::clipboard()) return clipboard->text(QClipboard::Clipboard);
    return std::nullopt;
}

bool BoundedFieldPaste::clipboardOffersText() const {
    // Without the layer, asking Qt would be the very wait this class avoids: let a paste find out.
    return !pasteboard_ || pasteboard_->hasType(pasteboardtype::plainText);
}

void BoundedFieldPaste::paste() {
    if (!isEditable()) return;
    const auto text = clipboardText();
    if (!text || text->isEmpty()) return;
    if (lineEdit_) {
        lineEdit_->insert(*text);
    } else {
        textEdit_->insertPlainText(*text);
        textEdit_->ensureCursorVisible();
    }
}

QMenu* BoundedFieldPaste::createContextMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    const bool editable = isEditable();
    auto add = [menu](const char* text, QKeySequence::StandardKey key, const char* name, bool enabled,
                      std::function<void()> run) {
        QAction* action = menu->addAction(menuText(text, key));
        action->setObjectName(QString::fromLatin1(name));
        action->setEnabled(enabled);
        const QIcon icon = QIcon::fromTheme(QString::fromLatin1(name));
        if (!icon.isNull()) action->setIcon(icon);
        QObject::connect(action, &QAction::triggered, menu, std::move(run));
    };

    if (lineEdit_) {
        QLineEdit* field = lineEdit_;
        const bool canCopy = field->hasSelectedText() && field->echoMode() == QLineEdit::Normal;
        add("&Undo", QKeySequence::Undo, "edit-undo", editable && field->isUndoAvailable(), [field] { field->undo(); });
        add("&Redo", QKeySequence::Redo, "edit-redo", editable && field->isRedoAvailable(), [field] { field->redo(); });
        menu->addSeparator();
        add("Cu&t", QKeySequence::Cut, "edit-cut", editable && canCopy, [field] { field->cut(); });
        add("&Copy", QKeySequence::Copy, "edit-copy", canCopy, [field] { field->copy(); });
        add("&Paste", QKeySequence::Paste, "edit-paste", editable && clipboardOffersText(), [this] { paste(); });
        add("Delete", QKeySequence::UnknownKey, "edit-delete", editable && field->hasSelectedText(),
            [field] { field->del(); });
        menu->addSeparator();
        add("Select All", QKeySequence::SelectAll, "select-all",
            !field->text().isEmpty() && field->selectedText() != field->text(), [field] { field->selectAll(); });
    } else {
        QPlainTextEdit* field = textEdit_;
        const QTextDocument* document = field->document();
        const bool selected = field->textCursor().hasSelection();
        add("&Undo", QKeySequence::Undo, "edit-undo", editable && document->isUndoAvailable(),
            [field] { field->undo(); });
        add("&Redo", QKeySequence::Redo, "edit-redo", editable && document->isRedoAvailable(),
            [field] { field->redo(); });
        menu->addSeparator();
        add("Cu&t", QKeySequence::Cut, "edit-cut", editable && selected, [field] { field->cut(); });
        add("&Copy", QKeySequence::Copy, "edit-copy", selected, [field] { field->copy(); });
        add("&Paste", QKeySequence::Paste, "edit-paste", editable && clipboardOffersText(), [this] { paste(); });
        add("Delete", QKeySequence::UnknownKey, "edit-delete", editable && selected, [field] {
            QTextCursor cursor = field->textCursor();
            cursor.removeSelectedText();
            field->setTextCursor(cursor);
        });
        menu->addSeparator();
        add("Select All", QKeySequence::SelectAll, "select-all", !document->isEmpty(), [field] { field->selectAll(); });
    }
    return menu;
}

void BoundedFieldPaste::showContextMenu(const QPoint& globalPos) {
    QMenu* menu = createContextMenu(field_);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(globalPos);
}

bool BoundedFieldPaste::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
        if (watched == field_ && isPasteKey(static_cast<QKeyEvent*>(event))) {
            paste();
            event->accept();
            return true;
        }
        break;
    case QEvent::ContextMenu:
        if (field_->contextMenuPolicy() == Qt::DefaultContextMenu) {
            showContextMenu(static_cast<QContextMenuEvent*>(event)->globalPos());
            event->accept();
            return true;
        }
        break;
    default:
        // Middle-click pastes the primary selection, which we never read.
        if (isMiddleButtonEvent(event)) {
            event->accept();
            return true;
        }
        break;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace harbelle
