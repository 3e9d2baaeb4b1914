// Keeping a verified release in the updates folder.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/FileSafety.h"
#include "platform/linux/FeedUpdater.h"
#include "platform/linux/UpdateSignature.h"

namespace harbelle {

namespace {

namespace fs = std::filesystem;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

std::string systemError(const std::string& what, int code = errno) { return what + ": " + std::strerror(code) + "."; }

// The updates folder, made 0700 where missing. It must be a real folder (not a symlink) owned
// by this user, so no one else can place or swap a file in it; a folder left group- or
// world-readable by an older build is tightened.
int openPrivateFolder(const fs::path& folder, std::string& error) {
    fs::path partial;
    for (const auto& part : folder) {
        partial /= part;
        struct stat info {};
        if (::stat(partial.c_str(), &info) == 0) continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            error = systemError("Could not create the updates folder " + partial.string());
            return -1;
        }
    }
    FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        error = errno == ELOOP || errno == ENOTDIR ? "The updates folder " + folder.string() + " is not a plain folder."
                                                   : systemError("Could not open the updates folder " + folder.string());
        return -1;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        error = systemError("Could not inspect the updates folder");
        return -1;
    }
    if (info.st_uid != ::geteuid()) {
        error = "The updates folder " + folder.string() + " belongs to another user.";
        return -1;
    }
    if ((info.st_mode & 077) != 0 && ::fchmod(fd.get(), 0700) != 0) {
        error = systemError("Could not make the updates folder private");
        return -1;
    }
    return fd.release();
}

// Checks the whole file against the release's signature without copying it into memory.
bool fileIsSigned(int fd, const AppcastItem& item, const std::string& publicKey) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) return false;
    const auto size = static_cast<std::size_t>(info.st_size);
    if (item.length && *item.length != size) return false;
    if (size == 0) return verifyEd25519Signature({}, item.edSignature, publicKey);
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapped == MAP_FAILED) return false;
    const bool signedByUs =
        verifyEd25519Signature(std::string_view(static_cast<const char*>(mapped), size), item.edSignature, publicKey);
    ::munmap(mapped, size);
    return signedByUs;
}

}  // namespace

void FeedUpdater::keepVerifiedDownload(const Configuration& configuration, const Fetch& fetch,
                                       UpdateCheckResult& result) {
    const AppcastItem& item = *result.item;
    if (configuration.downloadFolder.empty() || !configuration.downloadFolder.is_absolute()) {
        result.error = "There is no cache folder to keep the update in, so it was not downloaded.";
        return;
    }
    const auto name = downloadFileName(item);
    if (!name) {
        result.error = "The update feed gives no usable file name for the download.";
        return;
    }
    std::string error;
    FileDescriptor folder(openPrivateFolder(configuration.downloadFolder, error));
    if (folder.get() < 0) {
        result.error = error;
        return;
    }
    const std::string finalPath = (configuration.downloadFolder / *name).string();

    // A verified copy of this release is already here: no second download.
    if (FileDescriptor kept(::openat(folder.get(), name->c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        kept.get() >= 0 && fileIsSigned(kept.get(), item, configuration.publicEDKey)) {
        result.downloadedFile = finalPath;
        return;
    }

    const std::string partial = "." + *name + ".part";
    if (::unlinkat(folder.get(), partial.c_str(), 0) != 0 && errno != ENOENT) {
        result.error = systemError("Could not clear an unfinished download");
        return;
    }
    FileDescriptor file(
        ::openat(folder.get(), partial.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.get() < 0) {
        result.error = systemError("Could not create the download file");
        return;
    }
    const auto discard = [&](std::string message) {
        ::unlinkat(folder.get(), partial.c_str(), 0);
        result.error = std::move(message);
    };

    FetchLimits limits;
    limits.totalTimeout = std::chrono::minutes(10);
    limits.redirects = FetchLimits::Redirects::sameHost;
    limits.maxBytes = static_cast<std::size_t>(std::min<std::uint64_t>(item.length.value_or(kMaxDownloadBytes),
                                                                       kMaxDownloadBytes));
    const int fd = file.get();
    FetchResult fetched =
        fetch(item.downloadURL, limits, [fd](const char* data, std::size_t size) {
            return filesafety::writeAll(fd, std::string_view(data, size));
        });
    if (!fetched.ok()) return discard("Could not download the update. " + fetched.error);
    if (!fileIsSigned(fd, item, configuration.publicEDKey))
        return discard("The downloaded update is not signed by Harbelle's key and was discarded.");
    if (::fsync(fd) != 0) return discard(systemError("Could not save the downloaded update"));
    if (::renameat(folder.get(), partial.c_str(), folder.get(), name->c_str()) != 0)
        return discard(systemError("Could not save the downloaded update"));
    result.downloadedFile = finalPath;
}

}  // namespace harbelle
