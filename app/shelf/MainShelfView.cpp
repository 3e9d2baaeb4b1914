#include "shelf/MainShelfView.h"

#include <QAbstractButton>
#include <QActionGroup>
#include <QHideEvent>
#include <QApplication>
#include <QButtonGroup>
#include <QDrag>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QStackedLayout>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>
#include <fstream>
#include <iterator>

#include "history/ClipPasteboardPayload.h"
#include "history/HistoryPersistence.h"
#include "history/HistoryStore.h"
#include "theme/AppMark.h"
#include "shelf/ClipCardDelegate.h"
#include "shelf/BoundedFieldPaste.h"
#include "shelf/ClipEditorView.h"
#include "shelf/ClipListModel.h"
#include "shelf/ClipPreviewView.h"
#include "shelf/KeyHintsView.h"
#include "shelf/AutomaticUpdateSetupView.h"
#include "shelf/PermissionSetupView.h"
#include "shelf/ShelfSheet.h"
#include "theme/SymbolGlyph.h"
#include "shelf/ThumbnailCache.h"
#include "shelf/ToastLineView.h"
#include "shelf/TranslucentBackground.h"
#include "theme/VisualTheme.h"

namespace harbelle {

namespace {

// Menu and button texts treat "&" as a shortcut marker; a device's name is shown as it is.
QString literalMenuText(QString text) { return text.replace(QLatin1Char('&'), QStringLiteral("&&")); }

constexpr int kOuterMargin = 14;
constexpr int kCollapsedSearchWidth = 200;
constexpr int kExpandedSearchWidth = 300;
constexpr const char* kNewClipText = "New reusable snippet";

QString qs(const std::string& text) { return QString::fromStdString(text); }

QString filterTitle(ClipFilter filter) {
    switch (filter) {
    case ClipFilter::all: return QStringLiteral("All");
    case ClipFilter::favorites: return QStringLiteral("Favorites");
    case ClipFilter::text: return QStringLiteral("Text");
    case ClipFilter::links: return QStringLiteral("Links");
    case ClipFilter::images: return QStringLiteral("Images");
    case ClipFilter::files: return QStringLiteral("Files");
    }
    return {};
}

std::string_view filterSymbol(ClipFilter filter) {
    switch (filter) {
    case ClipFilter::all: return "doc.on.doc";
    case ClipFilter::favorites: return "star.fill";
    case ClipFilter::text: return "text.alignleft";
    case ClipFilter::links: return "link";
    case ClipFilter::images: return "photo";
    case ClipFilter::files: return "doc";
    }
    return "doc";
}

QColor filterColor(ClipFilter filter) {
    switch (filter) {
    case ClipFilter::all: return VisualTheme::secondaryText();
    case ClipFilter::favorites: return VisualTheme::favorite();
    case ClipFilter::text: return VisualTheme::kindColor(ClipKind::text);
    case ClipFilter::links: return VisualTheme::kindColor(ClipKind::link);
    case ClipFilter::images: return VisualTheme::kindColor(ClipKind::image);
    case ClipFilter::files: return VisualTheme::kindColor(ClipKind::file);
    }
    return VisualTheme::secondaryText();
}

QString placementTitle(ShelfPlacement placement) {
    switch (placement) {
    case ShelfPlacement::bottom: return QStringLiteral("Bottom");
    case ShelfPlacement::top: return QStringLiteral("Top");
    case ShelfPlacement::left: return QStringLiteral("Left");
    case ShelfPlacement::right: return QStringLiteral("Right");
    }
    return {};
}

// A screen outline with the shelf drawn against the placement's edge.
QIcon placementIcon(ShelfPlacement placement, const QColor& color, int size = 16) {
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

// A rounded filter pill: the filter's glyph, its title and the number of clips it holds. In a
// narrow (vertical) shelf the title gives way to the glyph alone; the filter bar drops titles
// too when the header has no room for them, so the counts stay readable on the narrowest shelf.
class FilterChip : public QAbstractButton {
public:
    FilterChip(ClipFilter filter, QWidget* parent) : QAbstractButton(parent), filter_(filter) {
        setCheckable(true);
        setFocusPolicy(Qt::NoFocus);
        setCursor(Qt::PointingHandCursor);
        setText(filterTitle(filter));
        setAccessibleName(filterTitle(filter));
        setToolTip(filterTitle(filter));
        setAttribute(Qt::WA_Hover);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    }
    void setCount(int count) {
        if (count == count_) return;
        count_ = count;
        updateGeometry();
        update();
    }
    int count() const { return count_; }
    void setCompact(bool compact) {
        if (compact == compact_) return;
        compact_ = compact;
        updateGeometry();
        update();
    }
    bool wantsTitle() const { return !compact_ || filter_ == ClipFilter::all; }
    void setTitleShown(bool shown) {
        if (shown == titleShown_) return;
        titleShown_ = shown;
        update();
    }
    bool showsTitle() const { return titleShown_ && wantsTitle(); }
    int titledWidth() const { return static_cast<int>(std::ceil(2 * kPadding + contentWidth(true))); }
    int glyphWidth() const { return static_cast<int>(std::ceil(2 * kTightPadding + contentWidth(false))); }
    QSize sizeHint() const override { return QSize(wantsTitle() ? titledWidth() : glyphWidth(), kHeight); }
    QSize minimumSizeHint() const override { return QSize(glyphWidth(), kHeight); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing, true);
        const QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        const bool hovered = underMouse();
        QColor fill = isChecked() ? PemberlowTheme::selection() : QColor(255, 255, 255, hovered ? 26 : 14);
        painter.setPen(isChecked() ? Qt::NoPen : QPen(QColor(255, 255, 255, 18), 1));
        painter.setBrush(fill);
        painter.drawRoundedRect(bounds, bounds.height() / 2, bounds.height() / 2);

        const bool titled = showsTitle();
        qreal x = titled ? kPadding : kTightPadding;
        const qreal gap = titled ? kGap : kTightGap;
        const QColor glyphColor = isChecked() ? QColor(Qt::white) : filterColor(filter_);
        SymbolGlyph::paint(painter, QRectF(x, (height() - kGlyph) / 2.0, kGlyph, kGlyph), filterSymbol(filter_),
                           glyphColor, isChecked() ? PemberlowTheme::selection() : VisualTheme::cardBackground());
        x += kGlyph + gap;
        if (titled) {
            const QFont font = VisualTheme::uiFont(12, QFont::Medium);
            painter.setFont(font);
            painter.setPen(isChecked() ? QColor(Qt::white) : VisualTheme::primaryText());
            const qreal w = QFontMetricsF(font).horizontalAdvance(text());
            painter.drawText(QRectF(x, 0, w + 1, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
            x += w + kGap;
        }
        painter.setFont(VisualTheme::uiFont(11));
        painter.setPen(isChecked() ? QColor(255, 255, 255, 210) : VisualTheme::tertiaryText());
        painter.drawText(QRectF(x, 0, width() - x, height()), Qt::AlignVCenter | Qt::AlignLeft,
                         QString::number(count_));
    }

private:
    static constexpr int kHeight = 26;
    static constexpr qreal kGlyph = 13;
    static constexpr qreal kPadding = 10;
    static constexpr qreal kGap = 6;
    static constexpr qreal kTightPadding = 7;
    static constexpr qreal kTightGap = 4;

    qreal countWidth() const { return QFontMetricsF(VisualTheme::uiFont(11)).horizontalAdvance(QString::number(count_)); }
    // Glyph, gaps, optional title and count, without the outer padding.
    qreal contentWidth(bool titled) const {
        if (!titled) return kGlyph + kTightGap + countWidth();
        return kGlyph + kGap + QFontMetricsF(VisualTheme::uiFont(12, QFont::Medium)).horizontalAdvance(text()) + kGap +
               countWidth();
    }

    ClipFilter filter_;
    int count_ = 0;
    bool compact_ = false;
    bool titleShown_ = true;
};

// The row of filter chips. It asks for every title but takes less: given a narrower width it
// drops titles from the right until the chips fit, down to glyphs and counts alone.
class FilterBar : public QWidget {
public:
    explicit FilterBar(QWidget* parent) : QWidget(parent) { setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed); }
    void addChip(FilterChip* chip) {
        chip->setParent(this);
        chips_.push_back(chip);
        refresh();
    }
    void setSpacing(int spacing) {
        spacing_ = spacing;
        refresh();
    }
    // After a chip's count or compactness changed.
    void refresh() {
        updateGeometry();
        arrange();
    }
    QSize sizeHint() const override { return QSize(total([](FilterChip* c) { return c->sizeHint().width(); }), 26); }
    QSize minimumSizeHint() const override {
        return QSize(total([](FilterChip* c) { return c->glyphWidth(); }), 26);
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        arrange();
    }

private:
    template <typename Width>
    int total(Width width) const {
        int sum = 0;
        for (FilterChip* chip : chips_) sum += width(chip);
        return sum + spacing_ * std::max(0, static_cast<int>(chips_.size()) - 1);
    }
    void arrange() {
        int spare = width() - minimumSizeHint().width();
        std::vector<bool> titled(chips_.size(), false);
        for (std::size_t i = 0; i < chips_.size(); ++i) {
            if (!chips_[i]->wantsTitle()) continue;
            const int extra = chips_[i]->titledWidth() - chips_[i]->glyphWidth();
            if (extra > spare) break;  // titles go from the right first
            titled[i] = true;
            spare -= extra;
        }
        int x = 0;
        for (std::size_t i = 0; i < chips_.size(); ++i) {
            FilterChip* chip = chips_[i];
            chip->setTitleShown(titled[i]);
            const int w = titled[i] ? chip->titledWidth() : chip->glyphWidth();
            chip->setGeometry(x, 0, w, 26);
            x += w + spacing_;
        }
    }

    std::vector<FilterChip*> chips_;
    int spacing_ = 6;
};

// The search field asks for its wide size while the user searches; the header may give it
// less on a narrow shelf, down to its minimum.
class SearchField : public QLineEdit {
public:
    explicit SearchField(QWidget* parent) : QLineEdit(parent) {}
    void setPreferredWidth(int width) {
        if (width == preferredWidth_) return;
        preferredWidth_ = width;
        updateGeometry();
    }
    QSize sizeHint() const override {
        const QSize base = QLineEdit::sizeHint();
        return preferredWidth_ > 0 ? QSize(preferredWidth_, base.height()) : base;
    }

private:
    int preferredWidth_ = 0;
};

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

QString menuStyleSheet() {
    return QStringLiteral(
               "QMenu { background: %1; color: %2; border: 1px solid rgba(255,255,255,30); border-radius: 8px; padding: 4px; }"
               "QMenu::item { padding: 5px 18px 5px 10px; border-radius: 5px; }"
               "QMenu::item:selected { background: %3; color: white; }"
               "QMenu::item:disabled { color: %4; }"
               "QMenu::separator { height: 1px; background: rgba(255,255,255,24); margin: 4px 6px; }")
        .arg(VisualTheme::cardBackground().name(), VisualTheme::primaryText().name(),
             PemberlowTheme::selection().name(), VisualTheme::tertiaryText().name());
}

bool isEditableKind(ClipKind kind) {
    return kind == ClipKind::text || kind == ClipKind::link || kind == ClipKind::code || kind == ClipKind::color;
}

}  // namespace

// ---- ClipShelfListView -----------------------------------------------------------------------

ClipShelfListView::ClipShelfListView(QWidget* parent) : QListView(parent), delegate_(new ClipCardDelegate(this)) {
    setItemDelegate(delegate_);
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setMouseTracking(true);
    viewport()->setAttribute(Qt::WA_Hover);
    viewport()->setAutoFillBackground(false);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setMovement(QListView::Static);
    setResizeMode(QListView::Fixed);
    setLayoutMode(QListView::SinglePass);
    setWrapping(false);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setFocusPolicy(Qt::ClickFocus);
    setDragEnabled(false);  // drags are started by hand to run the store's drag session
    setCardOrientation(Qt::Horizontal);
}

void ClipShelfListView::setCardOrientation(Qt::Orientation orientation) {
    orientation_ = orientation;
    delegate_->setOrientation(orientation);
    setFlow(orientation == Qt::Horizontal ? QListView::LeftToRight : QListView::TopToBottom);
    setHorizontalScrollBarPolicy(orientation == Qt::Horizontal ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(orientation == Qt::Horizontal ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
    updateCrossExtent();
}

void ClipShelfListView::updateCrossExtent() {
    const QSize area = maximumViewportSize();
    const int extent = orientation_ == Qt::Horizontal ? area.height() - 10 : area.width() - 10;
    if (extent > 40 && extent != delegate_->crossExtent()) {
        delegate_->setCrossExtent(extent);
        doItemsLayout();
    }
}

void ClipShelfListView::resizeEvent(QResizeEvent* event) {
    QListView::resizeEvent(event);
    updateCrossExtent();
}

void ClipShelfListView::wheelEvent(QWheelEvent* event) {
    // A row of cards scrolls sideways with an ordinary wheel.
    if (orientation_ == Qt::Horizontal && event->angleDelta().x() == 0) {
        QScrollBar* bar = horizontalScrollBar();
        bar->setValue(bar->value() - event->angleDelta().y());
        event->accept();
        return;
    }
    QListView::wheelEvent(event);
}

QModelIndex ClipShelfListView::cardAt(const QPoint& position) const {
    const QModelIndex index = indexAt(position);
    if (!index.isValid() || !ClipCardDelegate::cardRect(QRectF(visualRect(index))).contains(QPointF(position)))
        return {};
    return index;
}

void ClipShelfListView::keyPressEvent(QKeyEvent* event) {
    // Home, End, the page keys and type-to-find would move the highlight behind the user's back,
    // and Ctrl+C would copy the card's title.
    event->ignore();
}

void ClipShelfListView::keyboardSearch(const QString&) {}

void ClipShelfListView::mousePressEvent(QMouseEvent* event) {
    dragging_ = false;
    pressPosition_ = event->position().toPoint();
    pressedIndex_ = cardAt(pressPosition_);
    // A press in the gap between cards is on no card: the neighbour is not picked.
    if (event->button() == Qt::LeftButton || !pressedIndex_.isValid()) {
        event->accept();
        return;
    }
    QListView::mousePressEvent(event);
}

void ClipShelfListView::mouseMoveEvent(QMouseEvent* event) {
    if ((event->buttons() & Qt::LeftButton) && pressedIndex_.isValid() && !dragging_ &&
        (event->position().toPoint() - pressPosition_).manhattanLength() >= QApplication::startDragDistance()) {
        dragging_ = true;
        const QModelIndex index = pressedIndex_;
        pressedIndex_ = QPersistentModelIndex();
        emit cardDragStarted(index);
        event->accept();
        return;
    }
    QListView::mouseMoveEvent(event);
}

void ClipShelfListView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const QModelIndex index = cardAt(event->position().toPoint());
        if (!dragging_ && index.isValid() && index == pressedIndex_) emit cardClicked(index);
        pressedIndex_ = QPersistentModelIndex();
        dragging_ = false;
        event->accept();
        return;
    }
    QListView::mouseReleaseEvent(event);
}

// ---- MainShelfView ----------------------------------------------------------------------------

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

void MainShelfView::buildControls() {
    background_ = new TranslucentBackground(this);
    background_->lower();

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

    auto* filterBar = new FilterBar(this);
    filterBar_ = filterBar;
    auto* group = new QButtonGroup(this);
    group->setExclusive(true);
    for (ClipFilter filter : clipfilter::allCases) {
        auto* chip = new FilterChip(filter, filterBar_);
        chip->setChecked(filter == store_.activeFilter());
        group->addButton(chip);
        filterBar->addChip(chip);
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
    deviceMenu_->setStyleSheet(menuStyleSheet());
    deviceButton_->setMenu(deviceMenu_);

    migrationLabel_ = new QLabel(this);
    migrationLabel_->setObjectName(QStringLiteral("migration"));
    migrationLabel_->setTextFormat(Qt::PlainText);
    toast_ = new ToastLineView(this);

    newClipButton_ = makeIconButton(QStringLiteral("New Clip"), this);
    newClipButton_->setIcon(SymbolGlyph::icon("plus", VisualTheme::secondaryText(), 16));
    connect(newClipButton_, &QToolButton::clicked, this, [this] {
        store_.addTextClip(kNewClipText);
        if (!store_.items().empty()) store_.setEditingItem(store_.items().front());
    });

    placementButton_ = makeIconButton(QStringLiteral("Shelf Position"), this);
    placementButton_->setPopupMode(QToolButton::InstantPopup);
    auto* placementMenu = new QMenu(placementButton_);
    placementMenu->setStyleSheet(menuStyleSheet());
    auto* placementGroup = new QActionGroup(placementMenu);
    for (ShelfPlacement placement : shelfplacement::allCases) {
        QAction* action = placementMenu->addAction(placementIcon(placement, VisualTheme::primaryText()),
                                                   placementTitle(placement));
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

    settingsButton_ = makeIconButton(QStringLiteral("Settings"), this);
    settingsButton_->setIcon(SymbolGlyph::icon("gearshape", VisualTheme::secondaryText(), 16));
    connect(settingsButton_, &QToolButton::clicked, this, [this] {
        store_.setShowSettings(true);
        store_.announceSettingsVisibility(true);
    });

    closeButton_ = makeIconButton(QStringLiteral("Close"), this);
    closeButton_->setIcon(SymbolGlyph::icon("xmark", VisualTheme::secondaryText(), 14));
    connect(closeButton_, &QToolButton::clicked, this, [this] {
        store_.requestHide();
    });

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

    keyHints_ = new KeyHintsView(this);

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
        if (const auto& editing = store_.editingItem()) store_.saveEditedText(*editing, text.toStdString());
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

QAbstractButton* MainShelfView::filterButton(ClipFilter filter) const {
    for (const auto& [f, button] : filterButtons_)
        if (f == filter) return button;
    return nullptr;
}

void MainShelfView::applyPlacement() {
    placement_ = store_.shelfPlacement();
    const bool vertical = shelfplacement::isVertical(placement_);
    list_->setCardOrientation(vertical ? Qt::Vertical : Qt::Horizontal);
    for (auto& [filter, button] : filterButtons_) static_cast<FilterChip*>(button)->setCompact(vertical);
    static_cast<FilterBar*>(filterBar_)->setSpacing(vertical ? 4 : 6);
    placementButton_->setIcon(placementIcon(placement_, VisualTheme::secondaryText()));
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
        static_cast<SearchField*>(searchField_)->setPreferredWidth(0);
        searchField_->setMinimumWidth(0);
        searchField_->setMaximumWidth(QWIDGETSIZE_MAX);
        return;
    }
    const bool expanded = searchExpanded_ || !searchField_->text().isEmpty();
    const int width = expanded ? kExpandedSearchWidth : kCollapsedSearchWidth;
    static_cast<SearchField*>(searchField_)->setPreferredWidth(width);
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
        static_cast<FilterChip*>(button)->setCount(counts[clipfilter::indexOf(filter)]);
    static_cast<FilterBar*>(filterBar_)->refresh();
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

QMenu* MainShelfView::makeContextMenu(const ClipItem& clip, QWidget* parent) {
    auto* menu = new QMenu(parent);
    menu->setStyleSheet(menuStyleSheet());
    const ClipItem target = clip;
    menu->addAction(QStringLiteral("Paste"), this, [this, target] { store_.requestPaste(target, false); });
    menu->addAction(QStringLiteral("Paste as Plain Text"), this, [this, target] {
        store_.setSelectedID(target.id);
        store_.requestPasteAsIs(target, true);
    });
    menu->addSeparator();
    QAction* favorite = menu->addAction(SymbolGlyph::icon(clip.isPinned ? "star.fill" : "star", VisualTheme::favorite(), 14),
                                        clip.isPinned ? QStringLiteral("Unfavorite") : QStringLiteral("Favorite"), this,
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

bool MainShelfView::hasAttachedSheet() const { return presentedSheet_ != SheetKind::none; }

void MainShelfView::refreshSheets() {
    SheetKind wanted = SheetKind::none;
    if (store_.showPermissionSetup()) wanted = SheetKind::permissionSetup;
    else if (updateChoice_.isPresented && updateChoice_.isPresented()) wanted = SheetKind::updateChoice;
    else if (store_.editingItem()) wanted = SheetKind::editor;
    else if (store_.previewItem()) wanted = SheetKind::preview;

    // Keep an open editor's typing when only the clip's data changed.
    if (wanted == SheetKind::editor) {
        const auto& editing = *store_.editingItem();
        if (presentedSheet_ != SheetKind::editor || editor_->editingClipID() != std::optional<Uuid>(editing.id))
            editor_->beginEditing(editing);
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
