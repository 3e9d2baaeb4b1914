// The real Secret Service inside the private session bus that x11-session.sh starts.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <array>
#include <cstdio>
#include <memory>

#include "sync/KeychainSyncStore.h"
#include "sync/SyncAccountStore.h"

namespace harbelle::sync {
namespace {

constexpr const char* kLogin = "/org/freedesktop/secrets/collection/login";

// `secret-tool lookup`: the item as an outside program sees it; nullopt when not found.
std::optional<std::string> secretToolLookup(const std::string& account) {
    std::string command = "secret-tool lookup service " + std::string(KeychainSyncStore::defaultService) + " account " +
                          account + " 2>/dev/null";
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), pclose);
    std::string out;
    std::array<char, 4096> buffer{};
    while (size_t n = fread(buffer.data(), 1, buffer.size(), pipe.get())) out.append(buffer.data(), n);
    int status = pclose(pipe.release());
    if (status != 0) return std::nullopt;
    return out;
}

GVariant* callSecrets(GDBusConnection* bus, const char* path, const char* interface, const char* method, GVariant* args) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.secrets", path, interface, method, args, nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    if (!reply) {
        ADD_FAILURE() << method << ": " << (error ? error->message : "failed");
        if (error) g_error_free(error);
    }
    return reply;
}

void setLoginLocked(bool locked) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    ASSERT_NE(bus, nullptr);
    if (locked) {
        const gchar* objects[] = {kLogin, nullptr};
        if (GVariant* r = callSecrets(bus, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "Lock",
                                      g_variant_new("(^ao)", objects)))
            g_variant_unref(r);
    } else {
        // x11-session.sh creates the keyring from `printf "\n"`: its password is one line break.
        // Unlocking without a prompter needs the daemon's own interface and a plain session
        // on this connection.
        GVariant* opened = callSecrets(bus, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "OpenSession",
                                       g_variant_new("(sv)", "plain", g_variant_new_string("")));
        ASSERT_NE(opened, nullptr);
        const gchar* session = nullptr;
        g_variant_get(opened, "(v&o)", nullptr, &session);
        GVariant* secret = g_variant_new("(o@ay@ays)", session, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
                                         g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "\n", 1, 1), "text/plain");
        if (GVariant* r = callSecrets(bus, "/org/freedesktop/secrets", "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
                                      "UnlockWithMasterPassword", g_variant_new("(o@(oayays))", kLogin, secret)))
            g_variant_unref(r);
        g_variant_unref(opened);
    }
    g_object_unref(bus);
}

SyncSession session(const std::string& token) {
    SyncSession s;
    s.baseURL = "http://127.0.0.1:1/";
    s.email = "keyring@example.com";
    s.token = token;
    s.deviceID = "device";
    s.syncKey = std::string(32, 'k');
    return s;
}

TEST(KeychainSyncStoreX11Test, OutsideToolSeesTheItemUntilItIsRemoved) {
    auto keychain = std::make_shared<KeychainSyncStore>();
    SyncAccountStore store(keychain);
    store.saveSession(session("first"));
    auto seen = secretToolLookup("session");
    ASSERT_TRUE(seen.has_value());
    EXPECT_NE(seen->find("\"token\":\"first\""), std::string::npos);
    store.saveSession(session("second"));  // replaces, never duplicates
    EXPECT_EQ(store.loadSession()->token, "second");
    store.clearSession();
    EXPECT_EQ(secretToolLookup("session"), std::nullopt);
    EXPECT_EQ(store.loadSession(), std::nullopt);
    EXPECT_NO_THROW(store.clearSession());
}

TEST(KeychainSyncStoreX11Test, LockedCollectionIsAnErrorAndLeavesTheItemAlone) {
    auto keychain = std::make_shared<KeychainSyncStore>();
    SyncAccountStore store(keychain);
    store.saveSession(session("kept"));
    setLoginLocked(true);
    // Later tests share this keyring: unlock it whatever happens here.
    struct Unlock {
        ~Unlock() { setLoginLocked(false); }
    } unlockAtEnd;
    EXPECT_THROW(store.loadSession(), SyncSecureStoreError);
    EXPECT_THROW(store.saveSession(session("overwritten")), SyncSessionStorageError);
    EXPECT_THROW(store.clearSession(), SyncSecureStoreError);
    EXPECT_THROW(keychain->read("session"), SyncSecureStoreError);
    EXPECT_THROW(store.requireSessionStorage(), SyncKeyringUnavailableError);
    setLoginLocked(false);
    EXPECT_NO_THROW(store.requireSessionStorage());
    auto kept = store.loadSession();
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->token, "kept");
    store.clearSession();
}

// Where no account can be stored, or none is stored behind a locked keyring, there is nothing
// to read and nothing to report; a sign-in still fails there, with its own message.
TEST(KeychainSyncStoreX11Test, AKeyringWithoutTheAccountReadsAsNoAccount) {
    SyncAccountStore store(std::make_shared<KeychainSyncStore>());
    if (qEnvironmentVariableIsSet("HARBELLE_FRESH_BUS")) {
        EXPECT_NO_THROW(EXPECT_EQ(store.loadSession(), std::nullopt));
        EXPECT_THROW(store.saveSession(session("unstorable")), SyncSessionStorageError);
        EXPECT_THROW(store.requireSessionStorage(), SyncKeyringUnavailableError) << "known before any request";
        return;
    }
    // This test again, on a bus of its own where the keyring service starts on demand for a
    // user who never had a keyring: it has no default collection.
    QTemporaryDir data;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HARBELLE_FRESH_BUS"), QStringLiteral("1"));
    // Its own folders too, or the service started there finds this session's and defers to it.
    for (const char* folder : {"XDG_DATA_HOME", "XDG_RUNTIME_DIR"}) environment.insert(QLatin1String(folder), data.path());
    environment.remove(QStringLiteral("GNOME_KEYRING_CONTROL"));
    QProcess fresh;
    fresh.setProcessEnvironment(environment);
    fresh.setProcessChannelMode(QProcess::MergedChannels);
    fresh.start(QStringLiteral("dbus-run-session"),
                {QStringLiteral("--"), QCoreApplication::applicationFilePath(),
                 QStringLiteral("--gtest_filter=KeychainSyncStoreX11Test.AKeyringWithoutTheAccountReadsAsNoAccount")});
    ASSERT_TRUE(fresh.waitForFinished(60000));
    EXPECT_EQ(fresh.exitCode(), 0) << fresh.readAll().toStdString();

    store.clearSession();
    setLoginLocked(true);
    EXPECT_NO_THROW(EXPECT_EQ(store.loadSession(), std::nullopt)) << "locked without the item";
    setLoginLocked(false);
}

}  // namespace
}  // namespace harbelle::sync
