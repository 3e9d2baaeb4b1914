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
    currentVersion_ = bundle.shortVersion();
    if (factory) updater_ = factory(bundle, defaults, clock);
    if (!updater_) return;
    std::weak_ptr<int> alive = lifetime_;
    updater_->onCheckFinished = [this, alive](const UpdateCheckResult& result) {
        if (alive.expired()) return;
        if (auto answer = answerFor(result)) emit checkAnswered(*answer);
    };
    updater_->startUpdater();
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

void UpdateManager::checkForUpdates() {
    if (updater_) updater_->checkForUpdates();
}

std::optional<UpdateManager::CheckAnswer> UpdateManager::answerFor(const UpdateCheckResult& result) {
    using Outcome = UpdateCheckResult::Outcome;
    const QString current = QString::fromStdString(currentVersion_);
    CheckAnswer answer;
    switch (result.outcome) {
    case Outcome::upToDate:
        if (!result.userInitiated) return std::nullopt;
        answer.kind = CheckAnswer::Kind::upToDate;
        answer.title = QStringLiteral("You’re up to date!");
        answer.message = QStringLiteral("Harbelle %1 is the newest version available.").arg(current);
        return answer;
    case Outcome::updateAvailable: {
        if (!result.item) return std::nullopt;
        const std::string& shown =
            result.item->shortVersionString.empty() ? result.item->version : result.item->shortVersionString;
        if (!result.userInitiated && announcedVersion_ == result.item->version) return std::nullopt;
        announcedVersion_ = result.item->version;
        answer.kind = CheckAnswer::Kind::updateAvailable;
        answer.title = QStringLiteral("A new version of Harbelle is available!");
        answer.message = QStringLiteral("Harbelle %1 is available — you have %2.")
                             .arg(QString::fromStdString(shown), current);
        if (result.downloadedFile)
            answer.message += QStringLiteral(" It has been downloaded and verified: %1")
                                  .arg(QString::fromStdString(*result.downloadedFile));
        else if (!result.error.empty())
            answer.message += QLatin1Char(' ') + QString::fromStdString(result.error);
        return answer;
    }
    case Outcome::failed:
        if (!result.userInitiated) return std::nullopt;
        answer.kind = CheckAnswer::Kind::failed;
        answer.title = QStringLiteral("Update Error");
        answer.message = QStringLiteral("Harbelle could not check for updates. %1")
                             .arg(QString::fromStdString(result.error.empty() ? "Please try again later." : result.error));
        return answer;
    }
    return std::nullopt;
}

QAction* UpdateManager::makeCheckForUpdatesMenuItem(QObject* parent) {
    if (!updater_) return nullptr;
    auto* action = new QAction(QString::fromUtf8(kCheckForUpdatesTitle), parent);
    connect(action, &QAction::triggered, this, &UpdateManager::checkForUpdates);
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
