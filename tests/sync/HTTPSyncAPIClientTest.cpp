#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "SyncServiceHarness.h"
#include "sync/HTTPSyncBlobTransport.h"

namespace harbelle::sync {
namespace {

using Kind = SyncReferenceService::ForcedAnswer::Kind;
using Code = SyncServiceErrorCode;

class HTTPSyncAPIClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        service.start();
        client = std::make_unique<HTTPSyncAPIClient>(service.baseURL());
    }

    Code errorOf(const std::function<void()>& call, std::optional<int>* retryAfter = nullptr) {
        try {
            call();
        } catch (const SyncServiceError& error) {
            if (retryAfter) *retryAfter = error.retryAfterSeconds();
            return error.code();
        }
        ADD_FAILURE() << "no error";
        return Code::transport;
    }

    SyncReferenceService service;
    std::unique_ptr<HTTPSyncAPIClient> client;
};

TEST(SyncServiceErrorTest, StatusTable) {
    struct Row {
        SyncEndpoint endpoint;
        long status;
        std::optional<Code> expected;
    };
    const Row rows[] = {
        {SyncEndpoint::pull, 200, std::nullopt},          {SyncEndpoint::registerAccount, 201, std::nullopt},
        {SyncEndpoint::registerAccount, 200, Code::invalidResponse}, {SyncEndpoint::logout, 204, std::nullopt},
        {SyncEndpoint::uploadBlob, 200, std::nullopt},    {SyncEndpoint::uploadBlob, 201, std::nullopt},
        {SyncEndpoint::push, 201, Code::invalidResponse}, {SyncEndpoint::push, 400, Code::invalidRequest},
        {SyncEndpoint::push, 422, Code::invalidRequest},  {SyncEndpoint::kdf, 401, Code::invalidCredentials},
        {SyncEndpoint::login, 403, Code::invalidCredentials}, {SyncEndpoint::pull, 401, Code::unauthorized},
        {SyncEndpoint::changePassword, 403, Code::unauthorized}, {SyncEndpoint::registerAccount, 409, Code::emailTaken},
        {SyncEndpoint::push, 409, Code::invalidResponse}, {SyncEndpoint::push, 413, Code::payloadTooLarge},
        {SyncEndpoint::login, 429, Code::rateLimited},    {SyncEndpoint::pull, 500, Code::serverUnavailable},
        {SyncEndpoint::pull, 599, Code::serverUnavailable}, {SyncEndpoint::pull, 302, Code::invalidResponse},
        {SyncEndpoint::pull, 418, Code::invalidResponse}, {SyncEndpoint::downloadBlob, 404, Code::invalidResponse},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        EXPECT_EQ(syncServiceErrorForStatus(row.endpoint, row.status), row.expected);
    }
}

TEST_F(HTTPSyncAPIClientTest, ForcedAnswersMapThroughTheStatusTable) {
    auto account = testing::registerAccount(*client, "table@example.com");
    struct Row {
        const char* endpoint;
        SyncReferenceService::ForcedAnswer answer;
        Code expected;
    };
    const Row rows[] = {
        {"kdf", {Kind::status, 401}, Code::invalidCredentials},
        {"login", {Kind::status, 403}, Code::invalidCredentials},
        {"pull", {Kind::status, 401}, Code::unauthorized},
        {"register", {Kind::status, 409}, Code::emailTaken},
        {"push", {Kind::status, 409}, Code::invalidResponse},
        {"push", {Kind::status, 413}, Code::payloadTooLarge},
        {"pull", {Kind::status, 422}, Code::invalidRequest},
        {"pull", {Kind::status, 503}, Code::serverUnavailable},
        {"pull", {Kind::status, 418}, Code::invalidResponse},
        {"pull", {Kind::malformedJSON}, Code::invalidResponse},
        {"pull", {Kind::body, 200, std::nullopt, 0, R"({"events":[],"latest_seq":"7","has_more":false})"}, Code::invalidResponse},
        {"push", {Kind::body, 200, std::nullopt, 0, R"({"results":[]})"}, Code::invalidResponse},
        {"push",
         {Kind::body, 200, std::nullopt, 0,
          R"({"results":[{"client_id":"someone-else","canonical_id":"someone-else","status":"stored"}]})"},
         Code::invalidResponse},
        {"push",
         {Kind::body, 200, std::nullopt, 0,
          R"({"results":[{"client_id":"a","canonical_id":"a","status":"eaten"}]})"},
         Code::invalidResponse},
        {"pull", {Kind::oversizeBody}, Code::invalidResponse},
    };
    SyncPushItem item{"a", 1, "mac", "sealed", std::nullopt, false};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.endpoint) + " " + std::to_string(row.answer.status));
        service.force(row.endpoint, row.answer);
        std::string endpoint = row.endpoint;
        Code code = errorOf([&] {
            if (endpoint == "kdf") client->kdf(account.email);
            if (endpoint == "login") client->login({account.email, std::string(32, 'k'), "d", "linux"});
            if (endpoint == "register") testing::registerAccount(*client, "other@example.com");
            if (endpoint == "push") client->push(account.token, {item});
            if (endpoint == "pull") client->pull(account.token, 0, 100);
        });
        EXPECT_EQ(code, row.expected);
    }
}

TEST_F(HTTPSyncAPIClientTest, RateLimitKeepsRetryAfter) {
    service.force("pull", {Kind::status, 429, 17});
    auto account = testing::registerAccount(*client, "retry@example.com");
    std::optional<int> retryAfter;
    EXPECT_EQ(errorOf([&] { client->pull(account.token, 0, 10); }, &retryAfter), Code::rateLimited);
    EXPECT_EQ(retryAfter, 17);
    service.force("pull", {Kind::status, 429, 100000});
    EXPECT_EQ(errorOf([&] { client->pull(account.token, 0, 10); }, &retryAfter), Code::rateLimited);
    EXPECT_EQ(retryAfter, 300);
}

TEST_F(HTTPSyncAPIClientTest, RedirectIsNotFollowed) {
    auto account = testing::registerAccount(*client, "redirect@example.com");
    service.clearRequestLog();
    service.force("pull", {Kind::redirect});
    EXPECT_EQ(errorOf([&] { client->pull(account.token, 0, 10); }), Code::invalidResponse);
    auto log = service.requestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].path, "/v1/pull");
}

TEST_F(HTTPSyncAPIClientTest, SizeCaps) {
    auto account = testing::registerAccount(*client, "caps@example.com");
    HTTPSyncBlobTransport blobs(service.baseURL());
    // Over 16 MiB never leaves the client.
    service.clearRequestLog();
    SyncPushItem big{"a", 1, "mac", std::string(13u << 20, 'x'), std::nullopt, false};
    EXPECT_EQ(errorOf([&] { client->push(account.token, {big}); }), Code::payloadTooLarge);
    EXPECT_EQ(errorOf([&] { blobs.upload(account.token, std::string(64, 'a'), std::string((1u << 20) + 1, 'x')); }),
              Code::payloadTooLarge);
    EXPECT_TRUE(service.requestLog().empty());
    // One ciphertext over 256 KiB: the service answers 413.
    SyncPushItem item{randomUUID(), 1, "mac", std::string((256u << 10) + 1, 'x'), std::nullopt, false, "cmac"};
    EXPECT_EQ(errorOf([&] { client->push(account.token, {item}); }), Code::payloadTooLarge);
    // Answers over the caps are refused as invalid.
    service.force("media", {Kind::oversizeBody});
    EXPECT_EQ(errorOf([&] { blobs.download(account.token, std::string(64, 'a')); }), Code::invalidResponse);
    EXPECT_TRUE(blobs.upload(account.token, std::string(64, 'c'), std::string(1u << 20, 'x')));
    EXPECT_FALSE(blobs.upload(account.token, std::string(64, 'c'), std::string(1u << 20, 'x')));
    EXPECT_EQ(blobs.download(account.token, std::string(64, 'c'))->size(), 1u << 20);
    EXPECT_EQ(blobs.download(account.token, std::string(64, 'd')), std::nullopt);
}

TEST_F(HTTPSyncAPIClientTest, DeepJSONIsRefusedAndOnlyAnOversizeAnswerSaysSo) {
    auto account = testing::registerAccount(*client, "depth@example.com");
    auto refusal = [&](const std::string& body) -> std::optional<SyncServiceError> {
        service.force("pull", {Kind::body, 200, std::nullopt, 0, body});
        try {
            client->pull(account.token, 0, 10);
        } catch (const SyncServiceError& error) {
            return error;
        }
        return std::nullopt;
    };
    auto nested = [](int depth) { return std::string(std::size_t(depth), '[') + std::string(std::size_t(depth), ']'); };
    // Brackets inside strings, escaped quotes included, are text, not nesting.
    EXPECT_FALSE(refusal(R"({"events":[],"latest_seq":0,"has_more":false,"note":"\")" + nested(100) + R"(\""})"));
    EXPECT_FALSE(refusal(R"({"events":[],"latest_seq":0,"has_more":false,"x":)" + nested(62) + "}"));
    auto deep = refusal(R"({"events":[],"latest_seq":0,"has_more":false,"x":)" + nested(64) + "}");
    ASSERT_TRUE(deep);
    EXPECT_EQ(deep->code(), Code::invalidResponse);
    EXPECT_FALSE(deep->responseTooLarge());
    service.force("pull", {Kind::oversizeBody});
    try {
        client->pull(account.token, 0, 10);
        ADD_FAILURE() << "an oversize answer was accepted";
    } catch (const SyncServiceError& error) {
        EXPECT_TRUE(error.responseTooLarge());
    }
}

TEST_F(HTTPSyncAPIClientTest, ForcedDelayGivesTransport) {
    auto session = std::make_shared<SyncHTTPSession>(service.baseURL(), SyncHTTPTimeouts{1000, 300, 300});
    HTTPSyncAPIClient shortClient(service.baseURL(), session);
    service.force("health", {Kind::delay, 200, std::nullopt, 2000});
    EXPECT_EQ(errorOf([&] { shortClient.health(); }), Code::transport);
    EXPECT_NO_THROW(shortClient.health());  // the handle is usable after a timeout
}

TEST_F(HTTPSyncAPIClientTest, StopAbortsARunningRequestAtOnce) {
    service.force("health", {Kind::delay, 200, std::nullopt, 20000});
    service.clearRequestLog();
    auto started = std::chrono::steady_clock::now();
    std::thread stopper([&] {
        // Stopped once the service holds the request.
        while (service.requestLog().empty() && std::chrono::steady_clock::now() - started < std::chrono::seconds(5))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        client->setStopped(true);
    });
    EXPECT_EQ(errorOf([&] { client->health(); }), Code::transport);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(errorOf([&] { client->health(); }), Code::transport);  // stays stopped
    client->setStopped(false);
    service.clearForced();
    EXPECT_NO_THROW(client->health());
}

TEST_F(HTTPSyncAPIClientTest, DroppedConnectionGivesTransport) {
    service.force("health", {Kind::dropConnection});
    EXPECT_EQ(errorOf([&] { client->health(); }), Code::transport);
}

TEST_F(HTTPSyncAPIClientTest, BearerTokenOnlyWhereItBelongs) {
    auto account = testing::registerAccount(*client, "bearer@example.com");
    client->kdf(account.email);
    EXPECT_THROW(client->login({account.email, std::string(32, 'k'), "d", "linux"}), SyncServiceError);
    client->health();
    client->pull(account.token, 0, 10);
    // The same service under another origin (host name) gets no token.
    std::string otherOrigin = "http://localhost:" + std::to_string(service.port()) + "/v1/media/";
    HTTPSyncBlobTransport blobs(service.baseURL(), otherOrigin);
    EXPECT_EQ(errorOf([&] { blobs.download(account.token, std::string(64, 'a')); }), Code::unauthorized);
    for (const auto& record : service.requestLog()) {
        SCOPED_TRACE(record.path);
        bool expectBearer = record.path == "/v1/pull";
        EXPECT_EQ(record.hadBearer, expectBearer);
        if (expectBearer) {
            EXPECT_EQ(record.bearerToken, account.token);
        }
    }
}

TEST_F(HTTPSyncAPIClientTest, OnlyHttpAndHttpsBaseURLs) {
    for (const char* url : {"ftp://127.0.0.1/", "file:///tmp/x", "127.0.0.1:80", ""})
        EXPECT_THROW(HTTPSyncAPIClient{url}, std::invalid_argument) << url;
    EXPECT_EQ(HTTPSyncBlobTransport::defaultMediaBaseURL("https://sync.example.com/api"), "https://sync.example.com/api/v1/media/");
    EXPECT_EQ(joinURL("http://h/base//", "/v1/pull"), "http://h/base/v1/pull");
    EXPECT_EQ(SyncHTTPSession::originOf("HTTPS://Sync.Example.com:443/x"), "https://sync.example.com");
    EXPECT_EQ(SyncHTTPSession::originOf("http://user@127.0.0.1:8080/x"), "http://127.0.0.1:8080");
}

TEST_F(HTTPSyncAPIClientTest, AccountFlows) {
    auto account = testing::registerAccount(*client, "Flow@Example.com ");
    EXPECT_EQ(errorOf([&] { testing::registerAccount(*client, "flow@example.com"); }), Code::emailTaken);

    // A service that hands out cheap iterations is refused before any key is derived.
    service.setKdfIterations(1000);
    SyncKDFParameters cheap = client->kdf(account.email);
    EXPECT_EQ(cheap.iterations, 1000);
    EXPECT_EQ(errorOf([&] { deriveAccountKeys(normalizePassword(account.password), cheap); }), Code::invalidResponse);
    service.setKdfIterations(600'000);

    // Unknown addresses get a stable answer of the same shape.
    auto unknown = client->kdf("nobody@example.com");
    EXPECT_EQ(unknown.salt.size(), 16u);
    EXPECT_EQ(client->kdf("nobody@example.com").salt, unknown.salt);

    SyncKDFParameters kdf = client->kdf(account.email);
    auto keys = deriveAccountKeys(normalizePassword(account.password), kdf);
    auto login = client->login({account.email, keys.authKey, "Second", "linux"});
    EXPECT_EQ(unwrapSyncKey(keys.kek, login.wrappedSyncKey, account.email), account.syncKey);

    // Five wrong logins a minute, then the sixth is rate limited even with the right key.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(errorOf([&] { client->login({account.email, std::string(32, 'x'), "d", "linux"}); }),
                  Code::invalidCredentials);
    std::optional<int> retryAfter;
    EXPECT_EQ(errorOf([&] { client->login({account.email, keys.authKey, "d", "linux"}); }, &retryAfter),
              Code::rateLimited);
    EXPECT_GT(retryAfter.value_or(0), 0);
    service.advanceClock(61);
    EXPECT_NO_THROW(client->login({account.email, keys.authKey, "d", "linux"}));

    // A password change keeps this session, revokes the others, and re-wraps the same key.
    SyncKDFParameters newKdf{"pbkdf2-sha256", randomBytes(16), 600'000};
    auto newKeys = deriveAccountKeys(normalizePassword("a brand new password"), newKdf);
    std::int64_t revoked = client->changePassword(
        account.token, {newKeys.authKey, newKdf, wrapSyncKey(newKeys.kek, account.syncKey, account.email)});
    EXPECT_EQ(revoked, 2);
    EXPECT_EQ(errorOf([&] { client->pull(login.token, 0, 10); }), Code::unauthorized);
    EXPECT_NO_THROW(client->pull(account.token, 0, 10));
    auto relogin = client->login({account.email, newKeys.authKey, "Third", "linux"});
    EXPECT_EQ(unwrapSyncKey(newKeys.kek, relogin.wrappedSyncKey, account.email), account.syncKey);

    // Logout revokes; a second logout of the same token counts as done.
    client->logout(relogin.token);
    EXPECT_NO_THROW(client->logout(relogin.token));
    EXPECT_EQ(errorOf([&] { client->pull(relogin.token, 0, 10); }), Code::unauthorized);
}

}  // namespace
}  // namespace harbelle::sync
