#pragma once

#include <QPixmap>
#include <QWidget>

namespace harbelle {

// The application's mark: a rounded tile in the accent colour holding a small stack of
// cards, the shelf in miniature. Shown by the sheets and the settings window at fixed sizes.
class AppMark : public QWidget {
    Q_OBJECT
public:
    explicit AppMark(qreal size = 64, QWidget* parent = nullptr);

    qreal markSize() const { return size_; }
    void setMarkSize(qreal size);
    QSize sizeHint() const override;

    static void paint(QPainter& painter, const QRectF& rect);
    static QPixmap pixmap(qreal size, qreal devicePixelRatio = 1.0);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal size_;
};

}  // namespace harbelle
