#pragma once

#include <QWidget>
#include <cstdint>
#include <optional>

#include "history/ClipItem.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace harbelle {

class Pasteboard;

// The editor sheet: a text clip's text (or a new clip's) in a plain text editor with Save
// and Cancel. It only emits; the shelf hands the text to the store. Save stays disabled
// while the text is blank, since a blank clip is never stored.
class ClipEditorView : public QWidget {
    Q_OBJECT
public:
    // Pastes go through the pasteboard when one is given.
    explicit ClipEditorView(QWidget* parent = nullptr, Pasteboard* pasteboard = nullptr);

    // Opens the clip's text; `session` is the store's editing session it belongs to.
    void beginEditing(const ClipItem& clip, std::uint64_t session = 0);
    // The same clip under another id (sync moved it): what was typed stays.
    void followClip(const ClipItem& clip) { editingID_ = clip.id; }
    void beginNewClip();
    // The clip being edited; nothing for a new clip.
    const std::optional<Uuid>& editingClipID() const { return editingID_; }
    std::uint64_t editingSession() const { return session_; }
    QString text() const;
    void setText(const QString& text);
    bool canSave() const;
    // Says why the last save was refused, in place of the save hint, until the text changes:
    // the sheet covers the shelf's toast line.
    void showRefusal(const QString& message);
    QString refusal() const;

signals:
    void saveRequested(const QString& text);
    void cancelRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void save();
    bool handleKey(QKeyEvent* event);
    void updateSaveButton();

    QLabel* heading_;
    QLabel* hint_;
    QLabel* refusal_;
    QPlainTextEdit* editor_;
    QPushButton* saveButton_;
    QPushButton* cancelButton_;
    std::optional<Uuid> editingID_;
    std::uint64_t session_ = 0;
};

}  // namespace harbelle
