#include <gtest/gtest.h>

#include <QApplication>
#include <QBackingStore>
#include <QImage>
#include <QPainter>

#include "shell/ShelfPanel.h"

using namespace harbelle;

namespace {

class SolidView : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), QColor(10, 200, 30)); }
};

QColor pixelOnStore(QWidget& panel, QPoint at) {
    auto* image = dynamic_cast<QImage*>(panel.backingStore()->paintDevice());
    return image ? image->pixelColor(at) : QColor();
}

}  // namespace

TEST(ShelfPanel, HidingDropsTheBackingImageAndShowingPaintsAFreshOne) {
    ShelfPanel panel;
    panel.setContentView(new SolidView);
    panel.show();
    QApplication::processEvents();
    panel.repaint();
    ASSERT_NE(panel.backingStore(), nullptr);
    EXPECT_EQ(panel.backingStore()->size(), panel.size());

    panel.hide();
    QApplication::processEvents();
    EXPECT_EQ(panel.backingStore()->size(), QSize(1, 1));

    panel.show();
    QApplication::processEvents();
    panel.repaint();
    EXPECT_EQ(panel.backingStore()->size(), panel.size());
    EXPECT_EQ(pixelOnStore(panel, QPoint(panel.width() / 2, panel.height() / 2)), QColor(10, 200, 30));
}
