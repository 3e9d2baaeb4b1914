#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/BundleInfo.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/Updater.h"

class QAction;

namespace harbelle {

// The one owner of in-app updates. Updates are available only for a directly distributed build
// with a complete update configuration; otherwise no updater exists and every updater setting
// reads false and ignores changes.
class UpdateManager final : public QObject {
    Q_OBJECT
public:
    using UpdaterFactory = std::function<std::unique_ptr<Updater>(const BundleInfo&, Defaults&, Clock&)>;

    static constexpr const char* kChoiceRecordedKey = "harbelle.automaticUpdateCheckChoiceRecorded";
    static constexpr const char* kCheckForUpdatesTitle = "Check for Updates\u2026";

    // Without a factory the platform's updater is made. The updater is started at once.
    UpdateManager(const BundleInfo& bundle, Defaults& defaults, Clock& clock, UpdaterFactory factory = {},
                  QObject* parent = nullptr);
    ~UpdateManager() override;

    static bool hasValidDirectDistributionConfiguration(const BundleInfo& bundle);

    bool isAvailable() const { return isAvailable_; }
    bool needsAutomaticCheckChoice() const;

    bool presentsAutomaticCheckChoice() const { return presentsAutomaticCheckChoice_; }
    void setPresentsAutomaticCheckChoice(bool presents);

    // Stores the choice (and applies it to the updater) without closing the flow.
    void recordAutomaticCheckChoice(bool enabled);
    // Records, then runs onAutomaticCheckChoiceFinished in a later turn of the main loop.
    void finishAutomaticCheckChoice(bool enabled);

    // The manual check. Its outcome always reaches the user through checkAnswered.
    void checkForUpdates();

    // "Check for Updates…" wired to the manual check, or nullptr when unavailable.
    // The caller owns the action (through `parent`, or itself).
    QAction* makeCheckForUpdatesMenuItem(QObject* parent = nullptr);

    // The updater, or nullptr when updates are unavailable.
    Updater* updaterController() const { return updater_.get(); }

    // The updater settings as controls bind to them: false without an updater, changes ignored then.
    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool enabled);
    bool automaticallyDownloadsUpdates() const;
    void setAutomaticallyDownloadsUpdates(bool enabled);

    std::function<void()> onAutomaticCheckChoiceFinished;

    // What a finished check tells the user, in plain text.
    struct CheckAnswer {
        enum class Kind { upToDate, updateAvailable, failed };
        Kind kind = Kind::failed;
        QString title;
        QString message;
    };

signals:
    void presentsAutomaticCheckChoiceChanged(bool presents);
    void checkAnswered(const harbelle::UpdateManager::CheckAnswer& answer);
    // An updater setting changed (after the change, so slots read the new value).
    void updaterSettingsChanged();

private:
    // The answer a check earns: every manual check gets one; a scheduled check only for a release
    // not announced before in this run, never for a failure or "up to date".
    std::optional<CheckAnswer> answerFor(const UpdateCheckResult& result);

    Defaults& defaults_;
    Clock& clock_;
    std::string currentVersion_;
    std::string announcedVersion_;
    bool isAvailable_ = false;
    bool presentsAutomaticCheckChoice_ = false;
    std::unique_ptr<Updater> updater_;
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace harbelle
