#include "legacyimport/PasteNowDatabase.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
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

// What a file looked like: a copy is consistent only if every file of the database looked the
// same before and after it was read. The log's header changes its salts when a checkpoint
// restarts it, even within one tick of the file-system clock.
struct FileState {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    blkcnt_t blocks = 0;
    timespec modified{}, changed{};
    std::array<unsigned char, 32> header{};
    bool operator==(const FileState& o) const {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec && header == o.header;
    }
};

FileState stateOf(const fs::path& path) {
    FileState state;
    Descriptor in(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat info {};
    if (in.fd < 0 || ::fstat(in.fd, &info) != 0) return state;
    state.exists = true;
    state.device = info.st_dev;
    state.inode = info.st_ino;
    state.size = info.st_size;
    state.blocks = info.st_blocks;
    state.modified = info.st_mtim;
    state.changed = info.st_ctim;
    if (S_ISREG(info.st_mode)) (void)!::pread(in.fd, state.header.data(), state.header.size(), 0);
    return state;
}

// A database's files: the database, its log and its journal.
std::array<fs::path, 3> filesOf(const fs::path& database) {
    return {database, fs::path(database.string() + "-wal"), fs::path(database.string() + "-journal")};
}

// A file far larger than the disk space it takes is mostly holes: nothing SQLite writes looks so
// (compressing file systems save less than this), and copying it would write its holes out.
bool isSparse(const FileState& state) {
    constexpr off_t kSmall = 16 << 20;
    return state.size > kSmall && std::uint64_t(state.blocks) * 512 < std::uint64_t(state.size) / 4;
}

// Copies a regular file (a link is followed: only reading goes through it; no device, no FIFO)
// into a new 0600 file, at most `most` bytes. False when the source does not exist; throws on any
// other failure.
bool copyOutsideFile(const fs::path& source, const fs::path& destination, const std::atomic<bool>* cancel,
                     std::uint64_t most, std::uint64_t& copied) {
    Descriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (in.fd < 0) {
        if (errno == ENOENT) return false;
        failOpen("cannot open " + source.filename().string());
    }
    struct stat info {};
    if (::fstat(in.fd, &info) != 0 || !S_ISREG(info.st_mode)) failOpen(source.filename().string() + " is not a file");
    Descriptor out(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (out.fd < 0) failOpen("cannot create the private copy");
    // File to file in the kernel while it can: no buffer of ours filled and emptied again.
    constexpr std::size_t kPiece = 1 << 20;
    bool inKernel = true;
    std::vector<char> buffer;
    for (;;) {
        if (cancelled(cancel)) throw ImportError(ImportError::Code::cancelled, "cancelled");
        const std::uint64_t allowed = most - std::min(most, copied);
        const ssize_t got =
            inKernel ? ::copy_file_range(in.fd, nullptr, out.fd, nullptr,
                                         std::size_t(std::min<std::uint64_t>(kPiece, allowed + 1)), 0)
                     : ::read(in.fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && inKernel &&
            (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EPERM)) {
            // Not between these two files: the rest goes through a buffer, from where it stopped.
            inKernel = false;
            buffer.resize(kPiece);
            continue;
        }
        if (got < 0) failOpen("cannot read " + source.filename().string());
        if (got == 0) break;
        // Grown while it is read: never more than was allowed for.
        if (std::uint64_t(got) > allowed)
            throw ImportError(ImportError::Code::overBudget,
                              "the old database is larger than " + legacyarchive::describedSize(most));
        for (ssize_t done = inKernel ? got : 0; done < got;) {
            const ssize_t put = ::write(out.fd, buffer.data() + done, std::size_t(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) failOpen("cannot write the private copy");
            done += put;
        }
        copied += std::uint64_t(got);
    }
    return true;
}

// A rollback journal that names a super-journal would have SQLite read, and perhaps delete, that
// other file while rolling back: Core Data never writes one, so such a journal is refused.
bool namesSuperJournal(const fs::path& journal) {
    static constexpr unsigned char kJournalMagic[8] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
    Descriptor in(::open(journal.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat info {};
    if (in.fd < 0 || ::fstat(in.fd, &info) != 0) return false;
    if (info.st_size < 16) return false;
    unsigned char tail[8];
    if (::pread(in.fd, tail, sizeof tail, info.st_size - 8) != ssize_t(sizeof tail)) return true;
    return std::memcmp(tail, kJournalMagic, sizeof tail) == 0;
}

// Tables whose columns are all stored: a generated or hidden column would be computed on every
// read, a value of any size from a few bytes of schema.
bool hasOnlyStoredColumns(sqlite3* db, const char* table) {
    sqlite3_stmt* info = nullptr;
    const std::string sql = std::string("SELECT count(*), sum(hidden <> 0) FROM pragma_table_xinfo('") + table + "')";
    bool ok = false;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &info, nullptr) == SQLITE_OK && info &&
        sqlite3_step(info) == SQLITE_ROW)
        ok = sqlite3_column_int(info, 0) > 0 && sqlite3_column_int(info, 1) == 0;
    sqlite3_finalize(info);
    return ok;
}

bool passesQuickCheck(sqlite3* db) {
    sqlite3_stmt* check = nullptr;
    bool ok = sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &check, nullptr) == SQLITE_OK && check &&
              sqlite3_step(check) == SQLITE_ROW && sqlite3_column_type(check, 0) == SQLITE_TEXT &&
              std::strcmp(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok") == 0;
    sqlite3_finalize(check);
    return ok;
}

}  // namespace


std::string PasteNowDatabase::signature(const fs::path& databaseFile) {
    std::string out;
    for (const fs::path& file : filesOf(databaseFile)) {
        const FileState state = stateOf(file);
        if (!state.exists) {
            out += "-;";
            continue;
        }
        out += std::to_string(state.inode) + ":" + std::to_string(state.size) + ":" +
               std::to_string(state.modified.tv_sec) + "." + std::to_string(state.modified.tv_nsec) + ";";
    }
    return out;
}

PasteNowDatabase::PasteNowDatabase(const fs::path& databaseFile, const fs::path& cacheFolder,
                                   const std::atomic<bool>* cancel, std::chrono::steady_clock::time_point deadline,
                                   std::uint64_t mostCopiedBytes, const std::function<void()>& afterDatabaseFile)
    : cancel_(cancel), deadline_(deadline) {
    if (!historyfiles::makeDirectories(cacheFolder)) failOpen("cannot create the cache folder");
    std::string pattern = (cacheFolder / "pastenow-import-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) failOpen("cannot create the private folder");  // 0700
    copyFolder_ = pattern;
    try {
        // Through a link, the log and the journal lie beside the file it names, as SQLite
        // finds them.
        std::error_code error;
        fs::path source = fs::canonical(databaseFile, error);
        if (error) source = databaseFile;
        const fs::path copy = copyFolder_ / databaseFile.filename();
        const fs::path journal(copy.string() + "-journal");
        const std::array<fs::path, 3> sources = filesOf(source);
        const std::array<fs::path, 3> copies{copy, fs::path(copy.string() + "-wal"), journal};
        const auto states = [&] {
            std::array<FileState, 3> all;
            for (std::size_t i = 0; i < all.size(); ++i) all[i] = stateOf(sources[i]);
            return all;
        };
        // The outside program may write while the files are read (a checkpoint moves the log into
        // the database and starts the log again): a copy is kept only when nothing changed.
        constexpr int kAttempts = 5;
        for (int attempt = 1;; ++attempt) {
            const auto before = states();
            std::uint64_t total = 0;
            for (const auto& state : before) {
                if (isSparse(state))
                    throw ImportError(ImportError::Code::overBudget, "the old database files are mostly empty space");
                total += std::uint64_t(std::max<off_t>(state.size, 0));
            }
            if (total > mostCopiedBytes)
                throw ImportError(ImportError::Code::overBudget,
                                  "the old database is larger than " + legacyarchive::describedSize(mostCopiedBytes));
            copiedBytes_ = 0;
            if (!copyOutsideFile(sources[0], copies[0], cancel, mostCopiedBytes, copiedBytes_)) failOpen("no database");
            if (afterDatabaseFile) afterDatabaseFile();
            // The log holds the newest rows; the shared-memory index is rebuilt from it.
            copyOutsideFile(sources[1], copies[1], cancel, mostCopiedBytes, copiedBytes_);
            // A journal left by a writer that died mid-transaction: rolled back in the copy, so
            // only committed rows are read.
            copyOutsideFile(sources[2], copies[2], cancel, mostCopiedBytes, copiedBytes_);
            if (states() == before) break;
            for (const auto& path : copies) ::unlink(path.c_str());
            if (attempt == kAttempts) failOpen("the database kept changing while it was copied");
        }
        if (fs::exists(journal) && namesSuperJournal(journal)) failOpen("the journal names another file");

        // Read-write, so that SQLite can roll a hot journal back; everything it writes is in
        // the private folder. Only the run's own thread uses the connection: no locking.
        if (sqlite3_open_v2(copy.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK ||
            !db_) {
            failOpen(db_ ? sqlite3_errmsg(db_) : "out of memory");
        }
        sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
        // The copy is thrown away: folding its log in at the close would be wasted writing.
        sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
        sqlite3_progress_handler(db_, 1000, checkStop, this);
        // The first read rolls a hot journal back; then nothing more is written.
        sqlite3_exec(db_, "PRAGMA schema_version", nullptr, nullptr, nullptr);
        sqlite3_exec(db_, "PRAGMA query_only=ON", nullptr, nullptr, nullptr);

        // The three names must be ordinary tables of stored columns, without triggers: a view,
        // virtual table or generated column could compute anything on a read.
        static constexpr const char* kSchemaCheck =
            "SELECT (SELECT count(*) FROM sqlite_schema WHERE type = 'table' "
            "AND name IN ('ZPASTEITEM', 'ZPASTEITEMDATA', 'ZAPPLICATION') "
            "AND sql NOT LIKE 'CREATE VIRTUAL%'), "
            "(SELECT count(*) FROM sqlite_schema WHERE type IN ('trigger', 'view') "
            "AND (tbl_name IN ('ZPASTEITEM', 'ZPASTEITEMDATA', 'ZAPPLICATION') "
            "OR name IN ('ZPASTEITEM', 'ZPASTEITEMDATA', 'ZAPPLICATION')))";
        sqlite3_stmt* check = nullptr;
        int tables = 0, others = 0;
        if (sqlite3_prepare_v2(db_, kSchemaCheck, -1, &check, nullptr) == SQLITE_OK && check &&
            sqlite3_step(check) == SQLITE_ROW) {
            tables = sqlite3_column_int(check, 0);
            others = sqlite3_column_int(check, 1);
        }
        const std::string message = sqlite3_errmsg(db_);
        sqlite3_finalize(check);
        if (cancelled(cancel)) throw ImportError(ImportError::Code::cancelled, "cancelled");
        if (tables != 3) failOpen(tables == 0 && message != "not an error" ? message : "unexpected schema");
        if (others != 0) failOpen("unexpected schema: triggers or views on the tables");
        for (const char* table : {"ZPASTEITEM", "ZPASTEITEMDATA", "ZAPPLICATION"})
            if (!hasOnlyStoredColumns(db_, table)) failOpen(std::string("unexpected schema: computed columns in ") + table);
        // A damaged file (or a log from another database laid over it) reads as rows missing or
        // repeated, never as an error: checked before a row is read.
        if (!passesQuickCheck(db_)) {
            if (cancelled(cancel)) throw ImportError(ImportError::Code::cancelled, "cancelled");
            if (std::chrono::steady_clock::now() > deadline_)
                throw ImportError(ImportError::Code::overBudget, "it took longer than it may");
            failOpen("the database is damaged");
        }
    } catch (...) {
        close();
        throw;
    }
}

PasteNowDatabase::~PasteNowDatabase() { close(); }

int PasteNowDatabase::checkStop(void* self) {
    const auto* database = static_cast<const PasteNowDatabase*>(self);
    return cancelled(database->cancel_) || std::chrono::steady_clock::now() > database->deadline_ ? 1 : 0;
}

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
