#include "shelf/FilterChip.h"

#include <QFontMetricsF>
#include <QPainter>
#include <cmath>
#include <string_view>

#include "theme/SymbolGlyph.h"
#include "theme/VisualTheme.h"

namespace harbelle {

namespace {

constexpr qreal kGlyph = 13;
constexpr qreal kPadding = 10;
constexpr qreal kGap = 6;
constexpr qreal kTightPadding = 7;
constexpr qreal kTightGap = 4;

QString filterTitle(ClipFilter filter) {
    switch (filter) {
    case ClipFilter::all: return QStringLiteral("All");
    case ClipFilter::favorites: return QStringLiteral("Favorites");
    case ClipFilter::text: return QStringLiteral("Text");
    case ClipFilter::links: return QStringLiteral("Links");
    case ClipFilter::images: return QStringLiteral("Images");
    case ClipFilter::files: return QStringLiteral("Files");
    }
    return {};
}

std::string_view filterSymbol(ClipFilter filter) {
    switch (filter) {
    case ClipFilter::all: return "doc.on.doc";
    case ClipFilter::favorites: return "star.fill";
    case ClipFilter::text: return "text.alignleft";
    case ClipFilter::links: return "link";
    case ClipFilter::images: return "photo";
    case ClipFilter::files: return "doc";
    }
    return "doc";
}

QColor filterColor(ClipFilter filter) {
    switch (filter) {
    case ClipFilter::all: return VisualTheme::secondaryText();
    case ClipFilter::favorites: return VisualTheme::favorite();
    case ClipFilter::text: return VisualTheme::kindColor(ClipKind::text);
    case ClipFilter::links: return VisualTheme::kindColor(ClipKind::link);
    case ClipFilter::images: return VisualTheme::kindColor(ClipKind::image);
    case ClipFilter::files: return VisualTheme::kindColor(ClipKind::file);
    }
    return VisualTheme::secondaryText();
}

}  // namespace

FilterChip::FilterChip(ClipFilter filter, QWidget* parent) : QAbstractButton(parent), filter_(filter) {
    setCheckable(true);
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
    setText(filterTitle(filter));
    setAccessibleName(filterTitle(filter));
    setToolTip(filterTitle(filter));
    setAttribute(Qt::WA_Hover);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void FilterChip::setCount(int count) {
    if (count == count_) return;
    count_ = count;
    updateGeometry();
    update();
}

void FilterChip::setCompact(bool compact) {
    if (compact == compact_) return;
    compact_ = compact;
    updateGeometry();
    update();
}

void FilterChip::setTitleShown(bool shown) {
    if (shown == titleShown_) return;
    titleShown_ = shown;
    update();
}

void FilterChip::setTight(bool tight) {
    if (tight == tight_) return;
    tight_ = tight;
    updateGeometry();
    update();
}

int FilterChip::titledWidth(bool tight) const {
    const qreal padding = tight ? kTightPadding : kPadding;
    const qreal gaps = tight ? 2 * (kGap - kTightGap) : 0;
    return static_cast<int>(std::ceil(2 * padding + contentWidth(true) - gaps));
}

int FilterChip::glyphWidth() const { return static_cast<int>(std::ceil(2 * kTightPadding + contentWidth(false))); }

qreal FilterChip::countWidth() const {
    return QFontMetricsF(VisualTheme::uiFont(11)).horizontalAdvance(QString::number(count_));
}

qreal FilterChip::contentWidth(bool titled) const {
    if (!titled) return kGlyph + kTightGap + countWidth();
    return kGlyph + kGap + QFontMetricsF(VisualTheme::uiFont(12, QFont::Medium)).horizontalAdvance(text()) + kGap +
           countWidth();
}

void FilterChip::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const bool hovered = underMouse();
    QColor fill = isChecked() ? PemberlowTheme::selection() : QColor(255, 255, 255, hovered ? 26 : 14);
    painter.setPen(isChecked() ? Qt::NoPen : QPen(QColor(255, 255, 255, 18), 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(bounds, bounds.height() / 2, bounds.height() / 2);

    const bool titled = showsTitle();
    const bool roomy = titled && !tight_;
    qreal x = roomy ? kPadding : kTightPadding;
    const qreal gap = roomy ? kGap : kTightGap;
    const QColor glyphColor = isChecked() ? QColor(Qt::white) : filterColor(filter_);
    SymbolGlyph::paint(painter, QRectF(x, (height() - kGlyph) / 2.0, kGlyph, kGlyph), filterSymbol(filter_),
                       glyphColor, isChecked() ? PemberlowTheme::selection() : VisualTheme::cardBackground());
    x += kGlyph + gap;
    if (titled) {
        const QFont font = VisualTheme::uiFont(12, QFont::Medium);
        painter.setFont(font);
        painter.setPen(isChecked() ? QColor(Qt::white) : VisualTheme::primaryText());
        const qreal w = QFontMetricsF(font).horizontalAdvance(text());
        painter.drawText(QRectF(x, 0, w + 1, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
        x += w + gap;
    }
    painter.setFont(VisualTheme::uiFont(11));
    painter.setPen(isChecked() ? QColor(255, 255, 255, 210) : VisualTheme::tertiaryText());
    painter.drawText(QRectF(x, 0, width() - x, height()), Qt::AlignVCenter | Qt::AlignLeft, QString::number(count_));
}

}  // namespace harbelle
