#include "shelf/WindowFramePlacement.h"

#include <algorithm>

namespace harbelle::WindowFramePlacement {

namespace {
// A negative size makes no frame; it counts as empty.
qreal fitted(qreal length, qreal available) {
    return std::max<qreal>(0, std::min(length, std::max<qreal>(0, available)));
}
}  // namespace

QRectF fittedAndCenteredFrame(QSizeF size, const QRectF& visibleFrame, qreal margin) {
    const qreal m = std::max<qreal>(0, margin);
    const qreal width = fitted(size.width(), visibleFrame.width() - 2 * m);
    const qreal height = fitted(size.height(), visibleFrame.height() - 2 * m);
    const QPointF mid = visibleFrame.center();
    return QRectF(mid.x() - width / 2, mid.y() - height / 2, width, height);
}

QRectF constrainedFrame(const QRectF& frame, const QRectF& visibleFrame, qreal margin) {
    const qreal m = std::max<qreal>(0, margin);
    const qreal width = fitted(frame.width(), visibleFrame.width() - 2 * m);
    const qreal height = fitted(frame.height(), visibleFrame.height() - 2 * m);
    qreal x = std::max(frame.x(), visibleFrame.left() + m);
    x = std::min(x, visibleFrame.right() - m - width);
    qreal y = std::max(frame.y(), visibleFrame.top() + m);
    y = std::min(y, visibleFrame.bottom() - m - height);
    return QRectF(x, y, width, height);
}

}  // namespace harbelle::WindowFramePlacement
