#include "sync/KeychainSyncStore.h"

#include <libsecret/secret.h>

#include <dlfcn.h>

#include "sync/LibrarySymbols.h"

namespace harbelle::sync {

namespace {

// libsecret is opened on the first use of the keyring instead of linked: with GIO, libmount and
// libgcrypt it kept over a megabyte resident in a program that may never sign in to sync. The
// GLib calls are taken from it too (its own dependencies), so this file links neither.
struct SecretLibrary {
    decltype(&::secret_service_get_sync) serviceGet = nullptr;
    decltype(&::secret_collection_for_alias_sync) collectionForAlias = nullptr;
    decltype(&::secret_collection_get_locked) collectionLocked = nullptr;
    decltype(&::secret_password_search_sync) search = nullptr;
    decltype(&::secret_password_lookup_sync) lookup = nullptr;
    decltype(&::secret_password_free) freePassword = nullptr;
    decltype(&::secret_password_store_sync) store = nullptr;
    decltype(&::secret_password_clear_sync) clear = nullptr;
    decltype(&::g_error_free) freeError = nullptr;
    decltype(&::g_object_unref) unref = nullptr;
    decltype(&::g_list_free_full) freeList = nullptr;
    std::string error;  // empty once opened

    static SecretLibrary open() {
        SecretLibrary library;
        void* handle = ::dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* reason = ::dlerror();
            library.error = reason ? reason : "libsecret-1.so.0 was not found";
            return library;
        }
        std::string missing;
        if (resolveSymbol(handle, "secret_service_get_sync", library.serviceGet, missing) &&
            resolveSymbol(handle, "secret_collection_for_alias_sync", library.collectionForAlias, missing) &&
            resolveSymbol(handle, "secret_collection_get_locked", library.collectionLocked, missing) &&
            resolveSymbol(handle, "secret_password_search_sync", library.search, missing) &&
            resolveSymbol(handle, "secret_password_lookup_sync", library.lookup, missing) &&
            resolveSymbol(handle, "secret_password_free", library.freePassword, missing) &&
            resolveSymbol(handle, "secret_password_store_sync", library.store, missing) &&
            resolveSymbol(handle, "secret_password_clear_sync", library.clear, missing) &&
            resolveSymbol(handle, "g_error_free", library.freeError, missing) &&
            resolveSymbol(handle, "g_object_unref", library.unref, missing) &&
            resolveSymbol(handle, "g_list_free_full", library.freeList, missing))
            return library;
        ::dlclose(handle);
        SecretLibrary refused;
        refused.error = "libsecret-1.so.0 has no " + missing;
        return refused;
    }
};

// The process's keyring library, opened on the first call; a library that cannot be opened is
// an error of every keyring call.
const SecretLibrary& secret() {
    static const SecretLibrary library = SecretLibrary::open();
    if (!library.error.empty()) throw SyncSecureStoreError("The keyring library could not be loaded: " + library.error);
    return library;
}

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
        secret().freeError(error);
    }
    throw SyncSecureStoreError(message);
}

enum class DefaultCollection { absent, locked, unlocked };

// The state of the default collection, read without unlocking it: libsecret would otherwise
// prompt, and answer "not found" for an item behind a locked keyring. A session without any
// Secret Service counts as absent; other failures throw.
DefaultCollection defaultCollection() {
    const SecretLibrary& library = secret();
    GError* error = nullptr;
    SecretService* service = library.serviceGet(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    if (!service) {
        if (error) library.freeError(error);
        return DefaultCollection::absent;
    }
    SecretCollection* collection =
        library.collectionForAlias(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    library.unref(service);
    if (error) fail("The keyring could not be read", error);
    // A service started on demand without a login keyring has no default collection.
    if (!collection) return DefaultCollection::absent;
    const bool locked = library.collectionLocked(collection);
    library.unref(collection);
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
    const SecretLibrary& library = secret();
    GList* items = library.search(schema(), SECRET_SEARCH_ALL, nullptr, &error, "service", service.c_str(), "account",
                                  account.c_str(), nullptr);
    if (error) fail("The keyring could not be searched", error);
    const bool found = items != nullptr;
    library.freeList(items, library.unref);
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
    gchar* password = secret().lookup(schema(), nullptr, &error, "service", service_.c_str(), "account",
                                      account.c_str(), nullptr);
    if (error) fail("The keyring could not be read", error);
    if (!password) return std::nullopt;
    std::string value(password);
    secret().freePassword(password);
    return value;
}

void KeychainSyncStore::write(const std::string& account, const std::string& data) {
    requireUnlockedDefaultCollection();
    GError* error = nullptr;
    std::string label = "Harbelle sync (" + account + ")";
    gboolean stored = secret().store(schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), data.c_str(), nullptr, &error,
                                     "service", service_.c_str(), "account", account.c_str(), nullptr);
    if (!stored || error) fail("The keyring could not be written", error);
}

void KeychainSyncStore::checkWritable() { requireUnlockedDefaultCollection(); }

void KeychainSyncStore::remove(const std::string& account) {
    requireUnlockedDefaultCollection();
    GError* error = nullptr;
    secret().clear(schema(), nullptr, &error, "service", service_.c_str(), "account", account.c_str(), nullptr);
    if (error) fail("The keyring item could not be removed", error);
}

}  // namespace harbelle::sync
