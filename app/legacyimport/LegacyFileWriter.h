#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
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
    // Files are queued, and an idle writer woken, once this many files or bytes are gathered,
    // not for each: each queuing takes the lock the writer takes, and each wake costs both
    // threads a system call.
    static constexpr std::size_t kGatheredJobs = 32;
    static constexpr std::size_t kGatheredBytes = 1u << 20;
    struct Job {
        const OutputFolder* folder;
        std::string name;
        Bytes bytes;
        std::size_t row;
        std::string linkTo;
    };
    using Batch = std::vector<Job>;

    std::vector<std::size_t> takeFailed();
    // Queues the files gathered by the caller, under one lock for all of them.
    void handOver();
    void loop();

    Batch gathered_;  // on the caller's thread, not queued yet
    std::size_t gatheredBytes_ = 0;

    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    // Files travel in the lists they were gathered in. The writer takes every queued list at
    // once and hands the written ones back as `spent_`, for the thread that made their buffers
    // to free: freed on the writer, each would take the allocator's lock from under the reading
    // thread.
    std::vector<Batch> jobs_;
    std::vector<Batch> spent_;
    std::size_t queuedBytes_ = 0;  // queued or being written
    bool writing_ = false;
    bool idle_ = false;  // the writer waits for jobs
    bool done_ = false;
    std::atomic<bool> dropped_ = false;  // what is still to write is not wanted any more
    std::vector<std::size_t> failed_;
    std::thread thread_;
};

}  // namespace harbelle::legacyfiles
