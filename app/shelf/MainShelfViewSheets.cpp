// The shelf's sheets: which one the store's state asks for, and how each is shown.
#include "history/HistoryStore.h"
#include "shelf/AutomaticUpdateSetupView.h"
#include "shelf/ClipEditorView.h"
#include "shelf/ClipPreviewView.h"
#include "shelf/MainShelfView.h"
#include "shelf/PermissionSetupView.h"
#include "shelf/ShelfSheet.h"

namespace harbelle {

void MainShelfView::buildSheets() {
    sheet_ = new ShelfSheet(this);
    connect(sheet_, &ShelfSheet::dismissRequested, this, &MainShelfView::dismissSheetByUser);
    preview_ = new ClipPreviewView(this);
    preview_->setThumbnailCache(thumbnails_);
    preview_->hide();
    connect(preview_, &ClipPreviewView::pasteRequested, this, [this](const ClipItem& clip, bool plain) {
        if (plain) {
            // Plain text goes straight to the paste engine, as asked, whatever the setting.
            store_.setSelectedID(clip.id);
            store_.requestPasteAsIs(clip, true);
        } else {
            store_.requestPaste(clip, false);
        }
    });
    connect(preview_, &ClipPreviewView::togglePinnedRequested, this, [this](const ClipItem& clip) {
        store_.togglePinned(clip);
        for (const auto& item : store_.items())
            if (item.id == clip.id) {
                store_.setPreviewItem(item);
                break;
            }
    });
    connect(preview_, &ClipPreviewView::deleteRequested, this, [this](const ClipItem& clip) {
        store_.setPreviewItem(std::nullopt);
        store_.deleteItem(clip);
    });
    connect(preview_, &ClipPreviewView::closeRequested, this, [this] { store_.setPreviewItem(std::nullopt); });

    editor_ = new ClipEditorView(this, store_.pasteboard());
    editor_->hide();
    connect(editor_, &ClipEditorView::saveRequested, this, [this](const QString& text) {
        const auto& editing = store_.editingItem();
        if (!editing) return;
        // A refused save (blank, or no room in the history file) leaves the store's editing
        // state as it was: the sheet stays open with the text as typed, ready for another try,
        // and says why itself, since it covers the toast line.
        bool said = false;
        const auto saying = connect(&store_, &HistoryStore::toastChanged, this, [&] { said = true; });
        const bool saved = store_.saveEditedText(*editing, text.toStdString());
        disconnect(saying);
        if (saved) return;
        if (said && store_.toastMessage()) editor_->showRefusal(QString::fromStdString(*store_.toastMessage()));
        editor_->setFocus();
    });
    connect(editor_, &ClipEditorView::cancelRequested, this, [this] { store_.setEditingItem(std::nullopt); });

    permissionSheet_ = new PermissionSetupView(store_, updateChoice_, this);
    permissionSheet_->hide();
    updateSheet_ = new AutomaticUpdateSetupView(updateChoice_, this);
    updateSheet_->hide();
}

void MainShelfView::setUpdateChoice(ShelfUpdateChoice choice) {
    updateChoice_ = std::move(choice);
    // The sheets' toggles follow a change made on the settings page while they are up.
    if (updateChoice_.observeSettings)
        updateChoice_.observeSettings(this, [this] {
            permissionSheet_->refresh();
            updateSheet_->refresh();
        });
    permissionSheet_->refresh();
    updateSheet_->refresh();
    refreshSheets();
}

bool MainShelfView::hasAttachedSheet() const { return presentedSheet_ != SheetKind::none; }

void MainShelfView::refreshSheets() {
    SheetKind wanted = SheetKind::none;
    if (store_.showPermissionSetup()) wanted = SheetKind::permissionSetup;
    else if (updateChoice_.isPresented && updateChoice_.isPresented()) wanted = SheetKind::updateChoice;
    else if (store_.editingItem()) wanted = SheetKind::editor;
    else if (store_.previewItem()) wanted = SheetKind::preview;

    // The editor starts over only when the user opened a clip: a clip that sync changed or
    // moved to another id, or another sheet shown in between, leaves the typing as it is.
    if (wanted == SheetKind::editor) {
        const auto& editing = *store_.editingItem();
        if (editor_->editingSession() != store_.editingSession())
            editor_->beginEditing(editing, store_.editingSession());
        else
            editor_->followClip(editing);
    }
    if (wanted == SheetKind::preview) {
        const auto& previewed = *store_.previewItem();
        if (!preview_->clip() || !(*preview_->clip() == previewed)) preview_->setClip(previewed);
    }
    if (wanted == presentedSheet_) return;

    const SheetKind previous = presentedSheet_;
    presentedSheet_ = wanted;
    if (previous != SheetKind::none) {
        sheet_->dismiss();
        emit sheetDidEnd();
    }
    if (wanted == SheetKind::none) return;
    emit sheetWillBegin();
    switch (wanted) {
    // The set-up sheets are taller than the shelf: whole, in front of it, whatever its size.
    case SheetKind::permissionSetup: sheet_->presentAbove(permissionSheet_, 600, 760); break;
    case SheetKind::updateChoice: sheet_->presentAbove(updateSheet_, 600, 760); break;
    case SheetKind::editor: sheet_->present(editor_, QSize(640, 360)); break;
    case SheetKind::preview: sheet_->present(preview_, QSize(720, 380)); break;
    case SheetKind::none: break;
    }
}

void MainShelfView::dismissSheetByUser() {
    switch (presentedSheet_) {
    case SheetKind::preview: store_.setPreviewItem(std::nullopt); break;
    case SheetKind::editor: store_.setEditingItem(std::nullopt); break;
    case SheetKind::permissionSetup:
    case SheetKind::updateChoice:
        // These close only through their own buttons: Escape must not decide for the user.
        break;
    case SheetKind::none: break;
    }
}

}  // namespace harbelle
