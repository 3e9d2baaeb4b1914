#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

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
ReadResult readLargeFile(const std::filesystem::path& path, std::uint64_t maximumBytes, FileBytes& out,
                         std::string& why);

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

enum class CopyResult { ok, exists, failed };
// Copies a regular file to a new file that must not exist yet (0600, fsynced).
CopyResult copyFileExclusive(const std::filesystem::path& source, const std::filesystem::path& destination);
// Writes `bytes` to a new file that must not exist yet (0600, fsynced).
CopyResult writeFileExclusive(const std::filesystem::path& destination, std::string_view bytes);

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
bool writeNamesBeside(const std::filesystem::path& copy, const std::set<std::string>& names);
std::optional<std::set<std::string>> readNamesBeside(const std::filesystem::path& copy);

}  // namespace harbelle::historyfiles
