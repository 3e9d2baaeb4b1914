// Clipboard capture: the poll, pausing and the capture decision with image payloads.
#include <QCoreApplication>
#include <QThreadPool>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "history/HistoryPersistence.h"
#include "history/HistoryStore.h"
#include "history/ImageTextRecognition.h"
#include "history/PasteboardCaptureReader.h"

namespace harbelle {

void HistoryStore::attachPlatform(const Options& options) {
    pasteboard_ = options.pasteboard;
    workspace_ = options.workspace;
    textRecognizer_ = options.textRecognizer;
    loginItemService_ = options.loginItemService;
    ownProcessID_ = options.ownProcessID ? *options.ownProcessID
                                         : static_cast<ProcessID>(QCoreApplication::applicationPid());
    // What is on the clipboard now is captured once by startMonitoring, never by the poll.
    if (pasteboard_) lastSeenChangeCount_ = pasteboard_->changeCount();
    if (pasteboard_ && workspace_)
        captureReader_ = std::make_unique<PasteboardCaptureReader>(*pasteboard_, *workspace_, ownProcessID_);
}

// ---- Monitoring ---------------------------------------------------------------------------------

void HistoryStore::startMonitoring() {
    if (monitorTask_.isSet() || demoMode_ || !pasteboard_) return;
    schedulePoll();
    if (!isPaused()) captureCurrentClipboardIfUseful();
}

void HistoryStore::stopMonitoring() {
    monitorTask_.cancel();
    monitorTask_.reset();
}

void HistoryStore::schedulePoll() {
    monitorTask_ = clock_.schedule(kPollInterval, [this] {
        schedulePoll();  // first, so a capture that stops monitoring is not undone
        pollPasteboard();
    });
}

void HistoryStore::pollPasteboard() {
    const std::int64_t count = pasteboard_->changeCount();
    if (count == lastSeenChangeCount_) return;
    // Counted before capturing: a copy skipped now (paused, our own window in front, a
    // marker) is never captured later.
    lastSeenChangeCount_ = count;
    if (!isPaused()) captureCurrentClipboardIfUseful();
}

void HistoryStore::readCopyNotYetPolled() {
    // Read within the clipboard's own deadline, like a poll.
    if (!monitorTask_.isSet() || !pasteboard_) return;
    pasteboard_->catchUpWithOwner();
    if (pasteboard_->changeCount() != lastSeenChangeCount_) pollPasteboard();
}

void HistoryStore::setPaused(bool paused) {
    settings_->setCapturePaused(paused);
    showToast(paused ? "Clipboard capture paused" : "Clipboard capture resumed", ToastTone::success);
    if (!paused && pasteboard_) lastSeenChangeCount_ = pasteboard_->changeCount();
}

// ---- Capture ------------------------------------------------------------------------------------

namespace {

// Its own thread: a quit waits for these files, never for other work on a shared pool.
QThreadPool& imageFileWriter() {
    static QThreadPool pool;
    pool.setMaxThreadCount(1);
    return pool;
}

}  // namespace

// A copy read from the clipboard, waiting its turn to be added.
struct HistoryStore::PendingCapture {
    PasteboardCapture capture;
    Date readAt;
    bool begun = false;
    // An image's clip, with the file it is waiting for.
    ClipItem clip;
    // The stored clip whose lost file is written again, and the bytes its new name adds.
    std::optional<Uuid> restoring;
    std::int64_t growth = 0;
    // Set off this thread by the write.
    std::mutex mutex;
    std::condition_variable writtenSignal;
    bool written = false;
    bool writeSucceeded = false;
    std::string writtenName;

    bool writeFinished() {
        std::lock_guard lock(mutex);
        return written;
    }
};

void HistoryStore::captureCurrentClipboardIfUseful() {
    if (!captureReader_ || demoMode_) return;
    auto pending = std::make_shared<PendingCapture>();
    pending->capture = captureReader_->read(CaptureSettings{captureImages(), skipSensitiveContent()});
    pending->readAt = clock_.now();
    if (pending->capture.toast) showToast(pending->capture.toast->message, pending->capture.toast->tone);
    if (pending->capture.content == PasteboardCapture::Content::none) return;
    pendingCaptures_.push_back(std::move(pending));
    applyPendingCaptures();
}

void HistoryStore::applyPendingCaptures() {
    // Adding a clip calls out (sync, the shelf); a copy read from there waits its turn here.
    if (applyingCaptures_) return;
    applyingCaptures_ = true;
    while (!pendingCaptures_.empty()) {
        const std::shared_ptr<PendingCapture> head = pendingCaptures_.front();
        bool done = false;
        if (!head->begun) {
            head->begun = true;
            done = beginCapture(*head);
        } else if (head->writeFinished()) {
            done = finishImageCapture(*head);
        }
        if (!done) break;
        pendingCaptures_.pop_front();
    }
    applyingCaptures_ = false;
}

void HistoryStore::finishPendingCaptures() {
    if (applyingCaptures_) return;
    while (!pendingCaptures_.empty()) {
        PendingCapture& head = *pendingCaptures_.front();
        if (head.begun) {
            std::unique_lock lock(head.mutex);
            head.writtenSignal.wait(lock, [&] { return head.written; });
        }
        applyPendingCaptures();
    }
}

bool HistoryStore::beginCapture(PendingCapture& pending) {
    switch (pending.capture.content) {
    case PasteboardCapture::Content::none:
        return true;
    case PasteboardCapture::Content::files:
    case PasteboardCapture::Content::text:
        insert(pending.capture.makeClip(pending.readAt));
        return true;
    case PasteboardCapture::Content::image:
        return beginImageCapture(pending);
    }
    return true;
}

bool HistoryStore::beginImageCapture(PendingCapture& pending) {
    if (!persistence_) return true;
    pending.clip = pending.capture.makeImageClip(pending.readAt, Uuid::random(), std::nullopt);
    const std::size_t existing = items_.indexOfFingerprint(pending.clip.fingerprint);
    if (existing < items_.size()) {
        // The same image again: the stored clip moves up and keeps its payload, so no file
        // is written and no second recognition runs, unless its file is gone.
        const ClipItem& stored = items_[existing];
        if (stored.kind != ClipKind::image ||
            (stored.payloadFilename && persistence_->readPayload(*stored.payloadFilename))) {
            applyRepeatedImage(pending);
            return true;
        }
        // Named like a captured image's file: by the clip's id.
        const std::string filename = stored.id.uppercaseString() + ".png";
        ClipItem before;
        before.payloadFilename = stored.payloadFilename;
        before.payloadContentType = stored.payloadContentType;
        ClipItem after;
        after.payloadFilename = filename;
        pending.growth = growthOf(before, after);
        if (!admitGrowthToHistoryFile(pending.growth, kClipTooLargeMessage)) return true;
        pending.restoring = stored.id;
        writePayloadInBackground(pendingCaptures_.front(), filename);
        return false;
    }
    pending.clip.payloadFilename = pending.clip.id.uppercaseString() + ".png";
    writePayloadInBackground(pendingCaptures_.front(), *pending.clip.payloadFilename);
    return false;
}

void HistoryStore::writePayloadInBackground(const std::shared_ptr<PendingCapture>& pending, const std::string& name) {
    {
        std::lock_guard lock(pending->mutex);
        pending->written = false;
        pending->writtenName = name;
    }
    // A file synced to disk can take tens of milliseconds on a busy machine.
    captureWrites_.run(
        [pending, write = payloadWriter(), name] {
            const bool ok = write(name, pending->capture.png);
            std::lock_guard lock(pending->mutex);
            pending->writeSucceeded = ok;
            pending->written = true;
            pending->writtenSignal.notify_all();
        },
        [this] { applyPendingCaptures(); }, &imageFileWriter());
}

bool HistoryStore::finishImageCapture(PendingCapture& pending) {
    const std::string filename = pending.writtenName;
    if (!pending.restoring) {
        if (!pending.writeSucceeded) {
            showToast(kImageSaveFailedMessage, ToastTone::error);
            return true;
        }
        if (items_.indexOfFingerprint(pending.clip.fingerprint) < items_.size()) {
            // The same image came meanwhile (from sync): the stored clip keeps its own file.
            retirePayloadFilename(filename);
            pending.clip.payloadFilename.reset();
            applyRepeatedImage(pending);
            return true;
        }
        const Uuid id = pending.clip.id;
        insert(pending.clip);
        if (const auto path = persistence_->payloadPath(filename)) recognizeText(*path, id);
        encodeSyncDerivative(pending.capture.png, id);
        return true;
    }
    const int index = indexOf(*pending.restoring);
    if (!pending.writeSucceeded || index < 0) {
        admitGrowthToHistoryFile(-pending.growth, nullptr);  // gives the bytes back
        if (!pending.writeSucceeded) showToast(kImageSaveFailedMessage, ToastTone::error);
    }
    if (index < 0) {
        // Deleted meanwhile: the copy becomes a clip of its own, with a file named by its id.
        if (pending.writeSucceeded) retirePayloadFilename(filename);
        pending.restoring.reset();
        pending.clip.payloadFilename = pending.clip.id.uppercaseString() + ".png";
        writePayloadInBackground(pendingCaptures_.front(), *pending.clip.payloadFilename);
        return false;
    }
    if (pending.writeSucceeded) {
        ClipItem& stored = items_.mutableAt(static_cast<std::size_t>(index));
        // An unreadable file under another name goes once the history no longer names it.
        if (stored.payloadFilename && *stored.payloadFilename != filename &&
            HistoryPersistence::isSafePayloadName(*stored.payloadFilename))
            retiredPayloadFilenames_.insert(*stored.payloadFilename);
        stored.payloadFilename = filename;
        stored.payloadContentType.reset();
    }
    applyRepeatedImage(pending);
    return true;
}

void HistoryStore::applyRepeatedImage(PendingCapture& pending) {
    const std::string fingerprint = pending.clip.fingerprint;
    insert(pending.clip);
    const std::size_t index = items_.indexOfFingerprint(fingerprint);
    if (index >= items_.size()) return;
    const ClipItem& stored = items_[index];
    const bool hasUploadCopy = stored.kind == ClipKind::image && stored.syncPayloadFilename &&
                               stored.syncPayloadDigest && persistence_->readPayload(*stored.syncPayloadFilename);
    if (!hasUploadCopy) encodeSyncDerivative(pending.capture.png, stored.id);
}

// ---- Text recognition ---------------------------------------------------------------------------

void HistoryStore::recognizeText(const std::filesystem::path& imageFile, const Uuid& itemID) {
    if (!textRecognizer_) return;
    // The result comes back on the main thread, and never after this store is gone.
    ImageTextRecognition::recognizeText(*textRecognizer_, imageFile, itemID, this,
                                        [this](const Uuid& id, const std::string& text) { applyRecognizedText(id, text); });
}

void HistoryStore::applyRecognizedText(const Uuid& itemID, const std::string& text) {
    const ClipItem* image = item(itemID);
    if (!image) return;
    ClipItem before;
    before.searchableText = image->searchableText;
    ClipItem after;
    after.searchableText = text;
    if (!admitGrowthToHistoryFile(growthOf(before, after), kImageTextTooLargeMessage)) return;
    if (!ImageTextRecognition::applyRecognizedText(items_, itemID, text)) return;
    itemsDidChange();
    scheduleSave(false);
}

}  // namespace harbelle
