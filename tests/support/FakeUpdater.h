#pragma once

#include "platform/Updater.h"

namespace harbelle::testing {

// An updater that keeps its settings in memory and counts what it was asked to do.
class FakeUpdater final : public Updater {
public:
    void startUpdater() override { ++startCount; }
    bool automaticallyChecksForUpdates() const override { return automaticChecks; }
    void setAutomaticallyChecksForUpdates(bool enabled) override {
        automaticChecks = enabled;
        ++settingWrites;
    }
    bool automaticallyDownloadsUpdates() const override { return automaticDownloads; }
    void setAutomaticallyDownloadsUpdates(bool enabled) override {
        automaticDownloads = enabled;
        ++settingWrites;
    }
    void checkForUpdates() override { ++checkCount; }

    // Reports a finished check as the real updater would.
    void finishCheck(const UpdateCheckResult& result) {
        if (onCheckFinished) onCheckFinished(result);
    }

    bool automaticChecks = false;
    bool automaticDownloads = false;
    int startCount = 0;
    int checkCount = 0;
    int settingWrites = 0;
};

}  // namespace harbelle::testing
