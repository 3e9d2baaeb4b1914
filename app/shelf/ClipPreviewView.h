#pragma once

#include <QPointer>
#include <QWidget>
#include <optional>

#include "history/ClipItem.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;

namespace harbelle {

class ThumbnailCache;
class PreviewCanvas;
class ElidedLabel;

// The preview sheet: a clip at full length. Text, links, code (monospaced) and colours show
// their text; images show the picture; file clips list their paths. Its buttons only emit:
// the shelf wires them to the store.
class ClipPreviewView : public QWidget {
    Q_OBJECT
public:
    explicit ClipPreviewView(QWidget* parent = nullptr);

    void setThumbnailCache(ThumbnailCache* cache);
    void setClip(const ClipItem& clip);
    const std::optional<ClipItem>& clip() const { return clip_; }
    // Whether choosing the clip pastes it or, in copy-only mode, only copies it: the buttons say which.
    void setChoosingPastes(bool pastes);

    // What the content area shows for the current clip, for tests and accessibility.
    enum class Mode { text, image, files };
    Mode mode() const { return mode_; }
    QString shownText() const;
    // The title line as shown: the clip's title, cut with "…" where it is wider than the sheet.
    QString shownTitle() const;

signals:
    void pasteRequested(const harbelle::ClipItem& clip, bool asPlainText);
    void togglePinnedRequested(const harbelle::ClipItem& clip);
    void deleteRequested(const harbelle::ClipItem& clip);
    void closeRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QLabel* kindBadge_;
    ElidedLabel* title_;
    ElidedLabel* subtitle_;
    QStackedWidget* content_;
    QPlainTextEdit* text_;
    PreviewCanvas* canvas_;
    QPushButton* pinButton_;
    QPushButton* deleteButton_;
    QPushButton* plainButton_;
    QPushButton* pasteButton_;
    QPointer<ThumbnailCache> thumbnails_;
    std::optional<ClipItem> clip_;
    Mode mode_ = Mode::text;
};

}  // namespace harbelle
