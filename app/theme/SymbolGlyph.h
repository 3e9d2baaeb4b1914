#pragma once

#include <QColor>
#include <QIcon>
#include <QRectF>
#include <string_view>

class QPainter;

namespace harbelle {

// The shelf's symbols drawn as vector glyphs, so they look the same on every desktop whether
// or not an icon theme is installed. Names follow the symbol names the model uses
// ("doc", "link", "checkmark.circle.fill", ...); an unknown name draws a plain circle.
namespace SymbolGlyph {

bool isKnown(std::string_view name);
// Draws the glyph into `rect` (kept square and centred) in `color`; filled glyphs cut their
// inner mark out in `innerColor`.
void paint(QPainter& painter, const QRectF& rect, std::string_view name, const QColor& color,
           const QColor& innerColor = Qt::white);
QIcon icon(std::string_view name, const QColor& color, int size = 16,
           const QColor& innerColor = Qt::white);

}  // namespace SymbolGlyph

}  // namespace harbelle
