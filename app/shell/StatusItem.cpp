#include "shell/StatusItem.h"

#include <QAction>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPixmap>

namespace harbelle {

StatusItem::StatusItem(Actions actions, QObject* parent)
    : QObject(parent), actions_(std::move(actions)), menu_(std::make_unique<QMenu>()),
      tray_(std::make_unique<QSystemTrayIcon>()) {
    tray_->setIcon(trayImage());
    tray_->setToolTip(QString::fromUtf8(kDefaultToolTip));
    tray_->setContextMenu(menu_.get());
    makeStatusMenu();
    connect(menu_.get(), &QMenu::aboutToShow, this, &StatusItem::makeStatusMenu);
    // An open popup menu only answers its own letters; its items' shortcuts would act nowhere.
    menu_->installEventFilter(this);
    connect(tray_.get(), &QSystemTrayIcon::activated, this, &StatusItem::activated);
}

StatusItem::~StatusItem() {
    tray_->hide();
    tray_->setContextMenu(nullptr);
}

void StatusItem::install(bool trayAvailable) {
    // On X11 a shown icon docks as soon as a tray appears, which at login can be after us;
    // elsewhere showing without a tray host only makes the platform complain.
    if (trayAvailable || QGuiApplication::platformName() == QLatin1String("xcb")) tray_->show();
}

QString StatusItem::toolTip() const { return tray_->toolTip(); }

void StatusItem::setToolTip(const QString& text) { tray_->setToolTip(text); }

void StatusItem::makeStatusMenu() {
    QMenu& menu = *menu_;
    // Actions are owned by the menu; clear() deletes the old ones.
    menu.clear();
    auto add = [&](const char* title, const std::function<void()>& action, const QKeySequence& key = {}) {
        QAction* item = menu.addAction(QString::fromUtf8(title));
        item->setShortcut(key);
        connect(item, &QAction::triggered, this, [action] {
            if (action) action();
        });
        return item;
    };
    add(kOpenShelfTitle, actions_.showShelf);
    add(kNewTextClipTitle, actions_.newTextClip, QKeySequence(Qt::CTRL | Qt::Key_N));
    menu.addSeparator();
    const bool paused = actions_.isPaused && actions_.isPaused();
    add(paused ? kResumeTitle : kPauseTitle, actions_.toggleCapture);
    add(kSettingsTitle, actions_.showSettings, QKeySequence(Qt::CTRL | Qt::Key_Comma));
    if (QAction* update = actions_.makeCheckForUpdatesItem ? actions_.makeCheckForUpdatesItem(&menu) : nullptr) {
        menu.addSeparator();
        menu.addAction(update);
    }
    menu.addSeparator();
    add(kQuitTitle, actions_.quit, QKeySequence(Qt::CTRL | Qt::Key_Q));
}

bool StatusItem::eventFilter(QObject* watched, QEvent* event) {
    if (watched != menu_.get() || event->type() != QEvent::KeyPress) return false;
    const QKeySequence pressed(static_cast<QKeyEvent*>(event)->keyCombination());
    for (QAction* item : menu_->actions()) {
        if (item->isEnabled() && !item->shortcut().isEmpty() && item->shortcut() == pressed) {
            menu_->close();
            item->trigger();
            return true;
        }
    }
    return false;
}

void StatusItem::activated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger && actions_.toggleShelf) actions_.toggleShelf();
}

QIcon StatusItem::trayImage() {
    // A full tray: a tray with two sheets standing in it. Panels are light or dark and the
    // tray does not tell which, so the light mark carries a dark outline: one of the two
    // stands out on either.
    QPainterPath mark;
    mark.addRoundedRect(QRectF(6, 3, 12, 2.2), 1, 1);
    mark.addRoundedRect(QRectF(5, 6.5, 14, 2.2), 1, 1);
    QPainterPath tray;
    tray.addRoundedRect(QRectF(2.5, 10, 19, 11), 2.5, 2.5);
    QPainterPath slot;
    slot.moveTo(2.5, 12.5);
    slot.lineTo(8, 12.5);
    slot.cubicTo(8.5, 15.5, 15.5, 15.5, 16, 12.5);
    slot.lineTo(21.5, 12.5);
    slot.lineTo(21.5, 10);
    slot.lineTo(2.5, 10);
    slot.closeSubpath();
    mark.addPath(tray.subtracted(slot));

    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 24.0, size / 24.0);
        p.strokePath(mark, QPen(QColor(0x1c, 0x1c, 0x1c), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.fillPath(mark, QColor(0xee, 0xee, 0xee));
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace harbelle
