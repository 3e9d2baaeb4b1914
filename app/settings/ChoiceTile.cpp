#include "settings/ChoiceTile.h"

#include <QPainter>
#include <QPainterPath>

#include "settings/SettingsPageBlocks.h"
#include "theme/VisualTheme.h"

namespace harbelle {

ChoiceTile::ChoiceTile(Drawing drawing, const QString& label, const QString& secondLine, QWidget* parent)
    : QAbstractButton(parent), drawing_(drawing), secondLine_(secondLine) {
    setText(label);
    setAccessibleName(secondLine.isEmpty() ? label : label + " " + secondLine);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    settingsblocks::markKeyboardFocus(this);
}

void ChoiceTile::setSelected(bool selected) {
    if (selected_ == selected) return;
    selected_ = selected;
    update();
}

QSize ChoiceTile::sizeHint() const { return QSize(110, secondLine_.isEmpty() ? 78 : 92); }

void ChoiceTile::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor accent = PemberlowTheme::selection();
    QColor primary = palette().color(QPalette::WindowText);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 11, 11);
    QColor fill = selected_ ? accent : primary;
    fill.setAlphaF(selected_ ? 0.16 : 0.035);
    p.fillPath(shape, fill);
    QColor outline = primary;
    outline.setAlphaF(0.06);
    p.setPen(QPen(selected_ ? accent : outline, selected_ ? 1.5 : 1));
    p.drawPath(shape);
    if (hasFocus() && property(settingsblocks::kKeyboardFocus).toBool()) {
        // The keyboard's place, drawn apart from the selection so that both can be told.
        QPainterPath ring;
        ring.addRoundedRect(QRectF(rect()).adjusted(2.5, 2.5, -2.5, -2.5), 9.5, 9.5);
        p.setPen(QPen(settingsblocks::focusRingColor(), 2));
        p.drawPath(ring);
    }

    // The drawing: a screen with the shelf at its edge, or a shelf at its preset size.
    const QColor ink = isEnabled() ? primary : settingsblocks::tertiaryColor();
    const QRectF symbol(width() / 2.0 - 13, 12, 26, 20);
    p.setPen(QPen(ink, 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(symbol, 3, 3);
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    QRectF bar;
    switch (drawing_) {
    case Drawing::bottom: bar = QRectF(symbol.left() + 3, symbol.bottom() - 6, symbol.width() - 6, 3); break;
    case Drawing::top: bar = QRectF(symbol.left() + 3, symbol.top() + 3, symbol.width() - 6, 3); break;
    case Drawing::left: bar = QRectF(symbol.left() + 3, symbol.top() + 3, 3, symbol.height() - 6); break;
    case Drawing::right: bar = QRectF(symbol.right() - 6, symbol.top() + 3, 3, symbol.height() - 6); break;
    case Drawing::compact: bar = symbol.adjusted(8, 7, -8, -7); break;
    case Drawing::medium: bar = symbol.adjusted(5, 5, -5, -5); break;
    case Drawing::full: bar = symbol.adjusted(3, 3, -3, -3); break;
    }
    p.drawRoundedRect(bar, 1.5, 1.5);

    p.setPen(ink);
    p.setFont(settingsblocks::font(12.5, QFont::DemiBold));
    const int labelTop = static_cast<int>(symbol.bottom()) + 8;
    p.drawText(QRect(0, labelTop, width(), 18), Qt::AlignHCenter | Qt::AlignVCenter, text());
    if (!secondLine_.isEmpty()) {
        p.setPen(settingsblocks::secondaryColor());
        p.setFont(settingsblocks::font(10));
        p.drawText(QRect(0, labelTop + 18, width(), 16), Qt::AlignHCenter | Qt::AlignVCenter, secondLine_);
    }
}

}  // namespace harbelle
