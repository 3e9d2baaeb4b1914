#include "history/HistoryFiles.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "history/ChunkRunner.h"
#include "platform/FileSafety.h"

namespace harbelle::historyfiles {

namespace fs = std::filesystem;

namespace {

constexpr mode_t kFolderMode = 0700;
constexpr std::size_t kNameTail = 4096;  // far more than a payload file name with its key

// Closes the descriptor on every path out of a function.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Close, reporting a failure (a deferred write error can surface here).
    bool close() {
        if (fd_ < 0) return true;
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0;
    }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};


std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

namespace {

// Reads the rest of a file opened for reading (non-blocking, so a FIFO cannot hang us).
// The size of an open regular file no larger than `maximumBytes`.
ReadResult checkOpenFile(int fd, std::uint64_t maximumBytes, std::size_t& size, std::string& why) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        why = errnoText("cannot inspect the file");
        return ReadResult::failed;
    }
    if (!S_ISREG(info.st_mode)) {
        why = "not a regular file";
        return ReadResult::failed;
    }
    if (static_cast<std::uint64_t>(info.st_size) > maximumBytes) {
        why = "the file is larger than " + std::to_string(maximumBytes) + " bytes";
        return ReadResult::tooLarge;
    }
    size = static_cast<std::size_t>(info.st_size);
    return ReadResult::ok;
}

ReadResult readOpenFile(int fd, std::uint64_t maximumBytes, std::string& out, std::string& why) {
    std::size_t size = 0;
    if (const ReadResult checked = checkOpenFile(fd, maximumBytes, size, why); checked != ReadResult::ok)
        return checked;
    // The spare bytes let a JSON parser that reads a little past the end work in place.
    out.reserve(size + kReadSlack);
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            why = errnoText("cannot read the file");
            out.clear();
            return ReadResult::failed;
        }
        if (got == 0) break;
        out.append(buffer.data(), static_cast<std::size_t>(got));
        if (out.size() > maximumBytes) {  // grew while being read
            why = "the file is larger than " + std::to_string(maximumBytes) + " bytes";
            out.clear();
            return ReadResult::tooLarge;
        }
    }
    return ReadResult::ok;
}

// Opens the folder that holds `relative` inside `root`, refusing any symbolic link on the way;
// `leaf` receives the last component. Invalid descriptor on failure (errno set).
int openParentBeneath(const fs::path& root, const fs::path& relative, std::string& leaf) {
    int current = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::vector<std::string> parts;
    for (const auto& part : relative) parts.push_back(part.string());
    if (current < 0 || parts.empty()) {
        if (current >= 0) ::close(current);
        errno = ENOENT;
        return -1;
    }
    leaf = parts.back();
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        const int next = ::openat(current, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int saved = errno;
        ::close(current);
        if (next < 0) {
            errno = saved;
            return -1;
        }
        current = next;
    }
    return current;
}

}  // namespace

namespace {

// Opens `path` for reading; `missing` only when nothing at all exists there.
ReadResult openForReading(const fs::path& path, Descriptor& fd, std::string& why) {
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0) {
        if (errno == ENOENT) return ReadResult::missing;
        why = errnoText("cannot inspect the file");
        return ReadResult::failed;
    }
    // Non-blocking so that a FIFO placed at the path cannot hang start-up.
    fd = Descriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) {
        why = errnoText("cannot open the file");
        return ReadResult::failed;
    }
    return ReadResult::ok;
}

// Fills `out` from `offset`; false on an error, an early end of file or `stop`.
bool readFully(int fd, char* out, std::size_t length, std::size_t offset, const std::atomic<bool>* stop = nullptr) {
    constexpr std::size_t piece = std::size_t{16} << 20;
    while (length > 0) {
        if (stop && stop->load(std::memory_order_relaxed)) return false;
        const ssize_t got = ::pread(fd, out, std::min(length, piece), static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        out += got;
        offset += static_cast<std::size_t>(got);
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

// Below this a single read is as quick.
constexpr std::size_t kParallelReadFrom = std::size_t{32} << 20;
constexpr std::size_t kReadThreads = 4;

}  // namespace

ReadResult readWholeFile(const fs::path& path, std::uint64_t maximumBytes, std::string& out, std::string& why) {
    out.clear();
    Descriptor fd(-1);
    if (const ReadResult opened = openForReading(path, fd, why); opened != ReadResult::ok) return opened;
    return readOpenFile(fd.get(), maximumBytes, out, why);
}

ReadResult readLargeFile(const fs::path& path, std::uint64_t maximumBytes, FileBytes& out, std::string& why,
                         const std::atomic<bool>* stop) {
    out = FileBytes();
    Descriptor fd(-1);
    if (const ReadResult opened = openForReading(path, fd, why); opened != ReadResult::ok) return opened;
    std::size_t size = 0;
    if (const ReadResult checked = checkOpenFile(fd.get(), maximumBytes, size, why); checked != ReadResult::ok)
        return checked;
    // Not cleared first: each part's pages are filled once, by the thread that reads it.
    out.data.reset(new (std::nothrow) char[size + kReadSlack]);
    if (!out.data) {
        why = "not enough memory to read the file";
        return ReadResult::failed;
    }
    const std::size_t threads = size >= kParallelReadFrom ? usefulThreads(kReadThreads) : 1;
    std::atomic<bool> complete{true};
    runInChunks(size, threads, threads, [&](std::size_t, std::size_t from, std::size_t to) {
        if (!readFully(fd.get(), out.data.get() + from, to - from, from, stop)) complete = false;
    });
    if (stop && stop->load()) {
        why = "stopped";
        out = FileBytes();
        return ReadResult::failed;
    }
    char probe = 0;
    if (complete && ::pread(fd.get(), &probe, 1, static_cast<off_t>(size)) == 0) {
        std::memset(out.data.get() + size, 0, kReadSlack);
        out.size = size;
        return ReadResult::ok;
    }
    // Changed while being read, or a read failed: once more, in order, as any other file.
    std::string bytes;
    const ReadResult read = readOpenFile(fd.get(), maximumBytes, bytes, why);
    out = FileBytes();
    if (read != ReadResult::ok) return read;
    out.data.reset(new (std::nothrow) char[bytes.size() + kReadSlack]);
    if (!out.data) {
        why = "not enough memory to read the file";
        return ReadResult::failed;
    }
    std::memcpy(out.data.get(), bytes.data(), bytes.size());
    std::memset(out.data.get() + bytes.size(), 0, kReadSlack);
    out.size = bytes.size();
    return ReadResult::ok;
}

ReadResult readWholeFileBeneath(const fs::path& root, const fs::path& relative, std::uint64_t maximumBytes,
                                std::string& out, std::string& why) {
    out.clear();
    std::string leaf;
    Descriptor folder(openParentBeneath(root, relative, leaf));
    if (!folder.valid()) {
        if (errno == ENOENT) return ReadResult::missing;
        why = errnoText("cannot open the folder");
        return ReadResult::failed;
    }
    Descriptor fd(::openat(folder.get(), leaf.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    if (!fd.valid()) {
        if (errno == ENOENT) return ReadResult::missing;
        why = errnoText("cannot open the file");
        return ReadResult::failed;
    }
    return readOpenFile(fd.get(), maximumBytes, out, why);
}

bool unlinkBeneath(const fs::path& root, const fs::path& relative) {
    std::string leaf;
    Descriptor folder(openParentBeneath(root, relative, leaf));
    // unlinkat removes a link itself, never what it points at.
    return folder.valid() && ::unlinkat(folder.get(), leaf.c_str(), 0) == 0;
}

bool hasNoLinkBeneath(const fs::path& root, const fs::path& relative) {
    fs::path current = root;
    for (const auto& part : relative) {
        current /= part;
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0) return errno == ENOENT;  // nothing there yet
        if (S_ISLNK(info.st_mode)) return false;
    }
    return true;
}

bool writeFileAtomically(const fs::path& target, std::string_view bytes) {
    return filesafety::writeFileAtomically(target, bytes);
}

namespace {

// Reads `fd` to its end a piece at a time; false on a read error.
template <typename Piece>
bool readInPieces(int fd, Piece piece) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        if (!piece(std::string_view(buffer.data(), static_cast<std::size_t>(got)))) return false;
    }
}

}  // namespace

std::string writeFailureText(int error) {
    if (error == ENOSPC || error == EDQUOT) return "the disk is full";
    return std::strerror(error != 0 ? error : EIO);
}

namespace {
std::atomic<bool> copiesHeld{false};
}  // namespace

void holdCopiesForTesting(bool held) { copiesHeld = held; }

bool copyInto(PendingFile& out, const fs::path& source, const std::atomic<bool>* stop) {
    Descriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat info {};
    if (!in.valid() || ::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    while (copiesHeld && !(stop && stop->load())) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return readInPieces(in.get(), [&](std::string_view piece) {
        return !(stop && stop->load(std::memory_order_relaxed)) && out.write(piece);
    });
}

bool makeDirectories(const fs::path& directory) {
    fs::path current;
    for (const auto& part : directory) {
        current /= part;
        if (part.empty() || part == "/") continue;
        if (::mkdir(current.c_str(), kFolderMode) == 0) {
            ::chmod(current.c_str(), kFolderMode);  // the umask may have taken bits away
            continue;
        }
        if (errno != EEXIST) return false;
        struct stat info {};
        if (::stat(current.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    }
    return true;
}

void collectPayloadNamesLeniently(std::string_view text, std::set<std::string>& names) {
    static constexpr std::string_view kKeys[] = {"\"payloadFilename\"", "\"syncPayloadFilename\"",
                                                 "\"legacyPayloadFilename\""};
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    for (const std::string_view key : kKeys) {
        std::size_t position = 0;
        while ((position = text.find(key, position)) != std::string_view::npos) {
            position += key.size();
            std::size_t p = position;
            while (p < text.size() && isSpace(text[p])) ++p;
            if (p >= text.size() || text[p] != ':') continue;
            ++p;
            while (p < text.size() && isSpace(text[p])) ++p;
            if (p >= text.size() || text[p] != '"') continue;
            std::size_t end = p + 1;
            while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
            if (end >= text.size()) break;  // cut off mid-string
            const std::string_view literal = text.substr(p, end - p + 1);
            const auto value = nlohmann::json::parse(literal, nullptr, false);
            if (value.is_string())
                names.insert(value.get<std::string>());
            else  // a broken escape: keep the raw characters rather than nothing
                names.insert(std::string(literal.substr(1, literal.size() - 2)));
            position = end + 1;
        }
    }
}

PayloadNameScanner::PayloadNameScanner(const fs::path& path) {
    Descriptor fd(-1);
    if (openForReading(path, fd, why_) != ReadResult::ok) {
        if (why_.empty()) why_ = "missing";
        failed_ = true;
        return;
    }
    fd_ = fd.release();  // kept open by this scanner
}

PayloadNameScanner::~PayloadNameScanner() {
    if (fd_ >= 0) ::close(fd_);
}

bool PayloadNameScanner::step(std::size_t bytes) {
    if (failed_ || finished_) return false;
    std::vector<char> buffer(1 << 20);
    for (std::size_t read = 0; read < bytes;) {
        const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            why_ = errnoText("cannot read the file");
            failed_ = true;
            return false;
        }
        if (got == 0) {
            finished_ = true;
            return false;
        }
        read += std::size_t(got);
        // Each piece is read with what may be the start of a name cut off at the end of the
        // last: everything from the last key found (a name already taken is taken twice).
        text_.append(buffer.data(), std::size_t(got));
        collectPayloadNamesLeniently(text_, names_);
        // A key far from the end had its short name read whole: keeping from it would carry a
        // large value after it into every later piece.
        const std::size_t lastKey = text_.rfind("Filename\"");
        std::size_t keep = text_.size() > 32 ? text_.size() - 32 : 0;
        if (lastKey != std::string::npos && text_.size() - lastKey <= kNameTail)
            keep = std::min(keep, lastKey > 24 ? lastKey - 24 : 0);
        text_.erase(0, keep);
    }
    return true;
}

bool collectPayloadNamesFromFile(const fs::path& path, std::set<std::string>& names, std::string& why) {
    PayloadNameScanner scanner(path);
    while (scanner.step(std::size_t{64} << 20)) {
    }
    if (scanner.failed()) {
        why = scanner.why();
        return false;
    }
    names.merge(scanner.names());
    return true;
}

namespace {

fs::path namesPath(const fs::path& copy) { return fs::path(copy.string() + ".names"); }

// What the names stand for: the copy's size and time of change.
std::optional<std::string> copyStamp(const fs::path& copy) {
    struct stat info {};
    if (::stat(copy.c_str(), &info) != 0) return std::nullopt;
    return "names of " + std::to_string(info.st_size) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec) + "\n";
}

}  // namespace

bool writeNamesBeside(const fs::path& copy, const std::set<std::string>& names, const std::string& wholeCopyOf) {
    auto text = copyStamp(copy);
    if (!text) return false;
    // The first line says what the names stand for; a whole copy says of which file.
    if (!wholeCopyOf.empty()) text->insert(text->size() - 1, " whole " + wholeCopyOf);
    for (const auto& name : names) text->append(name).push_back('\0');  // a safe name has no NUL
    return writeFileAtomically(namesPath(copy), *text);
}

namespace {

// The names file of an unchanged copy, past its first line; that line's whole-copy part.
std::optional<std::string> readNamesFile(const fs::path& copy, std::string& wholeCopyOf, std::size_t& namesAt) {
    auto stamp = copyStamp(copy);
    std::string text;
    std::string why;
    if (!stamp || readWholeFile(namesPath(copy), std::uint64_t{1} << 30, text, why) != ReadResult::ok)
        return std::nullopt;
    stamp->pop_back();  // its line break
    const std::size_t lineEnd = text.find('\n');
    if (lineEnd == std::string::npos || !text.starts_with(*stamp)) return std::nullopt;
    const std::string_view rest = std::string_view(text).substr(stamp->size(), lineEnd - stamp->size());
    if (rest.starts_with(" whole ")) wholeCopyOf = std::string(rest.substr(7));
    else if (!rest.empty()) return std::nullopt;
    namesAt = lineEnd + 1;
    return text;
}

}  // namespace

std::optional<std::set<std::string>> readNamesBeside(const fs::path& copy) {
    std::string whole;
    std::size_t at = 0;
    const auto text = readNamesFile(copy, whole, at);
    if (!text) return std::nullopt;
    std::set<std::string> names;
    while (at < text->size()) {
        const std::size_t end = text->find('\0', at);
        if (end == std::string::npos) return std::nullopt;  // cut short
        names.emplace(*text, at, end - at);
        at = end + 1;
    }
    return names;
}

bool isWholeCopyOf(const fs::path& copy, const std::string& identity) {
    std::string whole;
    std::size_t at = 0;
    return !identity.empty() && readNamesFile(copy, whole, at) && whole == identity;
}

std::optional<std::string> fileIdentity(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return std::to_string(info.st_size) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec) + " " + std::to_string(info.st_ino);
}

std::optional<std::uint64_t> freeBytes(const fs::path& folder) {
    struct statvfs info {};
    if (::statvfs(folder.c_str(), &info) != 0) return std::nullopt;
    return std::uint64_t(info.f_bavail) * info.f_frsize;
}

}  // namespace harbelle::historyfiles
