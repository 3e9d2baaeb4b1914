// Unit tests run without a session bus, as on a desktop without any keyring service.
#include <gtest/gtest.h>

#include "sync/KeychainSyncStore.h"

namespace harbelle::sync {
namespace {

TEST(KeychainSyncStoreTest, WithoutAKeyringServiceNoAccountIsStoredAndSavingFails) {
    KeychainSyncStore keychain("com.harbelleapp.Harbelle.sync.unit");
    EXPECT_EQ(keychain.read("session"), std::nullopt);
    EXPECT_THROW(keychain.write("session", "{}"), SyncSecureStoreError);
    EXPECT_THROW(keychain.checkWritable(), SyncSecureStoreError) << "known before anything is asked of the service";
}

}  // namespace
}  // namespace harbelle::sync
