#include "shelf/MainShelfView.h"

#include <QHideEvent>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QScopedValueRollback>
#include <QStackedLayout>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "history/DirectPasteState.h"
#include "history/HistoryStore.h"
#include "shelf/ClipCardDelegate.h"
#include "shelf/ClipPreviewView.h"
#include "shelf/ClipListModel.h"
#include "shelf/FilterBar.h"
#include "shelf/FilterChip.h"
#include "shelf/KeyHintsView.h"
#include "shelf/ShelfSheet.h"
#include "shelf/ShelfStyle.h"
#include "shelf/ThumbnailCache.h"
#include "shelf/ToastLineView.h"
#include "shelf/TranslucentBackground.h"
#include "theme/SymbolGlyph.h"
#include "theme/VisualTheme.h"

namespace harbelle {

namespace {

// Menu and button texts treat "&" as a shortcut marker; a device's name is shown as it is.
QString literalMenuText(QString text) { return text.replace(QLatin1Char('&'), QStringLiteral("&&")); }

constexpr int kOuterMargin = 14;
constexpr int kCollapsedSearchWidth = 200;
constexpr int kExpandedSearchWidth = 300;

QString qs(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

MainShelfView::MainShelfView(HistoryStore& store, QWidget* parent)
    : QWidget(parent), store_(store), placement_(store.shelfPlacement()) {
    setAttribute(Qt::WA_TranslucentBackground);
    setObjectName(QStringLiteral("MainShelfView"));
    setStyleSheet(shelfStyleSheet());
    buildControls();
    applyPlacement();

    connect(&store_, &HistoryStore::itemsChanged, this, [this] {
        refreshList();
        refreshCounts();
        refreshDevices();
    });
    connect(&store_, &HistoryStore::queryChanged, this, [this] {
        const QString query = qs(store_.query());
        if (searchField_->text() != query) searchField_->setText(query);
        refreshSearchWidth();
        refreshList();
    });
    connect(&store_, &HistoryStore::activeFilterChanged, this, [this] {
        for (auto& [filter, button] : filterButtons_) button->setChecked(filter == store_.activeFilter());
        refreshList();
    });
    connect(&store_, &HistoryStore::activeDeviceIDChanged, this, [this] {
        refreshDevices();
        refreshCounts();
        refreshList();
    });
    connect(&store_, &HistoryStore::selectedIDChanged, this, &MainShelfView::refreshSelection);
    connect(&store_, &HistoryStore::toastChanged, this, &MainShelfView::refreshToast);
    connect(&store_, &HistoryStore::migrationStatusChanged, this, &MainShelfView::refreshMigration);
    const AppSettings& settings = store_.settings();
    connect(&settings, &AppSettings::barTransparencyChanged, this,
            [this] { background_->setBarTransparency(store_.settings().barTransparency()); });
    connect(&settings, &AppSettings::shelfPlacementChanged, this, &MainShelfView::applyPlacement);
    connect(&store_, &HistoryStore::previewItemChanged, this, &MainShelfView::refreshSheets);
    connect(&store_, &HistoryStore::editingItemChanged, this, &MainShelfView::refreshSheets);
    connect(&store_, &HistoryStore::showPermissionSetupChanged, this, &MainShelfView::refreshSheets);
    // Choosing a clip pastes it, or in copy-only mode only copies it: the shelf's words say which.
    const auto refreshVerbs = [this] {
        const bool pastes = choosingPastes(store_);
        keyHints_->setHints(KeyHintsView::shelfHints(pastes));
        preview_->setChoosingPastes(pastes);
    };
    for (auto changed : {&HistoryStore::pasteDirectlyChanged, &HistoryStore::accessibilityBusAvailableChanged,
                         &HistoryStore::eventPostingAccessGrantedChanged})
        connect(&store_, changed, this, refreshVerbs);
    refreshVerbs();

    background_->setBarTransparency(settings.barTransparency());
    refreshList();
    refreshCounts();
    refreshDevices();
    refreshToast();
    refreshMigration();
    refreshSheets();
}

void MainShelfView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    searchClearedByEditing_ = false;
    // The card pictures are a few hundred kilobytes each and the shelf may stay hidden for hours.
    if (!event->spontaneous()) list_->cardDelegate()->releaseCachedTiles();
}

MainShelfView::~MainShelfView() {
    // The sheets' contents are the view's own: take them back before the sheet goes.
    if (sheet_) sheet_->dismiss();
}

QAbstractButton* MainShelfView::filterButton(ClipFilter filter) const {
    for (const auto& [f, button] : filterButtons_)
        if (f == filter) return button;
    return nullptr;
}

void MainShelfView::applyPlacement() {
    placement_ = store_.shelfPlacement();
    const bool vertical = shelfplacement::isVertical(placement_);
    list_->setCardOrientation(vertical ? Qt::Vertical : Qt::Horizontal);
    for (auto& [filter, button] : filterButtons_) button->setCompact(vertical);
    filterBar_->setSpacing(vertical ? 4 : 6);
    placementButton_->setIcon(shelfPlacementIcon(placement_, VisualTheme::secondaryText()));
    layOut();
    refreshSearchWidth();
    // Rebuilding the layout shows every widget it takes in, the empty state over the cards too.
    refreshEmptyState();
}

void MainShelfView::layOut() {
    delete layout();
    const bool vertical = shelfplacement::isVertical(placement_);
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(kOuterMargin, 12, kOuterMargin, 10);
    root->setSpacing(8);

    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    auto* listArea = new QStackedLayout;
    listArea->setStackingMode(QStackedLayout::StackAll);
    listArea->addWidget(emptyState_);
    listArea->addWidget(list_);

    if (!vertical) {
        header->addWidget(searchField_);
        header->addSpacing(4);
        header->addWidget(filterBar_);
        header->addWidget(deviceButton_);
        header->addStretch(1);
        header->addWidget(migrationLabel_);
        header->addWidget(toast_);
        header->addSpacing(4);
        header->addWidget(newClipButton_);
        header->addWidget(placementButton_);
        header->addWidget(settingsButton_);
        header->addWidget(closeButton_);
        root->addLayout(header);
        root->addLayout(listArea, 1);
    } else {
        header->addWidget(searchField_, 1);
        header->addWidget(newClipButton_);
        header->addWidget(placementButton_);
        header->addWidget(settingsButton_);
        header->addWidget(closeButton_);
        root->addLayout(header);
        auto* filters = new QHBoxLayout;
        filters->addWidget(filterBar_);
        filters->addStretch(1);
        root->addLayout(filters);
        auto* status = new QHBoxLayout;
        status->addWidget(deviceButton_);
        status->addStretch(1);
        status->addWidget(migrationLabel_);
        status->addWidget(toast_);
        root->addLayout(status);
        root->addLayout(listArea, 1);
    }
    root->addWidget(keyHints_);
    background_->lower();
    emptyState_->raise();
    sheet_->raise();
}

void MainShelfView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    background_->setGeometry(rect());
}

bool MainShelfView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == searchField_ && (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)) {
        searchExpanded_ = event->type() == QEvent::FocusIn || !searchField_->text().isEmpty();
        refreshSearchWidth();
    }
    return QWidget::eventFilter(watched, event);
}

void MainShelfView::refreshSearchWidth() {
    if (shelfplacement::isVertical(placement_)) {
        searchField_->setPreferredWidth(0);
        searchField_->setMinimumWidth(0);
        searchField_->setMaximumWidth(QWIDGETSIZE_MAX);
        return;
    }
    const bool expanded = searchExpanded_ || !searchField_->text().isEmpty();
    const int width = expanded ? kExpandedSearchWidth : kCollapsedSearchWidth;
    searchField_->setPreferredWidth(width);
    searchField_->setMinimumWidth(kCollapsedSearchWidth);
    searchField_->setMaximumWidth(width);
}

void MainShelfView::focusSearch() {
    // A sheet is modal: it keeps the keyboard while it is shown.
    if (hasAttachedSheet() && sheet_->content()) {
        sheet_->content()->setFocus(Qt::OtherFocusReason);
        return;
    }
    searchExpanded_ = true;
    refreshSearchWidth();
    searchField_->setFocus(Qt::ShortcutFocusReason);
    searchField_->selectAll();
}

void MainShelfView::refreshList() {
    {
        // Rows moving under the current index are not the user's choice.
        QScopedValueRollback<bool> quiet(syncingSelection_, true);
        model_->setItems(store_.filteredItems());
    }
    refreshSelection();
    refreshEmptyState();
}

void MainShelfView::refreshCounts() {
    const FilterCounts counts = store_.counts();
    for (auto& [filter, button] : filterButtons_)
        button->setCount(counts[clipfilter::indexOf(filter)]);
    filterBar_->refresh();
}

void MainShelfView::refreshDevices() {
    const auto devices = store_.availableDevices();
    deviceButton_->setVisible(devices.size() > 1);
    if (devices.size() <= 1) return;
    deviceMenu_->clear();
    const auto& active = store_.activeDeviceID();
    QAction* all = deviceMenu_->addAction(QStringLiteral("All Devices"));
    all->setCheckable(true);
    all->setChecked(!active);
    connect(all, &QAction::triggered, this, [this] { store_.setActiveDeviceID(std::nullopt); });
    deviceMenu_->addSeparator();
    QString title = QStringLiteral("All Devices");
    std::string symbol = "laptopcomputer.and.iphone";
    for (const auto& device : devices) {
        QAction* action = deviceMenu_->addAction(
            SymbolGlyph::icon(device.symbol(), VisualTheme::primaryText(), 14),
            QStringLiteral("%1  (%2)").arg(literalMenuText(qs(device.name))).arg(device.count));
        action->setCheckable(true);
        action->setChecked(active && *active == device.id);
        const std::string id = device.id;
        connect(action, &QAction::triggered, this, [this, id] { store_.setActiveDeviceID(id); });
        if (active && *active == device.id) {
            title = literalMenuText(qs(device.name));
            symbol = device.symbol();
        }
    }
    deviceButton_->setText(title);
    deviceButton_->setIcon(SymbolGlyph::icon(symbol, VisualTheme::secondaryText(), 14));
}

void MainShelfView::refreshToast() {
    if (const auto& message = store_.toastMessage()) toast_->setToast(Toast{*message, store_.toastTone()});
    else toast_->setToast(std::nullopt);
}

void MainShelfView::refreshMigration() {
    const auto& status = store_.migrationStatus();
    migrationLabel_->setText(status ? qs(*status) : QString());
    migrationLabel_->setVisible(status.has_value() && !status->empty());
}

void MainShelfView::refreshSelection() {
    QScopedValueRollback<bool> quiet(syncingSelection_, true);
    QItemSelectionModel* selection = list_->selectionModel();
    const auto& id = store_.selectedID();
    const QModelIndex index = id ? model_->indexOf(*id) : QModelIndex();
    if (!index.isValid()) {
        if (selection->hasSelection()) selection->clearSelection();
        // A search or filter hid the selected clip: the first card shown takes over, so what
        // Return, Space and Delete act on is always on screen. Asked of the store, not of the
        // cards: a new clip is selected before the list shows it. The store calls back here.
        const auto& shown = store_.filteredItems();
        const bool hidden =
            !id || std::none_of(shown.begin(), shown.end(), [&](const ClipItem& clip) { return clip.id == *id; });
        if (hidden && !shown.empty()) store_.setSelectedID(shown.front().id);
        return;
    }
    if (selection->currentIndex() != index || !selection->isSelected(index))
        selection->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    list_->scrollTo(index, QAbstractItemView::EnsureVisible);
}

void MainShelfView::refreshEmptyState() {
    const bool empty = model_->rowCount() == 0;
    emptyState_->setVisible(empty);
    list_->setVisible(!empty);
    if (!empty) return;
    if (store_.items().empty()) {
        emptyTitle_->setText(QStringLiteral("No clips yet"));
        emptyMessage_->setText(QStringLiteral("Copy text, links, images or files and they appear here."));
    } else if (!store_.query().empty()) {
        emptyTitle_->setText(QStringLiteral("No matches"));
        emptyMessage_->setText(QStringLiteral("Nothing matches \u201C%1\u201D. Press Esc to clear the search.")
                                   .arg(qs(store_.query())));
    } else if (store_.activeFilter() == ClipFilter::favorites) {
        emptyTitle_->setText(QStringLiteral("No favorites yet"));
        emptyMessage_->setText(QStringLiteral("Mark a clip as a favorite to keep it at hand."));
    } else {
        emptyTitle_->setText(QStringLiteral("Nothing here"));
        emptyMessage_->setText(QStringLiteral("No clips of this kind on this device."));
    }
}

QString MainShelfView::emptyStateTitle() const { return emptyState_->isVisibleTo(this) ? emptyTitle_->text() : QString(); }

}  // namespace harbelle
