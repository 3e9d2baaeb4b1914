#include "shell/ShelfPanel.h"

#include <QBackingStore>
#include <QHideEvent>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QWindow>
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/FreedMemory.h"
#include "theme/RoundedWindowShape.h"
#include "theme/VisualTheme.h"

namespace harbelle {

// A transparent strip along one edge that turns pointer drags into a live resize.
class ShelfResizeHandle : public QWidget {
public:
    ShelfResizeHandle(ShelfPanel* panel, Qt::Edge edge) : QWidget(panel), panel_(panel), edge_(edge) {
        setAttribute(Qt::WA_TranslucentBackground);
        setCursor(edge == Qt::TopEdge || edge == Qt::BottomEdge ? Qt::SizeVerCursor : Qt::SizeHorCursor);
    }
    Qt::Edge edge() const { return edge_; }

protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
        panel_->beginLiveResize(edge_, event->globalPosition().toPoint());
        event->accept();
    }
    void mouseMoveEvent(QMouseEvent* event) override {
        panel_->continueLiveResize(event->globalPosition().toPoint());
        event->accept();
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(event);
        panel_->endLiveResize();
        event->accept();
    }

private:
    ShelfPanel* panel_;
    Qt::Edge edge_;
};

ShelfPanel::ShelfPanel(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    // Kept for the life of the process: ordered in and out, never closed.
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowTitle(QStringLiteral("Harbelle"));
    setMouseTracking(true);
    setMinimumSize(820, 330);
    setMaximumSize(8000, 520);
    resize(kInitialWidth, kInitialHeight);
    const Qt::Edge edges[] = {Qt::TopEdge, Qt::BottomEdge, Qt::LeftEdge, Qt::RightEdge};
    for (std::size_t i = 0; i < handles_.size(); ++i) handles_[i] = new ShelfResizeHandle(this, edges[i]);
    setResizableEdges(edges_);
}

void ShelfPanel::setContentView(QWidget* content) {
    if (content_ == content) return;
    if (content_) content_->hide();
    content_ = content;
    if (content_) {
        content_->setParent(this);
        content_->setGeometry(rect());
        content_->show();
    }
    placeHandles();
}

void ShelfPanel::setResizableEdges(Qt::Edges edges) {
    edges_ = edges;
    placeHandles();
}

void ShelfPanel::placeHandles() {
    const int t = kHandleThickness;
    const QRect r = rect();
    for (ShelfResizeHandle* handle : handles_) {
        switch (handle->edge()) {
        case Qt::TopEdge: handle->setGeometry(t, 0, r.width() - 2 * t, t); break;
        case Qt::BottomEdge: handle->setGeometry(t, r.height() - t, r.width() - 2 * t, t); break;
        case Qt::LeftEdge: handle->setGeometry(0, t, t, r.height() - 2 * t); break;
        case Qt::RightEdge: handle->setGeometry(r.width() - t, t, t, r.height() - 2 * t); break;
        }
        handle->setVisible(edges_.testFlag(handle->edge()));
        handle->raise();
    }
}

void ShelfPanel::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    // The hidden panel would keep a full-size backing image (megabytes at screen width) for
    // the whole idle time; the next show repaints the whole window into a fresh one anyway.
    if (!event->spontaneous()) {
        if (QBackingStore* store = backingStore()) store->resize(QSize(1, 1));
        // The image sat in the heap, where freeing alone returns nothing. Queued, so that what
        // the content lets go of as it hides after the panel is returned too.
        QMetaObject::invokeMethod(this, [] { returnFreedHeapToSystem(); }, Qt::QueuedConnection);
    }
}

bool ShelfPanel::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    // The core protocol's DestroyNotify (type 17) carries the destroyed window at byte 8. Qt
    // passes it on to the window but does nothing with it itself.
    constexpr std::uint8_t kDestroyNotify = 17;
    if (eventType == "xcb_generic_event_t" && message) {
        const auto* bytes = static_cast<const unsigned char*>(message);
        std::uint32_t window = 0;
        std::memcpy(&window, bytes + 8, sizeof window);
        if ((bytes[0] & 0x7f) == kDestroyNotify && window == effectiveWinId()) {
            // Not from inside the window's own event: its platform window is dropped there.
            QMetaObject::invokeMethod(this, [this] { emit nativeWindowDestroyed(); }, Qt::QueuedConnection);
        }
    }
    return QWidget::nativeEvent(eventType, message, result);
}

void ShelfPanel::discardNativeWindow() {
    hide();
    if (QWindow* window = windowHandle()) window->destroy();
}

void ShelfPanel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (content_) content_->setGeometry(rect());
    placeHandles();
    setMask(roundedWindowShape(size(), VisualTheme::shelfCornerRadius));
    emit frameResized();
}

void ShelfPanel::beginLiveResize(Qt::Edges edge, QPoint globalPosition) {
    if (inLiveResize() || edge == Qt::Edges()) return;
    emit liveResizeWillStart();
    liveEdge_ = edge;
    liveStart_ = globalPosition;
    liveStartFrame_ = geometry();
}

void ShelfPanel::continueLiveResize(QPoint globalPosition) {
    if (!inLiveResize()) return;
    const QPoint delta = globalPosition - liveStart_;
    QRect frame = liveStartFrame_;
    const QSize low = minimumSize();
    const QSize high = maximumSize();
    auto clampWidth = [&](int w) { return std::clamp(w, low.width(), std::max(low.width(), high.width())); };
    auto clampHeight = [&](int h) { return std::clamp(h, low.height(), std::max(low.height(), high.height())); };
    if (liveEdge_.testFlag(Qt::LeftEdge)) frame.setLeft(frame.right() + 1 - clampWidth(frame.width() - delta.x()));
    if (liveEdge_.testFlag(Qt::RightEdge)) frame.setWidth(clampWidth(frame.width() + delta.x()));
    if (liveEdge_.testFlag(Qt::TopEdge)) frame.setTop(frame.bottom() + 1 - clampHeight(frame.height() - delta.y()));
    if (liveEdge_.testFlag(Qt::BottomEdge)) frame.setHeight(clampHeight(frame.height() + delta.y()));
    if (frame != geometry()) setGeometry(frame);
}

void ShelfPanel::endLiveResize() {
    if (!inLiveResize()) return;
    liveEdge_ = Qt::Edges();
    emit liveResizeDidEnd();
}

}  // namespace harbelle
