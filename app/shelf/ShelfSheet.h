#pragma once

#include <QPointer>
#include <QSize>
#include <QWidget>

class QFont;
class QLabel;
class QVBoxLayout;

namespace harbelle {

// A sheet inside the shelf window: dims the shelf and shows one content widget on a rounded
// panel, centred and kept inside the shelf with a margin. The content keeps its own keys;
// Escape on the sheet asks to dismiss it.
class ShelfSheet : public QWidget {
    Q_OBJECT
public:
    explicit ShelfSheet(QWidget* host);

    // Shows `content` (the sheet takes it as a child). A previous content is hidden and
    // given back to no one: its owner keeps it.
    void present(QWidget* content, QSize preferredSize = QSize(640, 340));
    void dismiss();
    bool isPresenting() const { return !isHidden() && content_; }
    QWidget* content() const { return content_; }
    // The panel's rectangle in the sheet's coordinates.
    QRect panelRect() const;

signals:
    void dismissRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void relayout();

    QPointer<QWidget> content_;
    QSize preferredSize_;
    // Where the keyboard was before the sheet took it; it goes back there on dismissal.
    QPointer<QWidget> focusBeforeSheet_;
};

// The body of a tall sheet: a transparent scroll area filling `sheet`, holding a column with
// the given margin and a spacing of 22. Returns the column; its widget is the labels' parent.
QVBoxLayout* makeScrollingSheetColumn(QWidget* sheet, int margin);
// A word-wrapped label of sheet text; `secondary` takes the theme's secondary colour.
QLabel* makeSheetText(const QString& value, const QFont& font, bool secondary, QWidget* parent);

}  // namespace harbelle
