#include "shelf/ClipShelfListView.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QWheelEvent>

#include "shelf/ClipCardDelegate.h"
#include "shelf/ThumbnailCache.h"

namespace harbelle {

ClipShelfListView::ClipShelfListView(QWidget* parent) : QListView(parent), delegate_(new ClipCardDelegate(this)) {
    setItemDelegate(delegate_);
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setMouseTracking(true);
    viewport()->setAttribute(Qt::WA_Hover);
    viewport()->setAutoFillBackground(false);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setMovement(QListView::Static);
    setResizeMode(QListView::Fixed);
    setLayoutMode(QListView::SinglePass);
    setWrapping(false);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setFocusPolicy(Qt::ClickFocus);
    setDragEnabled(false);  // drags are started by hand to run the store's drag session
    setCardOrientation(Qt::Horizontal);
}

void ClipShelfListView::setCardOrientation(Qt::Orientation orientation) {
    orientation_ = orientation;
    delegate_->setOrientation(orientation);
    setFlow(orientation == Qt::Horizontal ? QListView::LeftToRight : QListView::TopToBottom);
    setHorizontalScrollBarPolicy(orientation == Qt::Horizontal ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(orientation == Qt::Horizontal ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
    updateCrossExtent();
}

void ClipShelfListView::updateCrossExtent() {
    const QSize area = maximumViewportSize();
    const int extent = orientation_ == Qt::Horizontal ? area.height() - 10 : area.width() - 10;
    if (extent > 40 && extent != delegate_->crossExtent()) {
        delegate_->setCrossExtent(extent);
        doItemsLayout();
    }
}

void ClipShelfListView::resizeEvent(QResizeEvent* event) {
    QListView::resizeEvent(event);
    updateCrossExtent();
}

void ClipShelfListView::wheelEvent(QWheelEvent* event) {
    // A row of cards scrolls sideways with an ordinary wheel.
    if (orientation_ == Qt::Horizontal && event->angleDelta().x() == 0) {
        QScrollBar* bar = horizontalScrollBar();
        bar->setValue(bar->value() - event->angleDelta().y());
        event->accept();
        return;
    }
    QListView::wheelEvent(event);
}

QModelIndex ClipShelfListView::cardAt(const QPoint& position) const {
    const QModelIndex index = indexAt(position);
    if (!index.isValid() || !ClipCardDelegate::cardRect(QRectF(visualRect(index))).contains(QPointF(position)))
        return {};
    return index;
}

void ClipShelfListView::keyPressEvent(QKeyEvent* event) {
    // Home, End, the page keys and type-to-find would move the highlight behind the user's back,
    // and Ctrl+C would copy the card's title.
    event->ignore();
}

void ClipShelfListView::keyboardSearch(const QString&) {}

void ClipShelfListView::mousePressEvent(QMouseEvent* event) {
    dragging_ = false;
    pressPosition_ = event->position().toPoint();
    pressedIndex_ = cardAt(pressPosition_);
    // A press in the gap between cards is on no card: the neighbour is not picked.
    if (event->button() == Qt::LeftButton || !pressedIndex_.isValid()) {
        event->accept();
        return;
    }
    QListView::mousePressEvent(event);
}

void ClipShelfListView::mouseMoveEvent(QMouseEvent* event) {
    if ((event->buttons() & Qt::LeftButton) && pressedIndex_.isValid() && !dragging_ &&
        (event->position().toPoint() - pressPosition_).manhattanLength() >= QApplication::startDragDistance()) {
        dragging_ = true;
        const QModelIndex index = pressedIndex_;
        pressedIndex_ = QPersistentModelIndex();
        emit cardDragStarted(index);
        event->accept();
        return;
    }
    QListView::mouseMoveEvent(event);
}

void ClipShelfListView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const QModelIndex index = cardAt(event->position().toPoint());
        if (!dragging_ && index.isValid() && index == pressedIndex_) emit cardClicked(index);
        pressedIndex_ = QPersistentModelIndex();
        dragging_ = false;
        event->accept();
        return;
    }
    QListView::mouseReleaseEvent(event);
}

}  // namespace harbelle
