#include "shelf/ToastLineView.h"

#include <QFontMetricsF>
#include <QPainter>
#include <cmath>

#include "shelf/PlainToolTip.h"
#include "theme/SymbolGlyph.h"
#include "theme/VisualTheme.h"

namespace harbelle {

namespace {
constexpr int kHeight = 30;
constexpr int kGlyph = 16;
constexpr int kHorizontalPadding = 12;
constexpr int kSpacing = 8;

QFont toastFont() { return VisualTheme::uiFont(13, QFont::Medium); }
}  // namespace

ToastLineView::ToastLineView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    setVisible(false);
}

void ToastLineView::setToast(const std::optional<Toast>& toast) {
    if (toast && toast->message.empty()) {
        setToast(std::nullopt);
        return;
    }
    toast_ = toast;
    setAccessibleName(toast_ ? QString::fromStdString(toast_->message) : QString());
    setToolTip(plainToolTip(accessibleName()));
    updateGeometry();
    setVisible(toast_.has_value());
    update();
}

QSize ToastLineView::sizeHint() const {
    if (!toast_) return QSize(0, kHeight);
    const QFontMetricsF metrics(toastFont());
    const qreal text = metrics.horizontalAdvance(QString::fromStdString(toast_->message));
    return QSize(static_cast<int>(std::ceil(text)) + 2 * kHorizontalPadding + kGlyph + kSpacing, kHeight);
}

QSize ToastLineView::minimumSizeHint() const {
    return QSize(2 * kHorizontalPadding + kGlyph + kSpacing + 40, kHeight);
}

void ToastLineView::paintEvent(QPaintEvent*) {
    if (!toast_) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const QRectF pill = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(VisualTheme::cardBorder(), 1));
    painter.setBrush(VisualTheme::cardBackground());
    painter.drawRoundedRect(pill, pill.height() / 2, pill.height() / 2);

    const QColor tone = VisualTheme::toastColor(toast_->tone);
    const QRectF glyph(kHorizontalPadding, (height() - kGlyph) / 2.0, kGlyph, kGlyph);
    SymbolGlyph::paint(painter, glyph, VisualTheme::toastSymbol(toast_->tone), tone, VisualTheme::cardBackground());

    const QFont font = toastFont();
    const QFontMetricsF metrics(font);
    const qreal left = glyph.right() + kSpacing;
    const qreal available = width() - left - kHorizontalPadding;
    painter.setFont(font);
    painter.setPen(VisualTheme::primaryText());
    const QString text = metrics.elidedText(QString::fromStdString(toast_->message), Qt::ElideRight, available);
    painter.drawText(QPointF(left, (height() - metrics.height()) / 2 + metrics.ascent()), text);
}

}  // namespace harbelle
