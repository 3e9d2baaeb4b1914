#include "settings/UpdateManager.h"

#include <QAction>
#include <QUrl>

#include "platform/Base64.h"

namespace harbelle {

UpdateManager::UpdateManager(const BundleInfo& bundle, Defaults& defaults, Clock& clock,
                             UpdaterFactory factory, QObject* parent)
    : QObject(parent), defaults_(defaults), clock_(clock) {
    isAvailable_ = hasValidDirectDistributionConfiguration(bundle);
    if (!isAvailable_) return;
    if (factory) updater_ = factory(bundle, defaults, clock);
    if (updater_) updater_->startUpdater();
}

UpdateManager::~UpdateManager() = default;

bool UpdateManager::hasValidDirectDistributionConfiguration(const BundleInfo& bundle) {
    if (bundle.boolean("HarbelleDirectDistribution") != true) return false;

    auto feed = bundle.string("SUFeedURL");
    if (!feed) return false;
    const QUrl url(QString::fromStdString(*feed), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().toLower() != QLatin1String("https") || url.host().isEmpty())
        return false;

    auto key = bundle.string("SUPublicEDKey");
    if (!key) return false;
    auto decoded = decodeBase64Strict(*key);
    return decoded && decoded->size() == 32;
}

bool UpdateManager::needsAutomaticCheckChoice() const {
    return isAvailable_ && !defaults_.object(kChoiceRecordedKey).has_value();
}

void UpdateManager::setPresentsAutomaticCheckChoice(bool presents) {
    if (presentsAutomaticCheckChoice_ == presents) return;
    presentsAutomaticCheckChoice_ = presents;
    emit presentsAutomaticCheckChoiceChanged(presents);
}

void UpdateManager::recordAutomaticCheckChoice(bool enabled) {
    if (updater_) {
        updater_->setAutomaticallyChecksForUpdates(enabled);
        emit updaterSettingsChanged();
    }
    defaults_.setBool(kChoiceRecordedKey, true);
    setPresentsAutomaticCheckChoice(false);
}

void UpdateManager::finishAutomaticCheckChoice(bool enabled) {
    recordAutomaticCheckChoice(enabled);
    std::weak_ptr<int> alive = lifetime_;
    clock_.schedule(Milliseconds(0), [this, alive] {
        if (alive.expired()) return;
        if (onAutomaticCheckChoiceFinished) onAutomaticCheckChoiceFinished();
    }).detach();
}

QAction* UpdateManager::makeCheckForUpdatesMenuItem(QObject* parent) {
    if (!updater_) return nullptr;
    auto* action = new QAction(QString::fromUtf8(kCheckForUpdatesTitle), parent);
    connect(action, &QAction::triggered, this, [this] {
        if (updater_) updater_->checkForUpdates();
    });
    return action;
}

bool UpdateManager::automaticallyChecksForUpdates() const {
    return updater_ && updater_->automaticallyChecksForUpdates();
}

void UpdateManager::setAutomaticallyChecksForUpdates(bool enabled) {
    if (!updater_) return;
    updater_->setAutomaticallyChecksForUpdates(enabled);
    emit updaterSettingsChanged();
}

bool UpdateManager::automaticallyDownloadsUpdates() const {
    return updater_ && updater_->automaticallyDownloadsUpdates();
}

void UpdateManager::setAutomaticallyDownloadsUpdates(bool enabled) {
    if (!updater_) return;
    updater_->setAutomaticallyDownloadsUpdates(enabled);
    emit updaterSettingsChanged();
}

}  // namespace harbelle
