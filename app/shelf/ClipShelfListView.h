#pragma once

#include <QListView>
#include <QPersistentModelIndex>
#include <functional>

class QDrag;

namespace harbelle {

class ClipCardDelegate;

// The shelf's list of cards: one painted card per row, a row of cards for a bottom or top
// shelf and a stack for a left or right one. A click asks to paste; dragging a card hands
// the clip's clipboard objects to the drop target.
class ClipShelfListView : public QListView {
    Q_OBJECT
public:
    explicit ClipShelfListView(QWidget* parent = nullptr);

    void setCardOrientation(Qt::Orientation orientation);
    Qt::Orientation cardOrientation() const { return orientation_; }
    ClipCardDelegate* cardDelegate() const { return delegate_; }
    // The row whose card lies under `position` (viewport coordinates); none in the gap
    // between two cards.
    QModelIndex cardAt(const QPoint& position) const;

    // Runs a started drag; the default runs QDrag::exec. Tests replace it.
    std::function<Qt::DropAction(QDrag&)> dragExecutor;

signals:
    void cardClicked(const QModelIndex& index);
    // A drag left the card: the view asks for the clip's data and runs the drag.
    void cardDragStarted(const QModelIndex& index);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // The shelf's keys are the panel controller's: the list has no keys of its own.
    void keyPressEvent(QKeyEvent* event) override;
    void keyboardSearch(const QString& search) override;

private:
    void updateCrossExtent();

    ClipCardDelegate* delegate_;
    Qt::Orientation orientation_ = Qt::Horizontal;
    QPoint pressPosition_;
    QPersistentModelIndex pressedIndex_;
    bool dragging_ = false;
};

}  // namespace harbelle
