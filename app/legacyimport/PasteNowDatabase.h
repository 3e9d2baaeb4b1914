#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

struct sqlite3;

namespace harbelle {

// A connection to a private copy of the outside database. Opening the original, even read-only,
// would make SQLite create a shared-memory file beside it, or roll a hot journal back there; so
// the database, its write-ahead log and its rollback journal (never the shared-memory file) are
// copied into a new 0700 folder of ours, which goes away with this object. The copy is opened
// read-write so that a journal is rolled back in it, then made query-only. Defensively: the
// expected tables must be plain tables of stored columns, schema code is untrusted, and every
// query step watches `cancel`. The copy is a consistent snapshot: copied again when any of the
// files changed while it was read, and checked for damage before a row is read.
class PasteNowDatabase {
public:
    // Throws ImportError (openDatabase) with the reason; overBudget for files that are mostly
    // holes or together larger than `mostCopiedBytes`. Past `deadline` every step fails.
    // `afterDatabaseFile` runs in each copy, between the database file and its log.
    PasteNowDatabase(const std::filesystem::path& databaseFile, const std::filesystem::path& cacheFolder,
                     const std::atomic<bool>* cancel,
                     std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max(),
                     std::uint64_t mostCopiedBytes = std::uint64_t{2} << 30,
                     const std::function<void()>& afterDatabaseFile = {});
    ~PasteNowDatabase();
    PasteNowDatabase(const PasteNowDatabase&) = delete;
    PasteNowDatabase& operator=(const PasteNowDatabase&) = delete;

    // The database's files as they are now (identity, size, time, each of the database, its
    // log and its journal): a run stopped by a budget is tried again only once this changes.
    static std::string signature(const std::filesystem::path& databaseFile);

    sqlite3* handle() const { return db_; }
    // What the private copy wrote.
    std::uint64_t copiedBytes() const { return copiedBytes_; }

private:
    void close();
    static int checkStop(void* self);

    const std::atomic<bool>* cancel_;
    std::chrono::steady_clock::time_point deadline_;
    std::filesystem::path copyFolder_;
    sqlite3* db_ = nullptr;
    std::uint64_t copiedBytes_ = 0;
};

}  // namespace harbelle
