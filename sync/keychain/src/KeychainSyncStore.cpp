#include "sync/KeychainSyncStore.h"

#include <libsecret/secret.h>

namespace harbelle::sync {

namespace {

const SecretSchema* schema() {
    static const SecretSchema value = {
        "com.harbelleapp.Harbelle.sync",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, SecretSchemaAttributeType(0)}},
    };
    return &value;
}

[[noreturn]] void fail(const std::string& what, GError* error) {
    std::string message = what;
    if (error) {
        message += ": ";
        message += error->message;
        g_error_free(error);
    }
    throw SyncSecureStoreError(message);
}

// The default collection, unlocked; anything else throws. Checking first keeps libsecret from
// prompting (and from answering "not found" for an item behind a locked keyring). With
// `noServiceIsEmpty`, a session without any Secret Service answers false instead of throwing.
bool requireUnlockedDefaultCollection(bool noServiceIsEmpty = false) {
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    if (!service && noServiceIsEmpty) {
        if (error) g_error_free(error);
        return false;
    }
    if (!service) fail("The Secret Service is not available", error);
    SecretCollection* collection =
        secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    g_object_unref(service);
    if (!collection) fail("The keyring has no default collection", error);
    bool locked = secret_collection_get_locked(collection);
    g_object_unref(collection);
    if (locked) throw SyncSecureStoreError("The keyring is locked.");
    return true;
}

}  // namespace

KeychainSyncStore::KeychainSyncStore(std::string service) : service_(std::move(service)) {}

KeychainSyncStore::~KeychainSyncStore() = default;

std::optional<std::string> KeychainSyncStore::read(const std::string& account) {
    // A desktop without a keyring service holds no account: nothing could have been stored.
    if (!requireUnlockedDefaultCollection(true)) return std::nullopt;
    GError* error = nullptr;
    gchar* secret = secret_password_lookup_sync(schema(), nullptr, &error, "service", service_.c_str(), "account",
                                                account.c_str(), nullptr);
    if (error) fail("The keyring could not be read", error);
    if (!secret) return std::nullopt;
    std::string value(secret);
    secret_password_free(secret);
    return value;
}

void KeychainSyncStore::write(const std::string& account, const std::string& data) {
    requireUnlockedDefaultCollection();
    GError* error = nullptr;
    std::string label = "Harbelle sync (" + account + ")";
    gboolean stored = secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), data.c_str(), nullptr,
                                                 &error, "service", service_.c_str(), "account", account.c_str(), nullptr);
    if (!stored || error) fail("The keyring could not be written", error);
}

void KeychainSyncStore::remove(const std::string& account) {
    requireUnlockedDefaultCollection();
    GError* error = nullptr;
    secret_password_clear_sync(schema(), nullptr, &error, "service", service_.c_str(), "account", account.c_str(), nullptr);
    if (error) fail("The keyring item could not be removed", error);
}

}  // namespace harbelle::sync
