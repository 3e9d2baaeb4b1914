#include "legacyimport/LegacyFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#include "legacyimport/LegacyArchive.h"
#include "platform/FileSafety.h"

namespace harbelle::legacyfiles {

namespace {

namespace fs = std::filesystem;

// Written through a temporary file renamed into place, replacing what is there.
bool replaceFile(const fs::path& target, std::string_view bytes) {
    std::string pattern = (target.parent_path() / filesafety::temporaryPrefix(target.filename().string())).string();
    pattern += "XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0600) == 0 && filesafety::writeAll(fd, bytes);
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = ::rename(pattern.c_str(), target.c_str()) == 0;
    if (!ok) ::unlink(pattern.c_str());
    return ok;
}

// Whether `name` in `folder` is already our private file with exactly these bytes (left by a
// run cut short): then it is kept, not replaced, and stamped as written now.
bool holdsSameFile(int folder, const std::string& name, std::string_view bytes) {
    const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat info {};
    bool same = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
                (info.st_mode & 0077) == 0 && std::uint64_t(info.st_size) == bytes.size();
    std::vector<char> chunk(same ? std::min<std::size_t>(bytes.size(), 1 << 20) : 0);
    for (std::size_t at = 0; same && at < bytes.size();) {
        const ssize_t got = ::read(fd, chunk.data(), std::min(chunk.size(), bytes.size() - at));
        same = got > 0 && std::memcmp(chunk.data(), bytes.data() + at, std::size_t(got)) == 0;
        at += got > 0 ? std::size_t(got) : 0;
    }
    same = same && ::futimens(fd, nullptr) == 0;
    ::close(fd);
    return same;
}


}  // namespace

bool umaskKeepsOwnerBits() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) != 0) continue;
        char* end = nullptr;
        const unsigned long mask = std::strtoul(line.c_str() + 6, &end, 8);
        return end != line.c_str() + 6 && (mask & 0600) == 0;
    }
    return false;
}


void syncFileSystemOf(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::syncfs(fd);
    ::close(fd);
}

OutputFolder::OutputFolder(fs::path path, bool setModes)
    : path_(std::move(path)), fd_(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), setModes_(setModes) {
    if (fd_ < 0) throw ImportError(ImportError::Code::openDatabase, "cannot open " + path_.filename().string());
}

OutputFolder::~OutputFolder() { ::close(fd_); }

bool OutputFolder::write(const std::string& name, const Bytes& data) const {
    const std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
    // O_EXCL: never through a link planted under the name, never into another file.
    const int fd = ::openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        // A file left by an earlier run that did not complete is replaced whole.
        return errno == EEXIST && (holdsSameFile(fd_, name, bytes) || replaceFile(path_ / name, bytes));
    }
    bool ok = (!setModes_ || ::fchmod(fd, 0600) == 0) && filesafety::writeAll(fd, bytes);
    ok = ::close(fd) == 0 && ok;
    // The file is ours (O_EXCL made it): no half-written file stays behind.
    if (!ok) ::unlinkat(fd_, name.c_str(), 0);
    return ok;
}

bool OutputFolder::link(const std::string& existing, const std::string& name) const {
    if (::linkat(fd_, existing.c_str(), fd_, name.c_str(), 0) == 0) return true;
    if (errno != EEXIST) return false;
    std::string temporary = filesafety::temporaryPrefix(name) + "link";
    ::unlinkat(fd_, temporary.c_str(), 0);
    if (::linkat(fd_, existing.c_str(), fd_, temporary.c_str(), 0) != 0) return false;
    if (::renameat(fd_, temporary.c_str(), fd_, name.c_str()) == 0) return true;
    ::unlinkat(fd_, temporary.c_str(), 0);
    return false;
}

FileWriter::FileWriter() {
    try {
        thread_ = std::thread([this] { loop(); });
    } catch (const std::system_error&) {
        // No thread to be had: each file is written where it is asked for.
    }
}

FileWriter::~FileWriter() {
    {
        std::lock_guard lock(mutex_);
        jobs_.clear();
        done_ = true;
    }
    dropped_ = true;
    ready_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void FileWriter::write(const OutputFolder& folder, std::string name, Bytes bytes, std::size_t row, std::string linkTo) {
    if (!thread_.joinable()) {
        if (!(linkTo.empty() ? folder.write(name, bytes) : folder.link(linkTo, name))) failed_.push_back(row);
        return;
    }
    gatheredBytes_ += bytes.size();
    gathered_.push_back({&folder, std::move(name), std::move(bytes), row, std::move(linkTo)});
    if (gathered_.size() >= kGatheredJobs || gatheredBytes_ >= kGatheredBytes) handOver();
}

void FileWriter::handOver() {
    if (gathered_.empty()) return;
    std::vector<Batch> spent;
    std::unique_lock lock(mutex_);
    // Bounded, so that a run of large archives waits for the disk instead of piling up.
    if (idle_ && queuedBytes_ >= kMostQueuedBytes) ready_.notify_one();
    room_.wait(lock, [&] { return queuedBytes_ < kMostQueuedBytes || jobs_.empty(); });
    spent.swap(spent_);
    queuedBytes_ += gatheredBytes_;
    jobs_.push_back(std::move(gathered_));
    const bool wake = idle_;
    lock.unlock();
    if (wake) ready_.notify_one();
    gatheredBytes_ = 0;
    // The written files' buffers are freed here; one of their lists takes the next files.
    gathered_ = spent.empty() ? Batch() : std::move(spent.back());
    gathered_.clear();
    gathered_.reserve(kGatheredJobs);
}

std::vector<std::size_t> FileWriter::finish() {
    handOver();
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    ready_.notify_one();
    if (thread_.joinable()) thread_.join();
    return takeFailed();
}

std::vector<std::size_t> FileWriter::flush() {
    handOver();
    std::vector<Batch> spent;
    std::unique_lock lock(mutex_);
    if (idle_) ready_.notify_one();
    room_.wait(lock, [&] { return jobs_.empty() && !writing_; });
    spent.swap(spent_);
    lock.unlock();
    return takeFailed();
}

std::vector<std::size_t> FileWriter::takeFailed() {
    std::lock_guard lock(mutex_);
    std::vector<std::size_t> failed = std::move(failed_);
    failed_.clear();
    std::sort(failed.begin(), failed.end());
    failed.erase(std::unique(failed.begin(), failed.end()), failed.end());
    return failed;
}

void FileWriter::loop() {
    std::vector<Batch> batches;
    std::vector<std::size_t> failed;
    std::size_t written = 0;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            if (writing_) {
                if (spent_.empty()) {
                    spent_.swap(batches);
                } else {
                    std::move(batches.begin(), batches.end(), std::back_inserter(spent_));
                    batches.clear();
                }
                failed_.insert(failed_.end(), failed.begin(), failed.end());
                failed.clear();
                queuedBytes_ -= written;
                written = 0;
                writing_ = false;
                room_.notify_all();
            }
            idle_ = jobs_.empty();
            ready_.wait(lock, [&] { return done_ || !jobs_.empty(); });
            idle_ = false;
            if (jobs_.empty()) return;
            batches.swap(jobs_);
            writing_ = true;
        }
        room_.notify_all();
        for (const Batch& batch : batches) {
            for (const Job& job : batch) {
                if (dropped_.load(std::memory_order_relaxed)) break;
                bool ok = false;
                try {
                    ok = job.linkTo.empty() ? job.folder->write(job.name, job.bytes)
                                            : job.folder->link(job.linkTo, job.name);
                } catch (...) {
                }
                if (!ok) failed.push_back(job.row);
                written += job.bytes.size();
            }
        }
    }
}

}  // namespace harbelle::legacyfiles
