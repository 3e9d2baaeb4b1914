// The shelf's controls: search field, filters, tool buttons, the card list and the empty state.
#include <QActionGroup>
#include <QButtonGroup>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QToolButton>
#include <QVBoxLayout>

#include "history/HistoryPersistence.h"
#include "history/HistoryStore.h"
#include "shelf/BoundedFieldPaste.h"
#include "shelf/ClipCardDelegate.h"
#include "shelf/ClipListModel.h"
#include "shelf/FilterBar.h"
#include "shelf/FilterChip.h"
#include "shelf/KeyHintsView.h"
#include "shelf/MainShelfView.h"
#include "shelf/ShelfStyle.h"
#include "shelf/ThumbnailCache.h"
#include "shelf/ToastLineView.h"
#include "shelf/TranslucentBackground.h"
#include "theme/SymbolGlyph.h"
#include "theme/VisualTheme.h"

namespace harbelle {

namespace {

QString placementTitle(ShelfPlacement placement) {
    switch (placement) {
    case ShelfPlacement::bottom: return QStringLiteral("Bottom");
    case ShelfPlacement::top: return QStringLiteral("Top");
    case ShelfPlacement::left: return QStringLiteral("Left");
    case ShelfPlacement::right: return QStringLiteral("Right");
    }
    return {};
}

QToolButton* makeIconButton(const QString& toolTip, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setToolTip(toolTip);
    button->setAccessibleName(toolTip);
    button->setAutoRaise(true);
    button->setIconSize(QSize(16, 16));
    button->setFixedSize(30, 30);
    button->setFocusPolicy(Qt::NoFocus);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

}  // namespace

void MainShelfView::buildControls() {
    background_ = new TranslucentBackground(this);
    background_->lower();
    buildSearchField();
    buildFilterBar();
    buildToolbar();
    buildList();
    buildEmptyState();
    keyHints_ = new KeyHintsView(this);
    buildSheets();
}

void MainShelfView::buildSearchField() {
    searchField_ = new SearchField(this);
    searchField_->setObjectName(QStringLiteral("search"));
    searchField_->setPlaceholderText(QStringLiteral("Search clips"));
    searchField_->setAccessibleName(QStringLiteral("Search"));
    searchField_->setClearButtonEnabled(true);
    searchField_->addAction(SymbolGlyph::icon("magnifyingglass", VisualTheme::secondaryText(), 14),
                            QLineEdit::LeadingPosition);
    searchField_->setFixedHeight(28);
    searchField_->installEventFilter(this);
    BoundedFieldPaste::install(searchField_, store_.pasteboard());
    connect(searchField_, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (text.toStdString() != store_.query()) store_.setQuery(text.toStdString());
    });
    connect(searchField_, &QLineEdit::textEdited, this,
            [this](const QString& text) { searchClearedByEditing_ = text.isEmpty(); });
    connect(searchField_, &QLineEdit::returnPressed, this, [this] {
        store_.requestPasteSelected(QGuiApplication::keyboardModifiers().testFlag(Qt::ShiftModifier));
    });
}

void MainShelfView::buildFilterBar() {
    filterBar_ = new FilterBar(this);
    auto* group = new QButtonGroup(this);
    group->setExclusive(true);
    for (ClipFilter filter : clipfilter::allCases) {
        auto* chip = new FilterChip(filter, filterBar_);
        chip->setChecked(filter == store_.activeFilter());
        group->addButton(chip);
        filterBar_->addChip(chip);
        filterButtons_.emplace_back(filter, chip);
        connect(chip, &QAbstractButton::clicked, this, [this, filter] { store_.setActiveFilter(filter); });
    }

    deviceButton_ = new QToolButton(this);
    deviceButton_->setObjectName(QStringLiteral("device"));
    deviceButton_->setPopupMode(QToolButton::InstantPopup);
    deviceButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    deviceButton_->setFocusPolicy(Qt::NoFocus);
    deviceButton_->setFixedHeight(26);
    deviceButton_->setAccessibleName(QStringLiteral("Device"));
    deviceMenu_ = new QMenu(deviceButton_);
    deviceMenu_->setStyleSheet(shelfMenuStyleSheet());
    deviceButton_->setMenu(deviceMenu_);
}

void MainShelfView::buildToolbar() {
    migrationLabel_ = new QLabel(this);
    migrationLabel_->setObjectName(QStringLiteral("migration"));
    migrationLabel_->setTextFormat(Qt::PlainText);
    toast_ = new ToastLineView(this);

    newClipButton_ = makeIconButton(QStringLiteral("New Clip"), this);
    newClipButton_->setIcon(SymbolGlyph::icon("plus", VisualTheme::secondaryText(), 16));
    connect(newClipButton_, &QToolButton::clicked, this, [this] { store_.startNewTextClip(); });

    buildPlacementMenu();

    settingsButton_ = makeIconButton(QStringLiteral("Settings"), this);
    settingsButton_->setIcon(SymbolGlyph::icon("gearshape", VisualTheme::secondaryText(), 16));
    connect(settingsButton_, &QToolButton::clicked, this, [this] {
        store_.setShowSettings(true);
        store_.announceSettingsVisibility(true);
    });

    closeButton_ = makeIconButton(QStringLiteral("Close"), this);
    closeButton_->setIcon(SymbolGlyph::icon("xmark", VisualTheme::secondaryText(), 14));
    connect(closeButton_, &QToolButton::clicked, this, [this] { store_.requestHide(); });
}

void MainShelfView::buildPlacementMenu() {
    placementButton_ = makeIconButton(QStringLiteral("Shelf Position"), this);
    placementButton_->setPopupMode(QToolButton::InstantPopup);
    auto* placementMenu = new QMenu(placementButton_);
    placementMenu->setStyleSheet(shelfMenuStyleSheet());
    auto* placementGroup = new QActionGroup(placementMenu);
    // A checked item with an icon shows the icon's "on" state, not a check box: the current
    // edge is marked by a check in the accent colour in place of its picture.
    const QPixmap check = SymbolGlyph::icon("checkmark.circle.fill", PemberlowTheme::selection(), 16)
                              .pixmap(QSize(16, 16), devicePixelRatioF());
    for (ShelfPlacement placement : shelfplacement::allCases) {
        QIcon icon = shelfPlacementIcon(placement, VisualTheme::primaryText());
        for (QIcon::Mode mode : {QIcon::Normal, QIcon::Active}) icon.addPixmap(check, mode, QIcon::On);
        QAction* action = placementMenu->addAction(icon, placementTitle(placement));
        action->setCheckable(true);
        action->setData(static_cast<int>(placement));
        placementGroup->addAction(action);
        connect(action, &QAction::triggered, this, [this, placement] { store_.updateShelfPlacement(placement); });
    }
    connect(placementMenu, &QMenu::aboutToShow, this, [this, placementMenu] {
        for (QAction* action : placementMenu->actions())
            action->setChecked(action->data().toInt() == static_cast<int>(store_.shelfPlacement()));
    });
    placementButton_->setMenu(placementMenu);
}

void MainShelfView::buildList() {
    list_ = new ClipShelfListView(this);
    model_ = new ClipListModel(this);
    list_->setModel(model_);
    // The list's own navigation (Home, End, Page keys, a right click) moves the highlight: the
    // store's selection follows it, so Return pastes the card that is highlighted.
    connect(list_->selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
        if (syncingSelection_) return;
        const ClipItem* clip = model_->clipAt(current);
        if (clip && store_.selectedID() != std::optional<Uuid>(clip->id)) store_.setSelectedID(clip->id);
    });
    const std::filesystem::path payloads = store_.payloadsURL();
    thumbnails_ = new ThumbnailCache(
        [payloads](const std::string& name) { return HistoryPersistence::payloadPath(payloads, name); },
        this);
    list_->cardDelegate()->setThumbnailCache(thumbnails_);
    connect(thumbnails_, &ThumbnailCache::thumbnailReady, model_, &ClipListModel::payloadChanged);
    connect(list_, &ClipShelfListView::cardClicked, this, [this](const QModelIndex& index) {
        if (const ClipItem* clip = model_->clipAt(index)) store_.requestPaste(*clip, false);
    });
    connect(list_, &ClipShelfListView::cardDragStarted, this,
            [this](const QModelIndex& index) { startClipDrag(index.row()); });
    connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& position) {
        const ClipItem* clip = model_->clipAt(list_->cardAt(position));
        if (!clip) return;
        QMenu* menu = makeContextMenu(*clip, this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(list_->viewport()->mapToGlobal(position));
    });
}

void MainShelfView::buildEmptyState() {
    emptyState_ = new QWidget(this);
    auto* emptyLayout = new QVBoxLayout(emptyState_);
    emptyLayout->addStretch(1);
    emptyTitle_ = new QLabel(emptyState_);
    emptyTitle_->setObjectName(QStringLiteral("emptyTitle"));
    emptyTitle_->setAlignment(Qt::AlignCenter);
    emptyTitle_->setTextFormat(Qt::PlainText);
    emptyMessage_ = new QLabel(emptyState_);
    emptyMessage_->setObjectName(QStringLiteral("emptyMessage"));
    emptyMessage_->setAlignment(Qt::AlignCenter);
    emptyMessage_->setTextFormat(Qt::PlainText);  // it quotes the search text
    emptyMessage_->setWordWrap(true);
    emptyLayout->addWidget(emptyTitle_);
    emptyLayout->addWidget(emptyMessage_);
    emptyLayout->addStretch(1);
    emptyState_->hide();
}

}  // namespace harbelle
