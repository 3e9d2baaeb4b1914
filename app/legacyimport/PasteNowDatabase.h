#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>

struct sqlite3;

namespace harbelle {

// A connection to a private copy of the outside database. Opening the original, even read-only,
// would make SQLite create a shared-memory file beside it, or roll a hot journal back there; so
// the database, its write-ahead log and its rollback journal (never the shared-memory file) are
// copied into a new 0700 folder of ours, which goes away with this object. The copy is opened
// read-write so that a journal is rolled back in it, then made query-only. Defensively: the
// expected tables must be plain tables of stored columns, schema code is untrusted, and every
// query step watches `cancel`.
class PasteNowDatabase {
public:
    // Throws ImportError (openDatabase) with the reason. Past `deadline` every step fails.
    PasteNowDatabase(const std::filesystem::path& databaseFile, const std::filesystem::path& cacheFolder,
                     const std::atomic<bool>* cancel,
                     std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
    ~PasteNowDatabase();
    PasteNowDatabase(const PasteNowDatabase&) = delete;
    PasteNowDatabase& operator=(const PasteNowDatabase&) = delete;

    sqlite3* handle() const { return db_; }

private:
    void close();
    static int checkStop(void* self);

    const std::atomic<bool>* cancel_;
    std::chrono::steady_clock::time_point deadline_;
    std::filesystem::path copyFolder_;
    sqlite3* db_ = nullptr;
};

}  // namespace harbelle
