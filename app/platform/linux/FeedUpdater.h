#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/BackgroundWork.h"
#include "platform/Updater.h"
#include "platform/linux/HttpsFetch.h"

namespace harbelle {

// The updater of the Linux build: reads the HTTPS feed on a worker thread, picks the newest
// release above the running version and, with automatic downloads on, fetches it and keeps it
// only when its Ed25519 signature matches the build's public key. It installs nothing.
class FeedUpdater final : public Updater {
public:
    using Fetch = std::function<FetchResult(const std::string& url, const FetchLimits& limits)>;

    // Settings keys, shared with the automatic-update migration.
    static constexpr const char* kAutomaticChecksKey = "SUEnableAutomaticChecks";
    static constexpr const char* kAutomaticDownloadsKey = "SUAutomaticallyUpdate";
    static constexpr const char* kLastCheckTimeKey = "SULastCheckTime";
    static constexpr std::chrono::hours kCheckInterval{24};
    // A scheduled check never runs sooner than this after start, so launch stays quiet.
    static constexpr std::chrono::seconds kFirstCheckDelay{60};
    static constexpr std::uint64_t kMaxDownloadBytes = 1ull << 30;

    struct Configuration {
        std::string feedURL;
        std::string publicEDKey;
        std::string currentVersion;
        std::filesystem::path downloadFolder;
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

    // One whole check, blocking: feed, choice of release and, when `download` is set, the
    // verified download. Safe on any thread; touches nothing of the updater.
    static UpdateCheckResult runCheck(const Configuration& configuration, bool download, const Fetch& fetch);

private:
    void scheduleNextCheck();
    void finishCheck(const UpdateCheckResult& result);

    Configuration configuration_;
    Defaults& defaults_;
    Clock& clock_;
    Fetch fetch_;
    bool started_ = false;
    bool checking_ = false;
    ScheduledTask nextCheck_;
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
    // Check results come back through it; none after this updater is gone.
    BackgroundWork checks_;
};

}  // namespace harbelle
