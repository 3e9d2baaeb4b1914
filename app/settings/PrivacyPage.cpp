#include "settings/PrivacyPage.h"

#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "history/HistoryStore.h"
#include "settings/SettingToggle.h"
#include "settings/SettingsCard.h"
#include "settings/SettingsPageBlocks.h"

namespace harbelle {

using namespace settingsblocks;

QString PrivacyPage::displayPath(const std::filesystem::path& folder, const QString& home) {
    const QString path = QDir::cleanPath(QString::fromStdString(folder.string()));
    const QString root = QDir::cleanPath(home);
    if (!root.isEmpty() && root != "/" && (path == root || path.startsWith(root + "/")))
        return "~" + path.mid(root.size());
    return path;
}

PrivacyPage::PrivacyPage(HistoryStore& store, FolderOpener openFolder, QWidget* parent)
    : QWidget(parent), store_(store), settings_(store.settings()) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(22);

    auto* switches = new SettingsCard;
    skipSensitive_ = new SettingToggle("Ignore passwords and sensitive clips",
                                       "Skip concealed, transient, and common password-manager clipboard content.");
    captureImages_ = new SettingToggle("Capture copied images", "Images stay in Harbelle’s private local data folder.");
    // The desktop clipboard here never leaves the computer, so the setting only keeps its promise.
    replayLocally_ = new SettingToggle("Keep restored clips on this computer",
                                       "Restored clips go only to this computer’s clipboard, which no other device "
                                       "receives.");
    switches->content()->addWidget(skipSensitive_);
    switches->content()->addWidget(divider());
    switches->content()->addWidget(captureImages_);
    switches->content()->addWidget(divider());
    switches->content()->addWidget(replayLocally_);
    page->addWidget(switches);
    connect(skipSensitive_, &SettingToggle::toggledByUser, this,
            [this](bool on) { settings_.setSkipSensitiveContent(on); });
    connect(captureImages_, &SettingToggle::toggledByUser, this, [this](bool on) { settings_.setCaptureImages(on); });
    connect(replayLocally_, &SettingToggle::toggledByUser, this,
            [this](bool on) { settings_.setReplayLocallyOnly(on); });

    auto* local = new SettingsCard(9);
    auto* heading = title("Local-first by design", 15, QFont::DemiBold);
    setLabelColor(heading, statusColor("green"));
    local->content()->addWidget(heading);
    storageNote_ = new QLabel(
        "Clipboard content is stored in " + displayPath(store_.applicationSupportURL(), QDir::homePath()) +
        ". Harbelle has no analytics or advertising. Sync is optional and off until you create an account in the "
        "Sync tab; synced clips are end-to-end encrypted, so the sync server can never read them.");
    storageNote_->setWordWrap(true);
    storageNote_->setFont(settingsblocks::font(13));
    storageNote_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    setLabelColor(storageNote_, secondaryColor());
    local->content()->addWidget(storageNote_);
    showFolder_ = new QPushButton("Show Data Folder");
    local->content()->addWidget(showFolder_, 0, Qt::AlignLeft);
    page->addWidget(local);
    connect(showFolder_, &QPushButton::clicked, this, [this, openFolder = std::move(openFolder)] {
        if (openFolder) openFolder(QUrl::fromLocalFile(QString::fromStdString(store_.applicationSupportURL().string())));
    });

    auto* legacy = new SettingsCard(8);
    legacy->content()->addWidget(title("Old PasteNow history", 14, QFont::DemiBold));
    legacy->content()->addWidget(caption("The importer reads your preserved PasteNow database without changing it. "
                                         "The original database remains available for recovery."));
    page->addWidget(legacy);
    page->addStretch(1);

    for (auto signal : {&AppSettings::skipSensitiveContentChanged, &AppSettings::captureImagesChanged,
                        &AppSettings::replayLocallyOnlyChanged})
        connect(&settings_, signal, this, &PrivacyPage::refresh);
    refresh();
}

void PrivacyPage::refresh() {
    skipSensitive_->setOn(settings_.skipSensitiveContent());
    captureImages_->setOn(settings_.captureImages());
    replayLocally_->setOn(settings_.replayLocallyOnly());
}

}  // namespace harbelle
