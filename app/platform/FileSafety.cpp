#include "platform/FileSafety.h"

#include <cerrno>
#include <cstdlib>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/JsonScan.h"

namespace harbelle::filesafety {

namespace fs = std::filesystem;

namespace {

constexpr int kMaximumLinkHops = 40;  // the kernel's own limit
// Freeing a file's blocks takes tens of milliseconds per hundred megabytes: a quit leaves a large
// replaced history under a temporary name, and the start that finds it should not wait for that.
constexpr off_t kFreedAside = off_t{16} << 20;

bool isTemporaryName(std::string_view name, std::string_view prefix) {
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return false;
    for (const char c : name.substr(prefix.size())) {
        const bool alphanumeric = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alphanumeric) return false;
    }
    return true;
}

}  // namespace

bool writeAll(int fd, std::string_view bytes) {
    const char* data = bytes.data();
    std::size_t size = bytes.size();
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool jsonNestingWithin(std::string_view text, int maximumDepth) {
    return jsonscan::nestingWithin(text, maximumDepth);
}

nlohmann::json parseJson(std::string_view text) {
    if (!jsonNestingWithin(text)) return nlohmann::json(nlohmann::json::value_t::discarded);
    return nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
}

std::string dumpObjectOneMemberPerLine(const nlohmann::json& object) {
    if (!object.is_object() || object.empty()) return object.dump() + "\n";
    std::string out = "{\n";
    bool first = true;
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!first) out += ",\n";
        first = false;
        out += "  " + nlohmann::json(it.key()).dump() + ": " + it.value().dump();
    }
    out += "\n}\n";
    return out;
}

fs::path writeTarget(const fs::path& path) {
    fs::path current = path;
    for (int hop = 0; hop < kMaximumLinkHops; ++hop) {
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
        std::vector<char> buffer(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) + 1);
        const ssize_t length = ::readlink(current.c_str(), buffer.data(), buffer.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return path;
        const fs::path link(std::string(buffer.data(), static_cast<std::size_t>(length)));
        current = link.is_absolute() ? link : current.parent_path() / link;
    }
    return path;  // a loop of links: replaced like a plain file
}

std::string temporaryPrefix(const std::string& name) { return "." + name + ".tmp-"; }

bool writeFileAtomically(const fs::path& path, std::string_view bytes, int* error) {
    const fs::path target = writeTarget(path);
    const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    std::string pattern = (folder / (temporaryPrefix(target.filename().string()) + "XXXXXX")).string();
    const auto fail = [error](int code) {
        if (error) *error = code;
        return false;
    };
    // mkostemp opens with O_CREAT|O_EXCL and mode 0600: the file is never looser than that.
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return fail(errno);
    bool ok = ::fchmod(fd, 0600) == 0  // exactly 0600 whatever the umask
              && writeAll(fd, bytes) && ::fsync(fd) == 0;
    int code = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (ok && ::rename(pattern.c_str(), target.c_str()) != 0) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        ::unlink(pattern.c_str());
        return fail(code);
    }
    // Makes the rename itself durable; a failure here leaves a complete file either way.
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return true;
}

int removeStaleTemporaryFiles(const fs::path& folder, const std::string& name) {
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) return 0;
    DIR* listing = ::fdopendir(folderFd);
    if (!listing) {
        ::close(folderFd);
        return 0;
    }
    const std::string prefix = temporaryPrefix(name);
    std::vector<std::string> stale;
    std::vector<std::string> large;
    while (const dirent* entry = ::readdir(listing)) {
        if (!isTemporaryName(entry->d_name, prefix)) continue;
        struct stat info {};
        if (::fstatat(folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
            info.st_uid == ::geteuid())
            (info.st_size >= kFreedAside ? large : stale).emplace_back(entry->d_name);
    }
    int removed = 0;
    for (const auto& file : stale) removed += ::unlinkat(folderFd, file.c_str(), 0) == 0 ? 1 : 0;
    if (!large.empty()) {
        // No writer of ours uses these names, so nothing waits for them to go.
        std::vector<fs::path> paths;
        for (const auto& file : large) paths.push_back(folder / file);
        removed += static_cast<int>(paths.size());
        std::thread([paths = std::move(paths)] {
            for (const auto& path : paths) ::unlink(path.c_str());
        }).detach();
    }
    ::closedir(listing);  // closes folderFd too
    return removed;
}

}  // namespace harbelle::filesafety
