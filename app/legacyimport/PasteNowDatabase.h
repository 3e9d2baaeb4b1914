#pragma once

#include <atomic>
#include <filesystem>

struct sqlite3;

namespace harbelle {

// A read-only connection to a private copy of the outside database. Opening the original, even
// read-only, would make SQLite create a shared-memory file beside it; so the database and its
// write-ahead log (never the shared-memory file) are copied into a new 0700 folder of ours,
// which goes away with this object. The copy is opened defensively: the expected tables must be
// plain tables, schema code is untrusted, and every query step watches `cancel`.
class PasteNowDatabase {
public:
    // Throws ImportError (openDatabase) with the reason.
    PasteNowDatabase(const std::filesystem::path& databaseFile, const std::filesystem::path& cacheFolder,
                     const std::atomic<bool>* cancel);
    ~PasteNowDatabase();
    PasteNowDatabase(const PasteNowDatabase&) = delete;
    PasteNowDatabase& operator=(const PasteNowDatabase&) = delete;

    sqlite3* handle() const { return db_; }

private:
    void close();

    std::filesystem::path copyFolder_;
    sqlite3* db_ = nullptr;
};

}  // namespace harbelle
