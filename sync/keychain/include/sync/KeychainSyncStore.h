#pragma once

#include <memory>
#include <optional>
#include <string>

#include "sync/SyncSecureStoring.h"

namespace harbelle::sync {

// Secret items in the Secret Service (the login keyring), attributes "service" and "account".
// A locked collection holding the item is an error, never an absent item; a locked collection
// without it reads as empty. A session without any Secret Service or without a default
// collection reads as empty (nothing can be stored there) and cannot be written.
class KeychainSyncStore final : public SyncSecureStoring {
public:
    static constexpr const char* defaultService = "com.harbelleapp.Harbelle.sync.production";

    explicit KeychainSyncStore(std::string service = defaultService);
    ~KeychainSyncStore() override;

    std::optional<std::string> read(const std::string& account) override;
    void write(const std::string& account, const std::string& data) override;
    void remove(const std::string& account) override;
    void checkWritable() override;

    const std::string& service() const { return service_; }

private:
    std::string service_;
};

}  // namespace harbelle::sync
