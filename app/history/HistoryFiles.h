#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "history/PendingFile.h"

// Small POSIX file helpers shared by the history file and the payload files. Every file is
// created 0600 and every folder 0700 at creation, whatever the umask, so nothing private is
// ever visible with looser permissions, even for a moment.
namespace harbelle::historyfiles {

enum class ReadResult { ok, missing, failed, tooLarge };

// Room the read functions leave in `out` past the file's bytes (its capacity).
inline constexpr std::size_t kReadSlack = 64;

// Reads a whole regular file. `missing` only when nothing at all exists at the path (a
// dangling symbolic link or a folder counts as `failed`). `why` explains a failure.
ReadResult readWholeFile(const std::filesystem::path& path, std::uint64_t maximumBytes,
                         std::string& out, std::string& why);

// A whole file's bytes, followed by kReadSlack zero bytes.
struct FileBytes {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
    std::string_view view() const { return {data.get(), size}; }
};
// readWholeFile for a file that may be large (the history): its parts are read at once on a
// few threads, into memory that is not cleared first.
// `stop` is checked between pieces of a few megabytes: once set, the read fails.
ReadResult readLargeFile(const std::filesystem::path& path, std::uint64_t maximumBytes, FileBytes& out,
                         std::string& why, const std::atomic<bool>* stop = nullptr);

// Reads `relative` inside `root` without following a symbolic link anywhere below `root`
// (a link on the way reads as `failed`).
ReadResult readWholeFileBeneath(const std::filesystem::path& root, const std::filesystem::path& relative,
                                std::uint64_t maximumBytes, std::string& out, std::string& why);
// Removes the entry `relative` inside `root` (a link itself, never its target); false when a
// folder on the way is a symbolic link or nothing was removed.
bool unlinkBeneath(const std::filesystem::path& root, const std::filesystem::path& relative);
// Whether no existing component of `relative` below `root` is a symbolic link.
bool hasNoLinkBeneath(const std::filesystem::path& root, const std::filesystem::path& relative);

// Writes through a temporary file (0600, fsynced) that is renamed over `target`, in the
// folder of the link's target when `target` is a symbolic link, which stays; a failure leaves
// the previous file intact and no temporary behind.
bool writeFileAtomically(const std::filesystem::path& target, std::string_view bytes);

// What a failed write's errno means to a user: "the disk is full", or the system's text.
std::string writeFailureText(int error);

// Appends the whole of the regular file `source` to `out`. False when it fails or when `stop`
// is set between two pieces (then `out` must not be published).
bool copyInto(PendingFile& out, const std::filesystem::path& source, const std::atomic<bool>* stop = nullptr);
// Tests hold every copyInto before its first byte until they let go (or its `stop` is set).
void holdCopiesForTesting(bool held);

// Creates `directory` and any missing parents, each 0700 from creation.
bool makeDirectories(const std::filesystem::path& directory);

// Every string value of a payload-naming key in `text`, even when `text` as a whole is not
// valid JSON (a damaged recovery copy still protects the files it names).
void collectPayloadNamesLeniently(std::string_view text, std::set<std::string>& names);
// The same for a whole file, read a piece at a time however large it is. False when it cannot
// be read (`why` says why).
bool collectPayloadNamesFromFile(const std::filesystem::path& path, std::set<std::string>& names, std::string& why);

// The payload names a recovery copy needs, kept beside it ("<copy>.names") so that the copy
// itself need not be read again. They stand only for the copy as it was when they were
// written (its size and time); nothing for a copy without them, or changed since.
// `wholeCopyOf`: the fileIdentity() of the file the copy holds whole, if it is one.
bool writeNamesBeside(const std::filesystem::path& copy, const std::set<std::string>& names,
                      const std::string& wholeCopyOf = {});
std::optional<std::set<std::string>> readNamesBeside(const std::filesystem::path& copy);
// Whether `copy` is, unchanged, a whole copy of the file whose fileIdentity() is `identity`.
bool isWholeCopyOf(const std::filesystem::path& copy, const std::string& identity);
// A file's size, time of change and inode as text; nothing when it cannot be examined.
std::optional<std::string> fileIdentity(const std::filesystem::path& path);
// The bytes the folder's file system still gives this user, when known.
std::optional<std::uint64_t> freeBytes(const std::filesystem::path& folder);

// collectPayloadNamesFromFile a piece at a time, so that a large file never holds up others.
class PayloadNameScanner {
public:
    explicit PayloadNameScanner(const std::filesystem::path& path);
    ~PayloadNameScanner();
    PayloadNameScanner(const PayloadNameScanner&) = delete;
    PayloadNameScanner& operator=(const PayloadNameScanner&) = delete;
    // Reads about `bytes` more; false once the file is read to its end or failed.
    bool step(std::size_t bytes);
    bool failed() const { return failed_; }
    const std::string& why() const { return why_; }
    std::set<std::string>& names() { return names_; }

private:
    int fd_ = -1;
    bool failed_ = false;
    bool finished_ = false;
    std::string why_;
    std::string text_;
    std::set<std::string> names_;
};

}  // namespace harbelle::historyfiles
