#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/BundleInfo.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"

namespace harbelle {

// One release offered by the update feed.
struct AppcastItem {
    std::string title;
    std::string version;             // release number ("1.10.0"), compared with the program's CFBundleVersion
    std::string shortVersionString;  // version shown to the user
    std::string downloadURL;         // https only
    std::string edSignature;         // Base64 Ed25519 signature of the whole download
    std::optional<std::uint64_t> length;
};

struct UpdateCheckResult {
    enum class Outcome { upToDate, updateAvailable, failed };
    Outcome outcome = Outcome::failed;
    std::optional<AppcastItem> item;      // the newest release when one is available
    std::string error;  // a short sentence when the check or the automatic download failed
    std::optional<std::string> downloadedFile;  // a verified download, with automatic downloads on
    bool userInitiated = false;  // the user asked for this check (it answers them, whatever the outcome)
};

// The in-app updater: two persisted settings, a manual check and scheduled automatic checks of
// the signed HTTPS feed. It never asks the user for permission to check and installs nothing.
class Updater {
public:
    virtual ~Updater() = default;

    // Starts scheduled checks (when automatic checks are on). Called once after creation.
    virtual void startUpdater() = 0;
    virtual bool automaticallyChecksForUpdates() const = 0;
    virtual void setAutomaticallyChecksForUpdates(bool enabled) = 0;
    virtual bool automaticallyDownloadsUpdates() const = 0;
    virtual void setAutomaticallyDownloadsUpdates(bool enabled) = 0;
    // The manual check; returns at once, the outcome arrives through onCheckFinished marked as
    // user-initiated (also when it joins a scheduled check already running).
    virtual void checkForUpdates() = 0;

    // Main thread, once per finished check (manual or scheduled).
    std::function<void(const UpdateCheckResult&)> onCheckFinished;
};

// The updater of this platform for the feed and key of `bundle`, keeping its settings in `defaults`.
std::unique_ptr<Updater> makeSystemUpdater(const BundleInfo& bundle, Defaults& defaults, Clock& clock);

}  // namespace harbelle
