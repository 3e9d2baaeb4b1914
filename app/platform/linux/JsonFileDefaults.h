#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/Defaults.h"

namespace harbelle {

// Settings of one identifier kept as one JSON object in "<identifier>.json" under the user's
// configuration folder. The file is read once. A change updates memory at once; a writer thread
// of its own rewrites the file whole and atomically (a 0600 temporary file beside it, or beside
// its target when it is a link, synced, then renamed over it) `writeDelay` after the first
// unsaved change, so a burst of changes costs one write and the caller never waits on the disk.
// A crash loses at most that last moment of changes, never the file. `flush` (and the
// destructor) write what is pending before returning.
//
// A file that cannot be parsed is copied aside to "<identifier>.corrupt.json" (an existing
// copy is never overwritten) and the settings start empty. When the bad file cannot be copied,
// or cannot even be read, nothing is written for this run so its bytes survive.
class JsonFileDefaults final : public Defaults {
public:
    static constexpr const char* kDefaultIdentifier = "com.harbelleapp.Harbelle";

    static constexpr std::chrono::milliseconds kWriteDelay{500};

    explicit JsonFileDefaults(std::string identifier = kDefaultIdentifier,
                              std::optional<std::filesystem::path> folder = std::nullopt,
                              std::chrono::milliseconds writeDelay = kWriteDelay);
    ~JsonFileDefaults() override;
    JsonFileDefaults(const JsonFileDefaults&) = delete;
    JsonFileDefaults& operator=(const JsonFileDefaults&) = delete;

    std::optional<nlohmann::json> object(const std::string& key) const override;
    void set(const std::string& key, const nlohmann::json& value) override;
    void removeObject(const std::string& key) override;
    std::optional<nlohmann::json> persistentDomain(const std::string& identifier) const override;
    void flush() override;
    std::optional<std::string> readFailure() const override { return readFailure_; }

    // Removes temporary files of this settings file left by a save that was cut short. Only
    // while no other instance can be writing it. Returns how many were removed.
    int removeStaleTemporaryFiles();
    // The most recent problem (reading, preserving or writing the file); empty when none.
    std::string lastError() const;
    // Whole-file writes done so far.
    std::uint64_t writeCount() const;
    // False after an unreadable file could not be preserved: changes then stay in memory.
    bool writesAllowed() const { return writesAllowed_; }
    const std::filesystem::path& fileURL() const { return file_; }
    const std::filesystem::path& folderURL() const { return folder_; }

    // $XDG_CONFIG_HOME (normally ~/.config).
    static std::filesystem::path defaultFolder();

private:
    void load();
    bool preserveCorruptFile(const std::string& bytes);
    void schedulePersist();
    // Writes the latest values when they are not on disk yet. Holds `writeMutex_`.
    void persistPending();
    void persist(const nlohmann::json& values);
    void writerLoop();

    std::string identifier_;
    std::filesystem::path folder_;
    std::filesystem::path file_;
    const std::chrono::milliseconds writeDelay_;
    // `values_`, the change counters, the deadline and `lastError_` live under `mutex_`; one
    // write at a time under `writeMutex_` (taken before `mutex_`, never after).
    mutable std::mutex mutex_;
    std::mutex writeMutex_;
    std::condition_variable wake_;
    nlohmann::json values_ = nlohmann::json::object();
    std::uint64_t changes_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t writeCount_ = 0;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    bool stopping_ = false;
    std::string lastError_;
    std::optional<std::string> readFailure_;
    bool writesAllowed_ = true;
    std::thread writer_;
};

}  // namespace harbelle
