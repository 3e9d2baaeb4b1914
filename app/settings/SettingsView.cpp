#include "settings/SettingsView.h"

#include <QApplication>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QKeyEvent>
#include <QStackedWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "history/HistoryStore.h"
#include "platform/BundleInfo.h"
#include "settings/AboutPage.h"
#include "settings/AppearancePage.h"
#include "settings/GeneralPage.h"
#include "settings/PrivacyPage.h"
#include "settings/SettingsPageBlocks.h"
#include "settings/ShortcutsPage.h"
#include "settings/SyncPage.h"
#include "theme/AppMark.h"
#include "theme/SymbolGlyph.h"
#include "theme/VisualTheme.h"

namespace harbelle {

using namespace settingsblocks;

namespace {

QScrollArea* scrolling(QWidget* page) {
    auto* holder = new QWidget;
    auto* layout = new QVBoxLayout(holder);
    layout->setContentsMargins(28, 0, 28, 28);
    layout->addWidget(page);
    layout->addStretch(1);
    auto* area = new QScrollArea;
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The page itself is no Tab stop (it would draw nothing); tabbing to a control scrolls it in.
    area->setFocusPolicy(Qt::NoFocus);
    area->setWidget(holder);
    return area;
}

}  // namespace

SettingsView::SettingsView(HistoryStore& store, UpdateManager& updates, SyncAccountService& sync,
                           std::function<void()> onReviewAccess, const BundleInfo& bundle, FolderOpener openFolder,
                           QWidget* parent)
    : QWidget(parent), store_(store), syncService_(sync), openFolder_(std::move(openFolder)) {
    if (!openFolder_) openFolder_ = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    setMinimumSize(700, 480);

    auto* columns = new QHBoxLayout(this);
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(0);
    columns->addWidget(buildSidebar());
    auto* line = new QFrame;
    line->setFrameShape(QFrame::VLine);
    line->setFrameShadow(QFrame::Plain);
    columns->addWidget(line);

    auto* detail = new QVBoxLayout;
    detail->setSpacing(0);
    auto* bar = new QWidget;
    bar->setFixedHeight(70);
    auto* barLayout = new QHBoxLayout(bar);
    barLayout->setContentsMargins(28, 0, 28, 0);
    title_ = new QLabel;
    title_->setFont(settingsblocks::font(24, QFont::Bold));
    barLayout->addWidget(title_);
    barLayout->addStretch(1);
    close_ = new QPushButton;
    close_->setFlat(true);
    close_->setAccessibleName("Close");
    close_->setFixedSize(26, 26);
    close_->setIcon(SymbolGlyph::icon("xmark.circle.fill", secondaryColor(), 20, palette().color(QPalette::Window)));
    close_->setIconSize(QSize(20, 20));
    close_->setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; }"
                                         "QPushButton[keyboardFocus=\"true\"] { border: 2px solid %1; border-radius: 13px; }")
                              .arg(focusRingColor().name()));
    markKeyboardFocus(close_);
    barLayout->addWidget(close_);
    detail->addWidget(bar);

    pages_ = new QStackedWidget;
    general_ = new GeneralPage(store_, updates, bundle, std::move(onReviewAccess));
    appearance_ = new AppearancePage(store_);
    privacy_ = new PrivacyPage(store_, openFolder_);
    std::optional<QString> supportURL;
    if (auto url = bundle.string("HarbelleSupportURL")) supportURL = QString::fromStdString(*url);
    sync_ = new SyncPage(sync, state_, store_.clock(), supportURL);
    shortcuts_ = new ShortcutsPage(store_);
    about_ = new AboutPage(bundle);
    for (QWidget* page : std::initializer_list<QWidget*>{general_, appearance_, privacy_, sync_, shortcuts_, about_})
        pages_->addWidget(scrolling(page));
    detail->addWidget(pages_, 1);
    columns->addLayout(detail, 1);

    letWheelOnlyScroll(this);

    connect(close_, &QPushButton::clicked, this, &SettingsView::requestClose);
    connect(general_, &GeneralPage::clearHistoryRequested, this, &SettingsView::showClearConfirmation);
    select(SettingsSection::general);
}

QWidget* SettingsView::buildSidebar() {
    auto* sidebar = new QWidget;
    sidebar->setObjectName("settingsSidebar");
    sidebar->setFixedWidth(220);
    QColor tint = palette().color(QPalette::WindowText);
    sidebar->setAttribute(Qt::WA_StyledBackground);
    sidebar->setStyleSheet(QStringLiteral("#settingsSidebar { background: rgba(%1,%2,%3,0.035); }")
                               .arg(tint.red())
                               .arg(tint.green())
                               .arg(tint.blue()));
    auto* layout = new QVBoxLayout(sidebar);
    layout->setContentsMargins(14, 14, 14, 14);
    layout->setSpacing(8);

    auto* brand = new QHBoxLayout;
    brand->setContentsMargins(16, 0, 16, 12);
    brand->setSpacing(11);
    brand->addWidget(new AppMark(36));
    auto* names = new QVBoxLayout;
    names->setSpacing(1);
    names->addWidget(title("Harbelle", 15, QFont::Bold));
    auto* tagline = caption("Personal clipboard");
    tagline->setFont(settingsblocks::font(10));
    names->addWidget(tagline);
    brand->addLayout(names, 1);
    layout->addLayout(brand);

    for (SettingsSection section : kAllSettingsSections) {
        const auto name = settingsSectionTitle(section);
        auto* row = new QPushButton(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
        row->setCheckable(true);
        row->setFlat(true);
        row->setCursor(Qt::PointingHandCursor);
        row->setFont(settingsblocks::font(14));
        row->setIconSize(QSize(16, 16));
        row->setStyleSheet(QStringLiteral("QPushButton { text-align: left; padding: 10px 13px; border: none; "
                                          "border-radius: 10px; background: transparent; }"
                                          "QPushButton:checked { background: %1; color: white; font-weight: 600; }"
                                          "QPushButton[keyboardFocus=\"true\"] { border: 2px solid %2; padding: 8px 11px; }")
                               .arg(PemberlowTheme::selection().name(), focusRingColor().name()));
        markKeyboardFocus(row);
        rows_[static_cast<int>(section)] = row;
        layout->addWidget(row);
        connect(row, &QPushButton::clicked, this, [this, section] { select(section); });
    }
    layout->addStretch(1);
    openLocalData_ = new QPushButton("Open Local Data");
    openLocalData_->setFlat(true);
    openLocalData_->setFont(settingsblocks::font(12.5));
    openLocalData_->setIcon(SymbolGlyph::icon("folder", secondaryColor(), 14));
    openLocalData_->setIconSize(QSize(14, 14));
    openLocalData_->setStyleSheet(QStringLiteral("QPushButton { text-align: left; padding: 4px 13px; border: none; color: %1; }"
                                                 "QPushButton[keyboardFocus=\"true\"] { border: 2px solid %2; border-radius: 6px; "
                                                 "padding: 2px 11px; }")
                                      .arg(secondaryColor().name(QColor::HexArgb), focusRingColor().name()));
    markKeyboardFocus(openLocalData_);
    layout->addWidget(openLocalData_);
    connect(openLocalData_, &QPushButton::clicked, this, [this] {
        openFolder_(QUrl::fromLocalFile(QString::fromStdString(store_.applicationSupportURL().string())));
    });
    return sidebar;
}

void SettingsView::select(SettingsSection section) {
    state_.selection = section;
    const QColor primary = palette().color(QPalette::WindowText);
    for (SettingsSection each : kAllSettingsSections) {
        QPushButton* row = rows_[static_cast<int>(each)];
        row->setChecked(each == section);
        // The icon follows the row's text colour: white on the selection, primary otherwise.
        row->setIcon(SymbolGlyph::icon(settingsSectionSymbol(each), each == section ? QColor(Qt::white) : primary, 16));
    }
    const auto name = settingsSectionTitle(section);
    title_->setText(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    pages_->setCurrentIndex(static_cast<int>(section));
    if (section == SettingsSection::sync) sync_->refresh();  // the relative time moves on by itself
}

QWidget* SettingsView::currentPage() const {
    auto* area = qobject_cast<QScrollArea*>(pages_->currentWidget());
    return area ? area->widget() : nullptr;
}

void SettingsView::requestClose() { emit closeRequested(); }

void SettingsView::keyPressEvent(QKeyEvent* event) {
    // Reaches here only when no control inside took the key.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        requestClose();
        return;
    }
    QWidget::keyPressEvent(event);
}

void SettingsView::showClearConfirmation() {
    if (clearAlert_) return;
    state_.showClearConfirmation = true;
    clearAlert_ = new QMessageBox(QMessageBox::Warning, kClearTitle, kClearMessage, QMessageBox::NoButton, this);
    // One role for all three keeps them in this order on every desktop; Cancel is made the
    // default and the Escape button by hand.
    QPushButton* cancel = clearAlert_->addButton("Cancel", QMessageBox::ActionRole);
    QPushButton* keep = clearAlert_->addButton("Clear, Keep Favorites", QMessageBox::ActionRole);
    QPushButton* everything = clearAlert_->addButton("Clear Everything", QMessageBox::ActionRole);
    clearAlert_->setDefaultButton(cancel);
    clearAlert_->setEscapeButton(cancel);
    connect(clearAlert_, &QMessageBox::finished, this, [this, keep, everything] {
        QAbstractButton* chosen = clearAlert_->clickedButton();
        clearAlert_->deleteLater();
        clearAlert_ = nullptr;
        state_.showClearConfirmation = false;
        if (chosen == keep) store_.clearHistory(true);
        else if (chosen == everything) store_.clearHistory(false);
    });
    clearAlert_->open();
}

std::optional<std::string> SettingsView::syncHealthProblem() const {
    return SyncPage::healthProblem(syncService_, store_.clock().now());
}

}  // namespace harbelle
