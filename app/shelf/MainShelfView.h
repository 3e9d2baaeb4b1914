#pragma once

#include <QWidget>
#include <memory>
#include <optional>
#include <vector>

#include "history/ClipFilter.h"
#include "history/ClipItem.h"
#include "history/ShelfPlacement.h"
#include "shelf/ClipShelfListView.h"
#include "shelf/SearchField.h"
#include "shelf/ShelfUpdateChoice.h"

class QAbstractButton;
class QLabel;
class QLineEdit;
class QMenu;
class QMimeData;
class QToolButton;

namespace harbelle {

class ClipEditorView;
class FilterBar;
class FilterChip;
class ClipListModel;
class ClipPreviewView;
class HistoryStore;
class KeyHintsView;
class AutomaticUpdateSetupView;
class PermissionSetupView;
class ShelfSheet;
class ThumbnailCache;
class ToastLineView;
class TranslucentBackground;

// The shelf's root view: search, kind and device filters, the cards, empty states, key hints,
// the toast line, the close, settings, new-clip and placement controls, and the sheets
// (preview, editor, permission set-up, update choice). It reads and writes the store only;
// keys are the panel controller's.
class MainShelfView : public QWidget {
    Q_OBJECT
public:
    explicit MainShelfView(HistoryStore& store, QWidget* parent = nullptr);
    ~MainShelfView() override;

    HistoryStore& store() const { return store_; }

    void setUpdateChoice(ShelfUpdateChoice choice);
    // Presents or dismisses the sheets after the state behind them changed.
    void refreshSheets();

    // A sheet (preview, editor, permission set-up or update choice) is shown over the shelf.
    bool hasAttachedSheet() const;
    ShelfSheet* sheet() const { return sheet_; }
    PermissionSetupView* permissionSetupView() const { return permissionSheet_; }
    AutomaticUpdateSetupView* automaticUpdateSetupView() const { return updateSheet_; }
    enum class SheetKind { none, permissionSetup, updateChoice, editor, preview };
    SheetKind presentedSheet() const { return presentedSheet_; }

    // The parts, for the panel controller, snapshots and tests.
    QLineEdit* searchField() const { return searchField_; }
    ClipShelfListView* listView() const { return list_; }
    ClipListModel* model() const { return model_; }
    ClipPreviewView* previewView() const { return preview_; }
    ClipEditorView* editorView() const { return editor_; }
    KeyHintsView* keyHints() const { return keyHints_; }
    ToastLineView* toastLine() const { return toast_; }
    QAbstractButton* filterButton(ClipFilter filter) const;
    QToolButton* deviceButton() const { return deviceButton_; }
    QToolButton* closeButton() const { return closeButton_; }
    QToolButton* settingsButton() const { return settingsButton_; }
    QToolButton* newClipButton() const { return newClipButton_; }
    QToolButton* placementButton() const { return placementButton_; }
    QLabel* migrationLabel() const { return migrationLabel_; }
    bool searchExpanded() const { return searchExpanded_; }
    // The empty state's heading, or an empty text while clips are shown.
    QString emptyStateTitle() const;

    // The context menu of a card (the caller owns it).
    QMenu* makeContextMenu(const ClipItem& clip, QWidget* parent = nullptr);
    // The drag data of a clip: its clipboard objects as a drag gives them, or null when the
    // clip has nothing to offer.
    std::unique_ptr<QMimeData> dragMimeData(const ClipItem& clip) const;
    // Starts a drag of the clip at `row` of the list and runs it to its end.
    void startClipDrag(int row);

    // Puts the cursor into the search field and widens it.
    void focusSearch();
    // The user emptied the search field by editing it (Backspace, Delete, cutting) and has
    // not moved the selection since: a further Backspace belongs to the field, not the cards.
    bool searchClearedByEditing() const { return searchClearedByEditing_; }
    void forgetSearchEditing() { searchClearedByEditing_ = false; }

signals:
    void sheetWillBegin();
    void sheetDidEnd();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void buildSearchField();
    void buildFilterBar();
    void buildToolbar();
    void buildPlacementMenu();
    void buildList();
    void buildEmptyState();
    void buildSheets();
    void layOut();
    void refreshList();
    void refreshCounts();
    void refreshDevices();
    void refreshToast();
    void refreshMigration();
    void refreshSelection();
    void refreshEmptyState();
    void refreshSearchWidth();
    void applyPlacement();
    void dismissSheetByUser();

    HistoryStore& store_;
    ShelfUpdateChoice updateChoice_;
    ShelfPlacement placement_;

    TranslucentBackground* background_ = nullptr;
    SearchField* searchField_ = nullptr;
    std::vector<std::pair<ClipFilter, FilterChip*>> filterButtons_;
    FilterBar* filterBar_ = nullptr;
    QToolButton* deviceButton_ = nullptr;
    QMenu* deviceMenu_ = nullptr;
    QToolButton* newClipButton_ = nullptr;
    QToolButton* placementButton_ = nullptr;
    QToolButton* settingsButton_ = nullptr;
    QToolButton* closeButton_ = nullptr;
    QLabel* migrationLabel_ = nullptr;
    ToastLineView* toast_ = nullptr;
    ClipShelfListView* list_ = nullptr;
    ClipListModel* model_ = nullptr;
    ThumbnailCache* thumbnails_ = nullptr;
    QWidget* emptyState_ = nullptr;
    QLabel* emptyTitle_ = nullptr;
    QLabel* emptyMessage_ = nullptr;
    KeyHintsView* keyHints_ = nullptr;

    ShelfSheet* sheet_ = nullptr;
    ClipPreviewView* preview_ = nullptr;
    ClipEditorView* editor_ = nullptr;
    PermissionSetupView* permissionSheet_ = nullptr;
    AutomaticUpdateSetupView* updateSheet_ = nullptr;
    SheetKind presentedSheet_ = SheetKind::none;

    bool searchExpanded_ = false;
    bool searchClearedByEditing_ = false;
    bool syncingSelection_ = false;
};

}  // namespace harbelle
