#include "shell/ShelfPanelGeometry.h"

#include <algorithm>
#include <cmath>

namespace harbelle {

namespace {

constexpr qreal kEdgeInset = 9;

bool usable(const std::optional<QSizeF>& size) {
    return size && std::isfinite(size->width()) && std::isfinite(size->height());
}

// Raised to the lower bound first, so the upper bound wins when the range is empty.
qreal clampOrigin(qreal origin, qreal low, qreal high) {
    return std::min(std::max(origin, low), high);
}

}  // namespace

ShelfPanelGeometry preferredShelfGeometry(const QRectF& visibleFrame, ShelfPlacement placement,
                                          ShelfSizeMode sizeMode,
                                          const std::optional<QSizeF>& customSize) {
    const QRectF& v = visibleFrame;
    const QSizeF available(std::max<qreal>(v.width() - 2 * kEdgeInset, 1),
                           std::max<qreal>(v.height() - 2 * kEdgeInset, 1));
    const bool vertical = shelfplacement::isVertical(placement);

    QSizeF maximum;
    QSizeF minimum;
    if (!vertical) {
        maximum = QSizeF(available.width(), std::min<qreal>(0.62 * available.height(), 520));
        minimum = QSizeF(std::min<qreal>(available.width(), 820), std::min<qreal>(maximum.height(), 330));
    } else {
        maximum = QSizeF(std::min<qreal>(available.width(), 540), available.height());
        minimum = QSizeF(std::min<qreal>(available.width(), 320), std::min<qreal>(available.height(), 440));
    }

    auto presetSize = [&](ShelfSizeMode mode) -> QSizeF {
        switch (mode) {
        case ShelfSizeMode::compact:
            return vertical ? QSizeF(320, std::max<qreal>(0.52 * available.height(), 440))
                            : QSizeF(std::max<qreal>(0.46 * v.width(), 820), 330);
        case ShelfSizeMode::medium:
            return vertical ? QSizeF(370, std::max<qreal>(0.72 * available.height(), 600))
                            : QSizeF(std::max<qreal>(0.70 * v.width(), 1080), 405);
        case ShelfSizeMode::full:
            return vertical ? QSizeF(390, available.height()) : QSizeF(available.width(), 405);
        case ShelfSizeMode::custom:
            break;
        }
        // Without a stored size: the vertical medium size, or the panel's initial width.
        return vertical ? QSizeF(370, std::max<qreal>(0.72 * available.height(), 600))
                        : QSizeF(std::min<qreal>(1280, available.width()), 405);
    };
    QSizeF preferred = presetSize(sizeMode);
    if (sizeMode == ShelfSizeMode::custom && usable(customSize)) preferred = *customSize;

    const QSizeF size(std::min(maximum.width(), std::max(preferred.width(), minimum.width())),
                      std::min(maximum.height(), std::max(preferred.height(), minimum.height())));

    // Qt's y grows downward: the bottom edge is the visible frame's bottom.
    qreal x = 0;
    qreal y = 0;
    switch (placement) {
    case ShelfPlacement::bottom:
        x = v.center().x() - size.width() / 2;
        y = v.bottom() - size.height() - kEdgeInset;
        break;
    case ShelfPlacement::top:
        x = v.center().x() - size.width() / 2;
        y = v.top() + kEdgeInset;
        break;
    case ShelfPlacement::left:
        x = v.left() + kEdgeInset;
        y = v.center().y() - size.height() / 2;
        break;
    case ShelfPlacement::right:
        x = v.right() - size.width() - kEdgeInset;
        y = v.center().y() - size.height() / 2;
        break;
    }
    x = clampOrigin(x, v.left() + kEdgeInset, v.right() - size.width() - kEdgeInset);
    y = clampOrigin(y, v.top() + kEdgeInset, v.bottom() - size.height() - kEdgeInset);

    return ShelfPanelGeometry{minimum, maximum, QRectF(QPointF(x, y), size)};
}

}  // namespace harbelle
