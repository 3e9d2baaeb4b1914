#include "shelf/ClipCardDelegate.h"

#include <QFileInfo>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>
#include <QUrl>
#include <algorithm>
#include <cmath>

#include "history/ClipKind.h"
#include "shelf/ClipListModel.h"
#include "theme/SymbolGlyph.h"
#include "shelf/ThumbnailCache.h"
#include "theme/VisualTheme.h"

namespace harbelle {

namespace {

constexpr qreal kPadding = 14;
constexpr qreal kHeaderHeight = 24;
constexpr qreal kFooterHeight = 16;
// A card shows a glimpse: long clips are cut before layout so painting stays cheap.
constexpr int kMaxPaintedCharacters = 1500;
constexpr int kMaxCodeLineCharacters = 240;

QString qs(const std::string& text) { return QString::fromStdString(text); }

QString glimpse(const std::string& text) {
    QString result = QString::fromUtf8(text.data(), static_cast<qsizetype>(std::min<std::size_t>(text.size(), kMaxPaintedCharacters * 4)));
    if (result.size() > kMaxPaintedCharacters) result.truncate(kMaxPaintedCharacters);
    return result;
}

QString trimmed(const QString& text) { return text.trimmed(); }

// Lays `text` out in `rect` with at most `maxLines` lines (as many as fit when 0), eliding
// the last one. Returns the height used.
qreal drawWrapped(QPainter& painter, const QRectF& rect, QString text, const QFont& font,
                  const QColor& color, int maxLines = 0,
                  QTextOption::WrapMode wrap = QTextOption::WrapAtWordBoundaryOrAnywhere) {
    if (rect.width() <= 0 || rect.height() <= 0 || text.isEmpty()) return 0;
    text.replace(QLatin1Char('\t'), QStringLiteral("    "));
    text.replace(QLatin1String("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    const QFontMetricsF metrics(font);
    const qreal lineHeight = metrics.lineSpacing();
    int fitting = static_cast<int>(std::floor(rect.height() / lineHeight));
    if (maxLines > 0) fitting = std::min(fitting, maxLines);
    if (fitting <= 0) return 0;

    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(wrap);
    layout.setTextOption(option);
    layout.beginLayout();
    std::vector<std::pair<int, int>> lines;  // start, length
    bool more = false;
    while (true) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(rect.width());
        if (static_cast<int>(lines.size()) == fitting) {
            more = true;
            break;
        }
        lines.emplace_back(line.textStart(), line.textLength());
    }
    layout.endLayout();

    painter.save();
    painter.setFont(font);
    painter.setPen(color);
    qreal y = rect.top();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        QString piece = text.mid(lines[i].first, lines[i].second);
        while (!piece.isEmpty() && (piece.back().isSpace() || piece.back() == QChar::LineSeparator)) piece.chop(1);
        if (i + 1 == lines.size() && more) {
            // The text goes on: end the last line with an ellipsis even when it fits.
            const QString ellipsis(QChar(0x2026));
            const QString cut = metrics.elidedText(piece, Qt::ElideRight, rect.width() - metrics.horizontalAdvance(ellipsis));
            piece = cut.endsWith(ellipsis) ? cut : cut + ellipsis;
        }
        painter.drawText(QPointF(rect.left(), y + metrics.ascent()), piece);
        y += lineHeight;
    }
    painter.restore();
    return y - rect.top();
}

void drawLine(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font,
              const QColor& color, Qt::TextElideMode elide = Qt::ElideRight) {
    if (rect.width() <= 0) return;
    const QFontMetricsF metrics(font);
    painter.save();
    painter.setFont(font);
    painter.setPen(color);
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    painter.drawText(QPointF(rect.left(), rect.top() + (rect.height() - metrics.height()) / 2 + metrics.ascent()),
                     metrics.elidedText(line, elide, rect.width()));
    painter.restore();
}

// The clip's own title when it says more than the first line of its text.
bool titleAddsToText(const ClipItem& clip) {
    const QString title = trimmed(qs(clip.title));
    if (title.isEmpty()) return false;
    const QString text = trimmed(glimpse(clip.text));
    QString stem = title;
    if (stem.endsWith(QChar(0x2026))) stem.chop(1);
    return !text.startsWith(stem);
}

QString hostOf(const std::string& text) {
    const QUrl url(trimmed(qs(text)));
    return url.isValid() ? url.host() : QString();
}

}  // namespace

ClipCardDelegate::ClipCardDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

void ClipCardDelegate::setOrientation(Qt::Orientation orientation) {
    if (orientation == orientation_) return;
    orientation_ = orientation;
    crossExtent_ = orientation == Qt::Horizontal ? defaultRowExtent : defaultStackExtent;
    emit sizeHintChanged(QModelIndex());
}

void ClipCardDelegate::setCrossExtent(int extent) {
    extent = std::max(extent, 2 * cardMargin + 80);
    if (extent == crossExtent_) return;
    crossExtent_ = extent;
    emit sizeHintChanged(QModelIndex());
}

void ClipCardDelegate::setThumbnailCache(ThumbnailCache* cache) { thumbnails_ = cache; }

QSize ClipCardDelegate::itemSize(Qt::Orientation orientation, int crossExtent) {
    return orientation == Qt::Horizontal ? QSize(rowCardWidth, crossExtent) : QSize(crossExtent, stackCardHeight);
}

QSize ClipCardDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    return itemSize(orientation_, crossExtent_);
}

void ClipCardDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const CardState state{(option.state & QStyle::State_Selected) != 0, (option.state & QStyle::State_MouseOver) != 0};
    const QRectF card = cardRect(QRectF(option.rect));
    if (const auto* model = qobject_cast<const ClipListModel*>(index.model())) {
        if (const ClipItem* clip = model->clipAt(index)) paintCard(*painter, card, *clip, state);
        return;
    }
    // Behind a proxy model the clip comes as a copy.
    const QVariant value = index.data(ClipListModel::ClipRole);
    if (value.canConvert<ClipItem>()) paintCard(*painter, card, value.value<ClipItem>(), state);
}

namespace {

void drawTile(QPainter& painter, const QRectF& cardRect, ClipCardDelegate::CardState state) {
    const qreal radius = VisualTheme::cardCornerRadius;
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 70));
    painter.drawRoundedRect(cardRect.translated(0, 2), radius, radius);
    painter.setBrush(state.hovered ? VisualTheme::cardHoverBackground() : VisualTheme::cardBackground());
    painter.drawRoundedRect(cardRect, radius, radius);
    if (state.selected) {
        QColor tint = PemberlowTheme::selection();
        tint.setAlphaF(0.16f);
        painter.setBrush(tint);
        painter.drawRoundedRect(cardRect, radius, radius);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(PemberlowTheme::selection(), 2));
        painter.drawRoundedRect(cardRect.adjusted(1, 1, -1, -1), radius - 1, radius - 1);
    } else {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(VisualTheme::cardBorder(), 1));
        painter.drawRoundedRect(cardRect.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
    }

}

}  // namespace

void ClipCardDelegate::paintTile(QPainter& painter, const QRectF& cardRect, CardState state) const {
    // Copied only where a copy lands on whole device pixels; otherwise drawn in place.
    const QTransform& transform = painter.transform();
    const bool whole = transform.type() <= QTransform::TxTranslate && cardRect.x() == std::floor(cardRect.x()) &&
                       cardRect.y() == std::floor(cardRect.y()) && cardRect.width() == std::floor(cardRect.width()) &&
                       cardRect.height() == std::floor(cardRect.height()) && transform.dx() == std::floor(transform.dx()) &&
                       transform.dy() == std::floor(transform.dy()) && painter.device();
    const qreal ratio = whole ? painter.device()->devicePixelRatioF() : 1;
    if (!whole || ratio != std::floor(ratio) || painter.compositionMode() != QPainter::CompositionMode_SourceOver) {
        drawTile(painter, cardRect, state);
        return;
    }
    // The tile with a pixel of room around it and the shadow's 2 below.
    constexpr int room = 1;
    constexpr int shadow = 2;
    TileKey key{cardRect.size().toSize(), ratio, state.selected, state.hovered,
                {VisualTheme::cardBackground().rgba(), VisualTheme::cardHoverBackground().rgba(),
                 VisualTheme::cardBorder().rgba(), PemberlowTheme::selection().rgba()}};
    auto found = std::find_if(tiles_.begin(), tiles_.end(), [&](const auto& tile) { return tile.first == key; });
    if (found == tiles_.end()) {
        if (tiles_.size() >= 8) tiles_.erase(tiles_.begin());
        const QSize logical(key.size.width() + 2 * room, key.size.height() + 2 * room + shadow);
        QPixmap pixmap(logical * static_cast<int>(ratio));
        pixmap.setDevicePixelRatio(ratio);
        pixmap.fill(Qt::transparent);
        {
            QPainter tile(&pixmap);
            tile.setRenderHint(QPainter::Antialiasing, true);
            drawTile(tile, QRectF(QPointF(room, room), cardRect.size()), state);
        }
        tiles_.emplace_back(key, std::move(pixmap));
        found = std::prev(tiles_.end());
    }
    painter.drawPixmap(cardRect.topLeft() - QPointF(room, room), found->second);
}

void ClipCardDelegate::paintCard(QPainter& painter, const QRectF& cardRect, const ClipItem& clip,
                                 CardState state) const {
    if (cardRect.width() < 2 * kPadding || cardRect.height() < 2 * kPadding) return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);

    paintTile(painter, cardRect, state);

    const QRectF inner = cardRect.adjusted(kPadding, kPadding - 2, -kPadding, -(kPadding - 4));

    // Header: kind badge and label, favourite star.
    const QColor kindColor = VisualTheme::kindColor(clip.kind);
    const QRectF badge(inner.left(), inner.top(), kHeaderHeight, kHeaderHeight);
    QColor badgeFill = kindColor;
    badgeFill.setAlphaF(0.18f);
    painter.setPen(Qt::NoPen);
    painter.setBrush(badgeFill);
    painter.drawRoundedRect(badge, 7, 7);
    SymbolGlyph::paint(painter, badge.adjusted(5, 5, -5, -5), clipkind::symbol(clip.kind), kindColor,
                       VisualTheme::cardBackground());
    qreal labelRight = inner.right();
    if (clip.isPinned) {
        const QRectF star(inner.right() - 16, inner.top() + (kHeaderHeight - 16) / 2, 16, 16);
        SymbolGlyph::paint(painter, star, "star.fill", VisualTheme::favorite());
        labelRight = star.left() - 6;
    }
    drawLine(painter, QRectF(badge.right() + 8, inner.top(), labelRight - badge.right() - 8, kHeaderHeight),
             qs(std::string(clipkind::label(clip.kind))), VisualTheme::uiFont(12, QFont::DemiBold),
             VisualTheme::secondaryText());

    // Footer: source application and device.
    const QRectF footer(inner.left(), inner.bottom() - kFooterHeight, inner.width(), kFooterHeight);
    SymbolGlyph::paint(painter, QRectF(footer.left(), footer.top() + 1.5, 13, 13), clip.sourceDeviceSymbol(),
                       VisualTheme::tertiaryText());
    QString origin = trimmed(qs(clip.sourceAppName));
    const QString device = qs(clip.sourceDeviceDisplayName());
    if (!device.isEmpty()) origin = origin.isEmpty() ? device : origin + QStringLiteral("  ·  ") + device;
    drawLine(painter, footer.adjusted(19, 0, 0, 0), origin, VisualTheme::uiFont(11), VisualTheme::secondaryText());

    const qreal gap = orientation_ == Qt::Horizontal ? 10 : 7;
    const QRectF body(inner.left(), inner.top() + kHeaderHeight + gap, inner.width(),
                      footer.top() - gap - (inner.top() + kHeaderHeight + gap));
    if (body.height() > 8) paintBody(painter, body, clip);
    painter.restore();
}

void ClipCardDelegate::paintBody(QPainter& painter, const QRectF& body, const ClipItem& clip) const {
    const QColor primary = VisualTheme::primaryText();
    const QColor secondary = VisualTheme::secondaryText();
    switch (clip.kind) {
    case ClipKind::text: {
        QRectF rest = body;
        if (titleAddsToText(clip)) {
            const qreal used = drawWrapped(painter, rest, qs(clip.displayTitle()),
                                           VisualTheme::uiFont(14, QFont::DemiBold), primary, 2);
            rest.setTop(rest.top() + used + 4);
        }
        const QString text = trimmed(glimpse(clip.text));
        drawWrapped(painter, rest, text.isEmpty() ? qs(clip.displayTitle()) : text, VisualTheme::uiFont(13),
                    titleAddsToText(clip) ? secondary : primary);
        break;
    }
    case ClipKind::code: {
        QRectF rest = body;
        if (titleAddsToText(clip)) {
            drawLine(painter, QRectF(rest.left(), rest.top(), rest.width(), 18), qs(clip.displayTitle()),
                     VisualTheme::uiFont(13, QFont::DemiBold), primary);
            rest.setTop(rest.top() + 24);
        }
        if (rest.height() < 14) break;
        painter.setPen(Qt::NoPen);
        painter.setBrush(VisualTheme::insetBackground());
        painter.drawRoundedRect(rest, 8, 8);
        const QFont mono = VisualTheme::monospaceFont(11);
        const QFontMetricsF metrics(mono);
        const QRectF text = rest.adjusted(9, 7, -9, -7);
        QStringList lines = glimpse(clip.text).split(QLatin1Char('\n'));
        while (!lines.isEmpty() && lines.front().trimmed().isEmpty()) lines.removeFirst();
        qreal y = text.top();
        painter.setFont(mono);
        painter.setPen(QColor(0xd6, 0xd9, 0xe0));
        for (QString line : lines) {
            if (y + metrics.lineSpacing() > text.bottom() + 1) break;
            line.replace(QLatin1Char('\t'), QStringLiteral("    "));
            line.truncate(kMaxCodeLineCharacters);
            painter.drawText(QPointF(text.left(), y + metrics.ascent()),
                             metrics.elidedText(line, Qt::ElideRight, text.width()));
            y += metrics.lineSpacing();
        }
        break;
    }
    case ClipKind::link: {
        QString host = hostOf(clip.text);
        if (host.startsWith(QLatin1String("www."))) host.remove(0, 4);
        const QString title = trimmed(qs(clip.displayTitle()));
        const qreal used = drawWrapped(painter, body, title.isEmpty() ? host : title,
                                       VisualTheme::uiFont(15, QFont::DemiBold), primary, 2);
        QRectF rest = body.adjusted(0, used + 4, 0, 0);
        drawWrapped(painter, rest, trimmed(glimpse(clip.text)), VisualTheme::uiFont(12),
                    VisualTheme::kindColor(ClipKind::link), 3, QTextOption::WrapAnywhere);
        break;
    }
    case ClipKind::color: {
        const QString hex = trimmed(qs(clip.text));
        const auto color = parseHexColor(clip.text);
        const QString title = trimmed(qs(clip.displayTitle()));
        const bool showTitle = !title.isEmpty() && title.compare(hex, Qt::CaseInsensitive) != 0;
        QRectF swatch = body;
        if (showTitle) swatch.setBottom(body.bottom() - 24);
        painter.setPen(QPen(QColor(255, 255, 255, 30), 1));
        if (color) {
            // Show translucent colours over a checkerboard.
            if (color->alpha() < 255) {
                painter.save();
                QPainterPath clipPath;
                clipPath.addRoundedRect(swatch, 10, 10);
                painter.setClipPath(clipPath);
                painter.fillRect(swatch, QColor(0xe8, 0xe8, 0xe8));
                for (qreal y = swatch.top(); y < swatch.bottom(); y += 8)
                    for (qreal x = swatch.left() + (static_cast<int>((y - swatch.top()) / 8) % 2) * 8; x < swatch.right(); x += 16)
                        painter.fillRect(QRectF(x, y, 8, 8), QColor(0xc4, 0xc4, 0xc4));
                painter.restore();
            }
            painter.setBrush(*color);
        } else {
            painter.setBrush(VisualTheme::insetBackground());
        }
        painter.drawRoundedRect(swatch, 10, 10);
        const QColor onSwatch = color ? VisualTheme::contrastingText(color->alpha() < 128 ? QColor(0xe0, 0xe0, 0xe0) : *color)
                                      : secondary;
        drawLine(painter, QRectF(swatch.left() + 10, swatch.bottom() - 28, swatch.width() - 20, 22), hex.toUpper(),
                 VisualTheme::monospaceFont(13), onSwatch);
        if (showTitle)
            drawLine(painter, QRectF(body.left(), body.bottom() - 18, body.width(), 18), title,
                     VisualTheme::uiFont(13, QFont::DemiBold), primary);
        break;
    }
    case ClipKind::image:
        paintImageBody(painter, body, clip);
        break;
    case ClipKind::file: {
        const qreal icon = std::min<qreal>(38, body.height());
        SymbolGlyph::paint(painter, QRectF(body.left() - 3, body.top(), icon, icon), "doc",
                           VisualTheme::kindColor(ClipKind::file), VisualTheme::cardBackground());
        const QRectF text = body.adjusted(icon + 6, 0, 0, 0);
        const qreal used = drawWrapped(painter, text, qs(clip.displayTitle()), VisualTheme::uiFont(14, QFont::DemiBold),
                                       primary, 2);
        qreal y = text.top() + used + 3;
        if (!clip.fileURLs.empty()) {
            const QString folder = QFileInfo(qs(clip.fileURLs.front())).path();
            drawLine(painter, QRectF(text.left(), y, text.width(), 16), folder, VisualTheme::uiFont(11), secondary,
                     Qt::ElideMiddle);
            y += 18;
        }
        if (clip.fileURLs.size() > 1 && y + 16 <= body.bottom())
            drawLine(painter, QRectF(text.left(), y, text.width(), 16),
                     QStringLiteral("+ %1 more").arg(clip.fileURLs.size() - 1), VisualTheme::uiFont(11),
                     VisualTheme::tertiaryText());
        break;
    }
    }
}

void ClipCardDelegate::paintImageBody(QPainter& painter, const QRectF& body, const ClipItem& clip) const {
    const QString title = trimmed(qs(clip.displayTitle()));
    QRectF picture = body;
    const bool showTitle = body.height() > 70;
    if (showTitle) picture.setBottom(body.bottom() - 24);

    QImage thumbnail;
    if (thumbnails_ && clip.payloadFilename) {
        const qreal ratio = painter.device() ? std::max<qreal>(1, painter.device()->devicePixelRatioF()) : 1;
        const int side = static_cast<int>(std::ceil(ratio)) * 260;
        thumbnail = thumbnails_->thumbnail(qs(*clip.payloadFilename), QSize(side, side));
    }
    painter.save();
    QPainterPath rounded;
    rounded.addRoundedRect(picture, 10, 10);
    painter.setClipPath(rounded);
    painter.fillRect(picture, VisualTheme::insetBackground());
    if (!thumbnail.isNull()) {
        // Fill the frame, cropping the overhang evenly.
        const QSizeF scaled = QSizeF(thumbnail.size()).scaled(picture.size(), Qt::KeepAspectRatioByExpanding);
        const QRectF target(picture.center().x() - scaled.width() / 2, picture.center().y() - scaled.height() / 2,
                            scaled.width(), scaled.height());
        painter.drawImage(target, thumbnail);
    } else {
        const qreal glyph = std::min<qreal>(34, picture.height() - 8);
        SymbolGlyph::paint(painter, QRectF(picture.center().x() - glyph / 2, picture.center().y() - glyph / 2, glyph, glyph),
                           "photo", VisualTheme::tertiaryText());
    }
    painter.restore();
    if (showTitle)
        drawLine(painter, QRectF(body.left(), body.bottom() - 18, body.width(), 18), title,
                 VisualTheme::uiFont(13, QFont::DemiBold), VisualTheme::primaryText());
}

}  // namespace harbelle
