// The coordinator with the real engine against the in-process reference service.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "sync/InMemorySyncSecureStore.h"
#include "sync/SyncReferenceService.h"
#include "syncbridge/SyncBridgeTestSupport.h"
#include "support/ClipBuilder.h"

using namespace harbelle;
using namespace harbelle::testing;
using namespace std::chrono_literals;

namespace {

constexpr const char* kEmail = "grace@example.org";
constexpr const char* kPassword = "a long enough password";

// One device: its own folder, settings, keyring and store, and a coordinator with the real engine.
struct Device {
    QTemporaryDir temp;
    InMemoryDefaults defaults;
    ManualClock clock;
    BundleInfo bundle{nlohmann::json::object()};
    std::shared_ptr<sync::InMemorySyncSecureStore> keyring = std::make_shared<sync::InMemorySyncSecureStore>();
    std::unique_ptr<HistoryStore> store;
    std::unique_ptr<SyncCoordinator> sync;

    explicit Device(const std::string& baseURL, const std::string& name) {
        HistoryStoreOptions options;
        options.applicationSupport = std::filesystem::path(temp.path().toStdString()) / "Pemberlow";
        options.bundleIdentifier = "com.harbelleapp.Harbelle";
        store = std::make_unique<HistoryStore>(defaults, clock, std::move(options));
        SyncCoordinatorOptions syncOptions;
        syncOptions.environment = [baseURL](const std::string& key) -> std::optional<std::string> {
            if (key == SyncCoordinator::kBaseURLEnvironmentVariable) return baseURL;
            return std::nullopt;
        };
        syncOptions.bundle = &bundle;
        syncOptions.clock = &clock;
        syncOptions.secureStore = keyring;
        syncOptions.deviceName = name;
        sync = std::make_unique<SyncCoordinator>(store.get(), false, defaults, std::move(syncOptions));
    }
    ~Device() {
        sync.reset();
        store.reset();
    }

    std::optional<std::string> run(const std::function<void(SyncAccountService::Completion)>& operation) {
        bool answered = false;
        std::optional<std::string> result;
        operation([&](std::optional<std::string> error) {
            answered = true;
            result = error;
        });
        EXPECT_TRUE(SyncBridgeFixture_pumpUntil([&] { return answered; }, 30000));
        return result;
    }
    void copy(const std::string& text) {
        clock.advance(10ms);
        store->insert(ClipBuilder(text).captured(clock.now()));
    }
    std::size_t count(const std::string& prefix) const {
        std::size_t n = 0;
        for (const auto& clip : store->items()) n += clip.text.rfind(prefix, 0) == 0;
        return n;
    }

    static bool SyncBridgeFixture_pumpUntil(const std::function<bool()>& done, int timeoutMs) {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > timeoutMs) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (!done()) QThread::usleep(500);
        }
        return true;
    }
};

bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 30000) {
    return Device::SyncBridgeFixture_pumpUntil(done, timeoutMs);
}

std::size_t storedRecords(const sync::SyncReferenceService& service, const std::string& email) {
    const auto dump = service.dump();
    const auto accounts = dump.at("accounts");
    if (!accounts.contains(email)) return 0;
    return accounts.at(email).at("records").size();
}

}  // namespace

// After the service lost everything and the address registered again, every clip goes up again.
TEST(SyncCoordinatorService, RegistrationResetSendsEveryClipAgain) {
    auto service = std::make_unique<sync::SyncReferenceService>();
    const int port = service->start();
    const std::string baseURL = service->baseURL();
    Device a(baseURL, "Device A");
    ASSERT_EQ(a.run([&](auto done) { a.sync->createAccount(kEmail, kPassword, kPassword, done); }), std::nullopt);
    for (int i = 0; i < 20; ++i) a.copy("clip " + std::to_string(i));
    ASSERT_TRUE(pumpUntil([&] { return storedRecords(*service, kEmail) == 20; }));
    const std::string before = service->dump().dump();
    EXPECT_EQ(before.find("clip 1"), std::string::npos) << "the service never sees a clip's text";

    service.reset();
    service = std::make_unique<sync::SyncReferenceService>();
    ASSERT_EQ(service->start(port), port);
    // The old token is unknown now: the next round ends the session, every clip stays.
    a.sync->syncNow({});
    ASSERT_TRUE(pumpUntil([&] { return !a.sync->status().isSignedIn; }));
    EXPECT_EQ(a.sync->status().lastErrorDescription, "Your sync session ended. Sign in again to keep syncing.");
    EXPECT_EQ(a.count("clip "), 20u);

    ASSERT_EQ(a.run([&](auto done) { a.sync->createAccount(kEmail, kPassword, kPassword, done); }), std::nullopt);
    ASSERT_TRUE(pumpUntil([&] { return storedRecords(*service, kEmail) == 20; }));

    Device b(baseURL, "Device B");
    ASSERT_EQ(b.run([&](auto done) { b.sync->signIn(kEmail, kPassword, done); }), std::nullopt);
    ASSERT_TRUE(pumpUntil([&] { return b.count("clip ") == 20; }));
    for (const auto& clip : b.store->items()) EXPECT_EQ(clip.sourceAppName, "Synced");

    // A deletion on B reaches A.
    const Uuid gone = b.store->items().front().id;
    b.store->deleteItem(*b.store->item(gone));
    a.sync->syncNow({});
    ASSERT_TRUE(pumpUntil([&] {
        bool present = false;
        for (const auto& clip : a.store->items()) present |= clip.id == gone;
        return !present;
    }));
}

// Without a keyring that could keep the session, account creation and sign-in stop before any
// request: nothing is made on the service, and the sentence says what to start.
TEST(SyncCoordinatorService, NoUsableKeyringStopsSignUpAndSignInBeforeAnyRequest) {
    sync::SyncReferenceService service;
    service.start();
    Device a(service.baseURL(), "Device A");
    a.keyring->setLocked(true);
    const auto create = [&](auto done) { a.sync->createAccount(kEmail, kPassword, kPassword, done); };
    EXPECT_EQ(a.run(create), SyncCoordinator::kKeyringUnavailableMessage);
    EXPECT_EQ(a.run([&](auto done) { a.sync->signIn(kEmail, kPassword, done); }), a.run(create));
    EXPECT_TRUE(service.requestLog().empty());

    a.keyring->setLocked(false);
    EXPECT_EQ(a.run(create), std::nullopt) << "the first tries left no account behind";
}

// Mend: quitting stops the engine at once even while the service answers nothing.
TEST(SyncCoordinatorService, ShutdownReturnsPromptlyWithTheServiceStalling) {
    sync::SyncReferenceService service;
    service.start();
    Device a(service.baseURL(), "Device A");
    ASSERT_EQ(a.run([&](auto done) { a.sync->createAccount(kEmail, kPassword, kPassword, done); }), std::nullopt);
    sync::SyncReferenceService::ForcedAnswer stall;
    stall.kind = sync::SyncReferenceService::ForcedAnswer::Kind::delay;
    stall.delayMilliseconds = 20000;
    stall.count = 100;
    for (const char* endpoint : {"push", "pull", "delete"}) service.force(endpoint, stall);
    a.copy("while stalled");
    a.sync->syncNow({});
    pumpUntil([] { return false; }, 300);  // a round is now waiting on the service
    QElapsedTimer timer;
    timer.start();
    a.sync->shutdown();
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_TRUE(a.store->flushHistory());
    service.clearForced();
}

// A clip deleted after the session ended (its delete answered 401) stays deleted: the next
// sign-in sends the delete before its first pull, which starts at 0 and replays the clip.
TEST(SyncCoordinatorService, ADeleteMadeAfterTheSessionEndedGoesFirstAtTheNextSignIn) {
    sync::SyncReferenceService service;
    service.start();
    Device a(service.baseURL(), "Device A");
    ASSERT_EQ(a.run([&](auto done) { a.sync->createAccount(kEmail, kPassword, kPassword, done); }), std::nullopt);
    a.copy("kept");
    a.copy("deleted after the session ended");
    ASSERT_TRUE(pumpUntil([&] { return storedRecords(service, kEmail) == 2; }));
    service.revokeAllTokens(kEmail);
    a.store->deleteItem(a.store->items().front());
    ASSERT_TRUE(pumpUntil([&] { return !a.sync->status().isSignedIn; }));
    service.clearRequestLog();
    ASSERT_EQ(a.run([&](auto done) { a.sync->signIn(kEmail, kPassword, done); }), std::nullopt);
    EXPECT_EQ(a.count("deleted"), 0u);
    EXPECT_EQ(a.count("kept"), 1u);
    EXPECT_EQ(storedRecords(service, kEmail), 1u);
    const auto log = service.requestLog();
    const auto first = [&](const char* path) {
        return std::find_if(log.begin(), log.end(), [&](const auto& r) { return r.path == path; });
    };
    EXPECT_LT(first("/v1/delete"), first("/v1/pull"));
}
