#include "legacyimport/PasteNowDatabase.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#include "history/HistoryFiles.h"
#include "legacyimport/LegacyArchive.h"

namespace harbelle {

namespace {

namespace fs = std::filesystem;

struct Descriptor {
    int fd = -1;
    explicit Descriptor(int f) : fd(f) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

[[noreturn]] void failOpen(const std::string& why) { throw ImportError(ImportError::Code::openDatabase, why); }

bool cancelled(const std::atomic<bool>* cancel) { return cancel && cancel->load(std::memory_order_relaxed); }

// Copies a regular file (no symbolic link, no device) into a new 0600 file. False when the
// source does not exist; throws on any other failure.
bool copyOutsideFile(const fs::path& source, const fs::path& destination, const std::atomic<bool>* cancel) {
    Descriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK));
    if (in.fd < 0) {
        if (errno == ENOENT) return false;
        failOpen("cannot open " + source.filename().string());
    }
    struct stat info {};
    if (::fstat(in.fd, &info) != 0 || !S_ISREG(info.st_mode)) failOpen(source.filename().string() + " is not a file");
    Descriptor out(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (out.fd < 0) failOpen("cannot create the private copy");
    std::vector<char> buffer(1 << 20);
    for (;;) {
        if (cancelled(cancel)) throw ImportError(ImportError::Code::cancelled, "cancelled");
        const ssize_t got = ::read(in.fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) failOpen("cannot read " + source.filename().string());
        if (got == 0) break;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out.fd, buffer.data() + done, std::size_t(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) failOpen("cannot write the private copy");
            done += put;
        }
    }
    return true;
}

int checkCancel(void* flag) { return cancelled(static_cast<const std::atomic<bool>*>(flag)) ? 1 : 0; }

}  // namespace

PasteNowDatabase::PasteNowDatabase(const fs::path& databaseFile, const fs::path& cacheFolder,
                                   const std::atomic<bool>* cancel) {
    if (!historyfiles::makeDirectories(cacheFolder)) failOpen("cannot create the cache folder");
    std::string pattern = (cacheFolder / "pastenow-import-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) failOpen("cannot create the private folder");  // 0700
    copyFolder_ = pattern;
    try {
        const fs::path copy = copyFolder_ / databaseFile.filename();
        if (!copyOutsideFile(databaseFile, copy, cancel)) failOpen("no database");
        // The log holds the newest rows; the shared-memory index is rebuilt from it.
        copyOutsideFile(fs::path(databaseFile.string() + "-wal"), fs::path(copy.string() + "-wal"), cancel);

        // Only the run's own thread uses the connection: no locking on every call.
        if (sqlite3_open_v2(copy.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK ||
            !db_) {
            failOpen(db_ ? sqlite3_errmsg(db_) : "out of memory");
        }
        sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
        sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
        sqlite3_progress_handler(db_, 1000, checkCancel, const_cast<std::atomic<bool>*>(cancel));
        sqlite3_exec(db_, "PRAGMA query_only=ON", nullptr, nullptr, nullptr);

        // The three names must be ordinary tables: a view or virtual table could run anything.
        static constexpr const char* kSchemaCheck =
            "SELECT count(*) FROM sqlite_schema WHERE type = 'table' "
            "AND name IN ('ZPASTEITEM', 'ZPASTEITEMDATA', 'ZAPPLICATION') "
            "AND sql NOT LIKE 'CREATE VIRTUAL%'";
        sqlite3_stmt* check = nullptr;
        int tables = 0;
        if (sqlite3_prepare_v2(db_, kSchemaCheck, -1, &check, nullptr) == SQLITE_OK && check &&
            sqlite3_step(check) == SQLITE_ROW) {
            tables = sqlite3_column_int(check, 0);
        }
        const std::string message = sqlite3_errmsg(db_);
        sqlite3_finalize(check);
        if (cancelled(cancel)) throw ImportError(ImportError::Code::cancelled, "cancelled");
        if (tables != 3) failOpen(tables == 0 && message != "not an error" ? message : "unexpected schema");
    } catch (...) {
        close();
        throw;
    }
}

PasteNowDatabase::~PasteNowDatabase() { close(); }

void PasteNowDatabase::close() {
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
    if (!copyFolder_.empty()) {
        std::error_code error;
        fs::remove_all(copyFolder_, error);
        copyFolder_.clear();
    }
}

}  // namespace harbelle
