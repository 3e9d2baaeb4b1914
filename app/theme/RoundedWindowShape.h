#pragma once

#include <QRegion>
#include <QSize>

namespace harbelle {

// The region of a window drawn as a rounded rectangle filling it: every pixel the antialiased
// outline touches is inside, the corners beyond it outside. Set as the window's mask, the
// corners show what lies behind even where no compositing manager blends the transparent ones
// (they would show black).
QRegion roundedWindowShape(QSize size, qreal radius);

}  // namespace harbelle
