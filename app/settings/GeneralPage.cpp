#include "settings/GeneralPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "history/HistoryStore.h"
#include "settings/SettingToggle.h"
#include "settings/SettingsCard.h"
#include "settings/SettingsPageBlocks.h"
#include "settings/UpdateManager.h"

namespace harbelle {

using namespace settingsblocks;

namespace {

QString grouped(std::int64_t value) { return QLocale().toString(static_cast<qlonglong>(value)); }

}  // namespace

GeneralPage::GeneralPage(HistoryStore& store, UpdateManager& updates, const BundleInfo& bundle,
                         std::function<void()> onReviewAccess, QWidget* parent)
    : QWidget(parent), store_(store), settings_(store.settings()), updates_(updates) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(22);

    // Capture and login.
    auto* first = new SettingsCard;
    openAtLogin_ = new SettingToggle("Open at login", "Keep Harbelle ready in the tray.");
    capture_ = new SettingToggle("Capture clipboard changes", "Pause this any time from the tray.");
    first->content()->addWidget(openAtLogin_);
    first->content()->addWidget(divider());
    first->content()->addWidget(capture_);
    page->addWidget(first);
    connect(openAtLogin_, &SettingToggle::toggledByUser, this, [this](bool on) { store_.updateLaunchAtLogin(on); });
    connect(capture_, &SettingToggle::toggledByUser, this, [this](bool on) { store_.setPaused(!on); });

    // Updates exist only in builds that offer them; availability never changes in a run.
    if (updates_.isAvailable()) {
        page->addWidget(sectionHeader("Software Updates"));
        auto* card = new SettingsCard;
        checks_ = new SettingToggle("Automatically check for updates",
                                    "Let Harbelle periodically check its signed HTTPS update feed.");
        downloads_ = new SettingToggle("Automatically download updates",
                                       "Download verified updates in the background so they are ready to install.");
        auto* check = new QPushButton(QString::fromUtf8(UpdateManager::kCheckForUpdatesTitle));
        card->content()->addWidget(checks_);
        card->content()->addWidget(divider());
        card->content()->addWidget(downloads_);
        card->content()->addWidget(divider());
        card->content()->addWidget(settingRow("Current version", caption("Version " + appVersion(bundle)), {check}));
        page->addWidget(card);
        connect(checks_, &SettingToggle::toggledByUser, this,
                [this](bool on) { updates_.setAutomaticallyChecksForUpdates(on); });
        connect(downloads_, &SettingToggle::toggledByUser, this,
                [this](bool on) { updates_.setAutomaticallyDownloadsUpdates(on); });
        connect(check, &QPushButton::clicked, this, [this] {
            if (auto* updater = updates_.updaterController()) updater->checkForUpdates();
        });
        connect(&updates_, &UpdateManager::updaterSettingsChanged, this, &GeneralPage::refreshUpdates);
    }

    // Shelf behaviour.
    page->addWidget(sectionHeader("Shelf Behavior"));
    auto* shelf = new SettingsCard;
    autoHide_ = new QCheckBox;
    autoHide_->setAccessibleName("Hide the shelf automatically");
    shelf->content()->addWidget(settingRow("Hide the shelf automatically",
                                           caption("Return to the app you were using after a period of inactivity."),
                                           {autoHide_}));
    shelf->content()->addWidget(divider());
    delayRow_ = new QWidget;
    auto* delayLayout = new QHBoxLayout(delayRow_);
    delayLayout->setContentsMargins(0, 0, 0, 0);
    delayLayout->setSpacing(14);
    auto* hideAfter = title("Hide after", 13, QFont::Medium);
    hideAfter->setFixedWidth(64);
    delayLayout->addWidget(hideAfter);
    auto* low = new QLabel("2s");
    auto* high = new QLabel("60s");
    low->setFont(settingsblocks::font(10));
    high->setFont(settingsblocks::font(10));
    delay_ = new QSlider(Qt::Horizontal);
    delay_->setRange(2, 60);
    delay_->setSingleStep(1);
    delay_->setPageStep(1);
    delay_->setAccessibleName("Automatic hide delay");
    delay_->setAccessibleDescription("Harbelle stays open while you interact with it.");
    delayValue_ = new QLabel;
    delayValue_->setFont(settingsblocks::font(13, QFont::DemiBold, true));
    delayValue_->setFixedWidth(50);
    delayValue_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    delayLayout->addWidget(low);
    delayLayout->addWidget(delay_, 1);
    delayLayout->addWidget(high);
    delayLayout->addWidget(delayValue_);
    shelf->content()->addWidget(delayRow_);
    shelf->content()->addWidget(
        caption("Moving the pointer, clicking, scrolling, or typing restarts the countdown. Open dialogs are "
                "never closed automatically."));
    page->addWidget(shelf);
    // Filled only under a signal blocker, like every switch (see SettingToggle).
    connect(autoHide_, &QCheckBox::toggled, this, [this](bool on) { store_.updateAutoHideEnabled(on); });
    // A drag, a key, a click on the groove or a screen reader's new value. The range is set
    // above, before this binding, and every fill runs under a signal blocker.
    connect(delay_, &QSlider::valueChanged, this, [this](int value) { store_.updateAutoHideDelay(value); });

    // Paste.
    page->addWidget(sectionHeader("Paste Items"));
    auto* paste = new SettingsCard;
    pasteDirectly_ = new SettingToggle("Paste directly to the active app",
                                       "Harbelle asks for and verifies desktop access before enabling one-click paste.");
    systemShortcut_ = new SettingToggle(
        "Paste using the system shortcut",
        "Sends a real Ctrl+V so verification-code boxes, terminals, and web apps receive the whole value. Turn off to "
        "insert instantly and keep your clipboard untouched.");
    accessCaption_ = caption(QString());
    auto* review = new QPushButton("Review Access…");
    plainText_ = new SettingToggle("Always paste as plain text", "Remove fonts and rich formatting by default.");
    paste->content()->addWidget(pasteDirectly_);
    paste->content()->addWidget(divider());
    paste->content()->addWidget(systemShortcut_);
    paste->content()->addWidget(divider());
    paste->content()->addWidget(settingRow("Direct-paste access", accessCaption_, {review}));
    paste->content()->addWidget(divider());
    paste->content()->addWidget(plainText_);
    page->addWidget(paste);
    connect(pasteDirectly_, &SettingToggle::toggledByUser, this, [this](bool on) { store_.updatePasteDirectly(on); });
    connect(systemShortcut_, &SettingToggle::toggledByUser, this,
            [this](bool on) { settings_.setPasteUsesSystemShortcut(on); });
    connect(plainText_, &SettingToggle::toggledByUser, this,
            [this](bool on) { settings_.setAlwaysPastePlainText(on); });
    connect(review, &QPushButton::clicked, this, [onReviewAccess = std::move(onReviewAccess)] {
        if (onReviewAccess) onReviewAccess();
    });

    // History size.
    page->addWidget(sectionHeader("Keep History"));
    auto* history = new SettingsCard(13);
    historySize_ = new QComboBox;
    historySize_->setFixedWidth(130);
    historySize_->setAccessibleName("Maximum saved clips");
    {
        const QSignalBlocker quiet(historySize_);
        for (int size : kHistorySizes) {
            // Always a comma between thousands, whatever the locale.
            historySize_->addItem(QLocale(QLocale::English, QLocale::UnitedStates).toString(size), QVariant::fromValue<qlonglong>(size));
        }
    }
    favorites_ = caption(QString());
    savedCount_ = new QLabel;
    savedCount_->setFont(settingsblocks::font(18, QFont::DemiBold, true));
    clear_ = new QPushButton("Clear History…");
    history->content()->addWidget(settingRow("Maximum saved clips", caption("Favorites are always kept."), {historySize_}));
    history->content()->addWidget(divider());
    history->content()->addWidget(settingRow("Saved now", favorites_, {savedCount_, clear_}));
    page->addWidget(history);
    connect(historySize_, &QComboBox::activated, this,
            [this](int index) { store_.updateMaxHistory(historySize_->itemData(index).toLongLong()); });
    connect(clear_, &QPushButton::clicked, this, &GeneralPage::clearHistoryRequested);

    // Follow every change, wherever it comes from.
    for (auto signal : {&HistoryStore::launchAtLoginChanged, &HistoryStore::accessibilityAccessGrantedChanged,
                        &HistoryStore::eventPostingAccessGrantedChanged})
        connect(&store_, signal, this, &GeneralPage::refresh);
    for (auto signal : {&AppSettings::capturePausedChanged, &AppSettings::autoHideEnabledChanged,
                        &AppSettings::autoHideDelayChanged, &AppSettings::pasteDirectlyChanged,
                        &AppSettings::pasteUsesSystemShortcutChanged, &AppSettings::alwaysPastePlainTextChanged,
                        &AppSettings::maxHistoryChanged})
        connect(&settings_, signal, this, &GeneralPage::refresh);
    connect(&store_, &HistoryStore::itemsChanged, this, &GeneralPage::refreshCounts);
    refresh();
}

void GeneralPage::refresh() {
    openAtLogin_->setOn(store_.launchAtLogin());
    capture_->setOn(!settings_.capturePaused());
    refreshUpdates();

    {
        const QSignalBlocker quietSwitch(autoHide_);
        const QSignalBlocker quietSlider(delay_);
        autoHide_->setChecked(settings_.autoHideEnabled());
        const double delay = settings_.autoHideDelay();
        const auto seconds = static_cast<long long>(std::isfinite(delay) ? std::trunc(delay) : 0);
        delay_->setValue(static_cast<int>(std::clamp<long long>(seconds, 2, 60)));
        delayValue_->setText(QString::number(seconds) + " sec");
        delay_->setAccessibleDescription(QString::number(seconds) +
                                         " seconds. Harbelle stays open while you interact with it.");
    }
    setDependentEnabled(delayRow_, settings_.autoHideEnabled());

    pasteDirectly_->setOn(settings_.pasteDirectly());
    systemShortcut_->setOn(settings_.pasteUsesSystemShortcut());
    setDependentEnabled(systemShortcut_, settings_.pasteDirectly());
    const bool granted = store_.accessibilityAccessGranted() && store_.eventPostingAccessGranted();
    accessCaption_->setText(granted ? "Allowed on this desktop" : "Setup required");
    setLabelColor(accessCaption_, statusColor(granted ? "green" : "orange"));
    plainText_->setOn(settings_.alwaysPastePlainText());

    {
        const QSignalBlocker quiet(historySize_);
        historySize_->setCurrentIndex(historySize_->findData(QVariant::fromValue<qlonglong>(settings_.maxHistory())));
    }
    refreshCounts();
}

void GeneralPage::refreshUpdates() {
    if (!checks_) return;
    const bool checks = updates_.automaticallyChecksForUpdates();
    checks_->setOn(checks);
    downloads_->setOn(updates_.automaticallyDownloadsUpdates());
    setDependentEnabled(downloads_, updates_.updaterController() != nullptr && checks);
}

void GeneralPage::refreshCounts() {
    favorites_->setText(grouped(store_.favoriteCount()) + " favorites");
    savedCount_->setText(grouped(static_cast<std::int64_t>(store_.items().size())));
}

}  // namespace harbelle
