#pragma once

#include <memory>
#include <string>

#include "sync/HTTPSyncAPIClient.h"
#include "sync/SyncCrypto.h"
#include "sync/SyncReferenceService.h"
#include "sync/SyncText.h"

namespace harbelle::sync::testing {

// A reference service on a free loopback port and an account made through the real client.
struct RegisteredAccount {
    std::string email;
    std::string password;
    std::string token;
    std::string syncKey;
};

inline RegisteredAccount registerAccount(HTTPSyncAPIClient& client, const std::string& email,
                                         const std::string& password = "correct horse battery") {
    std::string normalized = normalizeEmail(email);
    SyncKDFParameters kdf{"pbkdf2-sha256", randomBytes(16), 600'000};
    auto keys = deriveAccountKeys(normalizePassword(password), kdf);
    std::string syncKey = randomBytes(32);
    auto answer = client.registerAccount(
        {normalized, keys.authKey, kdf, wrapSyncKey(keys.kek, syncKey, normalized), "Test device", "linux"});
    return {normalized, password, answer.token, syncKey};
}

}  // namespace harbelle::sync::testing
