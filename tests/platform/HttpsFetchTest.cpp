// The real HTTPS client against a loopback server: redirects, size caps and streaming.
#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/linux/HttpsFetch.h"
#include "support/LocalHttpsServer.h"

using namespace harbelle;
using harbelle::testing::LocalHttpsServer;

namespace {

struct HttpsFetchFixture : ::testing::Test {
    LocalHttpsServer server;
    int hits = 0;

    void SetUp() override {
        server.get("/feed", [](const httplib::Request&, httplib::Response& r) {
            r.set_content("<rss/>", "application/xml");
        });
        server.get("/file", [this](const httplib::Request&, httplib::Response& r) {
            ++hits;
            r.set_content(std::string(100'000, 'x'), "application/octet-stream");
        });
        server.get("/moved-feed", [this](const httplib::Request&, httplib::Response& r) {
            r.set_redirect(server.url("/feed"));
        });
        server.get("/same-host", [](const httplib::Request&, httplib::Response& r) {
            r.set_redirect("/file");  // relative: the same host
        });
        server.get("/other-host", [this](const httplib::Request&, httplib::Response& r) {
            r.set_redirect(server.localhostURL("/file"));
        });
        server.get("/loop", [](const httplib::Request&, httplib::Response& r) { r.set_redirect("/loop"); });
        server.get("/missing", [](const httplib::Request&, httplib::Response& r) { r.status = 404; });
        server.start();
    }
    FetchLimits limits(FetchLimits::Redirects redirects = FetchLimits::Redirects::refuse) const {
        FetchLimits l;
        l.connectTimeout = std::chrono::seconds(5);
        l.totalTimeout = std::chrono::seconds(10);
        l.redirects = redirects;
        l.caFile = server.caFile();
        return l;
    }
};

}  // namespace

TEST(HttpsFetch, RefusesPlainHttpBeforeConnecting) {
    FetchLimits limits;
    limits.connectTimeout = std::chrono::milliseconds(500);
    limits.totalTimeout = std::chrono::milliseconds(1000);
    auto result = fetchHttps("http://127.0.0.1:9/appcast.xml", limits);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.error, "Only HTTPS addresses are allowed.");
    EXPECT_TRUE(result.body.empty());
}

TEST_F(HttpsFetchFixture, RedirectsFollowTheirPolicy) {
    using R = FetchLimits::Redirects;
    const struct {
        const char* path;
        R policy;
        bool ok;
        const char* error;
    } cases[] = {
        {"/feed", R::refuse, true, ""},
        {"/moved-feed", R::refuse, false, "redirected"},        // a feed is read only where it is published
        {"/same-host", R::sameHost, true, ""},                  // a download may move on its own server
        {"/other-host", R::sameHost, false, "another host"},    // ...but not to another host
        {"/loop", R::sameHost, false, "too many times"},
        {"/missing", R::sameHost, false, "status 404"},
    };
    for (const auto& c : cases) {
        const auto result = fetchHttps(server.url(c.path), limits(c.policy));
        EXPECT_EQ(result.ok(), c.ok) << c.path << ": " << result.error;
        EXPECT_NE(result.error.find(c.error), std::string::npos) << c.path << ": " << result.error;
        if (!c.ok) {
            EXPECT_TRUE(result.body.empty()) << c.path;
        }
    }
}

TEST_F(HttpsFetchFixture, StreamsTheBodyToTheSinkWithinTheCap) {
    std::string streamed;
    auto result = fetchHttps(server.url("/same-host"), limits(FetchLimits::Redirects::sameHost),
                             [&](const char* data, std::size_t size) {
                                 streamed.append(data, size);
                                 return true;
                             });
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_TRUE(result.body.empty());
    EXPECT_EQ(streamed, std::string(100'000, 'x'));  // the redirect's own body is not part of it

    auto capped = limits();
    capped.maxBytes = 99'999;
    EXPECT_NE(fetchHttps(server.url("/file"), capped).error.find("larger than 99999"), std::string::npos);

    const auto refused = fetchHttps(server.url("/file"), limits(), [](const char*, std::size_t) { return false; });
    EXPECT_FALSE(refused.ok());
}

// Runs in the death test's child and ends it: 0 when all held.
[[noreturn]] static void cancelAHangingTransfer() {
    // A server that accepts and never answers, not even the TLS greeting.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        std::_Exit(2);
    const std::string url = "https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/appcast.xml";
    FetchLimits limits;
    limits.connectTimeout = std::chrono::seconds(60);
    limits.totalTimeout = std::chrono::seconds(60);
    std::thread quit([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        cancelAllFetches();
    });
    const auto started = std::chrono::steady_clock::now();
    const FetchResult hanging = fetchHttps(url, limits);
    const auto took = std::chrono::steady_clock::now() - started;
    quit.join();
    const FetchResult later = fetchHttps(url, limits);
    const bool ok = hanging.error == "The transfer was cancelled." && took < std::chrono::seconds(10) &&
                    later.error == "The transfer was cancelled.";
    std::_Exit(ok ? 0 : 1);
}

// Cancelling is for good, so it is tried in a child process of its own.
TEST(HttpsFetchDeathTest, CancellingEndsAHangingTransferAtOnceAndRefusesLaterOnes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(cancelAHangingTransfer(), ::testing::ExitedWithCode(0), "");
}
