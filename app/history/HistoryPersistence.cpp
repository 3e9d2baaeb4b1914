#include "history/HistoryPersistence.h"

#include <algorithm>
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <map>
#include <memory>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <pthread.h>
#include <sys/stat.h>

#include <QStandardPaths>
#include <QtGlobal>

#include "history/HistoryCodec.h"
#include "history/HistoryFiles.h"
#include "platform/FileSafety.h"
#include "platform/FreedMemory.h"

namespace harbelle {

namespace fs = std::filesystem;
using namespace historyfiles;

namespace {

constexpr std::uint64_t kDefaultMaximumFileSize = 512ull * 1024 * 1024;
// Earlier builds wrote history files past the limit: those are still read, up to this many
// times the limit, so that their clips come back.
constexpr std::uint64_t kRecoveryReadFactor = 4;
constexpr char kPrepareFailedMessage[] = "Could not prepare local history storage";
constexpr char kPreservedMessage[] = "History file was preserved for recovery";
constexpr char kCannotSaveMessage[] = "Could not save clipboard history";

// Set from a signal handler when the program is asked to quit (a lock-free store).
std::atomic<bool> quitRequested{false};

struct WriteOutcome {
    bool ok = false;
    std::uint64_t encoded = 0;  // the size the history takes, 0 when unknown
    int error = 0;              // errno of a failed write
    bool stopped = false;       // given up for a newer write or a quit
};

// A history file is read back only up to the limit, so a larger one is never written: the
// previous file stays. The file is encoded straight into a temporary file, a large piece at a
// time, which replaces the history only once whole. `stop` is checked between pieces. `atQuit`:
// the file replaced is freed by the next start rather than now.
WriteOutcome writeHistory(const PersistedHistory& history, const fs::path& url, std::uint64_t limit,
                          const std::atomic<bool>* stop = nullptr, bool atQuit = false) {
    WriteOutcome outcome;
    PendingFile file(url);
    std::uint64_t total = 0;
    try {
        historycodec::encode(history, [&](std::string_view piece) {
            if (stop && stop->load(std::memory_order_relaxed)) {
                outcome.stopped = true;
                return false;
            }
            total += piece.size();
            // Too large: the rest is only counted, for the room the store keeps.
            return total > limit || file.write(piece);
        });
    } catch (const historycodec::EncodingStopped&) {
        if (outcome.stopped) file.leaveForNextStart();  // the quit's write comes next
        if (!outcome.stopped) {
            outcome.error = file.error();
            qWarning("history: could not write %s: %s", url.c_str(), writeFailureText(outcome.error).c_str());
        }
        return outcome;
    } catch (const std::exception& error) {
        qWarning("history: could not encode the history: %s", error.what());
        return outcome;
    }
    outcome.encoded = total;
    if (total > limit) {
        qWarning("history: not written: %llu bytes is more than the %llu a history file may hold",
                 static_cast<unsigned long long>(total), static_cast<unsigned long long>(limit));
        return outcome;
    }
    if (!file.replace(atQuit)) {
        outcome.error = file.error();
        qWarning("history: could not write %s: %s", url.c_str(), writeFailureText(outcome.error).c_str());
        return outcome;
    }
    outcome.ok = true;
    return outcome;
}

// When this process started, on the coarse clock the kernel stamps files with: a temporary
// file stamped earlier was left by an earlier run.
const timespec kRunStarted = [] {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return now;
}();

bool isAsciiAlphanumeric(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// ".NAME.tmp-XXXXXX" with NAME a payload's plain file name ("UUID.png", "UUID.sync.png").
bool isPayloadTemporaryName(std::string_view name) {
    constexpr std::string_view marker = ".tmp-";
    const std::size_t at = name.rfind(marker);
    if (name.size() < 2 || name.front() != '.' || at == std::string_view::npos || at < 2) return false;
    const std::string_view payload = name.substr(1, at - 1);
    const std::string_view suffix = name.substr(at + marker.size());
    return payload.front() != '.' && !suffix.empty() && std::all_of(suffix.begin(), suffix.end(), isAsciiAlphanumeric) &&
           std::all_of(payload.begin(), payload.end(), [](char c) { return isAsciiAlphanumeric(c) || c == '.' || c == '-'; });
}

// A payload write cut short by a kill leaves a temporary file as large as its image, which no
// later pass would ever name. Ours only: regular files of this user, stamped before `started`.
int removeEarlierPayloadTemporaries(const fs::path& folder, const timespec& started) {
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (folderFd < 0) return 0;
    DIR* listing = ::fdopendir(folderFd);
    if (!listing) {
        ::close(folderFd);
        return 0;
    }
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(listing)) {
        if (!isPayloadTemporaryName(entry->d_name)) continue;
        struct stat info {};
        if (::fstatat(folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
            info.st_uid != ::geteuid())
            continue;
        const timespec& changed = info.st_mtim;
        if (changed.tv_sec < started.tv_sec || (changed.tv_sec == started.tv_sec && changed.tv_nsec < started.tv_nsec))
            stale.emplace_back(entry->d_name);
    }
    int removed = 0;
    for (const auto& name : stale) removed += ::unlinkat(folderFd, name.c_str(), 0) == 0 ? 1 : 0;
    ::closedir(listing);  // closes folderFd too
    return removed;
}

// The load's buffers are gone; the heap pages they left free go back to the system rather
// than stay counted against an agent that idles for days.
void returnFreedMemory() { returnFreedHeapToSystem(); }

void syncFolder(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

std::string utcStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}

}  // namespace

struct HistoryPersistence::Impl {
    fs::path applicationSupport;
    fs::path payloads;
    fs::path historyFile;
    ToastSink toast;
    bool writesAllowed = true;  // main thread only
    std::uint64_t maximumFileSize = kDefaultMaximumFileSize;
    bool loadedOversized = false;  // main thread only
    // The size of the history as last encoded (or loaded), and whether that save was refused
    // for it. Written by the save thread.
    std::atomic<std::uint64_t> encodedBytes{0};
    std::atomic<bool> lastSaveTooLarge{false};

    // The save thread: one job at a time, in the order posted.
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;  // nothing queued, nothing running
    bool running = false;
    std::deque<std::function<void()>> jobs;
    std::deque<std::function<void()>> idleJobs;
    static constexpr std::size_t kDeletionBatch = 16;
    // Longest a piece of housekeeping holds the save thread, and how long housekeeping may
    // still run once the program quits (what is left is found again at the next start).
    static constexpr std::chrono::milliseconds kSlice{5};
    static constexpr std::chrono::milliseconds kHousekeepingAtQuit{300};
    static constexpr int kDeletionBatchesAtQuit = 64;  // a few always go, however slow the disk
    bool stopping = false;
    // Set by the first of finishDeletions() and the destructor (under `mutex`).
    std::optional<std::chrono::steady_clock::time_point> quitBy;
    int batchesAtQuit = 0;

    // Under `mutex`: whether one more queued piece of housekeeping may run now that the
    // program quits. What is left is found again by the next start's orphan pass.
    void markQuitting() {
        if (!quitBy) quitBy = std::chrono::steady_clock::now() + kHousekeepingAtQuit;
    }
    bool mayRunAtQuit() {
        markQuitting();
        return ++batchesAtQuit <= kDeletionBatchesAtQuit || std::chrono::steady_clock::now() < *quitBy;
    }
    // The orphan pass parks here while held (both under `mutex`).
    bool orphanPassHeld = false;
    std::function<void()> parkedOrphanSlice;
    SaveObserver observer;
    std::thread thread;
    // Save thread only: retired names of failed writes, deleted after the next successful one
    // (the flush at exit at the latest) rather than left to a later start-up.
    std::map<std::string, std::uint64_t> retiredAfterFailure;
    // Set while a flush waits: saves queued before it stop early. Never cleared once the
    // program quits without a write (queuedWorkAbandoned).
    std::atomic<bool> superseded{false};
    // Work the next start can do again (a whole copy of an oversized file) stops.
    std::atomic<bool> quitting{false};
    std::atomic<bool> lastSaveStopped{false};
    std::string lastFailure;  // under `mutex`: why the last save failed, for the user

    // A file loaded at the start that no save may replace before a whole copy of it is kept:
    // one too large to write back whole, or one that could not be decoded. Save thread once set
    // (before the first job is posted).
    bool wholeCopyNeeded = false;
    std::string wholeCopySource;  // the stamp of an oversized file loaded, so it is copied once
    std::optional<std::set<std::string>> wholeCopyNames;  // none: the orphan pass reads the copy

    // Save thread. Makes the whole copy still owed, if any; a failure is tried again by the
    // next save, so saving resumes by itself once the disk has room. The copy stops for a
    // flush (the quit's write), which does not wait for a gigabyte to be copied: `atOnce`, the
    // file itself takes the copy's name beside its own (a hard link), and the write that then
    // replaces the history leaves it there whole.
    bool ensureWholeCopy(WriteOutcome& outcome, bool atOnce = false) {
        if (!wholeCopyNeeded) return true;
        if (quitting) {
            outcome.stopped = true;
            return false;
        }
        int error = 0;
        std::optional<fs::path> copy;
        const std::set<std::string>* names = wholeCopyNames ? &*wholeCopyNames : nullptr;
        if (atOnce) copy = keepRecoveryCopy([](PendingFile&) { return true; }, names, wholeCopySource, &error, true);
        const auto free = copy ? std::nullopt : freeBytes(historyFile.parent_path());
        if (free && *free < encodedAtLoad)
            error = ENOSPC;  // not worth writing a gigabyte to find out
        else if (!copy)
            copy = keepRecoveryCopy([&](PendingFile& file) {
                if (copyInto(file, historyFile, &superseded)) return true;
                // Stopped by the quit, which keeps the file itself instead.
                if (superseded) file.leaveForNextStart();
                return false;
            }, names, wholeCopySource, &error);
        if (!copy) {
            const bool stopped = quitting || superseded;
            if (stopped) outcome.stopped = true;
            else outcome.error = error != 0 ? error : EIO;
            if (!stopped) qWarning("history: no recovery copy of the history file could be made: %s",
                                   writeFailureText(outcome.error).c_str());
            return false;
        }
        wholeCopyNeeded = false;
        wholeCopyNames.reset();
        return true;
    }
    std::uint64_t encodedAtLoad = 0;

    bool hasWholeCopy(const std::string& identity) const {
        if (identity.empty()) return false;
        const std::string prefix = historyFile.stem().string() + ".backup";
        std::error_code error;
        for (fs::directory_iterator it(historyFile.parent_path(), error), end; !error && it != end; it.increment(error)) {
            const std::string name = it->path().filename().string();
            if (name.starts_with(prefix) && name.ends_with(".json") && isWholeCopyOf(it->path(), identity)) return true;
        }
        return false;
    }

    // How often each payload name was written in this run. A retired name is deleted only
    // while its count is still the one seen when the save was queued: a clip that came back
    // meanwhile (a received image reuses "<UUID>.png") keeps its new file.
    std::mutex payloadMutex;
    std::unordered_map<std::string, std::uint64_t> writeCounts;

    std::map<std::string, std::uint64_t> stamped(const std::set<std::string>& names) {
        std::map<std::string, std::uint64_t> out;
        std::lock_guard lock(payloadMutex);
        for (const auto& name : names) {
            auto it = writeCounts.find(name);
            out.emplace(name, it == writeCounts.end() ? 0 : it->second);
        }
        return out;
    }

    void noteWrite(const std::string& name) {
        std::lock_guard lock(payloadMutex);
        ++writeCounts[name];
    }
    // Main thread: the last load's file bytes and parser, until releaseLoadMemory().
    std::vector<std::shared_ptr<void>> loadMemory;
    // Save thread only: the payload names of the last list written.
    std::set<std::string> lastSavedNames;
    // The list the history file holds, clip for clip: the one loaded, then each one written.
    // Clips are shared and never changed in place, so an equal pointer is an unchanged clip.
    std::optional<ClipList> onDisk;
    // The list of the last save queued and its number (main thread), and the number of the last
    // save the save thread began.
    std::weak_ptr<const PersistedHistory> lastQueued;
    std::uint64_t savesQueued = 0;
    std::atomic<std::uint64_t> saveStarted{0};

    void post(std::function<void()> job) {
        {
            std::lock_guard lock(mutex);
            jobs.push_back(std::move(job));
        }
        wake.notify_one();
    }
    // A job that runs only while no other job waits.
    void postIdle(std::function<void()> job) {
        {
            std::lock_guard lock(mutex);
            idleJobs.push_back(std::move(job));
        }
        wake.notify_one();
    }

    void run() {
        pthread_setname_np(pthread_self(), "history-save");
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [&] { return stopping || !jobs.empty() || !idleJobs.empty(); });
                // Stopping: every save queued is done, and housekeeping had its time.
                if (jobs.empty() && (idleJobs.empty() || (stopping && !mayRunAtQuit()))) return;
                auto& from = jobs.empty() ? idleJobs : jobs;
                job = std::move(from.front());
                from.pop_front();
                running = true;
            }
            job();
            job = nullptr;  // what it held goes before anyone hears it is done
            std::lock_guard lock(mutex);
            running = false;
            if (jobs.empty() && idleJobs.empty()) idle.notify_all();
        }
    }

    // Save thread. One save: the write, then the retired payload files, but only those the
    // written list no longer names (a clip may have come back, for instance through a sync pull).
    // `unlessUnchanged` (a flush): a list the file already holds is not written again. A save
    // that is not a flush stops when a flush waits, which writes a newer list anyway.
    bool save(const PersistedHistory& history, std::map<std::string, std::uint64_t> retired,
              bool unlessUnchanged = false) {
        const bool unchanged = unlessUnchanged && onDisk && onDisk->pointers() == history.items.pointers();
        bool ok = unchanged;
        if (!unchanged) {
            WriteOutcome outcome;
            if (!ensureWholeCopy(outcome, unlessUnchanged))
                ;  // the file as it is must be kept before anything replaces it
            else
                outcome = writeHistory(history, historyFile, maximumFileSize, unlessUnchanged ? nullptr : &superseded,
                                       unlessUnchanged);
            ok = outcome.ok;
            encodedBytes = outcome.encoded;  // 0 when it could not be encoded or was given up
            lastSaveTooLarge = outcome.encoded > maximumFileSize;
            lastSaveStopped = outcome.stopped;
            std::lock_guard lock(mutex);
            lastFailure = outcome.error != 0 ? writeFailureText(outcome.error) : std::string();
        }
        if (!ok) {
            retiredAfterFailure.merge(retired);
            return false;
        }
        retired.merge(retiredAfterFailure);
        retiredAfterFailure.clear();
        if (!unchanged) onDisk = history.items;
        if (!unchanged || !retired.empty()) lastSavedNames = HistoryPersistence::referencedPayloadNames(history.items);
        // A few files go with the save itself. Many are deleted in small batches when no write
        // waits: thousands of unlinks (an import into a full history) never hold up a save or a
        // flush the main thread is blocked on.
        if (retired.size() <= kDeletionBatch) {
            deleteRetired(std::move(retired));
            return true;
        }
        std::map<std::string, std::uint64_t> batch;
        for (auto& entry : retired) {
            batch.insert(entry);
            if (batch.size() == kDeletionBatch) postIdle([this, names = std::exchange(batch, {})]() mutable {
                deleteRetired(std::move(names));
            });
        }
        if (!batch.empty()) postIdle([this, names = std::move(batch)]() mutable { deleteRetired(std::move(names)); });
        return true;
    }

    // Save thread. Only names the newest written list does not name are deleted.
    void deleteRetired(std::map<std::string, std::uint64_t> names) {
        std::erase_if(names, [&](const auto& entry) { return lastSavedNames.count(entry.first) > 0; });
        std::lock_guard lock(payloadMutex);
        for (const auto& [name, count] : names) {
            auto it = writeCounts.find(name);
            if ((it == writeCounts.end() ? 0 : it->second) != count) continue;
            HistoryPersistence::deletePayloads({name}, payloads);
        }
    }

    void notify(bool succeeded) {
        SaveObserver current;
        {
            std::lock_guard lock(mutex);
            current = observer;
        }
        if (current) current(succeeded);
    }

    void showToast(const std::string& message, ToastTone tone) const {
        if (toast) toast(message, tone);
    }

    // Makes a recovery copy that `fill` writes, under a temporary name until it is whole, and
    // keeps the payload names it needs beside it. The first copy is "history.backup.json"; a
    // later one never replaces it but gets a name of its own. Without `names` the orphan pass
    // finds them in the copy, once. `wholeCopyOf`: the stamp of the file it copies whole.
    // `linkingTheFile`: no bytes are written; the history file itself gets the copy's name.
    template <typename Fill>
    std::optional<fs::path> keepRecoveryCopy(Fill fill, const std::set<std::string>* names,
                                             const std::string& wholeCopyOf = {}, int* error = nullptr,
                                             bool linkingTheFile = false) const {
        const fs::path folder = historyFile.parent_path();
        std::optional<PendingFile> file;
        if (!linkingTheFile) file.emplace(historyFile);  // its temporary name is one the next start clears
        const auto failed = [&](int why = 0) -> std::optional<fs::path> {
            if (error) *error = file ? file->error() : why;
            return std::nullopt;
        };
        if (file && !fill(*file)) return failed();
        const std::string base = historyFile.stem().string() + ".backup";
        const std::string stamped = base + "-" + utcStamp();
        for (int counter = 0; counter <= 1000; ++counter) {
            const std::string name = counter == 0 ? base : counter == 1 ? stamped : stamped + "-" + std::to_string(counter);
            const fs::path copy = folder / (name + ".json");
            // A link never replaces what has the name, and is whole from the start. Across file
            // systems (a history file that is a link elsewhere) it fails: the bytes are copied.
            const CopyResult result = file ? file->publishAs(copy.filename().string()) : linkHistoryFileAs(copy);
            if (!file && result == CopyResult::failed) return failed(errno);
            switch (result) {
            case CopyResult::ok:
                if (names && !writeNamesBeside(copy, *names, wholeCopyOf))
                    qWarning("history: the names of %s were not kept", copy.c_str());
                return copy;
            case CopyResult::failed: return failed();
            case CopyResult::exists: break;
            }
        }
        return failed();
    }
    CopyResult linkHistoryFileAs(const fs::path& copy) const {
        if (::linkat(AT_FDCWD, historyFile.c_str(), AT_FDCWD, copy.c_str(), AT_SYMLINK_FOLLOW) != 0)
            return errno == EEXIST ? CopyResult::exists : CopyResult::failed;
        syncFolder(copy.parent_path());
        return CopyResult::ok;
    }
};

HistoryPersistence::HistoryPersistence(fs::path applicationSupport, ToastSink toast) : impl_(std::make_unique<Impl>()) {
    impl_->applicationSupport = std::move(applicationSupport);
    impl_->payloads = impl_->applicationSupport / "Payloads";
    impl_->historyFile = impl_->applicationSupport / "history.json";
    impl_->toast = std::move(toast);
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

HistoryPersistence::~HistoryPersistence() { finishSaveThread(); }

void HistoryPersistence::finishSaveThread() {
    if (!impl_->thread.joinable()) return;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->wake.notify_one();
    impl_->thread.join();
}

fs::path HistoryPersistence::defaultApplicationSupport() {
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty()) return {};
    return fs::path(data.toStdString()) / "Pemberlow";
}

const fs::path& HistoryPersistence::applicationSupportURL() const { return impl_->applicationSupport; }
const fs::path& HistoryPersistence::payloadsURL() const { return impl_->payloads; }
const fs::path& HistoryPersistence::historyFileURL() const { return impl_->historyFile; }

bool HistoryPersistence::prepareStorage() {
    if (!makeDirectories(impl_->payloads)) {
        qWarning("history: could not create %s", impl_->payloads.c_str());
        impl_->showToast(kPrepareFailedMessage, ToastTone::error);
        return false;
    }
    // Folders made earlier, possibly by something else, are tightened too; a failure is harmless.
    ::chmod(impl_->applicationSupport.c_str(), 0700);
    ::chmod(impl_->payloads.c_str(), 0700);
    // Saves cut short by a kill leave their temporary files; no save of ours runs yet.
    const int stale = filesafety::removeStaleTemporaryFiles(impl_->applicationSupport,
                                                            impl_->historyFile.filename().string());
    if (stale > 0) qInfo("history: removed %d unfinished temporary file(s)", stale);
    // Payload writes of this run may already be under way (they need no history); theirs are newer.
    const int payloads = removeEarlierPayloadTemporaries(impl_->payloads, kRunStarted);
    if (payloads > 0) qInfo("history: removed %d unfinished payload file(s)", payloads);
    return true;
}

std::optional<ClipList> HistoryPersistence::loadHistory() {
    releaseLoadMemory();
    impl_->loadedOversized = false;
    // Read and decoded on a thread of its own: a quit asked for meanwhile leaves it behind
    // rather than wait for a gigabyte to be parsed. The file stays as it is, and nothing
    // replaces it in this run.
    struct LoadWork {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        std::shared_ptr<FileBytes> bytes = std::make_shared<FileBytes>();
        std::shared_ptr<historycodec::Decoder> decoder = std::make_shared<historycodec::Decoder>();
        ReadResult read = ReadResult::failed;
        std::string why;
        std::optional<PersistedHistory> history;
    };
    auto work = std::make_shared<LoadWork>();
    std::thread worker([work, path = impl_->historyFile, limit = recoveryReadLimit()] {
        work->read = readLargeFile(path, limit, *work->bytes, work->why, &quitRequested);
        if (work->read == ReadResult::ok) {
            work->decoder->setStop(&quitRequested);
            try {
                work->history = work->decoder->decode(work->bytes->view(), kReadSlack);
            } catch (const std::exception& error) {
                work->why = error.what();
            }
        }
        std::lock_guard lock(work->mutex);
        work->done = true;
        work->finished.notify_all();
    });
    const auto quitting = [&] {
        if (!quitWasRequested()) return false;
        impl_->writesAllowed = false;
        return true;
    };
    {
        std::unique_lock lock(work->mutex);
        while (!work->finished.wait_for(lock, std::chrono::milliseconds(10), [&] { return work->done; })) {
            if (!quitting()) continue;
            lock.unlock();
            worker.detach();
            return std::nullopt;
        }
    }
    worker.join();
    const ReadResult read = work->read;
    std::string why = work->why;
    auto bytes = std::move(work->bytes);
    if (read == ReadResult::missing) return std::nullopt;  // a first launch
    if (quitting()) return std::nullopt;  // stopped, not damaged
    if (read == ReadResult::ok && work->history) {
        impl_->encodedBytes = bytes->size;
        PersistedHistory history = std::move(*work->history);
        impl_->onDisk = history.items;  // in file order: a list sorted below differs
        const auto newerFirst = [](const ClipItem& a, const ClipItem& b) { return a.recencyDate() > b.recencyDate(); };
        // Saved histories are already in order; sorting them anyway moves every clip twice.
        if (!std::is_sorted(history.items.begin(), history.items.end(), newerFirst))
            history.items.stableSort(newerFirst);
        impl_->loadMemory = {std::move(bytes), std::move(work->decoder)};
        // Too large to be written back whole: the store leaves clips out, so the file as it is
        // is copied aside, on the save thread before the first save that would replace it; a
        // file already copied whole at an earlier start is not copied again.
        if (impl_->encodedBytes > impl_->maximumFileSize) {
            impl_->loadedOversized = true;
            const std::string identity = fileIdentity(impl_->historyFile).value_or("");
            if (!impl_->hasWholeCopy(identity)) {
                impl_->wholeCopyNeeded = true;
                impl_->wholeCopySource = identity;
                impl_->wholeCopyNames = referencedPayloadNames(history.items);
                impl_->encodedAtLoad = impl_->encodedBytes;
            }
        }
        return std::move(history.items);
    }
    std::optional<std::set<std::string>> names;
    if (read == ReadResult::ok) collectPayloadNamesLeniently(bytes->view(), names.emplace());
    bytes.reset();

    // The file exists but holds nothing we can use. Its clips may still be recoverable by
    // hand, so it is copied aside, on the save thread before any save may replace it.
    qWarning("history: %s cannot be loaded (%s)", impl_->historyFile.c_str(), why.c_str());
    struct stat info {};
    if (::stat(impl_->historyFile.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        // Nothing captured in this run can be kept: say so rather than claim a recovery copy.
        qWarning("history: no recovery copy could be made; the history file will not be overwritten");
        impl_->writesAllowed = false;
        impl_->showToast(kCannotSaveMessage, ToastTone::error);
        return std::nullopt;
    }
    impl_->wholeCopyNeeded = true;
    impl_->wholeCopyNames = std::move(names);
    impl_->encodedAtLoad = std::uint64_t(info.st_size);
    impl_->post([impl = impl_.get()] {
        WriteOutcome outcome;
        impl->ensureWholeCopy(outcome);  // else the next save makes it
    });
    impl_->showToast(kPreservedMessage, ToastTone::info);
    return std::nullopt;
}

void HistoryPersistence::keepRecoveryCopy(ClipList clips, RecoveryCopyDone done) {
    impl_->post([impl = impl_.get(), clips = std::move(clips), done = std::move(done)] {
        std::string why;
        int error = 0;
        bool ok = false;
        try {
            const std::set<std::string> names = referencedPayloadNames(clips);
            ok = impl->keepRecoveryCopy([&](PendingFile& file) {
                try {
                    historycodec::encode(PersistedHistory{1, clips}, [&](std::string_view piece) { return file.write(piece); });
                    return true;
                } catch (const historycodec::EncodingStopped&) {
                    return false;
                }
            }, &names, {}, &error).has_value();
        } catch (const std::exception& failure) {
            why = failure.what();
        }
        if (!ok && why.empty()) why = writeFailureText(error);
        if (!ok) qWarning("history: could not keep a recovery copy of the clips left out: %s", why.c_str());
        done(ok, why);
    });
}

bool HistoryPersistence::keepRecoveryCopy(const ClipList& clips) {
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    keepRecoveryCopy(clips, [&](bool ok, const std::string&) { done.set_value(ok); });
    return result.get();
}

void HistoryPersistence::releaseLoadMemory() {
    if (impl_->loadMemory.empty()) return;
    // Unmapping a gigabyte takes tens of milliseconds: not on the main thread, which a quit
    // may be waiting for, and the process may end before it is done.
    std::thread([memory = std::move(impl_->loadMemory)]() mutable {
        memory.clear();
        returnFreedMemory();
    }).detach();
    impl_->loadMemory.clear();
}

void HistoryPersistence::enqueueSave(ClipList snapshot, std::set<std::string> retiredPayloadNames) {
    if (!impl_->writesAllowed) return;
    auto history = std::make_shared<const PersistedHistory>(PersistedHistory{1, std::move(snapshot)});
    impl_->lastQueued = history;
    const std::uint64_t number = ++impl_->savesQueued;
    impl_->post([impl = impl_.get(), history = std::move(history), number,
                 names = impl_->stamped(retiredPayloadNames)]() mutable {
        impl->saveStarted = number;
        bool ok = false;
        try {
            ok = impl->save(*history, std::move(names));
        } catch (const std::exception& error) {
            qWarning("history: save failed: %s", error.what());
        }
        impl->notify(ok);
    });
}

bool HistoryPersistence::flush(const ClipList& snapshot, const std::set<std::string>& retiredPayloadNames) {
    if (!impl_->writesAllowed) return false;
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    // The main thread waits below, so the job may borrow the caller's values.
    auto names = impl_->stamped(retiredPayloadNames);
    // Saves queued or running before this one stop, as this one writes a newer list; unless the
    // last one queued is running already and writes this very list: it is left to finish, and
    // this one finds the file holding the list.
    const auto last = impl_->lastQueued.lock();
    if (!last || impl_->saveStarted != impl_->savesQueued || last->items.pointers() != snapshot.pointers())
        impl_->superseded = true;
    impl_->post([&] {
        if (!impl_->quitting) impl_->superseded = false;
        bool ok = false;
        try {
            ok = impl_->save(PersistedHistory{1, snapshot}, std::move(names), true);
        } catch (const std::exception& error) {  // copying the list can run out of memory
            qWarning("history: save failed: %s", error.what());
        }
        done.set_value(ok);
    });
    return result.get();
}

void HistoryPersistence::finishDeletions() {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    // A plain job runs before any idle one, so it can take the queued deletions itself, for as
    // long as a quit allows: names left are in no saved history, so the next start's orphan
    // pass takes them.
    impl_->post([&] {
        for (;;) {
            std::function<void()> job;
            {
                std::lock_guard lock(impl_->mutex);
                // Quitting from here on, whatever is queued: a held orphan pass let go later
                // does not start again.
                impl_->markQuitting();
                if (impl_->idleJobs.empty() || !impl_->mayRunAtQuit()) break;
                job = std::move(impl_->idleJobs.front());
                impl_->idleJobs.pop_front();
            }
            job();
        }
        done.set_value();
    });
    finished.get();
}

void HistoryPersistence::removeOrphanedPayloadFilesInBackground(std::set<std::string> referenced) {
    // The kernel stamps files from its coarse clock: read the same one, so that a file written
    // after this moment never carries an earlier time.
    timespec started{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &started);
    auto scan = std::make_shared<OrphanScan>();
    scan->keep = std::move(referenced);
    impl_->postIdle([this, scan, started] { removeOrphansInSlices(scan, started); });
}

// Save thread. Hundreds of thousands of leftover files take a minute to unlink: the pass goes
// a slice at a time while no save waits, and stops with the program (the next start resumes).
void HistoryPersistence::removeOrphansInSlices(std::shared_ptr<OrphanScan> scan, timespec started) {
    const auto remove = [&](const std::string& name, const fs::path& path) {
        std::lock_guard lock(impl_->payloadMutex);  // a write of this name waits, then makes a new file
        if (impl_->writeCounts.contains(name) || impl_->lastSavedNames.contains(name)) return;
        // Writers outside this class (an import, a sync derivative) leave a newer file.
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) return;
        const timespec& changed = info.st_mtim;
        if (changed.tv_sec > started.tv_sec || (changed.tv_sec == started.tv_sec && changed.tv_nsec >= started.tv_nsec))
            return;
        ::unlink(path.c_str());
    };
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->quitBy) return;  // quitting: the next start resumes the pass
        if (impl_->orphanPassHeld) {
            impl_->parkedOrphanSlice = [this, scan, started] { removeOrphansInSlices(scan, started); };
            return;
        }
    }
    const auto until = std::chrono::steady_clock::now() + Impl::kSlice;
    bool more = true;
    while (more && std::chrono::steady_clock::now() < until) more = scanOrphans(*scan, 32, remove);
    if (more) impl_->postIdle([this, scan = std::move(scan), started] { removeOrphansInSlices(scan, started); });
}

void HistoryPersistence::holdOrphanPass(bool held) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->orphanPassHeld = held;
        if (held || !impl_->parkedOrphanSlice) return;
        impl_->idleJobs.push_back(std::exchange(impl_->parkedOrphanSlice, {}));
    }
    impl_->wake.notify_one();
}

void HistoryPersistence::waitUntilIdle() {
    std::unique_lock lock(impl_->mutex);
    impl_->idle.wait(lock, [&] { return !impl_->running && impl_->jobs.empty() && impl_->idleJobs.empty(); });
}

void HistoryPersistence::noteWrite(const std::string& name) { impl_->noteWrite(name); }

void HistoryPersistence::setSaveObserver(SaveObserver observer) {
    std::lock_guard lock(impl_->mutex);
    impl_->observer = std::move(observer);
}

bool HistoryPersistence::writesAllowed() const { return impl_->writesAllowed; }

void HistoryPersistence::abandonQueuedWork() {
    impl_->quitting = true;
    impl_->superseded = true;
}

bool HistoryPersistence::lastSaveWasStopped() const { return impl_->lastSaveStopped; }

std::string HistoryPersistence::lastSaveFailure() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->lastFailure;
}

void HistoryPersistence::requestQuitFromSignal() { quitRequested.store(true, std::memory_order_relaxed); }
bool HistoryPersistence::quitWasRequested() { return quitRequested.load(std::memory_order_relaxed); }

void HistoryPersistence::setMaximumFileSize(std::uint64_t bytes) { impl_->maximumFileSize = bytes; }
std::uint64_t HistoryPersistence::maximumFileSize() const { return impl_->maximumFileSize; }
std::uint64_t HistoryPersistence::recoveryReadLimit() const { return impl_->maximumFileSize * kRecoveryReadFactor; }
bool HistoryPersistence::loadedOversizedHistory() const { return impl_->loadedOversized; }
std::uint64_t HistoryPersistence::encodedHistoryBytes() const { return impl_->encodedBytes; }
bool HistoryPersistence::lastSaveWasTooLarge() const { return impl_->lastSaveTooLarge; }

bool HistoryPersistence::persistHistory(const ClipList& items, const fs::path& url) {
    try {
        return writeHistory(PersistedHistory{1, items}, url, kDefaultMaximumFileSize).ok;
    } catch (const std::exception& error) {  // copying the list can run out of memory
        qWarning("history: save failed: %s", error.what());
        return false;
    }
}

}  // namespace harbelle
