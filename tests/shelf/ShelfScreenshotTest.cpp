#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>

#include "shelf/ClipListModel.h"
#include "shelf/ClipPreviewView.h"
#include "shelf/ShelfSheet.h"
#include "shell/ShelfPanelTestSupport.h"

namespace harbelle::testing {
namespace {

// The shelf over a desktop-like backdrop, as a user sees it on the screen's edge. The
// pictures go to $HARBELLE_SCREENSHOT_DIR when it is set (the README's docs/), else to a
// temporary folder.
class ShelfScreenshot : public ShelfPanelFixture {
protected:
    QString outputDir() {
        const QByteArray dir = qgetenv("HARBELLE_SCREENSHOT_DIR");
        return dir.isEmpty() ? temp.path() : QString::fromLocal8Bit(dir);
    }

    static QImage desktop(QSize size) {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        QPainter painter(&image);
        QLinearGradient base(0, 0, size.width(), size.height());
        base.setColorAt(0, QColor(0x24, 0x3b, 0x6b));
        base.setColorAt(0.55, QColor(0x5b, 0x3f, 0x8c));
        base.setColorAt(1, QColor(0xc0, 0x6c, 0x84));
        painter.fillRect(image.rect(), base);
        QRadialGradient glow(size.width() * 0.75, size.height() * 0.2, size.width() * 0.5);
        glow.setColorAt(0, QColor(255, 200, 150, 120));
        glow.setColorAt(1, QColor(255, 200, 150, 0));
        painter.fillRect(image.rect(), glow);
        return image;
    }

    // Lays the shelf out at its frame on the fake screen and paints it over the backdrop,
    // cropped around the shelf.
    QImage render(QRect crop) {
        controller->applyPreferredSize();
        panel()->show();
        for (int i = 0; i < 3; ++i) QApplication::processEvents();
        if (auto id = store->selectedID()) view()->listView()->scrollTo(view()->model()->indexOf(*id));
        QImage screen = desktop(visibleFrame.size().toSize());
        QPainter painter(&screen);
        const QPoint at = panel()->geometry().topLeft() - visibleFrame.topLeft().toPoint();
        // A soft shadow under the floating panel.
        for (int i = 8; i > 0; --i) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(0, 0, 0, 10));
            painter.drawRoundedRect(QRectF(panel()->rect()).translated(at).adjusted(-i, -i + 4, i, i + 4), 18 + i, 18 + i);
        }
        painter.drawPixmap(at, panel()->grab());
        painter.end();
        return screen.copy(crop.intersected(screen.rect()));
    }
};

TEST_F(ShelfScreenshot, RendersTheHorizontalAndVerticalShelvesAndThePreview) {
    makeStore(true);
    store->updateShelfPlacement(ShelfPlacement::bottom);
    store->updateShelfSizeMode(ShelfSizeMode::medium);
    visibleFrame = QRectF(0, 0, 1500, 720);
    makeController();
    ASSERT_GE(store->items().size(), 7u);
    view()->listView()->setFocus();
    store->setSelectedID(store->items()[0].id);

    const QImage horizontal = render(QRect(0, 720 - 460, 1500, 460));
    ASSERT_FALSE(horizontal.isNull());
    EXPECT_TRUE(horizontal.save(outputDir() + "/shelf-horizontal.png"));

    store->setPreviewItem(store->items()[2]);
    const QImage preview = render(QRect(0, 720 - 460, 1500, 460));
    EXPECT_TRUE(preview.save(outputDir() + "/shelf-preview.png"));
    store->setPreviewItem(std::nullopt);

    store->updateShelfPlacement(ShelfPlacement::left);
    visibleFrame = QRectF(0, 0, 900, 900);
    const QImage vertical = render(QRect(0, 0, 520, 900));
    EXPECT_TRUE(vertical.save(outputDir() + "/shelf-vertical.png"));

    // The pictures show the shelf's own colours, not only the backdrop.
    const QColor card = horizontal.pixelColor(horizontal.width() / 2, horizontal.height() / 2);
    EXPECT_LT(card.lightness(), 120);
}

}  // namespace
}  // namespace harbelle::testing
