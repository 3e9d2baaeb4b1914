// Sign-in against the loopback reference service: kdf, PBKDF2 at 600,000 iterations, login,
// key unwrap and the keyring write, beside PBKDF2 alone (ratio printed). The keyring write
// uses the Secret Service when a session bus with an unlocked keyring is present (run it
// inside scripts/x11-session.sh), else an in-memory store, and says which. Last, how long
// destroying the engine takes while a sign-in derives its key at the maximum iterations.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "sync/HTTPSyncAPIClient.h"
#include "sync/InMemorySyncSecureStore.h"
#include "sync/KeychainSyncStore.h"
#include "sync/SyncAccountStore.h"
#include "sync/SyncCrypto.h"
#include "sync/SyncEngine.h"
#include "sync/SyncReferenceService.h"
#include "sync/SyncText.h"

using namespace harbelle::sync;
using Steady = std::chrono::steady_clock;

namespace {

template <typename F>
double medianMilliseconds(int runs, F&& body) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = Steady::now();
        body();
        times.push_back(std::chrono::duration<double, std::milli>(Steady::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

std::shared_ptr<SyncSecureStoring> keyringOrMemory(bool& real) {
    try {
        auto keychain = std::make_shared<KeychainSyncStore>("com.harbelleapp.Harbelle.sync.bench");
        keychain->write("probe", "x");
        keychain->remove("probe");
        real = true;
        return keychain;
    } catch (const SyncSecureStoreError&) {
        real = false;
        return std::make_shared<InMemorySyncSecureStore>();
    }
}

}  // namespace

int main() {
    SyncReferenceService service;
    service.start();
    const std::string base = service.baseURL();
    const std::string email = normalizeEmail("Bench@Example.com");
    const std::string password = "correct horse battery staple";

    // The account exists before the measured sign-ins.
    {
        HTTPSyncAPIClient client(base);
        SyncKDFParameters kdf{"pbkdf2-sha256", randomBytes(16), std::int64_t(kRegistrationIterations)};
        auto keys = deriveAccountKeys(normalizePassword(password), kdf);
        client.registerAccount({email, keys.authKey, kdf, wrapSyncKey(keys.kek, randomBytes(32), email), "Bench", "linux"});
    }

    bool realKeyring = false;
    auto secure = keyringOrMemory(realKeyring);
    SyncAccountStore accounts(secure);

    const std::string salt = randomBytes(16);
    double pbkdf2 = medianMilliseconds(7, [&] { pbkdf2Sha256(normalizePassword(password), salt, kRegistrationIterations); });

    double signIn = medianMilliseconds(7, [&] {
        HTTPSyncAPIClient client(base);
        std::string address = normalizeEmail(" bench@example.com\n");
        if (!isValidEmail(address)) std::abort();
        SyncKDFParameters kdf = client.kdf(address);
        auto keys = deriveAccountKeys(normalizePassword(password), kdf);
        auto login = client.login({address, keys.authKey, "Bench", "linux"});
        SyncSession session;
        session.baseURL = base;
        session.email = address;
        session.token = login.token;
        session.deviceID = login.deviceID;
        session.deviceName = "Bench";
        session.syncKey = unwrapSyncKey(keys.kek, login.wrappedSyncKey, address);
        deriveContentKeys(session.syncKey);
        accounts.saveSession(session);
    });

    // The same sign-in through SyncEngine: its thread, the signed-in status and the completion
    // handed back to a main queue that this thread pumps.
    std::mutex mainMutex;
    std::deque<std::function<void()>> mainQueue;
    SyncEngine engine(
        std::make_shared<SyncAccountStore>(secure),
        [](const std::string& url) { return std::make_unique<HTTPSyncAPIClient>(url); },
        [&](std::function<void()> step) {
            std::lock_guard lock(mainMutex);
            mainQueue.push_back(std::move(step));
        });
    double engineSignIn = medianMilliseconds(7, [&] {
        bool done = false;
        engine.signIn(base, " bench@example.com\n", password, "Bench", [&](std::exception_ptr error) {
            if (error) std::abort();
            done = true;
        });
        while (!done) {
            std::function<void()> step;
            {
                std::lock_guard lock(mainMutex);
                if (!mainQueue.empty()) {
                    step = std::move(mainQueue.front());
                    mainQueue.pop_front();
                }
            }
            if (step)
                step();
            else
                std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    try {
        accounts.clearSession();
    } catch (const SyncSecureStoreError&) {
    }

    // Quitting during a sign-in whose derivation runs at the maximum iterations: destroying the
    // engine (what the program does on SIGTERM) gives the derivation up between two slices.
    service.setKdfIterations(std::int64_t(kMaximumIterations));
    double quitDuringDerivation = 0;
    {
        auto kdfRequests = [&] {
            std::size_t n = 0;
            for (const auto& record : service.requestLog()) n += record.path == "/v1/kdf";
            return n;
        };
        const std::size_t before = kdfRequests();
        auto quitting = std::make_unique<SyncEngine>(
            std::make_shared<SyncAccountStore>(std::make_shared<InMemorySyncSecureStore>()),
            [](const std::string& url) { return std::make_unique<HTTPSyncAPIClient>(url); },
            [](std::function<void()>) {});
        quitting->signIn(base, email, password, "Bench", [](std::exception_ptr) {});
        while (kdfRequests() == before) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // well into PBKDF2
        const auto start = Steady::now();
        quitting.reset();
        quitDuringDerivation = std::chrono::duration<double, std::milli>(Steady::now() - start).count();
    }

    std::printf("PBKDF2-SHA256 600,000 alone: %.1f ms\n", pbkdf2);
    std::printf("sign-in (kdf, PBKDF2, login, unwrap, %s write): %.1f ms (target < 400 ms)\n",
                realKeyring ? "keyring" : "in-memory store", signIn);
    std::printf("ratio sign-in / PBKDF2: %.2f\n", signIn / pbkdf2);
    std::printf("SyncEngine::signIn, same steps, completion on the main queue: %.1f ms (target < 400 ms)\n",
                engineSignIn);
    std::printf("engine destroyed during a sign-in's 10,000,000-iteration derivation: %.1f ms (target < 1000 ms)\n",
                quitDuringDerivation);
    return signIn < 400 && engineSignIn < 400 && quitDuringDerivation < 1000 ? 0 : 1;
}
