#pragma once

#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QWidget>
#include <array>

namespace harbelle {

class ShelfResizeHandle;

// The shelf's window: a frameless, translucent tool window that floats above the others and
// takes the keyboard when shown. Without a frame it resizes itself: thin handles along the
// edges that face the screen's interior let the user drag its size (a "live resize").
class ShelfPanel : public QWidget {
    Q_OBJECT
public:
    static constexpr int kInitialWidth = 1280;
    static constexpr int kInitialHeight = 405;
    static constexpr int kHandleThickness = 6;

    explicit ShelfPanel(QWidget* parent = nullptr);

    void setContentView(QWidget* content);
    QWidget* contentView() const { return content_; }

    // The edges the user may drag; the others lie against the screen edge.
    void setResizableEdges(Qt::Edges edges);
    Qt::Edges resizableEdges() const { return edges_; }
    bool inLiveResize() const { return liveEdge_ != Qt::Edges(); }

    // Drives a live resize from a handle (and from tests): the dragged edge follows the
    // pointer, the opposite edge stays put, the size stays within the limits.
    void beginLiveResize(Qt::Edges edge, QPoint globalPosition);
    void continueLiveResize(QPoint globalPosition);
    void endLiveResize();

    // Drops a native window that no longer exists: the panel counts as hidden again and the
    // next show() builds a new window.
    void discardNativeWindow();

signals:
    // Another program destroyed the panel's window (`xdotool windowclose`, a misbehaving
    // window manager); the widget still believes it is shown on it.
    void nativeWindowDestroyed();
    void liveResizeWillStart();
    // Every change of the window's size, the program's own included.
    void frameResized();
    void liveResizeDidEnd();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    void placeHandles();

    QPointer<QWidget> content_;
    std::array<ShelfResizeHandle*, 4> handles_{};
    Qt::Edges edges_ = Qt::TopEdge | Qt::LeftEdge | Qt::RightEdge;
    Qt::Edges liveEdge_;
    QPoint liveStart_;
    QRect liveStartFrame_;
};

}  // namespace harbelle
