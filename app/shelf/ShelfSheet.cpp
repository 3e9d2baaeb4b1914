#include "shelf/ShelfSheet.h"

#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include "theme/VisualTheme.h"
#include "shelf/WindowFramePlacement.h"

namespace harbelle {

namespace {
constexpr qreal kMargin = 14;
constexpr int kPanelPadding = 18;
}  // namespace

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
    content_ = content;
    preferredSize_ = preferredSize;
    if (content_) {
        content_->setParent(this);
        content_->show();
    }
    relayout();
    show();
    raise();
    if (content_) content_->setFocus(Qt::OtherFocusReason);
}

void ShelfSheet::dismiss() {
    if (content_) content_->hide();
    content_ = nullptr;
    hide();
    // Not to a widget hidden meanwhile (the cards of a list the search emptied).
    if (focusBeforeSheet_ && focusBeforeSheet_->isEnabled() && focusBeforeSheet_->isVisibleTo(window()))
        focusBeforeSheet_->setFocus(Qt::OtherFocusReason);
    focusBeforeSheet_ = nullptr;
}

void ShelfSheet::relayout() {
    if (parentWidget()) setGeometry(parentWidget()->rect());
    if (content_) content_->setGeometry(panelRect().adjusted(kPanelPadding, kPanelPadding, -kPanelPadding, -kPanelPadding));
    update();
}

bool ShelfSheet::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget() && event->type() == QEvent::Resize) relayout();
    return QWidget::eventFilter(watched, event);
}

void ShelfSheet::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 110));
    painter.drawRoundedRect(QRectF(rect()), VisualTheme::shelfCornerRadius, VisualTheme::shelfCornerRadius);
    const QRectF panel = QRectF(panelRect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setBrush(QColor(0, 0, 0, 90));
    painter.drawRoundedRect(panel.translated(0, 4), VisualTheme::sheetCornerRadius, VisualTheme::sheetCornerRadius);
    painter.setBrush(VisualTheme::cardBackground());
    painter.setPen(QPen(VisualTheme::cardBorder(), 1));
    painter.drawRoundedRect(panel, VisualTheme::sheetCornerRadius, VisualTheme::sheetCornerRadius);
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
    scroll->setStyleSheet(QStringLiteral("QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }"));
    outer->addWidget(scroll);

    auto* content = new QWidget(scroll);
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
