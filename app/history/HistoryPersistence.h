#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "history/ClipItem.h"
#include "history/ClipList.h"
#include "history/Toast.h"

namespace harbelle {

namespace historyfiles {
class PayloadNameScanner;
}

// Everything the history store does on disk: the storage folders, the single read of
// "history.json" (with recovery copies of unreadable files), whole-file atomic saves on one
// save thread, payload files and the start-up orphan pass. It holds no clip state; the store
// hands it snapshots. Main-thread methods are marked; the save thread touches only copies.
class HistoryPersistence {
public:
    using ToastSink = std::function<void(const std::string& message, ToastTone tone)>;
    // Called on the save thread after each asynchronous save with its outcome; there,
    // encodedHistoryBytes() is that save's.
    using SaveObserver = std::function<void(bool succeeded)>;

    // `applicationSupport` is the store's folder ("…/Pemberlow"). `toast` is called on the
    // calling (main) thread for start-up problems.
    HistoryPersistence(std::filesystem::path applicationSupport, ToastSink toast);
    ~HistoryPersistence();  // finishes queued saves, then stops the save thread
    // The destructor's work without the rest of the teardown: queued saves finish and the
    // save thread ends. Nothing may be queued after it.
    void finishSaveThread();

    static std::filesystem::path defaultApplicationSupport();  // $XDG_DATA_HOME/Pemberlow

    const std::filesystem::path& applicationSupportURL() const;
    const std::filesystem::path& payloadsURL() const;
    const std::filesystem::path& historyFileURL() const;

    // Main thread, start-up. Creates the folders (0700 from creation). False (and a toast)
    // when the payload folder cannot be made.
    bool prepareStorage();
    // Main thread, start-up. The decoded clips sorted newest first by recency, or nothing when
    // the file is missing or could not be read or decoded (then a recovery copy is kept and a
    // toast shown; if even that fails, saves are refused for this run).
    std::optional<ClipList> loadHistory();
    // Main thread: has the save thread write these clips to a recovery copy of their own beside
    // the history file (their payload files are then never taken for orphans), after the saves
    // queued before; `done` is called there, with what failed when it could not.
    using RecoveryCopyDone = std::function<void(bool kept, const std::string& why)>;
    void keepRecoveryCopy(ClipList clips, RecoveryCopyDone done);
    // The same, waiting for it. False when it cannot.
    bool keepRecoveryCopy(const ClipList& clips);
    // Main thread. Gives back the memory the last load read and parsed in (about three times
    // the file), on a thread of its own: a caller in a hurry calls it once the hurry is over,
    // else the next load or the destructor does.
    void releaseLoadMemory();
    // Main thread, start-up: removes payload files no clip (and no recovery copy) names.
    void removeOrphanedPayloadFiles(const ClipList& items);
    // Main thread, start-up: the same pass on the save thread, ahead of any save, so the shelf
    // need not wait for it. `referenced`: the loaded clips' payload names. Files written
    // meanwhile (a capture, an import, a received image) are never taken for orphans.
    void removeOrphanedPayloadFilesInBackground(std::set<std::string> referenced);

    // Main thread: while held, the orphan pass waits (an import writes into the payload
    // folder, and the files it writes are named only once its merged history is saved).
    void holdOrphanPass(bool held);

    // Main thread: hands a snapshot to the save thread; on success the retired names that the
    // snapshot no longer names are deleted after the write. Names of a failed write wait for
    // the next successful one.
    void enqueueSave(ClipList snapshot, std::set<std::string> retiredPayloadNames);
    // Main thread, at a quit: waits for earlier saves, then writes synchronously. True on
    // success. A list the file already holds clip for clip (loaded or written) is not written
    // again, and a save of that very list already under way is left to finish. A large file
    // replaced is freed by the next start, not now.
    bool flush(const ClipList& snapshot, const std::set<std::string>& retiredPayloadNames);
    // At quit: does the payload deletions that earlier saves queued, as many as a quit allows
    // (the rest are found again by the next start's orphan pass), and ends the orphan pass.
    void finishDeletions();
    void setSaveObserver(SaveObserver observer);
    // Main thread: waits until the save thread has nothing queued or running (saves and
    // housekeeping alike; a held orphan pass waits on its own).
    void waitUntilIdle();
    // False when an unreadable history file could not be preserved: nothing overwrites it.
    bool writesAllowed() const;
    // Main thread, at a quit with nothing to write: what is queued or running stops (the next
    // start does again what it would have done; the files stay as they are).
    void abandonQueuedWork();
    // Whether the last save was given up for a flush or a quit (no failure of its own), and
    // otherwise why it failed, for the user ("the disk is full"); empty when it did not.
    bool lastSaveWasStopped() const;
    std::string lastSaveFailure() const;
    // A quit asked for while the start still reads the history: the load stops and nothing is
    // written in this run. The first may be called from a signal handler.
    static void requestQuitFromSignal();
    static bool quitWasRequested();

    // Files larger than this (default 512 MiB) are not read into memory: a history file that
    // big is treated as unreadable and preserved, a payload file is treated as absent.
    // The history file is never written larger than this either: such a save is refused and
    // leaves the previous file (lastSaveWasTooLarge()).
    void setMaximumFileSize(std::uint64_t bytes);
    std::uint64_t maximumFileSize() const;
    // History files (and recovery copies) up to this size are still read: earlier builds wrote
    // them past the limit.
    std::uint64_t recoveryReadLimit() const;
    // Main thread: whether the last load read a file over the limit (a recovery copy of it was
    // kept); the store must leave clips out before its next save can succeed.
    bool loadedOversizedHistory() const;
    // The size of the history file as last loaded, or of the history as last encoded for a
    // save (whether written or refused; 0 when it could not be encoded).
    std::uint64_t encodedHistoryBytes() const;
    // Whether the last save was refused because the history is larger than the limit.
    bool lastSaveWasTooLarge() const;

    // Payload names are relative paths inside "Payloads" with no "." or ".." part, not
    // absolute and without NUL; anything else is treated as absent.
    static bool isSafePayloadName(const std::string& name);
    // The file of a safe name, unless a symbolic link lies on the way inside "Payloads".
    std::optional<std::filesystem::path> payloadPath(const std::string& name) const;
    static std::optional<std::filesystem::path> payloadPath(const std::filesystem::path& payloadsURL,
                                                            const std::string& name);
    // Writes a payload file (0600 from creation). False on failure or an unsafe name.
    bool writePayload(const std::string& name, const Bytes& data);
    // Reads and deletes never follow a symbolic link inside "Payloads".
    std::optional<Bytes> readPayload(const std::string& name) const;

    // The file operations themselves, for the save thread and for tests.
    static bool persistHistory(const ClipList& items, const std::filesystem::path& url);
    static void deletePayloads(const std::set<std::string>& names, const std::filesystem::path& payloadsURL);
    // The safe `payloadFilename`, `syncPayloadFilename` and `legacyPayloadFilename` values of
    // the clips, as exact strings.
    static std::set<std::string> referencedPayloadNames(const ClipList& items);

private:
    void noteWrite(const std::string& name);
    // The orphan pass, a few entries at a time: `remove` is called for each unnamed regular
    // file (safe name, relative to the payload folder, and its path); nothing when a recovery
    // copy cannot be read. False once the pass is over.
    struct OrphanScan {
        std::set<std::string> keep;
        std::filesystem::recursive_directory_iterator it;
        bool opened = false;
        bool listing = false;
        // Recovery copies whose names are not kept beside them yet, read a piece at a time.
        std::vector<std::filesystem::path> copiesToRead;
        std::shared_ptr<historyfiles::PayloadNameScanner> reading;
    };
    using OrphanVisitor = std::function<void(const std::string&, const std::filesystem::path&)>;
    bool scanOrphans(OrphanScan& scan, std::size_t count, const OrphanVisitor& remove) const;
    void removeOrphansInSlices(std::shared_ptr<OrphanScan> scan, timespec started);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace harbelle
