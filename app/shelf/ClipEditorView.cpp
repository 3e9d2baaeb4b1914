#include "shelf/ClipEditorView.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "history/HistoryStore.h"
#include "shelf/BoundedFieldPaste.h"
#include "theme/VisualTheme.h"

namespace harbelle {

ClipEditorView::ClipEditorView(QWidget* parent, Pasteboard* pasteboard) : QWidget(parent) {
    setStyleSheet(VisualTheme::sheetStyleSheet());
    heading_ = new QLabel(this);
    heading_->setTextFormat(Qt::PlainText);
    heading_->setFont(VisualTheme::uiFont(16, QFont::DemiBold));
    editor_ = new QPlainTextEdit(this);
    editor_->setFont(VisualTheme::uiFont(14));
    editor_->setTabChangesFocus(false);
    editor_->setPlaceholderText(QStringLiteral("Type or paste text"));
    hint_ = new QLabel(QStringLiteral("Ctrl+Return to save"), this);
    hint_->setProperty("role", "secondary");
    hint_->setFont(VisualTheme::uiFont(11));
    refusal_ = new QLabel(this);
    refusal_->setTextFormat(Qt::PlainText);
    refusal_->setWordWrap(true);
    refusal_->setFont(VisualTheme::uiFont(11));
    refusal_->setStyleSheet(QStringLiteral("color: #ff6b61;"));
    refusal_->hide();
    cancelButton_ = new QPushButton(QStringLiteral("Cancel"), this);
    saveButton_ = new QPushButton(QStringLiteral("Save"), this);
    saveButton_->setDefault(true);
    cancelButton_->setFocusPolicy(Qt::TabFocus);
    saveButton_->setFocusPolicy(Qt::TabFocus);
    connect(cancelButton_, &QPushButton::clicked, this, &ClipEditorView::cancelRequested);
    connect(saveButton_, &QPushButton::clicked, this, &ClipEditorView::save);
    connect(editor_, &QPlainTextEdit::textChanged, this, &ClipEditorView::updateSaveButton);
    connect(editor_, &QPlainTextEdit::textChanged, this, [this] { showRefusal({}); });

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    buttons->addWidget(hint_);
    buttons->addWidget(refusal_, 4);
    buttons->addStretch(1);
    buttons->addWidget(cancelButton_);
    buttons->addWidget(saveButton_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    layout->addWidget(heading_);
    layout->addWidget(editor_, 1);
    layout->addLayout(buttons);
    setFocusProxy(editor_);
    // The editor takes Return itself; Ctrl+Return and Escape must reach the sheet first.
    editor_->installEventFilter(this);
    BoundedFieldPaste::install(editor_, pasteboard);
    beginNewClip();
}

void ClipEditorView::beginEditing(const ClipItem& clip, std::uint64_t session) {
    editingID_ = clip.id;
    session_ = session;
    // A clip still holding the placeholder was just made by "New Text Clip".
    const bool isNew = clip.text == HistoryStore::kNewTextClipText;
    heading_->setText(isNew ? QStringLiteral("New Text Clip") : QStringLiteral("Edit Clip"));
    editor_->setPlainText(QString::fromStdString(clip.text));
    // A new clip's placeholder is selected, so the first key typed replaces it.
    if (isNew) editor_->selectAll();
    else editor_->moveCursor(QTextCursor::End);
    updateSaveButton();
}

void ClipEditorView::beginNewClip() {
    editingID_.reset();
    heading_->setText(QStringLiteral("New Text Clip"));
    editor_->clear();
    updateSaveButton();
}

QString ClipEditorView::text() const { return editor_->toPlainText(); }
void ClipEditorView::setText(const QString& text) { editor_->setPlainText(text); }
bool ClipEditorView::canSave() const { return !editor_->toPlainText().trimmed().isEmpty(); }

void ClipEditorView::updateSaveButton() { saveButton_->setEnabled(canSave()); }

void ClipEditorView::showRefusal(const QString& message) {
    refusal_->setText(message);
    refusal_->setVisible(!message.isEmpty());
    hint_->setVisible(message.isEmpty());
}

QString ClipEditorView::refusal() const { return refusal_->isVisible() ? refusal_->text() : QString(); }

void ClipEditorView::save() {
    if (canSave()) emit saveRequested(editor_->toPlainText());
}

bool ClipEditorView::handleKey(QKeyEvent* event) {
    const bool ctrl = (event->modifiers() & Qt::ControlModifier) != 0;
    if (event->key() == Qt::Key_Escape) {
        emit cancelRequested();
        return true;
    }
    if (ctrl && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        save();
        return true;
    }
    return false;
}

bool ClipEditorView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == editor_ && event->type() == QEvent::KeyPress && handleKey(static_cast<QKeyEvent*>(event)))
        return true;
    return QWidget::eventFilter(watched, event);
}

void ClipEditorView::keyPressEvent(QKeyEvent* event) {
    if (handleKey(event)) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace harbelle
