#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

#include "history/ShelfPlacement.h"

namespace harbelle {

// The style of the shelf's own controls: search field, tool buttons, device pill, labels, the
// card list and its scroll bars.
QString shelfStyleSheet();
// The style of the shelf's pop-up menus (device, placement, a card's context menu).
QString shelfMenuStyleSheet();

// A screen outline with the shelf drawn against the placement's edge.
QIcon shelfPlacementIcon(ShelfPlacement placement, const QColor& color, int size = 16);

}  // namespace harbelle
