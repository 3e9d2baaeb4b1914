#pragma once

#include <QPixmap>
#include <QPointer>
#include <QSize>
#include <QWidget>

class QFont;
class QLabel;
class QVBoxLayout;

namespace harbelle {

// A sheet of the shelf: dims the shelf and shows one content widget on a rounded panel, either
// centred inside the shelf with a margin, or whole in a window of its own in front of the shelf
// (a set-up sheet is taller than the shelf, and a narrow side shelf has no room for a preview).
// The content keeps its own keys; Escape on the sheet asks to dismiss it.
class ShelfSheet : public QWidget {
    Q_OBJECT
public:
    explicit ShelfSheet(QWidget* host);

    // Shows `content` (the sheet takes it as a child). A previous content is hidden and
    // given back to no one: its owner keeps it. Where the shelf cannot hold the panel at the
    // content's minimum size, the panel is shown at `preferredSize` in a window in front of the
    // shelf instead, as `presentAbove` does.
    void present(QWidget* content, QSize preferredSize = QSize(640, 340));
    // Shows `content` in a frameless window in front of the shelf, on the shelf's screen:
    // `width` wide, as high as the content needs up to `maximumHeight` and the screen's free
    // height (only taller content scrolls). The shelf behind stays dimmed and takes no clicks.
    void presentAbove(QWidget* content, int width, int maximumHeight);
    void dismiss();
    bool isPresenting() const { return !isHidden() && content_; }
    QWidget* content() const { return content_; }
    // The panel's rectangle in the sheet's coordinates (a sheet inside the shelf).
    QRect panelRect() const;
    // The window of a sheet presented above the shelf; null for a sheet inside the shelf.
    QWidget* aboveWindow() const;
    // A picture of the panel and its content, wherever it is shown.
    QPixmap grabPanel() const;
    // The height `content` needs at `width`: a scrolling sheet column counts its whole content.
    static int contentHeight(QWidget* content, int width);

signals:
    void dismissRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    class AboveWindow;
    void relayout();
    bool contentFitsInside() const;
    void presentInFront(QWidget* content, int width, int maximumHeight, bool fillsHeight);
    void placeAboveWindow();
    void showAboveWindow();
    void watchShelfWindow();

    QPointer<QWidget> content_;
    QSize preferredSize_;
    AboveWindow* above_ = nullptr;
    bool presentsAbove_ = false;
    bool placing_ = false;
    int aboveWidth_ = 0;
    int aboveMaximumHeight_ = 0;
    // The window takes its maximum height whatever the content asks (a preview, not a column).
    bool aboveFillsHeight_ = false;
    QPointer<QWidget> watchedWindow_;
    QPointer<QWidget> watchedColumn_;
    // Where the keyboard was before the sheet took it; it goes back there on dismissal.
    QPointer<QWidget> focusBeforeSheet_;
};

// The body of a tall sheet: a transparent scroll area filling `sheet`, holding a column with
// the given margin and a spacing of 22. Returns the column; its widget is the labels' parent.
QVBoxLayout* makeScrollingSheetColumn(QWidget* sheet, int margin);
// A word-wrapped label of sheet text; `secondary` takes the theme's secondary colour.
QLabel* makeSheetText(const QString& value, const QFont& font, bool secondary, QWidget* parent);

}  // namespace harbelle
