// Whole-file writes under a temporary name; a large file written beside the caller, past the page cache.
#include "history/PendingFile.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
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
// From a piece of this size on, the file is written by a thread of its own, a block at a time.
constexpr std::size_t kHandedOnFrom = std::size_t{1} << 20;
constexpr std::size_t kBlockBytes = std::size_t{8} << 20;
constexpr std::size_t kBlocksInFlight = 6;
// What writes past the page cache must be aligned to (the largest logical block in use).
constexpr std::size_t kAlignment = 4096;
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

struct FreeBlock {
    void operator()(char* block) const { std::free(block); }
};
using Block = std::unique_ptr<char[], FreeBlock>;

}  // namespace

// A large file goes to the disk straight from blocks of our own, past the page cache: filling
// the cache with new pages runs at a fraction of the disk's speed once the machine has to find
// fresh memory for them, and a quit waits for every byte. The caller fills one block while the
// thread writes the ones before it. Where the file system takes no such writes, they go
// through the cache, and the disk is started on them as they go, so the final sync is short.
struct PendingFile::Writers {
    struct Filled {
        std::uint64_t offset;
        Block block;
        std::size_t length;
    };

    int fd;
    int direct = -1;  // the same file opened past the page cache; the thread's own
    std::mutex mutex;
    std::condition_variable work;
    std::condition_variable room;
    std::deque<Filled> queue;
    std::vector<Block> spare;
    std::size_t inFlight = 0;  // blocks being filled or waiting to be written
    bool closing = false;
    int error = 0;
    // The caller's own.
    Block filling;
    std::uint64_t fillingAt;
    std::size_t filled = 0;
    // The thread's own: where the disk was last started on, when writing through the cache.
    std::uint64_t startedTo;
    std::thread thread;

    Writers(int descriptor, const std::string& path, std::uint64_t offset)
        : fd(descriptor), fillingAt(offset), startedTo(offset) {
        if (offset % kAlignment == 0) direct = ::open(path.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC);
        thread = std::thread([this] { run(); });
    }
    ~Writers() { stop(); }

    void run() {
        std::unique_lock lock(mutex);
        for (;;) {
            work.wait(lock, [&] { return closing || !queue.empty(); });
            if (queue.empty()) return;
            Filled next = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            const int failed = writeOut(next);
            lock.lock();
            if (failed != 0 && error == 0) error = failed;
            spare.push_back(std::move(next.block));
            --inFlight;
            room.notify_one();
        }
    }
    int writeOut(const Filled& piece) {
        std::size_t done = 0;
        if (direct >= 0) {
            const std::size_t whole = piece.length / kAlignment * kAlignment;
            if (whole == 0 || writeAllAt(direct, piece.block.get(), whole, piece.offset)) {
                done = whole;
            } else if (errno == EINVAL) {
                // Not taken here after all: this block and the rest go through the cache.
                ::close(std::exchange(direct, -1));
            } else {
                return errno != 0 ? errno : EIO;
            }
        }
        if (done == piece.length) return 0;
        if (!writeAllAt(fd, piece.block.get() + done, piece.length - done, piece.offset + done))
            return errno != 0 ? errno : EIO;
        if (const std::uint64_t end = piece.offset + piece.length; direct < 0 && end - startedTo >= kWriteBehind) {
            ::sync_file_range(fd, off_t(startedTo), off_t(end - startedTo), SYNC_FILE_RANGE_WRITE);
            startedTo = end;
        }
        return 0;
    }

    bool post(std::string_view piece) {
        while (!piece.empty()) {
            if (!filling && !(filling = takeBlock())) return false;
            const std::size_t n = std::min(piece.size(), kBlockBytes - filled);
            std::memcpy(filling.get() + filled, piece.data(), n);
            filled += n;
            piece.remove_prefix(n);
            if (filled == kBlockBytes) handOn();
        }
        return true;
    }
    Block takeBlock() {
        std::unique_lock lock(mutex);
        room.wait(lock, [&] { return inFlight < kBlocksInFlight || error != 0; });
        if (error != 0) return nullptr;
        ++inFlight;
        if (!spare.empty()) {
            Block block = std::move(spare.back());
            spare.pop_back();
            return block;
        }
        lock.unlock();
        Block block(static_cast<char*>(std::aligned_alloc(kAlignment, kBlockBytes)));
        lock.lock();
        if (!block) {
            --inFlight;
            if (error == 0) error = ENOMEM;
        }
        return block;
    }
    void handOn() {
        std::lock_guard lock(mutex);
        queue.push_back({fillingAt, std::move(filling), filled});
        fillingAt += filled;
        filled = 0;
        work.notify_one();
    }
    // A file given up: what has not been written yet never will be.
    void discard() {
        std::lock_guard lock(mutex);
        inFlight -= queue.size() + (filling ? 1 : 0);
        queue.clear();
        filling.reset();
        filled = 0;
    }
    // Writes what is left and waits for every block; the first failure's errno, or 0.
    int stop() {
        if (filling && filled > 0) handOn();
        {
            std::lock_guard lock(mutex);
            closing = true;
        }
        work.notify_all();
        if (thread.joinable()) thread.join();
        if (direct >= 0) ::close(std::exchange(direct, -1));
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
    if (!done_ && !leftForNextStart_ && !temporary_.empty()) ::unlink(temporary_.c_str());
}

void PendingFile::failWritesForTesting(int error) { injectedWriteError = error; }

bool PendingFile::fail(int error) {
    if (error_ == 0) error_ = error != 0 ? error : EIO;
    return false;
}

bool PendingFile::write(std::string_view piece) {
    if (error_ != 0 || fd_ < 0) return false;
    if (const int injected = injectedWriteError.load()) return fail(injected);
    if (writers_ || piece.size() >= kHandedOnFrom) {
        // Once there, every piece goes to the thread: it writes whole blocks.
        if (!writers_) writers_ = std::make_unique<Writers>(fd_, temporary_, written_);
        if (!writers_->post(piece)) return stopWriters();
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
    // The rename frees the replaced file's blocks unless another name still holds it: a large
    // one keeps a second name, which goes on a thread of its own, so that a quit coming now
    // need not wait for it.
    const std::string replaced = holdReplacedFile();
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        if (!replaced.empty()) ::unlink(replaced.c_str());
        return fail(errno);
    }
    done_ = true;
    syncFolder(target_.parent_path().empty() ? fs::path(".") : target_.parent_path());
    if (!replaced.empty() && !leaveReplacedFile) std::thread([replaced] { ::unlink(replaced.c_str()); }).detach();
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
