#pragma once

#include <QRectF>
#include <QSizeF>
#include <optional>

#include "history/ShelfPlacement.h"

namespace harbelle {

// What the shelf panel gets when it is laid out: its size limits and its frame.
struct ShelfPanelGeometry {
    QSizeF minimumSize;
    QSizeF maximumSize;
    QRectF frame;
};

// The shelf's frame on a screen, in Qt's top-left screen coordinates: sized from the size
// mode (or the stored custom size of the placement), kept within the screen's limits and
// laid 9 points from the chosen edge. `visibleFrame` is the screen's available geometry.
ShelfPanelGeometry preferredShelfGeometry(const QRectF& visibleFrame, ShelfPlacement placement,
                                          ShelfSizeMode sizeMode,
                                          const std::optional<QSizeF>& customSize);

}  // namespace harbelle
