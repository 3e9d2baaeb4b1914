// Clipboard capture: the poll, pausing and the capture decision with image payloads.
#include <QCoreApplication>

#include <algorithm>

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

void HistoryStore::captureCurrentClipboardIfUseful() {
    if (!captureReader_ || demoMode_) return;
    const PasteboardCapture capture = captureReader_->read(CaptureSettings{captureImages(), skipSensitiveContent()});
    if (capture.toast) showToast(capture.toast->message, capture.toast->tone);
    switch (capture.content) {
    case PasteboardCapture::Content::none:
        return;
    case PasteboardCapture::Content::files:
    case PasteboardCapture::Content::text: {
        insert(capture.makeClip(clock_.now()));
        return;
    }
    case PasteboardCapture::Content::image:
        captureImage(capture);
        return;
    }
}

void HistoryStore::captureImage(const PasteboardCapture& capture) {
    if (!persistence_) return;
    const Date now = clock_.now();
    ClipItem probe = capture.makeImageClip(now, Uuid::random(), std::nullopt);
    const std::size_t existing = items_.indexOfFingerprint(probe.fingerprint);

    if (existing < items_.size()) {
        // The same image again: the stored clip moves up and keeps its payload, so no file
        // is written and no second recognition runs.
        const Uuid existingID = items_[existing].id;
        if (!restoreLostImagePayload(items_.mutableAt(existing), capture.png)) return;
        insert(std::move(probe));
        const int index = indexOf(existingID);
        if (index < 0) return;
        const ClipItem& stored = items_[index];
        const bool hasUploadCopy = stored.kind == ClipKind::image && stored.syncPayloadFilename &&
                                   stored.syncPayloadDigest && persistence_->readPayload(*stored.syncPayloadFilename);
        if (!hasUploadCopy) encodeSyncDerivative(capture.png, existingID);
        return;
    }

    const Uuid id = Uuid::random();
    const std::string filename = id.uppercaseString() + ".png";
    if (!persistence_->writePayload(filename, capture.png)) {
        showToast(kImageSaveFailedMessage, ToastTone::error);
        return;
    }
    insert(capture.makeImageClip(now, id, filename));
    if (const auto path = persistence_->payloadPath(filename)) recognizeText(*path, id);
    encodeSyncDerivative(capture.png, id);
}

bool HistoryStore::restoreLostImagePayload(ClipItem& stored, const Bytes& png) {
    if (stored.kind != ClipKind::image) return true;
    if (stored.payloadFilename && persistence_->readPayload(*stored.payloadFilename)) return true;
    // Named like a captured image's file: by the clip's id.
    const std::string filename = stored.id.uppercaseString() + ".png";
    ClipItem before;
    before.payloadFilename = stored.payloadFilename;
    before.payloadContentType = stored.payloadContentType;
    ClipItem after;
    after.payloadFilename = filename;
    const std::int64_t growth = growthOf(before, after);
    if (!admitGrowthToHistoryFile(growth, kClipTooLargeMessage)) return false;
    if (!persistence_->writePayload(filename, png)) {
        admitGrowthToHistoryFile(-growth, nullptr);  // gives the bytes back
        showToast(kImageSaveFailedMessage, ToastTone::error);
        return true;
    }
    // An unreadable file under another name goes once the history no longer names it.
    if (stored.payloadFilename && *stored.payloadFilename != filename &&
        HistoryPersistence::isSafePayloadName(*stored.payloadFilename))
        retiredPayloadFilenames_.insert(*stored.payloadFilename);
    stored.payloadFilename = filename;
    stored.payloadContentType.reset();
    return true;
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
