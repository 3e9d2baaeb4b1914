#include "platform/linux/FeedUpdater.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <QUrl>
#include <algorithm>
#include <cstdlib>

#include "platform/linux/Appcast.h"

namespace harbelle {

namespace {

double secondsSinceEpoch(Date date) {
    return std::chrono::duration<double>(date.time_since_epoch()).count();
}

bool isSafeNameCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' || c == '-';
}

bool isPlainFileName(const std::string& name) {
    return !name.empty() && name.size() <= 200 && name.front() != '.' &&
           std::all_of(name.begin(), name.end(), isSafeNameCharacter);
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
    if (!automaticallyChecksForUpdates() || checking_) return;
    const Date now = clock_.now();
    Milliseconds delay{0};
    if (consecutiveFailures_ > 0) {
        // A feed that fails is asked again after 1 h, 2 h, 4 h... and at most daily.
        const int doublings = std::min(consecutiveFailures_ - 1, 5);
        delay = std::min<Milliseconds>(kFirstRetryDelay * (1 << doublings), kMaxRetryDelay);
    } else {
        Date due = now;
        if (auto last = defaults_.doubleValue(kLastCheckTimeKey)) {
            due = Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(*last))) +
                  kCheckInterval;
        }
        delay = std::chrono::duration_cast<Milliseconds>(due - now);
        delay = std::max<Milliseconds>(delay, kFirstCheckDelay);
        // A last-check time from the future (clock moved back) must not postpone checks for ever.
        delay = std::min<Milliseconds>(delay, kCheckInterval);
    }
    std::weak_ptr<int> alive = lifetime_;
    nextCheck_ = clock_.schedule(delay, [this, alive] {
        if (alive.expired()) return;
        startCheck(false);
    });
}

void FeedUpdater::checkForUpdates() { startCheck(true); }

void FeedUpdater::startCheck(bool userInitiated) {
    if (userInitiated) userWaiting_ = true;
    if (checking_) return;  // the running check answers the user when it ends
    checking_ = true;
    nextCheck_.cancel();
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

void FeedUpdater::finishCheck(const UpdateCheckResult& finished) {
    UpdateCheckResult result = finished;
    result.userInitiated = userWaiting_;
    userWaiting_ = false;
    checking_ = false;
    if (result.outcome == UpdateCheckResult::Outcome::failed) {
        ++consecutiveFailures_;
    } else {
        consecutiveFailures_ = 0;
        defaults_.setDouble(kLastCheckTimeKey, secondsSinceEpoch(clock_.now()));
    }
    if (started_) scheduleNextCheck();
    if (onCheckFinished) onCheckFinished(result);
}

std::optional<std::string> FeedUpdater::downloadFileName(const AppcastItem& item) {
    const std::string fromURL = QUrl(QString::fromStdString(item.downloadURL)).fileName().toStdString();
    if (isPlainFileName(fromURL)) return fromURL;
    // The version text is unsigned feed data: keep only characters that cannot leave the folder.
    std::string version;
    for (char c : item.version)
        if (isSafeNameCharacter(c)) version += c;
    const std::string name = "Harbelle-" + version + ".update";
    if (!isPlainFileName(name)) return std::nullopt;
    return name;
}

UpdateCheckResult FeedUpdater::runCheck(const Configuration& configuration, bool download, const Fetch& fetch) {
    UpdateCheckResult result;
    FetchLimits feedLimits;
    feedLimits.maxBytes = appcast::kMaxFeedBytes;
    feedLimits.redirects = FetchLimits::Redirects::refuse;
    FetchResult feed = fetch(configuration.feedURL, feedLimits, {});
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
    if (download) keepVerifiedDownload(configuration, fetch, result);
    return result;
}

std::unique_ptr<Updater> makeSystemUpdater(const BundleInfo& bundle, Defaults& defaults, Clock& clock) {
    FeedUpdater::Configuration configuration;
    configuration.feedURL = bundle.string("SUFeedURL").value_or("");
    configuration.publicEDKey = bundle.string("SUPublicEDKey").value_or("");
    configuration.currentVersion = bundle.version();
    // Downloads live in the user's own cache; without one there is no safe place, so none is made.
    std::filesystem::path cache;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/') cache = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home == '/') cache = std::filesystem::path(home) / ".cache";
    if (!cache.empty()) configuration.downloadFolder = cache / "Harbelle" / "Updates";
    // A test feed's certificate is trusted through a file of its own.
    FeedUpdater::Fetch fetch = fetchHttps;
    if (const char* caFile = std::getenv("HARBELLE_UPDATE_CA_FILE"); caFile && *caFile == '/') {
        fetch = [caFile = std::string(caFile)](const std::string& url, const FetchLimits& limits, const FetchSink& sink) {
            FetchLimits trusted = limits;
            trusted.caFile = caFile;
            return fetchHttps(url, trusted, sink);
        };
    }
    return std::make_unique<FeedUpdater>(std::move(configuration), defaults, clock, std::move(fetch));
}

BundleInfo withUpdateFeedFromEnvironment(const BundleInfo& bundle) {
    nlohmann::json dictionary = bundle.dictionary();
    const char* feed = std::getenv("HARBELLE_UPDATE_FEED_URL");
    const char* key = std::getenv("HARBELLE_UPDATE_PUBLIC_ED_KEY");
    if (feed && *feed && key && *key) {
        dictionary["SUFeedURL"] = feed;
        dictionary["SUPublicEDKey"] = key;
    }
    return BundleInfo(std::move(dictionary));
}

}  // namespace harbelle
