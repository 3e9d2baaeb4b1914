// What the user does with one clip on the shelf: its context menu and dragging it out.
#include <QCursor>
#include <QDrag>
#include <QMenu>
#include <QMimeData>
#include <QPainter>

#include "history/ClipPasteboardPayload.h"
#include "history/DirectPasteState.h"
#include "history/HistoryStore.h"
#include "shelf/ClipListModel.h"
#include "shelf/MainShelfView.h"
#include "shelf/ShelfStyle.h"
#include "theme/SymbolGlyph.h"
#include "theme/VisualTheme.h"

namespace harbelle {

namespace {

bool isEditableKind(ClipKind kind) {
    return kind == ClipKind::text || kind == ClipKind::link || kind == ClipKind::code || kind == ClipKind::color;
}

}  // namespace

QMenu* MainShelfView::makeContextMenu(const ClipItem& clip, QWidget* parent) {
    auto* menu = new QMenu(parent);
    menu->setStyleSheet(shelfMenuStyleSheet());
    const ClipItem target = clip;
    // In copy-only mode choosing a clip copies it: the menu says so.
    const bool pastes = choosingPastes(store_);
    menu->addAction(pastes ? QStringLiteral("Paste") : QStringLiteral("Copy"), this,
                    [this, target] { store_.requestPaste(target, false); });
    menu->addAction(pastes ? QStringLiteral("Paste as Plain Text") : QStringLiteral("Copy as Plain Text"), this, [this, target] {
        store_.setSelectedID(target.id);
        store_.requestPasteAsIs(target, true);
    });
    menu->addSeparator();
    QAction* favorite = menu->addAction(SymbolGlyph::icon(clip.isPinned ? "star.fill" : "star", VisualTheme::favorite(), 14),
                                        clip.isPinned ? QStringLiteral("Remove Favorite") : QStringLiteral("Favorite"), this,
                                        [this, target] { store_.togglePinned(target); });
    favorite->setObjectName(QStringLiteral("favorite"));
    menu->addAction(QStringLiteral("Preview"), this, [this, target] { store_.setPreviewItem(target); });
    QAction* edit = menu->addAction(QStringLiteral("Edit"), this, [this, target] { store_.setEditingItem(target); });
    edit->setEnabled(isEditableKind(clip.kind));
    menu->addSeparator();
    menu->addAction(SymbolGlyph::icon("trash", QColor(0xff, 0x6b, 0x61), 14), QStringLiteral("Delete"), this,
                    [this, target] { store_.deleteItem(target); });
    return menu;
}

std::unique_ptr<QMimeData> MainShelfView::dragMimeData(const ClipItem& clip) const {
    // The same objects a paste writes, legacy archives included.
    const auto objects = store_.pasteboardObjects(clip, store_.alwaysPastePlainText(), true);
    if (objects.empty()) return nullptr;
    return ClipPasteboardPayload::mimeData(objects);
}

void MainShelfView::startClipDrag(int row) {
    const ClipItem* found = model_->clipAt(row);
    if (!found) return;
    const ClipItem clip = *found;
    std::unique_ptr<QMimeData> mime = dragMimeData(clip);
    if (!mime) return;
    auto* drag = new QDrag(list_);
    drag->setMimeData(mime.release());
    const QRect itemRect = list_->visualRect(model_->index(row));
    QPixmap picture = list_->viewport()->grab(itemRect);
    if (!picture.isNull()) {
        QPixmap faded(picture.size());
        faded.setDevicePixelRatio(picture.devicePixelRatio());
        faded.fill(Qt::transparent);
        QPainter painter(&faded);
        painter.setOpacity(0.85);
        painter.drawPixmap(0, 0, picture);
        painter.end();
        drag->setPixmap(faded);
        drag->setHotSpot(list_->viewport()->mapFromGlobal(QCursor::pos()) - itemRect.topLeft());
    }
    store_.beginClipDrag(clip);
    // No deleteLater here: on X11 the drop target asks for the data after exec() returns, and
    // Qt deletes the drag (and its data) itself once the drop transaction is over. IgnoreAction
    // means no target took it.
    Qt::DropAction action = Qt::IgnoreAction;
    if (list_->dragExecutor) {
        action = list_->dragExecutor(*drag);
        delete drag;
    } else {
        action = drag->exec(Qt::CopyAction, Qt::CopyAction);
    }
    store_.endClipDrag(action != Qt::IgnoreAction);
}

}  // namespace harbelle
