#pragma once

#include <QObject>
#include <QPoint>
#include <optional>

class QEvent;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QWidget;

namespace harbelle {

class Pasteboard;

// Pastes into one of our own text fields through the bounded clipboard layer instead of Qt's
// own clipboard reads, which on X11 keep the GUI thread waiting for seconds on an owner that
// does not answer. It takes over the paste keys, the context menu (Qt's standard menu reads
// the clipboard just to enable its Paste entry) and middle-click paste of the X primary
// selection, which the program never reads. Without a pasteboard it reads Qt's clipboard.
class BoundedFieldPaste final : public QObject {
    Q_OBJECT
public:
    // The helper lives as a child of the field. The pasteboard must outlive the field.
    static BoundedFieldPaste* install(QLineEdit* field, Pasteboard* pasteboard);
    static BoundedFieldPaste* install(QPlainTextEdit* field, Pasteboard* pasteboard);

    // Inserts the clipboard's plain text at the cursor; nothing when none could be read.
    void paste();
    // The field's edit menu, built without touching the clipboard unless through the layer.
    QMenu* createContextMenu(QWidget* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    BoundedFieldPaste(QWidget* field, QLineEdit* lineEdit, QPlainTextEdit* textEdit, Pasteboard* pasteboard);

    std::optional<QString> clipboardText() const;
    bool clipboardOffersText() const;
    bool isEditable() const;
    void showContextMenu(const QPoint& globalPos);

    QWidget* field_;
    QLineEdit* lineEdit_;
    QPlainTextEdit* textEdit_;
    Pasteboard* pasteboard_;
};

}  // namespace harbelle
