#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Base64.h"
#include "platform/BundleInfo.h"
#include "platform/linux/Appcast.h"
#include "platform/linux/FeedUpdater.h"
#include "platform/linux/HttpsFetch.h"
#include "platform/linux/UpdateSignature.h"
#include "settings/UpdateManager.h"
#include "support/InMemoryDefaults.h"
#include "support/LocalHttpsServer.h"
#include "support/ManualClock.h"

using namespace harbelle;
using harbelle::testing::InMemoryDefaults;
using harbelle::testing::ManualClock;

namespace {

// A fresh Ed25519 key pair made with OpenSSL for each test that signs.
struct SigningKey {
    EVP_PKEY* key = nullptr;
    SigningKey() {
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
        EVP_PKEY_keygen_init(context);
        EVP_PKEY_keygen(context, &key);
        EVP_PKEY_CTX_free(context);
    }
    ~SigningKey() { EVP_PKEY_free(key); }
    std::string publicKeyBase64() const {
        Bytes raw(32);
        std::size_t length = raw.size();
        EVP_PKEY_get_raw_public_key(key, raw.data(), &length);
        return encodeBase64(raw);
    }
    std::string sign(const std::string& data) const {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key);
        Bytes signature(64);
        std::size_t length = signature.size();
        EVP_DigestSign(context, signature.data(), &length, reinterpret_cast<const unsigned char*>(data.data()),
                       data.size());
        EVP_MD_CTX_free(context);
        return encodeBase64(signature);
    }
};

std::string feedWith(const std::string& items) {
    return R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
<channel><title>Harbelle</title>)" +
           items + "</channel></rss>";
}

std::string item(const std::string& version, const std::string& url, const std::string& signature,
                 const std::string& length = "5") {
    return "<item><title>Harbelle " + version + "</title><sparkle:version>" + version +
           "</sparkle:version><enclosure url=\"" + url + "\" length=\"" + length +
           "\" type=\"application/octet-stream\" sparkle:edSignature=\"" + signature + "\"/></item>";
}

}  // namespace

TEST(UpdateSignature, AcceptsOnlyTheSignedBytesUnderTheRightKey) {
    SigningKey key;
    const std::string data = "release archive bytes";
    const std::string signature = key.sign(data);
    EXPECT_TRUE(verifyEd25519Signature(data, signature, key.publicKeyBase64()));

    EXPECT_FALSE(verifyEd25519Signature("release archive bytez", signature, key.publicKeyBase64()));
    std::string tampered = signature;
    tampered[5] = tampered[5] == 'A' ? 'B' : 'A';
    EXPECT_FALSE(verifyEd25519Signature(data, tampered, key.publicKeyBase64()));
    SigningKey other;
    EXPECT_FALSE(verifyEd25519Signature(data, signature, other.publicKeyBase64()));
    EXPECT_FALSE(verifyEd25519Signature(data, "not base64!", key.publicKeyBase64()));
    EXPECT_FALSE(verifyEd25519Signature(data, signature, encodeBase64(Bytes(31, 1))));
    EXPECT_FALSE(verifyEd25519Signature(data, "", key.publicKeyBase64()));
}

TEST(Appcast, ReadsSignedHttpsReleasesAndPicksTheNewest) {
    const auto result = appcast::parse(feedWith(
        item("120", "https://dl.example.com/h-120.tar.gz", "c2ln") +
        item("150", "http://dl.example.com/h-150.tar.gz", "c2ln") +   // plain http: left out
        item("140", "https://dl.example.com/h-140.tar.gz", "") +      // unsigned: left out
        item("130", "https://dl.example.com/h-130.tar.gz", "c2ln", "garbage")));
    ASSERT_TRUE(result.ok()) << result.error;
    ASSERT_EQ(result.items.size(), 2u);
    EXPECT_EQ(result.items[0].title, "Harbelle 120");
    EXPECT_EQ(result.items[0].length, 5u);
    EXPECT_FALSE(result.items[1].length.has_value());

    auto newest = appcast::newestUpdate(result.items, "100");
    ASSERT_TRUE(newest);
    EXPECT_EQ(newest->version, "130");
    EXPECT_FALSE(appcast::newestUpdate(result.items, "130"));
}

TEST(Appcast, TakesTheVersionFromTheEnclosureToo) {
    const auto result = appcast::parse(feedWith(
        R"(<item><enclosure url="https://dl.example.com/a" sparkle:version="2.1" sparkle:shortVersionString="2.1 beta" sparkle:edSignature="c2ln"/></item>)"));
    ASSERT_EQ(result.items.size(), 1u);
    EXPECT_EQ(result.items[0].version, "2.1");
    EXPECT_EQ(result.items[0].shortVersionString, "2.1 beta");
}

TEST(Appcast, RefusesMalformedAndOversizedFeedsWithAClearError) {
    auto broken = appcast::parse(feedWith(item("2", "https://x.example/a", "c2ln")).substr(0, 200));
    EXPECT_FALSE(broken.ok());
    EXPECT_NE(broken.error.find("not valid XML"), std::string::npos) << broken.error;
    EXPECT_TRUE(broken.items.empty());

    EXPECT_NE(appcast::parse("<html><body>Not found</body></html>").error.find("not an RSS"), std::string::npos);
    EXPECT_EQ(appcast::parse(" \n").error, "The update feed is empty.");
    EXPECT_NE(appcast::parse("<rss/>").error.find("no release channel"), std::string::npos);

    std::string huge = feedWith(std::string(appcast::kMaxFeedBytes, ' '));
    auto oversized = appcast::parse(huge);
    EXPECT_NE(oversized.error.find("larger than"), std::string::npos) << oversized.error;
}

TEST(Appcast, ComparesVersionsNumerically) {
    EXPECT_GT(appcast::compareVersions("1.10", "1.9"), 0);
    EXPECT_EQ(appcast::compareVersions("2", "2.0"), 0);
    EXPECT_LT(appcast::compareVersions("1.0b1", "1.0"), 0);
    EXPECT_GT(appcast::compareVersions("100000000000000000000001", "99"), 0);
    EXPECT_EQ(appcast::compareVersions("007", "7"), 0);
}

namespace {

struct FeedUpdaterFixture : ::testing::Test {
    QTemporaryDir temp;
    SigningKey key;
    InMemoryDefaults defaults;
    ManualClock clock;
    std::map<std::string, FetchResult> answers;
    std::vector<std::pair<std::string, std::size_t>> requests;
    std::vector<FetchLimits::Redirects> redirectPolicies;

    FeedUpdater::Configuration configuration() {
        return {"https://updates.example.com/appcast.xml", key.publicKeyBase64(), "1.0.0",
                std::filesystem::path(temp.path().toStdString()) / "Updates"};
    }
    FeedUpdater::Fetch fetch() {
        return [this](const std::string& url, const FetchLimits& limits, const FetchSink& sink) {
            requests.emplace_back(url, limits.maxBytes);
            redirectPolicies.push_back(limits.redirects);
            auto it = answers.find(url);
            if (it == answers.end()) return FetchResult{"", "The server answered with status 404."};
            FetchResult answer = it->second;
            if (sink && answer.ok()) {
                sink(answer.body.data(), answer.body.size());
                answer.body.clear();
            }
            return answer;
        };
    }
    void publish(const std::string& archive, const std::string& signature) {
        answers["https://updates.example.com/appcast.xml"] = {
            feedWith(item("120", "https://dl.example.com/Harbelle-120.tar.gz", signature,
                          std::to_string(archive.size()))),
            ""};
        answers["https://dl.example.com/Harbelle-120.tar.gz"] = {archive, ""};
    }
};

}  // namespace

TEST_F(FeedUpdaterFixture, CheckWithoutDownloadReportsTheRelease) {
    publish("archive", key.sign("archive"));
    auto result = FeedUpdater::runCheck(configuration(), false, fetch());
    EXPECT_EQ(result.outcome, UpdateCheckResult::Outcome::updateAvailable);
    ASSERT_TRUE(result.item);
    EXPECT_EQ(result.item->version, "120");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].second, appcast::kMaxFeedBytes);
}

TEST_F(FeedUpdaterFixture, DownloadIsKeptOnlyWhenItsSignatureMatches) {
    publish("archive", key.sign("archive"));
    auto good = FeedUpdater::runCheck(configuration(), true, fetch());
    ASSERT_TRUE(good.downloadedFile) << good.error;
    EXPECT_EQ(std::filesystem::path(*good.downloadedFile).filename(), "Harbelle-120.tar.gz");
    std::ifstream in(*good.downloadedFile, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    EXPECT_EQ(bytes.str(), "archive");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].second, 7u);  // capped at the feed's declared length
    std::filesystem::remove(*good.downloadedFile);

    publish("archivf", key.sign("archive"));
    auto tampered = FeedUpdater::runCheck(configuration(), true, fetch());
    EXPECT_FALSE(tampered.downloadedFile);
    EXPECT_NE(tampered.error.find("not signed"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(configuration().downloadFolder));
}

TEST_F(FeedUpdaterFixture, FeedFailuresAreReportedAsFailedChecks) {
    auto missing = FeedUpdater::runCheck(configuration(), false, fetch());
    EXPECT_EQ(missing.outcome, UpdateCheckResult::Outcome::failed);
    EXPECT_NE(missing.error.find("status 404"), std::string::npos);

    answers["https://updates.example.com/appcast.xml"] = {"<rss><channel><item>", ""};
    auto malformed = FeedUpdater::runCheck(configuration(), false, fetch());
    EXPECT_EQ(malformed.outcome, UpdateCheckResult::Outcome::failed);
    EXPECT_NE(malformed.error.find("not valid XML"), std::string::npos);

    answers["https://updates.example.com/appcast.xml"] = {feedWith(""), ""};
    EXPECT_EQ(FeedUpdater::runCheck(configuration(), false, fetch()).outcome,
              UpdateCheckResult::Outcome::upToDate);
}

TEST_F(FeedUpdaterFixture, SettingsPersistAndScheduledChecksFollowThem) {
    publish("archive", key.sign("archive"));
    FeedUpdater updater(configuration(), defaults, clock, fetch());
    std::vector<UpdateCheckResult> results;
    updater.onCheckFinished = [&](const UpdateCheckResult& r) { results.push_back(r); };
    EXPECT_FALSE(updater.automaticallyChecksForUpdates());
    updater.startUpdater();
    EXPECT_EQ(clock.pendingCount(), 0u);  // automatic checks off: nothing scheduled

    updater.setAutomaticallyChecksForUpdates(true);
    EXPECT_EQ(defaults.boolValue(FeedUpdater::kAutomaticChecksKey), true);
    clock.advance(std::chrono::seconds(59));
    EXPECT_TRUE(requests.empty());
    clock.advance(std::chrono::seconds(1));
    EXPECT_TRUE(updater.isChecking());

    QElapsedTimer timer;
    timer.start();
    while (results.empty() && timer.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].outcome, UpdateCheckResult::Outcome::updateAvailable);
    EXPECT_FALSE(updater.isChecking());
    EXPECT_TRUE(defaults.doubleValue(FeedUpdater::kLastCheckTimeKey));

    // The next check is a day after this one; turning checks off drops it.
    ASSERT_TRUE(clock.nextDue());
    EXPECT_EQ(*clock.nextDue() - clock.now(), std::chrono::hours(24));
    updater.setAutomaticallyChecksForUpdates(false);
    EXPECT_EQ(clock.pendingCount(), 0u);
}


TEST(Appcast, RefusesATagWithMoreThan64AttributesBeforeParsing) {
    const auto enclosureWith = [](int extra) {
        std::string attributes;
        // Quoted "=" and ">" belong to values and count for nothing.
        for (int i = 0; i < extra; ++i) attributes += " x" + std::to_string(i) + "='a=b>c'";
        return feedWith("<!-- a=1 b=2 c=3 --><item><enclosure url=\"https://dl.example.com/a\" sparkle:version=\"2\""
                        " sparkle:edSignature=\"c2ln\"" + attributes + "/></item>");
    };
    EXPECT_EQ(appcast::parse(enclosureWith(61)).items.size(), 1u);  // 64 in all
    const auto refused = appcast::parse(enclosureWith(62));
    EXPECT_NE(refused.error.find("more than 64 attributes"), std::string::npos) << refused.error;

    // The costly case: tens of thousands of attributes on one element, still under the size cap.
    std::string many = "<rss><channel><item";
    for (int i = 0; many.size() < 250 * 1024; ++i) many += " a" + std::to_string(i) + "=''";
    many += "/></channel></rss>";
    EXPECT_NE(appcast::parse(many).error.find("more than 64 attributes"), std::string::npos);

    // Feeds are capped at 256 KiB.
    EXPECT_NE(appcast::parse(feedWith(std::string(256 * 1024, ' '))).error.find("larger than 256 KB"),
              std::string::npos);
}

TEST(Appcast, OrdersReleaseNumbers) {
    const std::pair<const char*, const char*> newerThan[] = {
        {"1.0.1", "1.0.0"}, {"1.10.0", "1.9.10"}, {"2.0", "1.99.99"}, {"1.0", "1.0b1"}, {"1.0.0.1", "1.0"}};
    for (const auto& [newer, older] : newerThan) {
        EXPECT_GT(appcast::compareVersions(newer, older), 0) << newer << " > " << older;
        EXPECT_LT(appcast::compareVersions(older, newer), 0) << older << " < " << newer;
    }
}

TEST(Appcast, TheBuildsOwnVersionMeetsAFeedsNextRelease) {
    const std::string current = BundleInfo::main().version();
    EXPECT_EQ(current, BundleInfo::main().shortVersion());
    const auto next = appcast::parse(feedWith(item("1.0.1", "https://dl.example.com/Harbelle-1.0.1.tar.gz", "c2ln")));
    const auto newest = appcast::newestUpdate(next.items, current);
    ASSERT_TRUE(newest) << "current version " << current;
    EXPECT_EQ(newest->version, "1.0.1");
    const auto same = appcast::parse(feedWith(item(current, "https://dl.example.com/h.tar.gz", "c2ln")));
    EXPECT_FALSE(appcast::newestUpdate(same.items, current));

    // The system updater compares with exactly this version.
    InMemoryDefaults defaults;
    ManualClock clock;
    auto updater = makeSystemUpdater(BundleInfo::main(), defaults, clock);
    auto* feedUpdater = dynamic_cast<FeedUpdater*>(updater.get());
    ASSERT_TRUE(feedUpdater);
    EXPECT_EQ(feedUpdater->configuration().currentVersion, current);
}

TEST(FeedUpdaterFileName, IsBuiltFromSafeCharactersOnly) {
    const struct {
        const char* url;
        const char* version;
        const char* name;
    } cases[] = {
        {"https://dl.example.com/Harbelle-1.0.1.tar.gz", "1.0.1", "Harbelle-1.0.1.tar.gz"},
        {"https://dl.example.com/", "500/../../../escaped", "Harbelle-500......escaped.update"},
        {"https://dl.example.com/.hidden", "2", "Harbelle-2.update"},
        {"https://dl.example.com/with%20space.tgz", "2", "Harbelle-2.update"},
        {"https://dl.example.com/a%2F..%2F..%2Fb", "2", "b"},  // decoded, only the last segment counts
        {"https://dl.example.com/x_y", "../", "Harbelle-...update"},
    };
    for (const auto& c : cases) {
        AppcastItem release;
        release.downloadURL = c.url;
        release.version = c.version;
        EXPECT_EQ(FeedUpdater::downloadFileName(release).value_or("(none)"), c.name) << c.url;
    }
}

TEST_F(FeedUpdaterFixture, AVersionWithSlashesCannotLeaveTheUpdatesFolder) {
    answers["https://updates.example.com/appcast.xml"] = {
        feedWith(item("500/../../../escaped", "https://dl.example.com/", key.sign("archive"), "7")), ""};
    answers["https://dl.example.com/"] = {"archive", ""};
    auto result = FeedUpdater::runCheck(configuration(), true, fetch());
    ASSERT_TRUE(result.downloadedFile) << result.error;
    EXPECT_EQ(std::filesystem::path(*result.downloadedFile).parent_path(), configuration().downloadFolder);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(temp.path().toStdString()))
        EXPECT_TRUE(entry.path().parent_path() == configuration().downloadFolder ||
                    entry.path() == configuration().downloadFolder)
            << entry.path();
}

TEST_F(FeedUpdaterFixture, TheUpdatesFolderIsPrivateOursAndNoSymlink) {
    publish("archive", key.sign("archive"));
    const auto folder = configuration().downloadFolder;
    const auto modeOf = [](const std::filesystem::path& path) {
        struct stat info {};
        ::lstat(path.c_str(), &info);
        return info.st_mode & 07777;
    };
    auto kept = FeedUpdater::runCheck(configuration(), true, fetch());
    ASSERT_TRUE(kept.downloadedFile) << kept.error;
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(*kept.downloadedFile), 0600u);

    // A folder left open by an older build is closed again.
    ::chmod(folder.c_str(), 0755);
    std::filesystem::remove(*kept.downloadedFile);
    EXPECT_TRUE(FeedUpdater::runCheck(configuration(), true, fetch()).downloadedFile);
    EXPECT_EQ(modeOf(folder), 0700u);

    // A symlink in its place (someone else's folder) is refused and nothing lands at its target.
    std::filesystem::remove_all(folder);
    const auto elsewhere = std::filesystem::path(temp.path().toStdString()) / "elsewhere";
    std::filesystem::create_directory(elsewhere);
    std::filesystem::create_directory_symlink(elsewhere, folder);
    auto refused = FeedUpdater::runCheck(configuration(), true, fetch());
    EXPECT_FALSE(refused.downloadedFile);
    EXPECT_NE(refused.error.find("not a plain folder"), std::string::npos) << refused.error;
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));

    // Someone else's folder is refused too (needs root to make one).
    if (::geteuid() == 0) {
        std::filesystem::remove(folder);
        std::filesystem::create_directory(folder);
        ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
        auto foreign = FeedUpdater::runCheck(configuration(), true, fetch());
        EXPECT_FALSE(foreign.downloadedFile);
        EXPECT_NE(foreign.error.find("belongs to another user"), std::string::npos) << foreign.error;
    }
}

TEST_F(FeedUpdaterFixture, WithoutACacheFolderNothingIsDownloaded) {
    publish("archive", key.sign("archive"));
    auto noFolder = configuration();
    noFolder.downloadFolder.clear();
    auto result = FeedUpdater::runCheck(noFolder, true, fetch());
    EXPECT_EQ(result.outcome, UpdateCheckResult::Outcome::updateAvailable);
    EXPECT_FALSE(result.downloadedFile);
    EXPECT_NE(result.error.find("no cache folder"), std::string::npos) << result.error;
    EXPECT_EQ(requests.size(), 1u);  // the feed only

    // The system updater finds no folder when neither XDG_CACHE_HOME nor HOME is set.
    const QByteArray home = qgetenv("HOME"), cache = qgetenv("XDG_CACHE_HOME");
    qunsetenv("HOME");
    qunsetenv("XDG_CACHE_HOME");
    nlohmann::json dictionary = {{"SUFeedURL", "https://127.0.0.1:9/appcast.xml"}, {"SUPublicEDKey", key.publicKeyBase64()}};
    auto updater = makeSystemUpdater(BundleInfo(dictionary), defaults, clock);
    qputenv("HOME", home);
    if (!cache.isNull()) qputenv("XDG_CACHE_HOME", cache);
    auto* feedUpdater = dynamic_cast<FeedUpdater*>(updater.get());
    ASSERT_TRUE(feedUpdater);
    EXPECT_TRUE(feedUpdater->configuration().downloadFolder.empty());
}

TEST_F(FeedUpdaterFixture, KeepsOneVerifiedFilePerVersionAndFetchesItOnce) {
    publish("archive", key.sign("archive"));
    const auto downloads = [this] {
        return std::count_if(requests.begin(), requests.end(),
                             [](const auto& r) { return r.first == "https://dl.example.com/Harbelle-120.tar.gz"; });
    };
    auto first = FeedUpdater::runCheck(configuration(), true, fetch());
    auto second = FeedUpdater::runCheck(configuration(), true, fetch());
    ASSERT_TRUE(first.downloadedFile && second.downloadedFile) << first.error << second.error;
    EXPECT_EQ(*first.downloadedFile, *second.downloadedFile);
    EXPECT_EQ(downloads(), 1);
    EXPECT_EQ(redirectPolicies.front(), FetchLimits::Redirects::refuse);  // the feed
    EXPECT_EQ(redirectPolicies[1], FetchLimits::Redirects::sameHost);    // the download

    // A kept file that no longer verifies is fetched again and replaced.
    std::ofstream(*first.downloadedFile, std::ios::binary | std::ios::trunc) << "archivX";
    auto repaired = FeedUpdater::runCheck(configuration(), true, fetch());
    ASSERT_TRUE(repaired.downloadedFile) << repaired.error;
    EXPECT_EQ(downloads(), 2);
    std::ifstream in(*repaired.downloadedFile, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    EXPECT_EQ(bytes.str(), "archive");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(configuration().downloadFolder),
                            std::filesystem::directory_iterator()),
              1);
}

namespace {

template <typename Predicate>
bool waitFor(Predicate done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

}  // namespace

TEST_F(FeedUpdaterFixture, AFailingFeedIsRetriedAfterAnHourDoublingUpToADay) {
    FeedUpdater updater(configuration(), defaults, clock, fetch());
    int finished = 0;
    updater.onCheckFinished = [&](const UpdateCheckResult&) { ++finished; };
    updater.setAutomaticallyChecksForUpdates(true);
    updater.startUpdater();
    clock.advance(std::chrono::seconds(60));
    ASSERT_TRUE(waitFor([&] { return finished == 1; }));

    for (int hours : {1, 2, 4, 8, 16, 24, 24}) {
        ASSERT_TRUE(clock.nextDue());
        EXPECT_EQ(*clock.nextDue() - clock.now(), std::chrono::hours(hours));
        const int before = finished;
        clock.advance(std::chrono::hours(hours));
        ASSERT_TRUE(waitFor([&] { return finished == before + 1; }));
    }
    EXPECT_EQ(updater.consecutiveFailures(), 8);

    // A good answer ends the back-off: the next check is a day later.
    publish("archive", key.sign("archive"));
    clock.advance(std::chrono::hours(24));
    ASSERT_TRUE(waitFor([&] { return finished == 9; }));
    EXPECT_EQ(updater.consecutiveFailures(), 0);
    EXPECT_EQ(*clock.nextDue() - clock.now(), std::chrono::hours(24));
}

TEST_F(FeedUpdaterFixture, AManualCheckAlwaysAnswersAndScheduledFailuresStaySilent) {
    FeedUpdater* updater = nullptr;
    nlohmann::json dictionary = {{"HarbelleDirectDistribution", true},
                                 {"SUFeedURL", "https://updates.example.com/appcast.xml"},
                                 {"SUPublicEDKey", key.publicKeyBase64()},
                                 {"CFBundleShortVersionString", "1.0.0"}};
    defaults.setBool(FeedUpdater::kAutomaticChecksKey, true);
    UpdateManager manager(BundleInfo(dictionary), defaults, clock, [&](const BundleInfo&, Defaults& d, Clock& c) {
        auto made = std::make_unique<FeedUpdater>(configuration(), d, c, fetch());
        updater = made.get();
        return made;
    });
    std::vector<UpdateManager::CheckAnswer> told;
    QObject::connect(&manager, &UpdateManager::checkAnswered,
                     [&](const UpdateManager::CheckAnswer& answer) { told.push_back(answer); });
    using Kind = UpdateManager::CheckAnswer::Kind;

    // Scheduled and failing: nothing for the user.
    clock.advance(std::chrono::seconds(60));
    ASSERT_TRUE(waitFor([&] { return updater->consecutiveFailures() == 1; }));
    EXPECT_TRUE(told.empty());

    // Manual and failing: a sentence with the reason.
    manager.checkForUpdates();
    ASSERT_TRUE(waitFor([&] { return told.size() == 1; }));
    EXPECT_EQ(told[0].kind, Kind::failed);
    EXPECT_NE(told[0].message.indexOf(QStringLiteral("status 404")), -1) << told[0].message.toStdString();

    // Manual and up to date: the running version.
    told.clear();
    answers["https://updates.example.com/appcast.xml"] = {feedWith(""), ""};
    manager.checkForUpdates();
    ASSERT_TRUE(waitFor([&] { return told.size() == 1; }));
    EXPECT_EQ(told[0].kind, Kind::upToDate);
    EXPECT_NE(told[0].message.indexOf(QStringLiteral("Harbelle 1.0.0")), -1) << told[0].message.toStdString();

    // A manual check that joins a scheduled one already running is still answered, once.
    told.clear();
    publish("archive", key.sign("archive"));
    clock.advance(std::chrono::hours(24));
    ASSERT_TRUE(updater->isChecking());
    manager.checkForUpdates();
    ASSERT_TRUE(waitFor([&] { return !updater->isChecking(); }));
    QCoreApplication::processEvents();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].kind, Kind::updateAvailable);
    EXPECT_NE(told[0].message.indexOf(QStringLiteral("Harbelle 120 is available")), -1)
        << told[0].message.toStdString();
}

// Runs in the death test's child and ends it: 0 when all held.
[[noreturn]] static void quitDuringADownload() {
    QTemporaryDir temp;
    SigningKey key;
    harbelle::testing::LocalHttpsServer server;
    constexpr std::size_t kSize = 1'000'000;
    server.get("/appcast.xml", [&](const httplib::Request&, httplib::Response& r) {
        r.set_content(feedWith(item("120", server.url("/Harbelle-120.tar.gz"), key.sign("unused"),
                                    std::to_string(kSize))),
                      "application/xml");
    });
    // A byte every 50 ms: the whole file would take most of a day.
    server.get("/Harbelle-120.tar.gz", [](const httplib::Request&, httplib::Response& r) {
        r.set_content_provider(kSize, "application/octet-stream",
                               [](std::size_t, std::size_t, httplib::DataSink& sink) {
                                   std::this_thread::sleep_for(std::chrono::milliseconds(50));
                                   return sink.write("x", 1);
                               });
    });
    server.start();
    const std::filesystem::path folder = std::filesystem::path(temp.path().toStdString()) / "Updates";
    const FeedUpdater::Configuration configuration{server.url("/appcast.xml"), key.publicKeyBase64(), "1.0.0",
                                                   folder};
    const FeedUpdater::Fetch fetch = [ca = server.caFile()](const std::string& url, const FetchLimits& limits,
                                                            const FetchSink& sink) {
        FetchLimits trusted = limits;
        trusted.caFile = ca;
        return fetchHttps(url, trusted, sink);
    };
    const auto partialBytes = [&] {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error))
            if (entry.is_regular_file()) return static_cast<long long>(entry.file_size());
        return -1LL;
    };
    std::thread quit([&] {
        for (int i = 0; i < 200 && partialBytes() < 3; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        cancelAllFetches();
    });
    const auto started = std::chrono::steady_clock::now();
    const UpdateCheckResult result = FeedUpdater::runCheck(configuration, true, fetch);
    const auto took = std::chrono::steady_clock::now() - started;
    quit.join();
    const bool ok = !result.downloadedFile && result.error.find("cancelled") != std::string::npos &&
                    took < std::chrono::seconds(15) && partialBytes() == -1;
    std::_Exit(ok ? 0 : 1);
}

// A quit cancels every transfer for good, so it is tried in a child process of its own.
TEST(FeedUpdaterDeathTest, AQuitDuringADownloadEndsItAtOnceAndLeavesNoPartialFile) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(quitDuringADownload(), ::testing::ExitedWithCode(0), "");
}
