#include "shelf/ShelfStyle.h"

#include <QApplication>
#include <QPainter>
#include <QPixmap>

#include "theme/VisualTheme.h"

namespace harbelle {

QString shelfStyleSheet() {
    const QString accent = PemberlowTheme::selection().name();
    return QStringLiteral(
               "QLineEdit#search { background: rgba(255,255,255,16); color: %1; border: 1px solid rgba(255,255,255,22);"
               "  border-radius: 13px; padding: 3px 8px; selection-background-color: %3; font-size: 13px; }"
               "QLineEdit#search:focus { border: 1px solid %3; background: rgba(255,255,255,22); }"
               "QToolButton { background: transparent; border: none; border-radius: 8px; color: %1; }"
               "QToolButton:hover { background: rgba(255,255,255,26); }"
               "QToolButton::menu-indicator { image: none; width: 0; }"
               "QToolButton#device { background: rgba(255,255,255,14); border: 1px solid rgba(255,255,255,18);"
               "  border-radius: 13px; padding: 2px 10px; font-size: 12px; }"
               "QLabel#migration { color: %2; font-size: 11px; }"
               "QLabel#emptyTitle { color: %1; font-size: 15px; font-weight: 600; }"
               "QLabel#emptyMessage { color: %2; font-size: 12px; }"
               "QListView { background: transparent; border: none; outline: none; }"
               "QScrollBar:vertical { background: transparent; width: 8px; margin: 4px 0; }"
               "QScrollBar::handle:vertical { background: rgba(255,255,255,45); border-radius: 4px; min-height: 30px; }"
               "QScrollBar:horizontal { background: transparent; height: 8px; margin: 0 4px; }"
               "QScrollBar::handle:horizontal { background: rgba(255,255,255,45); border-radius: 4px; min-width: 30px; }"
               "QScrollBar::add-line, QScrollBar::sub-line { height: 0; width: 0; }"
               "QScrollBar::add-page, QScrollBar::sub-page { background: transparent; }")
        .arg(VisualTheme::primaryText().name(), VisualTheme::secondaryText().name(), accent);
}

QString shelfMenuStyleSheet() {
    return QStringLiteral(
               "QMenu { background: %1; color: %2; border: 1px solid rgba(255,255,255,30); border-radius: 8px; padding: 4px; }"
               "QMenu::item { padding: 5px 18px 5px 10px; border-radius: 5px; }"
               "QMenu::item:selected { background: %3; color: white; }"
               "QMenu::item:disabled { color: %4; }"
               "QMenu::separator { height: 1px; background: rgba(255,255,255,24); margin: 4px 6px; }")
        .arg(VisualTheme::cardBackground().name(), VisualTheme::primaryText().name(),
             PemberlowTheme::selection().name(), VisualTheme::tertiaryText().name());
}

QIcon shelfPlacementIcon(ShelfPlacement placement, const QColor& color, int size) {
    const qreal dpr = qApp ? qApp->devicePixelRatio() : 1.0;
    QPixmap pixmap(QSize(size, size) * dpr);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const QRectF screen(1.5, 2.5, size - 3, size - 5);
    painter.setPen(QPen(color, 1.4));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(screen, 2.5, 2.5);
    QRectF bar = screen.adjusted(3, 3, -3, -3);
    switch (placement) {
    case ShelfPlacement::bottom: bar.setTop(bar.bottom() - 3); break;
    case ShelfPlacement::top: bar.setBottom(bar.top() + 3); break;
    case ShelfPlacement::left: bar.setRight(bar.left() + 3); break;
    case ShelfPlacement::right: bar.setLeft(bar.right() - 3); break;
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawRoundedRect(bar, 1, 1);
    return QIcon(pixmap);
}

}  // namespace harbelle
