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

enum class DefaultCollection { absent, locked, unlocked };

// The state of the default collection, read without unlocking it: libsecret would otherwise
// prompt, and answer "not found" for an item behind a locked keyring. A session without any
// Secret Service counts as absent; other failures throw.
DefaultCollection defaultCollection() {
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    if (!service) {
        if (error) g_error_free(error);
        return DefaultCollection::absent;
    }
    SecretCollection* collection =
        secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    g_object_unref(service);
    if (error) fail("The keyring could not be read", error);
    // A service started on demand without a login keyring has no default collection.
    if (!collection) return DefaultCollection::absent;
    const bool locked = secret_collection_get_locked(collection);
    g_object_unref(collection);
    return locked ? DefaultCollection::locked : DefaultCollection::unlocked;
}

// Writing and removing need the default collection, unlocked.
void requireUnlockedDefaultCollection() {
    switch (defaultCollection()) {
    case DefaultCollection::absent: throw SyncSecureStoreError("The keyring has no default collection");
    case DefaultCollection::locked: throw SyncSecureStoreError("The keyring is locked.");
    case DefaultCollection::unlocked: return;
    }
}

// Whether a locked keyring holds the item: the service matches the attributes of locked items
// without unlocking them.
bool lockedItemExists(const std::string& service, const std::string& account) {
    GError* error = nullptr;
    GList* items = secret_password_search_sync(schema(), SECRET_SEARCH_ALL, nullptr, &error, "service",
                                               service.c_str(), "account", account.c_str(), nullptr);
    if (error) fail("The keyring could not be searched", error);
    const bool found = items != nullptr;
    g_list_free_full(items, g_object_unref);
    return found;
}

}  // namespace

KeychainSyncStore::KeychainSyncStore(std::string service) : service_(std::move(service)) {}

KeychainSyncStore::~KeychainSyncStore() = default;

std::optional<std::string> KeychainSyncStore::read(const std::string& account) {
    switch (defaultCollection()) {
    // Nothing of ours can be stored without a default collection.
    case DefaultCollection::absent: return std::nullopt;
    // Locked is an error only when there is something to read behind it.
    case DefaultCollection::locked:
        if (!lockedItemExists(service_, account)) return std::nullopt;
        throw SyncSecureStoreError("The keyring is locked.");
    case DefaultCollection::unlocked: break;
    }
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

void KeychainSyncStore::checkWritable() { requireUnlockedDefaultCollection(); }

void KeychainSyncStore::remove(const std::string& account) {
    requireUnlockedDefaultCollection();
    GError* error = nullptr;
    secret_password_clear_sync(schema(), nullptr, &error, "service", service_.c_str(), "account", account.c_str(), nullptr);
    if (error) fail("The keyring item could not be removed", error);
}

}  // namespace harbelle::sync
