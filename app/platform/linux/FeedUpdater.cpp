#include "platform/linux/FeedUpdater.h"

#include <QCoreApplication>
#include <QSaveFile>
#include <QThreadPool>
#include <QUrl>
#include <cstdlib>

#include "platform/linux/Appcast.h"
#include "platform/linux/UpdateSignature.h"

namespace harbelle {

namespace {

double secondsSinceEpoch(Date date) {
    return std::chrono::duration<double>(date.time_since_epoch()).count();
}

std::string downloadFileName(const AppcastItem& item) {
    std::string name = QUrl(QString::fromStdString(item.downloadURL)).fileName().toStdString();
    // Only a plain file name may come from the feed; anything else gets a name of our own.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.front() == '.')
        name = "Harbelle-" + item.version + ".update";
    return name;
}

}  // namespace

FeedUpdater::FeedUpdater(Configuration configuration, Defaults& defaults, Clock& clock, Fetch fetch)
    : configuration_(std::move(configuration)), defaults_(defaults), clock_(clock), fetch_(std::move(fetch)) {}

FeedUpdater::~FeedUpdater() { nextCheck_.cancel(); }

void FeedUpdater::startUpdater() {
    if (started_) return;
    started_ = true;
    scheduleNextCheck();
}

bool FeedUpdater::automaticallyChecksForUpdates() const {
    return defaults_.boolValue(kAutomaticChecksKey).value_or(false);
}

void FeedUpdater::setAutomaticallyChecksForUpdates(bool enabled) {
    defaults_.setBool(kAutomaticChecksKey, enabled);
    if (started_) scheduleNextCheck();
}

bool FeedUpdater::automaticallyDownloadsUpdates() const {
    return defaults_.boolValue(kAutomaticDownloadsKey).value_or(false);
}

void FeedUpdater::setAutomaticallyDownloadsUpdates(bool enabled) {
    defaults_.setBool(kAutomaticDownloadsKey, enabled);
}

void FeedUpdater::scheduleNextCheck() {
    nextCheck_.cancel();
    if (!automaticallyChecksForUpdates()) return;
    const Date now = clock_.now();
    Date due = now;
    if (auto last = defaults_.doubleValue(kLastCheckTimeKey)) {
        due = Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(*last))) +
              kCheckInterval;
    }
    auto delay = std::chrono::duration_cast<Milliseconds>(due - now);
    delay = std::max<Milliseconds>(delay, kFirstCheckDelay);
    // A last-check time from the future (clock moved back) must not postpone checks for ever.
    delay = std::min<Milliseconds>(delay, kCheckInterval);
    std::weak_ptr<int> alive = lifetime_;
    nextCheck_ = clock_.schedule(delay, [this, alive] {
        if (alive.expired()) return;
        checkForUpdates();
    });
}

void FeedUpdater::checkForUpdates() {
    if (checking_) return;
    checking_ = true;
    const Configuration configuration = configuration_;
    const bool download = automaticallyDownloadsUpdates();
    const Fetch fetch = fetch_;
    if (!QCoreApplication::instance()) {
        finishCheck(runCheck(configuration, download, fetch));
        return;
    }
    checks_.run([configuration, download, fetch] { return runCheck(configuration, download, fetch); },
                [this](const UpdateCheckResult& result) { finishCheck(result); });
}

void FeedUpdater::finishCheck(const UpdateCheckResult& result) {
    checking_ = false;
    if (result.outcome != UpdateCheckResult::Outcome::failed)
        defaults_.setDouble(kLastCheckTimeKey, secondsSinceEpoch(clock_.now()));
    if (started_) scheduleNextCheck();
    if (onCheckFinished) onCheckFinished(result);
}

UpdateCheckResult FeedUpdater::runCheck(const Configuration& configuration, bool download, const Fetch& fetch) {
    UpdateCheckResult result;
    FetchLimits feedLimits;
    feedLimits.maxBytes = appcast::kMaxFeedBytes;
    FetchResult feed = fetch(configuration.feedURL, feedLimits);
    if (!feed.ok()) {
        result.error = "Could not read the update feed. " + feed.error;
        return result;
    }
    appcast::ParseResult parsed = appcast::parse(feed.body);
    if (!parsed.ok()) {
        result.error = parsed.error;
        return result;
    }
    result.item = appcast::newestUpdate(parsed.items, configuration.currentVersion);
    if (!result.item) {
        result.outcome = UpdateCheckResult::Outcome::upToDate;
        return result;
    }
    result.outcome = UpdateCheckResult::Outcome::updateAvailable;
    if (!download) return result;

    FetchLimits fileLimits;
    fileLimits.totalTimeout = std::chrono::minutes(10);
    fileLimits.maxBytes = static_cast<std::size_t>(
        std::min<std::uint64_t>(result.item->length.value_or(kMaxDownloadBytes), kMaxDownloadBytes));
    FetchResult file = fetch(result.item->downloadURL, fileLimits);
    if (!file.ok()) {
        result.error = "Could not download the update. " + file.error;
        return result;
    }
    if (!verifyEd25519Signature(file.body, result.item->edSignature, configuration.publicEDKey)) {
        result.error = "The downloaded update is not signed by Harbelle's key and was discarded.";
        return result;
    }
    std::error_code ignored;
    std::filesystem::create_directories(configuration.downloadFolder, ignored);
    const auto path = configuration.downloadFolder / downloadFileName(*result.item);
    QSaveFile out(QString::fromStdString(path.string()));
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(file.body.data(), static_cast<qint64>(file.body.size())) != static_cast<qint64>(file.body.size()) ||
        !out.commit()) {
        result.error = "Could not save the downloaded update: " + out.errorString().toStdString();
        return result;
    }
    result.downloadedFile = path.string();
    return result;
}

std::unique_ptr<Updater> makeSystemUpdater(const BundleInfo& bundle, Defaults& defaults, Clock& clock) {
    FeedUpdater::Configuration configuration;
    configuration.feedURL = bundle.string("SUFeedURL").value_or("");
    configuration.publicEDKey = bundle.string("SUPublicEDKey").value_or("");
    configuration.currentVersion = bundle.version();
    std::filesystem::path cache;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/') cache = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home) cache = std::filesystem::path(home) / ".cache";
    else cache = std::filesystem::temp_directory_path();
    configuration.downloadFolder = cache / "Harbelle" / "Updates";
    return std::make_unique<FeedUpdater>(std::move(configuration), defaults, clock);
}

}  // namespace harbelle
