#include "theme/RoundedWindowShape.h"

#include <algorithm>
#include <cmath>

namespace harbelle {

QRegion roundedWindowShape(QSize size, qreal radius) {
    const int w = size.width(), h = size.height();
    if (w <= 0 || h <= 0) return {};
    const int rows = std::min({static_cast<int>(std::ceil(radius)), h / 2, w / 2});
    QRegion shape(0, rows, w, h - 2 * rows);
    for (int y = 0; y < rows; ++y) {
        // The row's lower edge is where the arc comes closest to the side.
        const qreal dy = std::max<qreal>(0, radius - (y + 1));
        const int inset = static_cast<int>(std::floor(radius - std::sqrt(std::max<qreal>(0, radius * radius - dy * dy))));
        shape += QRegion(inset, y, w - 2 * inset, 1);
        shape += QRegion(inset, h - 1 - y, w - 2 * inset, 1);
    }
    return shape;
}

}  // namespace harbelle
