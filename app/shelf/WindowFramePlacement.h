#pragma once

#include <QRectF>
#include <QSizeF>

namespace harbelle {

// Fitting windows and sheets into a screen's visible frame. The rules are symmetric in both
// axes, so they hold in Qt's top-left coordinates as well.
namespace WindowFramePlacement {

// `size` shrunk to the visible frame less `margin` on every side and centred on that frame.
QRectF fittedAndCenteredFrame(QSizeF size, const QRectF& visibleFrame, qreal margin);

// `frame` shrunk to the visible frame less `margin` on every side, then moved inside it.
QRectF constrainedFrame(const QRectF& frame, const QRectF& visibleFrame, qreal margin);

}  // namespace WindowFramePlacement

}  // namespace harbelle
