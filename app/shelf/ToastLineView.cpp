#include "shelf/ToastLineView.h"

#include <QFontMetricsF>
#include <QPainter>
#include <algorithm>
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
constexpr int kVerticalPadding = 6;
// Narrower than this the message would wrap into a column: the pill keeps this much.
constexpr int kMinimumTextWidth = 220;
constexpr int kTextFlags = Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignVCenter;

QFont toastFont() { return VisualTheme::uiFont(13, QFont::Medium); }
}  // namespace

ToastLineView::ToastLineView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    // Not fixed in height: a wrapped message needs more than one line's height. The pill is drawn
    // only as high as its text, centred in whatever height the row gives.
    QSizePolicy policy(QSizePolicy::Maximum, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
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
    const int chrome = 2 * kHorizontalPadding + kGlyph + kSpacing;
    return QSize(std::min(sizeHint().width(), chrome + kMinimumTextWidth), kHeight);
}

int ToastLineView::heightForWidth(int width) const {
    if (!toast_) return kHeight;
    const int available = std::max(1, width - 2 * kHorizontalPadding - kGlyph - kSpacing);
    const QFontMetricsF metrics(toastFont());
    const QRectF text = metrics.boundingRect(QRectF(0, 0, available, 10000), kTextFlags,
                                             QString::fromStdString(toast_->message));
    return std::max(kHeight, static_cast<int>(std::ceil(text.height())) + 2 * kVerticalPadding);
}

void ToastLineView::paintEvent(QPaintEvent*) {
    if (!toast_) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const int pillHeight = std::min(height(), heightForWidth(width()));
    const qreal top = (height() - pillHeight) / 2.0;
    const QRectF pill = QRectF(0, top, width(), pillHeight).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(VisualTheme::cardBorder(), 1));
    painter.setBrush(VisualTheme::cardBackground());
    const qreal radius = std::min(pill.height(), static_cast<qreal>(kHeight)) / 2;
    painter.drawRoundedRect(pill, radius, radius);

    const QColor tone = VisualTheme::toastColor(toast_->tone);
    const QRectF glyph(kHorizontalPadding, top + (kHeight - kGlyph) / 2.0, kGlyph, kGlyph);
    SymbolGlyph::paint(painter, glyph, VisualTheme::toastSymbol(toast_->tone), tone, VisualTheme::cardBackground());

    const qreal left = glyph.right() + kSpacing;
    painter.setFont(toastFont());
    painter.setPen(VisualTheme::primaryText());
    const QRectF text(left, top + kVerticalPadding, width() - left - kHorizontalPadding,
                      pillHeight - 2 * kVerticalPadding);
    painter.drawText(text, kTextFlags, QString::fromStdString(toast_->message));
}

}  // namespace harbelle
