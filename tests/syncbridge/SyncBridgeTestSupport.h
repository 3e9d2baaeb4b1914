#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include "history/HistoryStoreTestSupport.h"
#include "support/ScriptedSyncEngine.h"
#include "syncbridge/SyncCoordinator.h"

namespace harbelle::testing {

// A real store in a temporary folder, the manual clock and a coordinator driving a scripted
// engine (or, with `engineClock`/`secureStore` set and no script, the real engine).
class SyncBridgeFixture : public HistoryStoreFixture {
protected:
    static constexpr const char* kEmail = "ada@example.org";

    std::unique_ptr<HistoryStore> store;
    std::unique_ptr<SyncCoordinator> sync;
    ScriptedSyncEngine* engine = nullptr;
    BundleInfo bundle{nlohmann::json::object()};
    std::string baseURL = "http://127.0.0.1:9/";

    void SetUp() override { store = makeStore(); }
    void TearDown() override {
        sync.reset();
        store.reset();
    }

    SyncCoordinatorOptions options(bool scripted = true) {
        SyncCoordinatorOptions out;
        const std::string url = baseURL;
        out.environment = [url](const std::string& name) -> std::optional<std::string> {
            if (name == SyncCoordinator::kBaseURLEnvironmentVariable) return url;
            return std::nullopt;
        };
        out.bundle = &bundle;
        out.clock = &clock;
        out.deviceName = "Test Box";
        if (scripted)
            out.makeEngine = [this](sync::SyncMainThreadPoster poster) {
                auto made = std::make_unique<ScriptedSyncEngine>(std::move(poster));
                engine = made.get();
                return made;
            };
        return out;
    }

    void makeCoordinator(bool demoMode = false) {
        sync = std::make_unique<SyncCoordinator>(store.get(), demoMode, defaults, options());
        pump();
    }

    // Delivers queued main-thread steps until `done` holds or nothing is left for a while.
    static bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > timeoutMs) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (!done()) QThread::usleep(200);
        }
        return true;
    }
    static void pump(int rounds = 200) {
        for (int i = 0; i < rounds; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
    }

    // Runs one account operation to its answer.
    std::optional<std::string> answerOf(const std::function<void(SyncAccountService::Completion)>& operation,
                                        int timeoutMs = 20000) {
        bool answered = false;
        std::optional<std::string> result;
        operation([&](std::optional<std::string> error) {
            answered = true;
            result = std::move(error);
        });
        EXPECT_TRUE(pumpUntil([&] { return answered; }, timeoutMs));
        return result;
    }

    void signInScripted(const std::string& email = kEmail) {
        ASSERT_EQ(answerOf([&](auto done) { sync->signIn(email, "correct horse battery", done); }), std::nullopt);
    }

    Uuid addText(const std::string& text) {
        clock.advance(std::chrono::milliseconds(10));  // under the save debounce
        store->insert(makeClip(text));
        return store->items().front().id;
    }
};

}  // namespace harbelle::testing
