#include "shelf/ShelfSheet.h"

#include <QCloseEvent>
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>
#include <algorithm>

#include "shelf/WindowFramePlacement.h"
#include "theme/RoundedWindowShape.h"
#include "theme/VisualTheme.h"

namespace harbelle {

namespace {
constexpr qreal kMargin = 14;
constexpr int kPanelPadding = 18;
// The content of a window in front of the shelf keeps its scroll bar clear of the rounded sides;
// the sheet's own column brings its margins, so the frame's height is all the content's.
constexpr int kAbovePadding = 8;

// The scrolling column of a tall sheet. A scroll area keeps its content at least as high as the
// content's minimum, and wrapped labels count their minimum at a width of their own choosing,
// taller than at the sheet's: the column is as high as its text wrapped at its real width.
class SheetColumn final : public QWidget {
public:
    using QWidget::QWidget;
    QSize minimumSizeHint() const override { return QSize(QWidget::minimumSizeHint().width(), 0); }
};

void paintPanel(QPainter& painter, const QRectF& area) {
    const QRectF panel = area.adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setBrush(VisualTheme::cardBackground());
    painter.setPen(QPen(VisualTheme::cardBorder(), 1));
    painter.drawRoundedRect(panel, VisualTheme::sheetCornerRadius, VisualTheme::sheetCornerRadius);
}
}  // namespace

// The window of a sheet in front of the shelf: frameless, kept above the shelf (its transient),
// painting the sheet's panel behind the content. The window manager's close does nothing: the
// sheet closes only through its own buttons.
class ShelfSheet::AboveWindow final : public QWidget {
public:
    explicit AboveWindow(ShelfSheet* sheet)
        : QWidget(sheet, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), sheet_(sheet) {
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_WindowPropagation);  // the shelf's palette and fonts
        setAttribute(Qt::WA_QuitOnClose, false);
        setStyleSheet(VisualTheme::sheetStyleSheet());
        setWindowTitle(QStringLiteral("Harbelle"));
        setWindowRole(QStringLiteral("sheet"));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(rect(), Qt::transparent);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        paintPanel(painter, QRectF(rect()));
    }
    void closeEvent(QCloseEvent* event) override { event->ignore(); }
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        setMask(roundedWindowShape(size(), VisualTheme::sheetCornerRadius));
    }
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape) {
            emit sheet_->dismissRequested();
            event->accept();
            return;
        }
        QWidget::keyPressEvent(event);
    }

private:
    ShelfSheet* sheet_;
};

ShelfSheet::ShelfSheet(QWidget* host) : QWidget(host) {
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::StrongFocus);
    setStyleSheet(VisualTheme::sheetStyleSheet());
    hide();
    if (host) host->installEventFilter(this);
}

QRect ShelfSheet::panelRect() const {
    const QRectF frame = WindowFramePlacement::fittedAndCenteredFrame(QSizeF(preferredSize_), QRectF(rect()), kMargin);
    return frame.toAlignedRect().intersected(rect());
}

void ShelfSheet::present(QWidget* content, QSize preferredSize) {
    if (!isPresenting()) {
        QWidget* focus = window()->focusWidget();
        focusBeforeSheet_ = focus && !isAncestorOf(focus) ? focus : nullptr;
    }
    if (content_ && content_ != content) content_->hide();
    if (above_) above_->hide();
    presentsAbove_ = false;
    content_ = content;
    preferredSize_ = preferredSize;
    if (content_) {
        content_->setParent(this);
        content_->show();
        if (!contentFitsInside()) return presentInFront(content, preferredSize.width(), preferredSize.height(), true);
    }
    relayout();
    show();
    raise();
    if (content_) content_->setFocus(Qt::OtherFocusReason);
}

bool ShelfSheet::contentFitsInside() const {
    // A shelf not laid out yet decides when it gets its size.
    if (!content_ || !parentWidget() || parentWidget()->rect().isEmpty()) return true;
    const QSizeF panel = WindowFramePlacement::fittedAndCenteredFrame(QSizeF(preferredSize_),
                                                                     QRectF(parentWidget()->rect()), kMargin)
                             .size();
    const QSize needed = content_->minimumSizeHint().expandedTo(content_->minimumSize());
    return panel.width() - 2 * kPanelPadding >= needed.width() && panel.height() - 2 * kPanelPadding >= needed.height();
}

void ShelfSheet::presentAbove(QWidget* content, int width, int maximumHeight) {
    presentInFront(content, width, maximumHeight, false);
}

void ShelfSheet::presentInFront(QWidget* content, int width, int maximumHeight, bool fillsHeight) {
    if (content_ && content_ != content) content_->hide();
    if (!above_) above_ = new AboveWindow(this);
    presentsAbove_ = true;
    aboveFillsHeight_ = fillsHeight;
    aboveWidth_ = width;
    aboveMaximumHeight_ = maximumHeight;
    content_ = content;
    if (watchedColumn_) watchedColumn_->removeEventFilter(this);
    watchedColumn_ = nullptr;
    if (content_) {
        content_->setParent(above_);
        content_->show();
        // The window follows the content's height (rows and buttons come and go live).
        auto* scroll = content_->findChild<QScrollArea*>();
        watchedColumn_ = scroll && scroll->widget() ? scroll->widget() : content_.data();
        watchedColumn_->installEventFilter(this);
    }
    relayout();
    show();
    raise();
    if (isVisible()) showAboveWindow();
}

QWidget* ShelfSheet::aboveWindow() const { return presentsAbove_ ? above_ : nullptr; }

QPixmap ShelfSheet::grabPanel() const {
    if (presentsAbove_ && above_) return above_->grab();
    return const_cast<ShelfSheet*>(this)->grab(panelRect());
}

int ShelfSheet::contentHeight(QWidget* content, int width) {
    if (!content) return 0;
    QWidget* column = content;
    if (auto* scroll = content->findChild<QScrollArea*>(); scroll && scroll->widget()) column = scroll->widget();
    if (QLayout* layout = column->layout()) {
        layout->activate();
        return layout->hasHeightForWidth() ? layout->totalHeightForWidth(width) : layout->totalSizeHint().height();
    }
    return column->hasHeightForWidth() ? column->heightForWidth(width) : column->sizeHint().height();
}

void ShelfSheet::placeAboveWindow() {
    if (!above_ || !presentsAbove_ || !content_) return;
    if (placing_) return;  // the content's own layout requests while it is resized
    placing_ = true;
    QWidget* shelf = window();
    QScreen* screen = shelf->screen();
    const QRect visible = screen ? screen->availableGeometry() : QRect(QPoint(0, 0), shelf->size());
    const int margin = static_cast<int>(kMargin);
    // Measured as wrapped beside a scroll bar: a scroll area that once showed its bar keeps it
    // while the content is taller at that width, even by a line.
    int bar = 0;
    if (auto* scroll = content_->findChild<QScrollArea*>()) bar = scroll->verticalScrollBar()->sizeHint().width();
    const int needed =
        aboveFillsHeight_ ? aboveMaximumHeight_ : contentHeight(content_, aboveWidth_ - 2 * kAbovePadding - bar);
    const int height = std::max(0, std::min({needed, aboveMaximumHeight_, visible.height() - 2 * margin}));
    // Centred on the shelf, then moved wholly onto its screen.
    QRectF frame(0, 0, aboveWidth_, height);
    frame.moveCenter(QRectF(shelf->geometry()).center());
    const QRect placed = WindowFramePlacement::constrainedFrame(frame, QRectF(visible), kMargin).toRect();
    above_->setGeometry(placed);
    // A content without a column of its own gets the panel's padding all round.
    const int padding = aboveFillsHeight_ ? kPanelPadding : kAbovePadding;
    content_->setGeometry(above_->rect().adjusted(padding, aboveFillsHeight_ ? padding : 0, -padding,
                                                  aboveFillsHeight_ ? -padding : 0));
    placing_ = false;
}

void ShelfSheet::watchShelfWindow() {
    QWidget* shelf = window();
    if (shelf == watchedWindow_ || shelf == this) return;
    if (watchedWindow_) watchedWindow_->removeEventFilter(this);
    watchedWindow_ = shelf;
    shelf->installEventFilter(this);
}

void ShelfSheet::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    showAboveWindow();
}

void ShelfSheet::showAboveWindow() {
    if (!presentsAbove_ || !above_ || !content_) return;
    watchShelfWindow();
    placeAboveWindow();
    above_->winId();
    if (QWindow* handle = above_->windowHandle())
        handle->setTransientParent(window()->windowHandle());  // kept in front of the shelf
    above_->show();
    above_->raise();
    above_->activateWindow();
    content_->setFocus(Qt::OtherFocusReason);
}

void ShelfSheet::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (above_) above_->hide();
}

void ShelfSheet::dismiss() {
    if (content_) content_->hide();
    content_ = nullptr;
    // The keyboard goes back to the shelf from a preview or editor in front of it.
    const bool wasInFront = presentsAbove_ && above_ && above_->isVisible();
    presentsAbove_ = false;
    if (above_) above_->hide();
    hide();
    if (wasInFront && focusBeforeSheet_ && window()->isVisible()) window()->activateWindow();
    // Not to a widget hidden meanwhile (the cards of a list the search emptied).
    if (focusBeforeSheet_ && focusBeforeSheet_->isEnabled() && focusBeforeSheet_->isVisibleTo(window()))
        focusBeforeSheet_->setFocus(Qt::OtherFocusReason);
    focusBeforeSheet_ = nullptr;
}

void ShelfSheet::relayout() {
    if (parentWidget()) setGeometry(parentWidget()->rect());
    if (presentsAbove_) placeAboveWindow();
    else if (content_ && !contentFitsInside())
        return presentInFront(content_, preferredSize_.width(), preferredSize_.height(), true);
    else if (content_)
        content_->setGeometry(panelRect().adjusted(kPanelPadding, kPanelPadding, -kPanelPadding, -kPanelPadding));
    update();
}

bool ShelfSheet::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (watched == parentWidget() && type == QEvent::Resize) relayout();
    if (presentsAbove_ && above_ && above_->isVisible()) {
        if (watched == watchedColumn_ && type == QEvent::LayoutRequest)
            QTimer::singleShot(0, this, &ShelfSheet::placeAboveWindow);
        if (watched == watchedWindow_ && type == QEvent::Move) placeAboveWindow();
        // The sheet is modal: activating the shelf hands the keyboard back to the sheet.
        if (watched == watchedWindow_ && type == QEvent::WindowActivate)
            QTimer::singleShot(0, above_, [window = QPointer<QWidget>(above_)] {
                if (window && window->isVisible()) window->activateWindow();
            });
    }
    return QWidget::eventFilter(watched, event);
}

void ShelfSheet::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 110));
    painter.drawRoundedRect(QRectF(rect()), VisualTheme::shelfCornerRadius, VisualTheme::shelfCornerRadius);
    if (presentsAbove_) return;  // the panel is a window of its own
    const QRectF panel = QRectF(panelRect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setBrush(QColor(0, 0, 0, 90));
    painter.drawRoundedRect(panel.translated(0, 4), VisualTheme::sheetCornerRadius, VisualTheme::sheetCornerRadius);
    paintPanel(painter, QRectF(panelRect()));
}

void ShelfSheet::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        emit dismissRequested();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void ShelfSheet::mousePressEvent(QMouseEvent* event) {
    // A click on the dimmed shelf outside the panel is swallowed, as a modal sheet does.
    event->accept();
}

QVBoxLayout* makeScrollingSheetColumn(QWidget* sheet, int margin) {
    auto* outer = new QVBoxLayout(sheet);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(sheet);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Not a Tab stop of its own: it shows no focus, and it scrolls a focused control into view anyway.
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setStyleSheet(QStringLiteral("QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }"));
    outer->addWidget(scroll);

    auto* content = new SheetColumn(scroll);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(margin, margin, margin, margin);
    column->setSpacing(22);
    scroll->setWidget(content);
    return column;
}

QLabel* makeSheetText(const QString& value, const QFont& font, bool secondary, QWidget* parent) {
    auto* label = new QLabel(value, parent);
    label->setFont(font);
    label->setWordWrap(true);
    if (secondary) label->setProperty("role", "secondary");
    return label;
}

}  // namespace harbelle
