#include "theme/AppMark.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

#include "theme/VisualTheme.h"

namespace harbelle {

AppMark::AppMark(qreal size, QWidget* parent) : QWidget(parent), size_(std::max<qreal>(0, size)) {
    setFixedSize(sizeHint());
}

void AppMark::setMarkSize(qreal size) {
    size_ = std::max<qreal>(0, size);
    setFixedSize(sizeHint());
    update();
}

QSize AppMark::sizeHint() const {
    const int side = static_cast<int>(std::ceil(size_));
    return QSize(side, side);
}

void AppMark::paint(QPainter& painter, const QRectF& rect) {
    const qreal s = std::min(rect.width(), rect.height());
    if (s <= 0) return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.translate(rect.center().x() - s / 2, rect.center().y() - s / 2);

    const QRectF tile(0, 0, s, s);
    QLinearGradient gradient(tile.topLeft(), tile.bottomRight());
    gradient.setColorAt(0, QColor(0x4c, 0xb4, 0xff));
    gradient.setColorAt(0.55, PemberlowTheme::selection());
    gradient.setColorAt(1, QColor(0x3b, 0x3f, 0xe0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(gradient);
    painter.drawRoundedRect(tile, s * 0.225, s * 0.225);

    // Three cards fanned on a shelf line.
    const qreal cw = s * 0.30;
    const qreal ch = s * 0.40;
    const qreal baseY = s * 0.68;
    const QColor back(255, 255, 255, 110);
    const QColor middle(255, 255, 255, 170);
    const QColor front(255, 255, 255, 250);
    auto card = [&](qreal cx, qreal lift, qreal angle, const QColor& color) {
        painter.save();
        painter.translate(cx, baseY - lift);
        painter.rotate(angle);
        painter.setBrush(color);
        painter.drawRoundedRect(QRectF(-cw / 2, -ch, cw, ch), s * 0.05, s * 0.05);
        painter.restore();
    };
    card(s * 0.30, 0, -12, back);
    card(s * 0.70, 0, 12, middle);
    card(s * 0.50, s * 0.03, 0, front);
    // Lines of text on the front card.
    painter.setBrush(QColor(0x1e, 0x6f, 0xf0));
    const qreal lx = s * 0.50 - cw / 2 + s * 0.05;
    for (int i = 0; i < 3; ++i) {
        const qreal w = (i == 2 ? 0.11 : 0.19) * s;
        painter.drawRoundedRect(QRectF(lx, baseY - s * 0.03 - ch + s * (0.08 + i * 0.07), w, s * 0.035),
                                s * 0.017, s * 0.017);
    }
    // The shelf.
    painter.setBrush(QColor(255, 255, 255, 235));
    painter.drawRoundedRect(QRectF(s * 0.16, baseY + s * 0.05, s * 0.68, s * 0.06), s * 0.03, s * 0.03);
    painter.restore();
}

QPixmap AppMark::pixmap(qreal size, qreal devicePixelRatio) {
    const qreal ratio = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    const int side = std::max(1, static_cast<int>(std::ceil(std::max<qreal>(0, size) * ratio)));
    QPixmap result(side, side);
    result.setDevicePixelRatio(ratio);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    paint(painter, QRectF(0, 0, side / ratio, side / ratio));
    return result;
}

void AppMark::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paint(painter, QRectF(0, 0, size_, size_));
}

}  // namespace harbelle
