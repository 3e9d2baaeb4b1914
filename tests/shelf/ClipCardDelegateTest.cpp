#include <gtest/gtest.h>

#include <QDir>
#include <QListView>
#include <QPainter>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QVBoxLayout>

#include "shelf/ClipCardDelegate.h"
#include "shelf/ClipListModel.h"
#include "shelf/KeyHintsView.h"
#include "shelf/ShelfTestClips.h"
#include "shelf/ThumbnailCache.h"
#include "shelf/ToastLineView.h"
#include "shelf/TranslucentBackground.h"
#include "theme/VisualTheme.h"
#include "support/ClipBuilder.h"

using namespace harbelle;
using harbelle::testing::ClipBuilder;

namespace {

const QColor kBackground(0x10, 0x11, 0x14);

QImage renderCard(const ClipCardDelegate& delegate, const ClipItem& clip, ClipCardDelegate::CardState state,
                  QSize size) {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(kBackground);
    QPainter painter(&image);
    delegate.paintCard(painter, QRectF(QPointF(0, 0), QSizeF(size)).adjusted(6, 6, -6, -6), clip, state);
    painter.end();
    return image;
}

// Pixels inside `area` that are neither the background nor the plain card fill.
int markedPixels(const QImage& image, const QRect& area) {
    const QRgb background = kBackground.rgb();
    const QRgb card = VisualTheme::cardBackground().rgb();
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb pixel = image.pixel(x, y) | 0xff000000;
            if (pixel != background && pixel != card) ++count;
        }
    return count;
}

bool closeTo(QRgb pixel, const QColor& color, int tolerance = 40) {
    return std::abs(qRed(pixel) - color.red()) <= tolerance && std::abs(qGreen(pixel) - color.green()) <= tolerance &&
           std::abs(qBlue(pixel) - color.blue()) <= tolerance;
}

}  // namespace

TEST(ClipCardDelegate, SizeHintFollowsTheOrientation) {
    ClipCardDelegate delegate;
    QStyleOptionViewItem option;
    EXPECT_EQ(delegate.sizeHint(option, QModelIndex()),
              QSize(ClipCardDelegate::rowCardWidth, ClipCardDelegate::defaultRowExtent));
    QSignalSpy changed(&delegate, &QAbstractItemDelegate::sizeHintChanged);
    delegate.setCrossExtent(300);
    EXPECT_EQ(delegate.sizeHint(option, QModelIndex()), QSize(ClipCardDelegate::rowCardWidth, 300));
    delegate.setOrientation(Qt::Vertical);
    EXPECT_EQ(delegate.sizeHint(option, QModelIndex()),
              QSize(ClipCardDelegate::defaultStackExtent, ClipCardDelegate::stackCardHeight));
    delegate.setCrossExtent(420);
    EXPECT_EQ(delegate.sizeHint(option, QModelIndex()), QSize(420, ClipCardDelegate::stackCardHeight));
    EXPECT_EQ(changed.count(), 3);
    // A collapsing view never gets a card too small to paint.
    delegate.setCrossExtent(0);
    EXPECT_GE(delegate.sizeHint(option, QModelIndex()).width(), 2 * ClipCardDelegate::cardMargin + 80);
}

TEST(ClipCardDelegate, PaintsEveryKindInBothOrientations) {
    ClipCardDelegate delegate;
    for (auto orientation : {Qt::Horizontal, Qt::Vertical}) {
        delegate.setOrientation(orientation);
        const QSize size = ClipCardDelegate::itemSize(orientation, delegate.crossExtent());
        for (const auto& clip : harbelle::testing::sampleClips()) {
            SCOPED_TRACE(std::string(clipkind::rawValue(clip.kind)) + (orientation == Qt::Horizontal ? " row" : " stack"));
            const QImage image = renderCard(delegate, clip, {}, size);
            // The body (between header and footer) holds the kind's content.
            const QRect body(20, 50, size.width() - 40, size.height() - 90);
            EXPECT_GT(markedPixels(image, body), 150);
            // Corners stay background: the card is rounded.
            EXPECT_EQ(image.pixel(7, 7) | 0xff000000, kBackground.rgb());
        }
    }
}

TEST(ClipCardDelegate, ColourCardShowsItsSwatchAndSelectionShowsTheAccent) {
    ClipCardDelegate delegate;
    const QSize size = ClipCardDelegate::itemSize(Qt::Horizontal, ClipCardDelegate::defaultRowExtent);
    auto clips = harbelle::testing::sampleClips();
    const ClipItem& colour = clips[5];
    ASSERT_EQ(colour.kind, ClipKind::color);
    const QImage plain = renderCard(delegate, colour, {}, size);
    EXPECT_TRUE(closeTo(plain.pixel(size.width() / 2, size.height() / 2), QColor(0xff, 0x94, 0x00), 2));

    const QImage selected = renderCard(delegate, clips[0], {true, false}, size);
    // The outline runs along the left edge of the card.
    EXPECT_TRUE(closeTo(selected.pixel(7, size.height() / 2), PemberlowTheme::selection(), 60));
    const QImage unselected = renderCard(delegate, clips[0], {}, size);
    EXPECT_FALSE(closeTo(unselected.pixel(7, size.height() / 2), PemberlowTheme::selection(), 60));
}

TEST(ClipCardDelegate, HugeAndOddClipsPaint) {
    ClipCardDelegate delegate;
    const QSize size = ClipCardDelegate::itemSize(Qt::Horizontal, 200);
    const ClipItem huge = ClipBuilder(std::string(2'000'000, 'x')).title("x");
    const ClipItem badColour = ClipBuilder("#12", ClipKind::color);
    const ClipItem emptyFile = ClipBuilder("", ClipKind::file);
    const ClipItem brokenUtf8 = ClipBuilder("\xff\xfe{ return; }\n\t\t\xc3", ClipKind::code);
    for (const auto& clip : {huge, badColour, emptyFile, brokenUtf8}) renderCard(delegate, clip, {}, size);
    renderCard(delegate, huge, {}, QSize(20, 20));  // too small to draw: nothing, no crash
}

TEST(ClipCardDelegate, ImageCardRepaintsWhenItsThumbnailArrives) {
    QTemporaryDir dir;
    const std::filesystem::path root = dir.path().toStdString();
    ASSERT_TRUE(harbelle::testing::writeSamplePng(root / "pic.png"));
    ThumbnailCache cache([root](const std::string& name) { return std::optional(root / name); });
    ClipListModel model;
    ClipCardDelegate delegate;
    delegate.setThumbnailCache(&cache);
    QObject::connect(&cache, &ThumbnailCache::thumbnailReady, &model, &ClipListModel::payloadChanged);
    model.setItems(harbelle::testing::sampleClips("pic.png"));
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    const QSize size = ClipCardDelegate::itemSize(Qt::Horizontal, ClipCardDelegate::defaultRowExtent);
    const ClipItem& image = *model.clipAt(3);
    const QImage before = renderCard(delegate, image, {}, size);
    ASSERT_TRUE(changed.wait(5000));
    EXPECT_EQ(changed.at(0).at(0).value<QModelIndex>().row(), 3);
    const QImage after = renderCard(delegate, image, {}, size);
    // The placeholder gives way to the picture's warm colours.
    const QPoint middle(size.width() / 2, size.height() / 2 - 20);
    EXPECT_FALSE(closeTo(before.pixel(middle), QColor(0xff, 0x7a, 0x88), 60));
    EXPECT_NE(before, after);
}

// Renders the sample strip for the docs when HARBELLE_CARDS_PNG names a file.
TEST(ClipCardDelegate, RendersTheSampleStrip) {
    QTemporaryDir dir;
    const std::filesystem::path root = dir.path().toStdString();
    ASSERT_TRUE(harbelle::testing::writeSamplePng(root / "pic.png"));
    ThumbnailCache cache([root](const std::string& name) { return std::optional(root / name); });
    auto clips = harbelle::testing::sampleClips("pic.png");
    cache.thumbnail("pic.png", QSize(260, 260));
    cache.waitForIdle();
    QCoreApplication::processEvents();

    TranslucentBackground shelf;
    shelf.setBarTransparency(0.18);
    auto* layout = new QVBoxLayout(&shelf);
    layout->setContentsMargins(14, 12, 14, 12);
    layout->setSpacing(8);
    auto* toast = new ToastLineView(&shelf);
    toast->setToast(Toast{"Copied to the clipboard", ToastTone::success});
    auto* list = new QListView(&shelf);
    ClipListModel model;
    model.setItems(clips);
    ClipCardDelegate delegate;
    delegate.setThumbnailCache(&cache);
    list->setModel(&model);
    list->setItemDelegate(&delegate);
    list->setFlow(QListView::LeftToRight);
    list->setWrapping(false);
    list->setUniformItemSizes(true);
    list->setFrameShape(QFrame::NoFrame);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->viewport()->setAutoFillBackground(false);
    list->setStyleSheet("QListView { background: transparent; }");
    list->setFixedHeight(ClipCardDelegate::defaultRowExtent);
    list->setCurrentIndex(model.index(0));
    layout->addWidget(toast, 0, Qt::AlignHCenter);
    layout->addWidget(list);
    layout->addWidget(new KeyHintsView(&shelf));
    shelf.resize(7 * ClipCardDelegate::rowCardWidth + 28, 12 + 30 + 8 + ClipCardDelegate::defaultRowExtent + 8 + 22 + 12);
    shelf.ensurePolished();
    layout->activate();

    QImage image(shelf.size() * 2, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(2);
    image.fill(QColor(0x3a, 0x4a, 0x6b));  // a desktop behind the translucent shelf
    shelf.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    EXPECT_GT(markedPixels(image, QRect(QPoint(40, 200), QSize(200, 200))), 100);

    const QByteArray target = qgetenv("HARBELLE_CARDS_PNG");
    if (!target.isEmpty()) {
        QDir().mkpath(QFileInfo(QString::fromLocal8Bit(target)).absolutePath());
        EXPECT_TRUE(image.save(QString::fromLocal8Bit(target), "PNG"));
    }
}
