#include "shelf/ClipPreviewView.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "history/ClipKind.h"
#include "shelf/PlainToolTip.h"
#include "theme/SymbolGlyph.h"
#include "shelf/ThumbnailCache.h"
#include "theme/VisualTheme.h"

namespace harbelle {

namespace {
QString qs(const std::string& text) { return QString::fromStdString(text); }
constexpr int kPreviewImageSide = 1600;
}  // namespace

// One line of text that gives way to the sheet's width: cut with "…" where it does not fit, so
// that it never widens the sheet past its buttons.
class ElidedLabel : public QLabel {
public:
    explicit ElidedLabel(QWidget* parent) : QLabel(parent) {
        setTextFormat(Qt::PlainText);
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }
    void setFullText(const QString& text) {
        full_ = text;
        elide();
    }
    QSize minimumSizeHint() const override { return QSize(0, QLabel::minimumSizeHint().height()); }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        elide();
    }

private:
    void elide() {
        // One line: a title may hold line breaks.
        QString line = full_;
        line.replace(QLatin1Char('\n'), QLatin1Char(' '));
        const QString shown = fontMetrics().elidedText(line, Qt::ElideRight, std::max(0, width()));
        if (shown != text()) setText(shown);
    }

    QString full_;
};

// The picture area of the preview: the image fitted and centred, or a placeholder.
class PreviewCanvas : public QWidget {
public:
    explicit PreviewCanvas(QWidget* parent) : QWidget(parent) { setMinimumHeight(120); }

    void setSource(ThumbnailCache* cache, const QString& payloadName) {
        cache_ = cache;
        payloadName_ = payloadName;
        update();
    }
    const QString& payloadName() const { return payloadName_; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
        const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        QPainterPath rounded;
        rounded.addRoundedRect(area, 10, 10);
        painter.fillPath(rounded, VisualTheme::insetBackground());
        QImage image;
        if (cache_ && !payloadName_.isEmpty())
            image = cache_->thumbnail(payloadName_, QSize(kPreviewImageSide, kPreviewImageSide));
        if (image.isNull()) {
            const qreal side = std::min<qreal>(48, area.height() / 2);
            SymbolGlyph::paint(painter, QRectF(area.center().x() - side / 2, area.center().y() - side / 2, side, side),
                               "photo", VisualTheme::tertiaryText());
            return;
        }
        const QRectF inner = area.adjusted(8, 8, -8, -8);
        QSizeF size = QSizeF(image.size()) / std::max<qreal>(1, devicePixelRatioF());
        if (size.width() > inner.width() || size.height() > inner.height())
            size = size.scaled(inner.size(), Qt::KeepAspectRatio);
        const QRectF target(inner.center().x() - size.width() / 2, inner.center().y() - size.height() / 2,
                            size.width(), size.height());
        painter.setClipPath(rounded);
        painter.drawImage(target, image);
    }

private:
    QPointer<ThumbnailCache> cache_;
    QString payloadName_;
};

ClipPreviewView::ClipPreviewView(QWidget* parent) : QWidget(parent) {
    setStyleSheet(VisualTheme::sheetStyleSheet());
    setFocusPolicy(Qt::StrongFocus);

    kindBadge_ = new QLabel(this);
    kindBadge_->setFixedSize(28, 28);
    title_ = new ElidedLabel(this);
    title_->setFont(VisualTheme::uiFont(16, QFont::DemiBold));
    subtitle_ = new ElidedLabel(this);
    subtitle_->setProperty("role", "secondary");
    subtitle_->setFont(VisualTheme::uiFont(12));
    auto* close = new QToolButton(this);
    close->setIcon(SymbolGlyph::icon("xmark", VisualTheme::secondaryText(), 14));
    close->setToolTip(QStringLiteral("Close"));
    close->setAccessibleName(QStringLiteral("Close"));
    connect(close, &QToolButton::clicked, this, &ClipPreviewView::closeRequested);

    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    titles->addWidget(title_);
    titles->addWidget(subtitle_);
    auto* header = new QHBoxLayout;
    header->setSpacing(10);
    header->addWidget(kindBadge_, 0, Qt::AlignTop);
    header->addLayout(titles, 1);
    header->addWidget(close, 0, Qt::AlignTop);

    content_ = new QStackedWidget(this);
    text_ = new QPlainTextEdit(this);
    text_->setReadOnly(true);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    text_->setFont(VisualTheme::uiFont(14));
    canvas_ = new PreviewCanvas(this);
    content_->addWidget(text_);
    content_->addWidget(canvas_);

    pinButton_ = new QPushButton(this);
    deleteButton_ = new QPushButton(QStringLiteral("Delete"), this);
    deleteButton_->setProperty("role", "destructive");
    plainButton_ = new QPushButton(QStringLiteral("Paste as Plain Text"), this);
    pasteButton_ = new QPushButton(QStringLiteral("Paste"), this);
    pasteButton_->setDefault(true);
    for (auto* button : {pinButton_, deleteButton_, plainButton_, pasteButton_}) button->setFocusPolicy(Qt::TabFocus);
    connect(pinButton_, &QPushButton::clicked, this, [this] { if (clip_) emit togglePinnedRequested(*clip_); });
    connect(deleteButton_, &QPushButton::clicked, this, [this] { if (clip_) emit deleteRequested(*clip_); });
    connect(plainButton_, &QPushButton::clicked, this, [this] { if (clip_) emit pasteRequested(*clip_, true); });
    connect(pasteButton_, &QPushButton::clicked, this, [this] { if (clip_) emit pasteRequested(*clip_, false); });

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    buttons->addWidget(pinButton_);
    buttons->addWidget(deleteButton_);
    buttons->addStretch(1);
    buttons->addWidget(plainButton_);
    buttons->addWidget(pasteButton_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    layout->addLayout(header);
    layout->addWidget(content_, 1);
    layout->addLayout(buttons);
}

void ClipPreviewView::setChoosingPastes(bool pastes) {
    plainButton_->setText(pastes ? QStringLiteral("Paste as Plain Text") : QStringLiteral("Copy as Plain Text"));
    pasteButton_->setText(pastes ? QStringLiteral("Paste") : QStringLiteral("Copy"));
}

void ClipPreviewView::setThumbnailCache(ThumbnailCache* cache) {
    if (thumbnails_) disconnect(thumbnails_, nullptr, this, nullptr);
    thumbnails_ = cache;
    if (cache) {
        connect(cache, &ThumbnailCache::thumbnailReady, this, [this](const QString& name) {
            if (name == canvas_->payloadName()) canvas_->update();
        });
    }
    canvas_->setSource(cache, canvas_->payloadName());
}

void ClipPreviewView::setClip(const ClipItem& clip) {
    clip_ = clip;
    const QColor kindColor = VisualTheme::kindColor(clip.kind);
    kindBadge_->setPixmap(SymbolGlyph::icon(clipkind::symbol(clip.kind), kindColor, 28, VisualTheme::cardBackground())
                              .pixmap(QSize(28, 28), devicePixelRatioF()));
    title_->setFullText(qs(clip.displayTitle()));
    QString subtitle = qs(std::string(clipkind::label(clip.kind))) + QStringLiteral("  ·  ") + qs(clip.sourceAppName) +
                       QStringLiteral("  ·  ") + qs(clip.sourceDeviceDisplayName());
    subtitle_->setFullText(subtitle);
    pinButton_->setText(clip.isPinned ? QStringLiteral("Remove Favorite") : QStringLiteral("Favorite"));
    pinButton_->setIcon(SymbolGlyph::icon(clip.isPinned ? "star.fill" : "star", VisualTheme::favorite(), 14));
    // Only text carries a richer form worth a plain paste.
    plainButton_->setVisible(clip.kind != ClipKind::image && clip.kind != ClipKind::file);

    switch (clip.kind) {
    case ClipKind::image: {
        mode_ = Mode::image;
        canvas_->setSource(thumbnails_, clip.payloadFilename ? qs(*clip.payloadFilename) : QString());
        canvas_->setToolTip(plainToolTip(qs(clip.searchableText)));
        content_->setCurrentWidget(canvas_);
        break;
    }
    case ClipKind::file: {
        mode_ = Mode::files;
        QStringList paths;
        for (const auto& path : clip.fileURLs) paths << qs(path);
        text_->setFont(VisualTheme::uiFont(13));
        text_->setPlainText(paths.isEmpty() ? qs(clip.text) : paths.join(QLatin1Char('\n')));
        content_->setCurrentWidget(text_);
        break;
    }
    default:
        mode_ = Mode::text;
        text_->setFont(clip.kind == ClipKind::code ? VisualTheme::monospaceFont(13) : VisualTheme::uiFont(14));
        text_->setPlainText(qs(clip.text));
        content_->setCurrentWidget(text_);
        break;
    }
    text_->moveCursor(QTextCursor::Start);
}

QString ClipPreviewView::shownTitle() const { return title_->text(); }

QString ClipPreviewView::shownText() const {
    return mode_ == Mode::image ? QString() : text_->toPlainText();
}

void ClipPreviewView::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Space:
        emit closeRequested();
        event->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (clip_) emit pasteRequested(*clip_, (event->modifiers() & Qt::ShiftModifier) != 0);
        event->accept();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

}  // namespace harbelle
