#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace harbelle::historyfiles {

enum class CopyResult { ok, exists, failed };

// A file written a piece at a time under a temporary name (0600), which takes its real name
// only once whole and synced: a kill mid-write leaves no cut-off file under that name, only a
// temporary one that the next start removes (filesafety::removeStaleTemporaryFiles on
// `temporaryOf`'s name). A large file is written by a thread of its own while the caller makes
// the next pieces, straight to the disk where the file system allows it.
class PendingFile {
public:
    // In the folder of `temporaryOf` (through any symbolic link at it).
    explicit PendingFile(const std::filesystem::path& temporaryOf);
    ~PendingFile();  // an unfinished file is removed, unless left for the next start
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    bool write(std::string_view piece);
    // Synced, then renamed over the file it was made for (a link there stays a link). A large
    // file replaced is freed on a thread of its own (tens of milliseconds per hundred
    // megabytes). `leaveReplacedFile`: it keeps a temporary name instead, which the next start
    // removes.
    bool replace(bool leaveReplacedFile = false);
    // Synced, then given `name` in the same folder, unless something already has that name.
    CopyResult publishAs(const std::string& name);
    // Given up at a quit: the unfinished file keeps its temporary name, which the next start
    // removes, rather than have its blocks freed while the quit waits.
    void leaveForNextStart() { leftForNextStart_ = true; }
    // errno of the first failure (0 while none).
    int error() const { return error_; }
    std::uint64_t written() const { return written_; }

    // Tests stand in for a full disk: every write from now fails with `error` (0: none).
    static void failWritesForTesting(int error);

private:
    struct Writers;
    bool fail(int error);
    bool finish();
    bool stopWriters();
    // A second name for the large file about to be replaced, or "" (small, or not possible).
    std::string holdReplacedFile() const;

    std::filesystem::path target_;
    bool throughLink_ = false;
    std::string temporary_;
    int fd_ = -1;
    int error_ = 0;
    std::uint64_t written_ = 0;
    bool done_ = false;
    bool leftForNextStart_ = false;
    std::unique_ptr<Writers> writers_;
};

}  // namespace harbelle::historyfiles
