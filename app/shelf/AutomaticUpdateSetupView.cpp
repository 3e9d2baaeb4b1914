#include "shelf/AutomaticUpdateSetupView.h"

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "shelf/ShelfSheet.h"
#include "theme/AppMark.h"
#include "theme/VisualTheme.h"

namespace harbelle {

namespace {
QLabel* makeText(const QString& value, const QFont& font, bool secondary, QWidget* parent) {
    QLabel* label = makeSheetText(value, font, secondary, parent);
    label->setAlignment(Qt::AlignHCenter);
    return label;
}
}  // namespace

AutomaticUpdateSetupView::AutomaticUpdateSetupView(const ShelfUpdateChoice& updates, QWidget* parent)
    : QWidget(parent), updates_(updates) {
    QVBoxLayout* column = makeScrollingSheetColumn(this, 34);
    QWidget* content = column->parentWidget();

    column->addWidget(new AppMark(64, content), 0, Qt::AlignHCenter);
    auto* header = new QVBoxLayout;
    header->setSpacing(8);
    header->addWidget(makeText(QStringLiteral("Choose How Harbelle Updates"), VisualTheme::uiFont(25, QFont::Bold),
                               false, content));
    header->addWidget(makeText(QStringLiteral("Harbelle can periodically check its signed HTTPS update feed. Clipboard "
                                              "contents are never part of an update request."),
                               VisualTheme::uiFont(14), true, content));
    column->addLayout(header);

    auto* card = new QFrame(content);
    card->setObjectName(QStringLiteral("sheetCard"));
    card->setStyleSheet(QStringLiteral("QFrame#sheetCard { background: rgba(255,255,255,11);"
                                       " border: 1px solid rgba(255,255,255,18); border-radius: 16px; }"));
    auto* cardLayout = new QVBoxLayout(card);
    cardLayout->setContentsMargins(16, 16, 16, 16);
    toggle_ = new QCheckBox(QStringLiteral("Automatically check for signed updates"), card);
    toggle_->setFont(VisualTheme::uiFont(14, QFont::DemiBold));
    VisualTheme::styleSheetCheckBox(toggle_);
    connect(toggle_, &QCheckBox::clicked, this, [this](bool checked) {
        if (updates_.setAutomaticallyChecks) updates_.setAutomaticallyChecks(checked);
        refresh();
    });
    cardLayout->addWidget(toggle_);
    column->addWidget(card);

    column->addWidget(makeText(QStringLiteral("You can still use Check for Updates manually. Automatic downloads remain "
                                              "a separate opt-in in Settings."),
                               VisualTheme::uiFont(11), true, content));

    save_ = new QPushButton(QString::fromUtf8(kSaveTitle), content);
    save_->setDefault(true);
    connect(save_, &QPushButton::clicked, this, [this] {
        if (updates_.finish) updates_.finish();
    });
    column->addWidget(save_, 0, Qt::AlignHCenter);
    column->addStretch(1);
    setFocusProxy(save_);
    refresh();
}

void AutomaticUpdateSetupView::refresh() {
    const QSignalBlocker quiet(toggle_);
    toggle_->setChecked(updates_.automaticallyChecks && updates_.automaticallyChecks());
}

void AutomaticUpdateSetupView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refresh();
}

}  // namespace harbelle
