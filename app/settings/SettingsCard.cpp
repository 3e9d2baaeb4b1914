#include "settings/SettingsCard.h"

#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace harbelle {

SettingsCard::SettingsCard(int spacing, QWidget* parent) : QFrame(parent), content_(new QVBoxLayout(this)) {
    content_->setContentsMargins(18, 18, 18, 18);
    content_->setSpacing(spacing);
    content_->setAlignment(Qt::AlignTop);
}

void SettingsCard::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor primary = palette().color(QPalette::WindowText);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 15, 15);
    primary.setAlphaF(0.045);
    painter.fillPath(shape, primary);
    primary.setAlphaF(0.055);
    painter.setPen(QPen(primary, 1));
    painter.drawPath(shape);
}

}  // namespace harbelle
