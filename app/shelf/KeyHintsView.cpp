#include "shelf/KeyHintsView.h"

#include <QFontMetricsF>
#include <QPainter>
#include <cmath>

#include "theme/VisualTheme.h"

namespace harbelle {

namespace {
constexpr int kHeight = 22;
constexpr qreal kCapPadding = 6;
constexpr qreal kCapToTitle = 6;
constexpr qreal kBetweenHints = 16;

QFont capFont() { return VisualTheme::uiFont(11, QFont::DemiBold); }
QFont titleFont() { return VisualTheme::uiFont(11); }
}  // namespace

KeyHintsView::KeyHintsView(QWidget* parent) : QWidget(parent), hints_(shelfHints()) {
    setAttribute(Qt::WA_TranslucentBackground);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

std::vector<KeyHint> KeyHintsView::shelfHints(bool choosingPastes) {
    return {
        {QStringLiteral("\u21A9"), choosingPastes ? QStringLiteral("Paste") : QStringLiteral("Copy")},
        {QStringLiteral("\u21E7\u21A9"), QStringLiteral("Plain text")},
        {QStringLiteral("Ctrl 1\u20269"), choosingPastes ? QStringLiteral("Quick paste") : QStringLiteral("Quick copy")},
        {QStringLiteral("\u2190  \u2192"), QStringLiteral("Move")},
        {QStringLiteral("Space"), QStringLiteral("Preview")},
        {QStringLiteral("Ctrl F"), QStringLiteral("Search")},
        {QStringLiteral("\u232B"), QStringLiteral("Delete")},
        {QStringLiteral("Esc"), QStringLiteral("Dismiss")},
    };
}

void KeyHintsView::setHints(std::vector<KeyHint> hints) {
    hints_ = std::move(hints);
    updateGeometry();
    update();
}

qreal KeyHintsView::hintWidth(const KeyHint& hint) const {
    const QFontMetricsF caps(capFont());
    const QFontMetricsF titles(titleFont());
    return caps.horizontalAdvance(hint.keys) + 2 * kCapPadding + kCapToTitle + titles.horizontalAdvance(hint.title);
}

int KeyHintsView::visibleHintCount(int width) const {
    qreal used = 0;
    int count = 0;
    for (const auto& hint : hints_) {
        const qreal next = used + (count > 0 ? kBetweenHints : 0) + hintWidth(hint);
        if (next > width) break;
        used = next;
        ++count;
    }
    return count;
}

QSize KeyHintsView::sizeHint() const {
    qreal width = 0;
    for (std::size_t i = 0; i < hints_.size(); ++i) width += (i ? kBetweenHints : 0) + hintWidth(hints_[i]);
    return QSize(static_cast<int>(std::ceil(width)), kHeight);
}

QSize KeyHintsView::minimumSizeHint() const { return QSize(0, kHeight); }

void KeyHintsView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const QFont caps = capFont();
    const QFont titles = titleFont();
    const QFontMetricsF capMetrics(caps);
    const QFontMetricsF titleMetrics(titles);
    const int count = visibleHintCount(width());
    const qreal capHeight = 18;
    const qreal top = (height() - capHeight) / 2;
    qreal x = 0;
    for (int i = 0; i < count; ++i) {
        const KeyHint& hint = hints_[static_cast<std::size_t>(i)];
        const qreal capWidth = capMetrics.horizontalAdvance(hint.keys) + 2 * kCapPadding;
        const QRectF cap(x, top, capWidth, capHeight);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(255, 255, 255, 22));
        painter.drawRoundedRect(cap, 5, 5);
        painter.setFont(caps);
        painter.setPen(VisualTheme::primaryText());
        painter.drawText(QPointF(cap.left() + kCapPadding, cap.top() + (capHeight - capMetrics.height()) / 2 + capMetrics.ascent()),
                         hint.keys);
        painter.setFont(titles);
        painter.setPen(VisualTheme::secondaryText());
        const qreal titleX = cap.right() + kCapToTitle;
        painter.drawText(QPointF(titleX, (height() - titleMetrics.height()) / 2 + titleMetrics.ascent()), hint.title);
        x = titleX + titleMetrics.horizontalAdvance(hint.title) + kBetweenHints;
    }
}

}  // namespace harbelle
