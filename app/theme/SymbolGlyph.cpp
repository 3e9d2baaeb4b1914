#include "theme/SymbolGlyph.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <algorithm>
#include <array>
#include <cmath>

namespace harbelle::SymbolGlyph {

namespace {

constexpr std::array<std::string_view, 25> kKnown{
    "text.alignleft", "link", "photo", "doc", "chevron.left.forwardslash.chevron.right",
    "paintpalette", "star.fill", "star", "checkmark.circle.fill", "info.circle.fill",
    "exclamationmark.triangle.fill", "desktopcomputer", "iphone", "ipad",
    "laptopcomputer.and.iphone", "magnifyingglass", "xmark", "gearshape", "plus",
    "doc.on.doc", "trash", "pencil", "exclamationmark.circle.fill", "clock.arrow.circlepath",
    "keyboard.badge.ellipsis"};

// Glyphs are drawn on a 24 × 24 grid.
QPen strokePen(const QColor& color, qreal width = 2.0) {
    QPen pen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    return pen;
}

QPainterPath starPath(QPointF c, qreal outer, qreal inner) {
    QPainterPath path;
    for (int i = 0; i < 10; ++i) {
        const qreal r = (i % 2 == 0) ? outer : inner;
        const qreal a = -M_PI / 2 + i * M_PI / 5;
        const QPointF p(c.x() + r * std::cos(a), c.y() + r * std::sin(a));
        if (i == 0) path.moveTo(p); else path.lineTo(p);
    }
    path.closeSubpath();
    return path;
}

void drawGlyph(QPainter& p, std::string_view name, const QColor& color, const QColor& inner) {
    p.setBrush(Qt::NoBrush);
    p.setPen(strokePen(color));
    if (name == "text.alignleft") {
        const qreal lengths[] = {16, 11, 16, 8};
        for (int i = 0; i < 4; ++i) p.drawLine(QPointF(4, 6 + i * 4), QPointF(4 + lengths[i], 6 + i * 4));
    } else if (name == "link") {
        p.save();
        p.translate(12, 12);
        p.rotate(-45);
        p.drawRoundedRect(QRectF(-9.5, -3.5, 10, 7), 3.5, 3.5);
        p.drawRoundedRect(QRectF(-0.5, -3.5, 10, 7), 3.5, 3.5);
        p.restore();
    } else if (name == "photo") {
        p.drawRoundedRect(QRectF(3, 5, 18, 14), 3, 3);
        p.setBrush(color);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(15.5, 9.5), 1.8, 1.8);
        QPainterPath hills;
        hills.moveTo(4, 18);
        hills.lineTo(9.5, 11.5);
        hills.lineTo(13.5, 16);
        hills.lineTo(15.5, 14);
        hills.lineTo(20, 18);
        hills.closeSubpath();
        p.drawPath(hills);
    } else if (name == "doc" || name == "doc.on.doc") {
        if (name == "doc.on.doc") p.drawRoundedRect(QRectF(8, 2.5, 12, 15), 2, 2);
        const qreal dx = name == "doc.on.doc" ? -3 : 0;
        const qreal dy = name == "doc.on.doc" ? 3 : 0;
        QPainterPath page;
        page.moveTo(6 + dx, 3 + dy);
        page.lineTo(14 + dx, 3 + dy);
        page.lineTo(19 + dx, 8 + dy);
        page.lineTo(19 + dx, 21 + dy - (dy ? 1 : 0));
        page.lineTo(6 + dx, 21 + dy - (dy ? 1 : 0));
        page.closeSubpath();
        if (dy) p.setBrush(inner);
        p.drawPath(page);
        p.setBrush(Qt::NoBrush);
        p.drawPolyline(QPolygonF({QPointF(14 + dx, 3 + dy), QPointF(14 + dx, 8 + dy), QPointF(19 + dx, 8 + dy)}));
    } else if (name == "chevron.left.forwardslash.chevron.right") {
        p.drawPolyline(QPolygonF({QPointF(7, 7), QPointF(2.5, 12), QPointF(7, 17)}));
        p.drawPolyline(QPolygonF({QPointF(17, 7), QPointF(21.5, 12), QPointF(17, 17)}));
        p.drawLine(QPointF(14, 5), QPointF(10, 19));
    } else if (name == "paintpalette") {
        QPainterPath blob;
        blob.addEllipse(QRectF(3, 3.5, 18, 17));
        QPainterPath notch;
        notch.addEllipse(QRectF(13, 13, 6, 6));
        p.setBrush(color);
        p.setPen(Qt::NoPen);
        p.drawPath(blob.subtracted(notch));
        p.setBrush(inner);
        p.drawEllipse(QPointF(8, 9.5), 1.7, 1.7);
        p.drawEllipse(QPointF(12.5, 7.5), 1.7, 1.7);
        p.drawEllipse(QPointF(7.5, 14.5), 1.7, 1.7);
    } else if (name == "star.fill" || name == "star") {
        if (name == "star.fill") {
            p.setBrush(color);
            p.setPen(strokePen(color, 1.2));
        } else {
            p.setPen(strokePen(color, 1.6));
        }
        p.drawPath(starPath(QPointF(12, 12.8), 10, 4.4));
    } else if (name == "checkmark.circle.fill" || name == "info.circle.fill") {
        p.setBrush(color);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QRectF(2, 2, 20, 20));
        p.setPen(strokePen(inner, 2.2));
        if (name == "checkmark.circle.fill") {
            p.drawPolyline(QPolygonF({QPointF(7.5, 12.5), QPointF(10.7, 15.5), QPointF(16.5, 8.8)}));
        } else {
            p.drawLine(QPointF(12, 11), QPointF(12, 17));
            p.setBrush(inner);
            p.setPen(Qt::NoPen);
            p.drawEllipse(QPointF(12, 7.4), 1.5, 1.5);
        }
    } else if (name == "exclamationmark.circle.fill") {
        p.setBrush(color);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QRectF(2, 2, 20, 20));
        p.setPen(strokePen(inner, 2.2));
        p.drawLine(QPointF(12, 7), QPointF(12, 13));
        p.setBrush(inner);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(12, 16.6), 1.5, 1.5);
    } else if (name == "clock.arrow.circlepath") {
        p.setPen(strokePen(color, 1.8));
        p.drawArc(QRectF(3.5, 3.5, 17, 17), 150 * 16, -300 * 16);
        p.drawPolyline(QPolygonF({QPointF(2.2, 6.8), QPointF(4.2, 9.6), QPointF(7.2, 8.2)}));
        p.drawPolyline(QPolygonF({QPointF(12, 7.5), QPointF(12, 12), QPointF(15, 14)}));
    } else if (name == "keyboard.badge.ellipsis") {
        p.setPen(strokePen(color, 1.6));
        p.drawRoundedRect(QRectF(2.5, 6, 19, 12), 2.5, 2.5);
        p.setBrush(color);
        p.setPen(Qt::NoPen);
        for (qreal x : {6.5, 10.5, 14.5}) p.drawEllipse(QPointF(x, 10.5), 0.9, 0.9);
        p.drawRoundedRect(QRectF(7, 13.3, 10, 1.8), 0.9, 0.9);
    } else if (name == "exclamationmark.triangle.fill") {
        p.setBrush(color);
        p.setPen(QPen(color, 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolygon(QPolygonF({QPointF(12, 3.2), QPointF(21.5, 20), QPointF(2.5, 20)}));
        p.setPen(strokePen(inner, 2.2));
        p.drawLine(QPointF(12, 9), QPointF(12, 14));
        p.setBrush(inner);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(12, 17.3), 1.4, 1.4);
    } else if (name == "desktopcomputer") {
        p.drawRoundedRect(QRectF(2.5, 4, 19, 12.5), 2, 2);
        p.drawLine(QPointF(12, 16.5), QPointF(12, 20));
        p.drawLine(QPointF(8, 20.5), QPointF(16, 20.5));
    } else if (name == "iphone") {
        p.drawRoundedRect(QRectF(7, 2.5, 10, 19), 2.5, 2.5);
        p.drawLine(QPointF(10.5, 5), QPointF(13.5, 5));
    } else if (name == "ipad") {
        p.drawRoundedRect(QRectF(4, 3, 16, 18), 2.5, 2.5);
        p.drawPoint(QPointF(12, 18.5));
    } else if (name == "laptopcomputer.and.iphone") {
        p.drawRoundedRect(QRectF(2.5, 5, 13, 9.5), 1.5, 1.5);
        p.drawLine(QPointF(1, 17.5), QPointF(15, 17.5));
        p.drawRoundedRect(QRectF(17, 8, 5.5, 10), 1.5, 1.5);
    } else if (name == "magnifyingglass") {
        p.drawEllipse(QRectF(3.5, 3.5, 12, 12));
        p.drawLine(QPointF(14, 14), QPointF(20.5, 20.5));
    } else if (name == "xmark") {
        p.drawLine(QPointF(6, 6), QPointF(18, 18));
        p.drawLine(QPointF(18, 6), QPointF(6, 18));
    } else if (name == "plus") {
        p.drawLine(QPointF(12, 5), QPointF(12, 19));
        p.drawLine(QPointF(5, 12), QPointF(19, 12));
    } else if (name == "gearshape") {
        p.drawEllipse(QRectF(8.5, 8.5, 7, 7));
        for (int i = 0; i < 8; ++i) {
            const qreal a = i * M_PI / 4;
            p.drawLine(QPointF(12 + 6.5 * std::cos(a), 12 + 6.5 * std::sin(a)),
                       QPointF(12 + 9 * std::cos(a), 12 + 9 * std::sin(a)));
        }
        p.drawEllipse(QRectF(5.5, 5.5, 13, 13));
    } else if (name == "trash") {
        p.drawLine(QPointF(4, 6.5), QPointF(20, 6.5));
        p.drawPolyline(QPolygonF({QPointF(9.5, 6.5), QPointF(9.5, 3.5), QPointF(14.5, 3.5), QPointF(14.5, 6.5)}));
        p.drawPolyline(QPolygonF({QPointF(6, 6.5), QPointF(7.2, 20.5), QPointF(16.8, 20.5), QPointF(18, 6.5)}));
    } else if (name == "pencil") {
        p.drawPolygon(QPolygonF({QPointF(16, 4), QPointF(20, 8), QPointF(8.5, 19.5), QPointF(3.8, 20.2), QPointF(4.5, 15.5)}));
    } else {
        p.drawEllipse(QRectF(4, 4, 16, 16));
    }
}

}  // namespace

bool isKnown(std::string_view name) {
    return std::find(kKnown.begin(), kKnown.end(), name) != kKnown.end();
}

void paint(QPainter& painter, const QRectF& rect, std::string_view name, const QColor& color,
           const QColor& innerColor) {
    const qreal side = std::min(rect.width(), rect.height());
    if (side <= 0) return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.translate(rect.center().x() - side / 2, rect.center().y() - side / 2);
    painter.scale(side / 24.0, side / 24.0);
    drawGlyph(painter, name, color, innerColor);
    painter.restore();
}

QIcon icon(std::string_view name, const QColor& color, int size, const QColor& innerColor) {
    QIcon result;
    for (const qreal scale : {1.0, 2.0}) {
        QPixmap pixmap(QSize(size, size) * scale);
        pixmap.setDevicePixelRatio(scale);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(painter, QRectF(0, 0, size, size), name, color, innerColor);
        painter.end();
        result.addPixmap(pixmap);
    }
    return result;
}

}  // namespace harbelle::SymbolGlyph
