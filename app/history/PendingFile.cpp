// Whole-file writes under a temporary name, with the copy into the page cache beside the caller.
#include "history/PendingFile.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileSafety.h"

namespace harbelle::historyfiles {

namespace fs = std::filesystem;

namespace {

constexpr mode_t kFileMode = 0600;

void syncFolder(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

namespace {

std::atomic<int> injectedWriteError{0};
// Pieces from this size on are written by the writer threads; at most this many wait at once.
constexpr std::size_t kHandedOnFrom = std::size_t{1} << 20;
constexpr std::size_t kWriterThreads = 1;
constexpr std::size_t kPiecesInFlight = 6;
constexpr std::uint64_t kWriteBehind = std::uint64_t{64} << 20;
// Replaced files from this size on are worth leaving for later.
constexpr std::uint64_t kFreedLater = std::uint64_t{16} << 20;

bool writeAllAt(int fd, const char* data, std::size_t length, std::uint64_t offset) {
    while (length > 0) {
        const ssize_t done = ::pwrite(fd, data, length, off_t(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        data += done;
        length -= std::size_t(done);
        offset += std::uint64_t(done);
    }
    return true;
}

}  // namespace

// Copying into the page cache takes as long as encoding: it is done beside it, on a few
// threads, each piece at its own place in the file.
struct PendingFile::Writers {
    int fd;
    std::mutex mutex;
    std::condition_variable work;
    std::condition_variable room;
    std::deque<std::pair<std::uint64_t, std::string>> queue;
    std::vector<std::string> spare;
    std::size_t inFlight = 0;
    std::uint64_t startedTo = 0;  // the writer's own: one thread writes, in order
    bool closing = false;
    int error = 0;
    std::vector<std::thread> threads;

    explicit Writers(int descriptor) : fd(descriptor) {
        for (std::size_t i = 0; i < kWriterThreads; ++i) threads.emplace_back([this] { run(); });
    }
    ~Writers() { stop(); }

    void run() {
        std::unique_lock lock(mutex);
        for (;;) {
            work.wait(lock, [&] { return closing || !queue.empty(); });
            if (queue.empty()) return;
            auto [offset, bytes] = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            int failed = 0;
            if (!writeAllAt(fd, bytes.data(), bytes.size(), offset)) {
                failed = errno != 0 ? errno : EIO;
            } else if (const std::uint64_t end = offset + bytes.size(); end - startedTo >= kWriteBehind) {
                // The disk starts on what is written now, in large runs, rather than all at the
                // final sync.
                ::sync_file_range(fd, off_t(startedTo), off_t(end - startedTo), SYNC_FILE_RANGE_WRITE);
                startedTo = end;
            }
            lock.lock();
            if (failed != 0 && error == 0) error = failed;
            spare.push_back(std::move(bytes));
            --inFlight;
            room.notify_one();
        }
    }
    bool post(std::uint64_t offset, std::string_view piece) {
        std::unique_lock lock(mutex);
        room.wait(lock, [&] { return inFlight < kPiecesInFlight || error != 0; });
        if (error != 0) return false;
        std::string bytes;
        if (!spare.empty()) {
            bytes = std::move(spare.back());
            spare.pop_back();
        }
        lock.unlock();
        bytes.assign(piece);
        lock.lock();
        queue.emplace_back(offset, std::move(bytes));
        ++inFlight;
        work.notify_one();
        return true;
    }
    // A file given up: what has not been written yet never will be.
    void discard() {
        std::lock_guard lock(mutex);
        inFlight -= queue.size();
        queue.clear();
    }
    // Waits for every piece; the first failure's errno, or 0.
    int stop() {
        {
            std::lock_guard lock(mutex);
            closing = true;
        }
        work.notify_all();
        for (auto& thread : threads)
            if (thread.joinable()) thread.join();
        return error;
    }
};

PendingFile::PendingFile(const fs::path& temporaryOf)
    : target_(filesafety::writeTarget(temporaryOf)), throughLink_(target_ != temporaryOf) {
    const fs::path folder = target_.parent_path().empty() ? fs::path(".") : target_.parent_path();
    temporary_ = (folder / (filesafety::temporaryPrefix(target_.filename().string()) + "XXXXXX")).string();
    // mkostemp opens with O_CREAT|O_EXCL and mode 0600: the file is never looser than that.
    fd_ = ::mkostemp(temporary_.data(), O_CLOEXEC);
    if (fd_ < 0) {
        fail(errno);
        temporary_.clear();
    } else if (::fchmod(fd_, kFileMode) != 0) {  // exactly 0600 whatever the umask
        fail(errno);
    }
}

PendingFile::~PendingFile() {
    if (writers_ && !done_) writers_->discard();
    stopWriters();
    if (fd_ >= 0) ::close(fd_);
    if (!done_ && !temporary_.empty()) ::unlink(temporary_.c_str());
}

void PendingFile::failWritesForTesting(int error) { injectedWriteError = error; }

bool PendingFile::fail(int error) {
    if (error_ == 0) error_ = error != 0 ? error : EIO;
    return false;
}

bool PendingFile::write(std::string_view piece) {
    if (error_ != 0 || fd_ < 0) return false;
    if (const int injected = injectedWriteError.load()) return fail(injected);
    if (piece.size() >= kHandedOnFrom) {
        if (!writers_) writers_ = std::make_unique<Writers>(fd_);
        if (!writers_->post(written_, piece)) return stopWriters();
    } else if (!writeAllAt(fd_, piece.data(), piece.size(), written_)) {
        return fail(errno);
    }
    written_ += piece.size();
    return true;
}

bool PendingFile::stopWriters() {
    if (!writers_) return error_ == 0;
    const int error = writers_->stop();
    writers_.reset();
    return error == 0 ? error_ == 0 : fail(error);
}

bool PendingFile::finish() {
    if (error_ == 0 && fd_ < 0 && !temporary_.empty()) return true;  // finished already
    if (!stopWriters() || error_ != 0 || fd_ < 0) return false;
    if (const int injected = injectedWriteError.load()) return fail(injected);
    if (::fsync(fd_) != 0) return fail(errno);
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) return fail(errno);  // a deferred write error can surface here
    return true;
}

bool PendingFile::replace(bool leaveReplacedFile) {
    if (!finish()) return false;
    // The rename frees the replaced file's blocks unless another name still holds it.
    const std::string replaced = leaveReplacedFile ? holdReplacedFile() : std::string();
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        if (!replaced.empty()) ::unlink(replaced.c_str());
        return fail(errno);
    }
    done_ = true;
    syncFolder(target_.parent_path().empty() ? fs::path(".") : target_.parent_path());
    return true;
}

std::string PendingFile::holdReplacedFile() const {
    // Behind a symbolic link, the next start would not look in the target's folder.
    struct stat info {};
    if (throughLink_ || ::stat(target_.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
        std::uint64_t(info.st_size) < kFreedLater)
        return {};
    // A name of the temporary kind, which the next start removes (a kill leaves no more behind).
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    const std::string prefix = temporary_.substr(0, temporary_.size() - 6);
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string name = prefix;
        for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
        if (::link(target_.c_str(), name.c_str()) == 0) return name;
        if (errno != EEXIST) return {};
    }
    return {};
}

CopyResult PendingFile::publishAs(const std::string& name) {
    if (!done_ && !finish()) return CopyResult::failed;
    const fs::path folder = target_.parent_path().empty() ? fs::path(".") : target_.parent_path();
    // A hard link never replaces what has the name; then the temporary name goes.
    if (::link(temporary_.c_str(), (folder / name).c_str()) != 0) {
        if (errno == EEXIST) return CopyResult::exists;
        fail(errno);
        return CopyResult::failed;
    }
    ::unlink(temporary_.c_str());
    done_ = true;
    syncFolder(folder);
    return CopyResult::ok;
}

}  // namespace harbelle::historyfiles
