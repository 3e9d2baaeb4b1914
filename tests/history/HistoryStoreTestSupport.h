#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "history/HistoryCodec.h"
#include "history/HistoryPersistence.h"
#include "history/HistoryStore.h"
#include "support/InMemoryDefaults.h"
#include "support/ManualClock.h"
#include "support/ClipBuilder.h"

namespace harbelle::testing {

namespace fs = std::filesystem;

// A store on a temporary folder, the manual clock and in-memory defaults.
class HistoryStoreFixture : public ::testing::Test {
protected:
    QTemporaryDir temp;
    InMemoryDefaults defaults;
    ManualClock clock;

    fs::path support() const { return fs::path(temp.path().toStdString()) / "Pemberlow"; }
    fs::path historyFile() const { return support() / "history.json"; }
    fs::path payloads() const { return support() / "Payloads"; }

    std::unique_ptr<HistoryStore> makeStore(HistoryStoreOptions options = {}) {
        if (!options.applicationSupport) options.applicationSupport = support();
        if (!options.bundleIdentifier) options.bundleIdentifier = kCurrentBundleIdentifier;
        return std::make_unique<HistoryStore>(defaults, clock, std::move(options));
    }

    ClipItem makeClip(const std::string& text, ClipKind kind = ClipKind::text) const {
        return ClipBuilder(text, kind).captured(clock.now());
    }

    void writeHistory(const std::vector<ClipItem>& items) {
        fs::create_directories(payloads());
        ASSERT_TRUE(HistoryPersistence::persistHistory(items, historyFile()));
    }

    std::vector<ClipItem> readHistory() const {
        std::ifstream in(historyFile(), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        return historycodec::decode(bytes.str()).items;
    }

    void writePayloadFile(const std::string& name) {
        fs::create_directories((payloads() / name).parent_path());
        std::ofstream(payloads() / name) << "bytes";
    }

    // Lets queued save outcomes arrive until `count` were seen or time runs out.
    static bool waitFor(QSignalSpy& spy, int count, int timeoutMs = 5000) {
        QDeadlineTimer deadline(timeoutMs);
        while (spy.count() < count && !deadline.hasExpired()) spy.wait(int(std::max<qint64>(deadline.remainingTime(), 1)));
        return spy.count() >= count;
    }
    // Delivers the outcome of every write the store has handed to its save thread.
    static void settle(const HistoryStore& store) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return store.savesInFlight() == 0; }, 5000));
    }
};

}  // namespace harbelle::testing
