#include "shelf/TranslucentBackground.h"

#include <QPainter>

#include "theme/VisualTheme.h"

namespace harbelle {

TranslucentBackground::TranslucentBackground(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAutoFillBackground(false);
}

void TranslucentBackground::setBarTransparency(double transparency) {
    if (transparency == barTransparency_) return;
    barTransparency_ = transparency;
    update();
}

void TranslucentBackground::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    QColor fill = VisualTheme::shelfBackground();
    fill.setAlphaF(static_cast<float>(VisualTheme::shelfBackgroundOpacity(barTransparency_)));
    const QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(VisualTheme::shelfBorder(), 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(bounds, VisualTheme::shelfCornerRadius, VisualTheme::shelfCornerRadius);
}

}  // namespace harbelle
