#pragma once

#include <QPixmap>
#include <array>
#include <utility>
#include <vector>

#include <QPointer>
#include <QStyledItemDelegate>

#include "history/ClipItem.h"

namespace harbelle {

class ThumbnailCache;

// Paints the shelf's clip cards: rounded tiles with the kind's badge, a body by kind (text,
// code in a monospaced face, a link's host, a colour swatch, an image thumbnail, a file's
// name), the favourite mark and the clip's source application and device.
// Cards lie side by side in a horizontal shelf and stack in a vertical one.
class ClipCardDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    struct CardState {
        bool selected = false;
        bool hovered = false;
    };

    // Space around each card inside its item rectangle.
    static constexpr int cardMargin = 6;
    // Card width in a horizontal shelf and card height in a vertical one, margins included.
    static constexpr int rowCardWidth = 244;
    static constexpr int stackCardHeight = 140;
    static constexpr int defaultRowExtent = 256;
    static constexpr int defaultStackExtent = 372;

    explicit ClipCardDelegate(QObject* parent = nullptr);

    // Qt::Horizontal: a row of cards (bottom and top shelves); Qt::Vertical: a stack.
    void setOrientation(Qt::Orientation orientation);
    Qt::Orientation orientation() const { return orientation_; }
    // The item size across the list: a row's height or a stack's width. The view sets it
    // from its viewport so cards fill the shelf.
    void setCrossExtent(int extent);
    int crossExtent() const { return crossExtent_; }

    void setThumbnailCache(ThumbnailCache* cache);
    ThumbnailCache* thumbnailCache() const { return thumbnails_; }

    static QSize itemSize(Qt::Orientation orientation, int crossExtent);
    // The painted card inside an item's rectangle; the margins around it are the gaps
    // between cards.
    static QRectF cardRect(const QRectF& itemRect) {
        return itemRect.adjusted(cardMargin, cardMargin, -cardMargin, -cardMargin);
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // Paints one card filling `cardRect` (no margin added).
    void paintCard(QPainter& painter, const QRectF& cardRect, const ClipItem& clip, CardState state) const;
    // Drops the cached tile pictures; the next paint draws them again.
    void releaseCachedTiles() { std::vector<std::pair<TileKey, QPixmap>>().swap(tiles_); }

private:
    void paintBody(QPainter& painter, const QRectF& body, const ClipItem& clip) const;
    void paintImageBody(QPainter& painter, const QRectF& body, const ClipItem& clip) const;
    // Shadow, tile and border or selection: the same few pictures for every card, so they are
    // drawn once into a pixmap and copied, rather than stroked per card on every repaint.
    void paintTile(QPainter& painter, const QRectF& cardRect, CardState state) const;

    struct TileKey {
        QSize size;
        qreal pixelRatio = 1;
        bool selected = false;
        bool hovered = false;
        std::array<QRgb, 4> colors{};
        bool operator==(const TileKey&) const = default;
    };
    mutable std::vector<std::pair<TileKey, QPixmap>> tiles_;

    Qt::Orientation orientation_ = Qt::Horizontal;
    int crossExtent_ = defaultRowExtent;
    QPointer<ThumbnailCache> thumbnails_;
};

}  // namespace harbelle
