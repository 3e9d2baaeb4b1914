#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace harbelle::sync {

// The keyring could not be read or written (locked, no service, no bus).
class SyncSecureStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Secret items of one service, keyed by account name. A read answers nullopt only when the
// item truly does not exist; every other failure throws SyncSecureStoreError.
class SyncSecureStoring {
public:
    virtual ~SyncSecureStoring() = default;
    virtual std::optional<std::string> read(const std::string& account) = 0;
    virtual void write(const std::string& account, const std::string& data) = 0;
    // Removing an absent item is not an error.
    virtual void remove(const std::string& account) = 0;
    // Throws SyncSecureStoreError, saying why, when a write could not be kept now (no keyring
    // service, none to write into, locked). Changes nothing and never prompts.
    virtual void checkWritable() {}
};

}  // namespace harbelle::sync
