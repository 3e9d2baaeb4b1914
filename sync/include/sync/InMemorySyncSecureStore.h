#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "sync/SyncSecureStoring.h"

namespace harbelle::sync {

// A secure store in memory, for tests and benchmarks; can act locked.
class InMemorySyncSecureStore final : public SyncSecureStoring {
public:
    std::optional<std::string> read(const std::string& account) override;
    void write(const std::string& account, const std::string& data) override;
    void remove(const std::string& account) override;
    void checkWritable() override;

    // While locked every call throws, as a locked keyring does.
    void setLocked(bool locked);
    std::map<std::string, std::string> items() const;
    int writeCount() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> items_;
    bool locked_ = false;
    int writes_ = 0;
};

}  // namespace harbelle::sync
