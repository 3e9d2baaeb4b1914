#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Defaults.h"

namespace harbelle::legacyfiles {

// The umask leaves a file created 0600 exactly so, unless it takes away the owner's bits;
// read once, as the umask cannot be looked at without changing it for every thread.
bool umaskKeepsOwnerBits();

// Syncs the whole file system that holds `folder`: once a run, instead of once a file.
void syncFileSystemOf(const std::filesystem::path& folder);

// A folder the run fills with new files, held open so that each file costs one short lookup.
class OutputFolder {
public:
    OutputFolder(std::filesystem::path path, bool setModes);
    ~OutputFolder();
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    // A new 0600 file; not synced here: the run syncs the whole file system once at its end.
    bool write(const std::string& name, const Bytes& data) const;
    // `name` made a second name of `existing` in the folder: bytes written once for rows that
    // share one external archive. A file left under the name by an earlier run is replaced.
    bool link(const std::string& existing, const std::string& name) const;

private:
    std::filesystem::path path_;
    int fd_;
    bool setModes_;
};

// Writes the run's files on a thread of its own while the next rows are read and parsed. A file
// that cannot be written fails its row, once the run knows it.
class FileWriter {
public:
    FileWriter();
    // A run ended by an error or a cancel: what is still queued is never written.
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // With `linkTo`, `name` becomes a second name of that file (written before it, in order).
    void write(const OutputFolder& folder, std::string name, Bytes bytes, std::size_t row, std::string linkTo = {});
    // Waits for every queued file; the rows whose files were not written, in ascending order.
    std::vector<std::size_t> finish();
    // The same, the writer staying for the rows that follow (numbered from 0 again).
    std::vector<std::size_t> flush();

private:
    static constexpr std::size_t kMostQueuedBytes = 64u << 20;
    // An idle writer is woken once this many files or bytes wait, not for each: on a fast disk
    // it would sleep again after every file, and each wake costs both threads a system call.
    static constexpr std::size_t kWakeAfterJobs = 32;
    static constexpr std::size_t kWakeAfterBytes = 1u << 20;
    struct Job {
        const OutputFolder* folder;
        std::string name;
        Bytes bytes;
        std::size_t row;
        std::string linkTo;
    };

    std::vector<std::size_t> takeFailed();
    void loop();

    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    // The writer takes queued files a few dozen at a time and hands the written ones back as
    // `spent_`, for the thread that made their buffers to free: freed on the writer, each would
    // take the allocator's lock from under the reading thread.
    static constexpr std::size_t kMostTakenJobs = 32;
    std::deque<Job> jobs_;
    std::vector<Job> spent_;
    std::size_t queuedBytes_ = 0;  // queued or being written
    bool writing_ = false;
    bool idle_ = false;  // the writer waits for jobs
    bool done_ = false;
    std::atomic<bool> dropped_ = false;  // what is still to write is not wanted any more
    std::vector<std::size_t> failed_;
    std::thread thread_;
};

}  // namespace harbelle::legacyfiles
