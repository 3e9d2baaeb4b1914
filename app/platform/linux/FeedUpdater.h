#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/BackgroundWork.h"
#include "platform/Updater.h"
#include "platform/linux/HttpsFetch.h"

namespace harbelle {

// The updater of the Linux build: reads the HTTPS feed on a worker thread, picks the newest
// release above the running version and, with automatic downloads on, fetches it into a private
// updates folder and keeps it only when its Ed25519 signature matches the build's public key,
// one file per version. A failing feed is retried after 1 h, then 2 h, 4 h... up to a day.
// It installs nothing.
class FeedUpdater final : public Updater {
public:
    using Fetch = std::function<FetchResult(const std::string& url, const FetchLimits& limits, const FetchSink& sink)>;

    // Settings keys, shared with the automatic-update migration.
    static constexpr const char* kAutomaticChecksKey = "SUEnableAutomaticChecks";
    static constexpr const char* kAutomaticDownloadsKey = "SUAutomaticallyUpdate";
    static constexpr const char* kLastCheckTimeKey = "SULastCheckTime";
    static constexpr std::chrono::hours kCheckInterval{24};
    // A scheduled check never runs sooner than this after start, so launch stays quiet.
    static constexpr std::chrono::seconds kFirstCheckDelay{60};
    static constexpr std::chrono::hours kFirstRetryDelay{1};
    static constexpr std::chrono::hours kMaxRetryDelay{24};
    static constexpr std::uint64_t kMaxDownloadBytes = 1ull << 30;

    struct Configuration {
        std::string feedURL;
        std::string publicEDKey;
        std::string currentVersion;
        std::filesystem::path downloadFolder;  // empty: no cache folder, so nothing is downloaded
    };

    FeedUpdater(Configuration configuration, Defaults& defaults, Clock& clock, Fetch fetch = fetchHttps);
    ~FeedUpdater() override;

    void startUpdater() override;
    bool automaticallyChecksForUpdates() const override;
    void setAutomaticallyChecksForUpdates(bool enabled) override;
    bool automaticallyDownloadsUpdates() const override;
    void setAutomaticallyDownloadsUpdates(bool enabled) override;
    void checkForUpdates() override;

    bool isChecking() const { return checking_; }
    int consecutiveFailures() const { return consecutiveFailures_; }
    const Configuration& configuration() const { return configuration_; }

    // One whole check, blocking: feed, choice of release and, when `download` is set, the
    // verified download. Safe on any thread; touches nothing of the updater.
    static UpdateCheckResult runCheck(const Configuration& configuration, bool download, const Fetch& fetch);

    // The file name a release is kept under: the download's own name when it is made of
    // [0-9A-Za-z.-] only, else one built from the version; nullopt when no plain name results.
    static std::optional<std::string> downloadFileName(const AppcastItem& item);

private:
    // Keeps the release's verified file in the updates folder, fetching it only when no verified
    // copy is there yet. Fills downloadedFile or error.
    static void keepVerifiedDownload(const Configuration& configuration, const Fetch& fetch,
                                     UpdateCheckResult& result);
    void startCheck(bool userInitiated);
    void scheduleNextCheck();
    void finishCheck(const UpdateCheckResult& result);

    Configuration configuration_;
    Defaults& defaults_;
    Clock& clock_;
    Fetch fetch_;
    bool started_ = false;
    bool checking_ = false;
    bool userWaiting_ = false;  // a manual check joined the one running
    int consecutiveFailures_ = 0;
    ScheduledTask nextCheck_;
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
    // Check results come back through it; none after this updater is gone.
    BackgroundWork checks_;
};

// `bundle`, with the update feed and its key taken from HARBELLE_UPDATE_FEED_URL and
// HARBELLE_UPDATE_PUBLIC_ED_KEY when both are set (a test feed; the build's pair otherwise).
BundleInfo withUpdateFeedFromEnvironment(const BundleInfo& bundle);

}  // namespace harbelle
