#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/Base64.h"
#include "platform/linux/Appcast.h"
#include "platform/linux/FeedUpdater.h"
#include "platform/linux/UpdateSignature.h"
#include "support/InMemoryDefaults.h"
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

    FeedUpdater::Configuration configuration() {
        return {"https://updates.example.com/appcast.xml", key.publicKeyBase64(), "100",
                std::filesystem::path(temp.path().toStdString()) / "Updates"};
    }
    FeedUpdater::Fetch fetch() {
        return [this](const std::string& url, const FetchLimits& limits) {
            requests.emplace_back(url, limits.maxBytes);
            auto it = answers.find(url);
            return it == answers.end() ? FetchResult{"", "The server answered with status 404."} : it->second;
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

TEST(HttpsFetch, RefusesPlainHttpBeforeConnecting) {
    FetchLimits limits;
    limits.connectTimeout = std::chrono::milliseconds(500);
    limits.totalTimeout = std::chrono::milliseconds(1000);
    auto result = fetchHttps("http://127.0.0.1:9/appcast.xml", limits);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.error, "Only HTTPS addresses are allowed.");
    EXPECT_TRUE(result.body.empty());
}
