#pragma once

#include <QObject>

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "history/AppSettings.h"
#include "history/ClipDeviceOrigin.h"
#include "history/ClipFilter.h"
#include "history/ClipItem.h"
#include "history/ClipList.h"
#include "history/ClipKind.h"
#include "history/LegacyPreferenceMigration.h"
#include "history/ShelfPlacement.h"
#include "history/SyncableImagePayload.h"
#include "history/Toast.h"
#include "platform/BackgroundWork.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/Pasteboard.h"
#include "platform/Workspace.h"

namespace harbelle {

class HistoryPersistence;
class LoginItemService;
class PasteboardCaptureReader;
struct PasteboardCapture;
class TextRecognizer;

// What the store is built with besides its defaults and clock.
struct HistoryStoreOptions {
    // The storage folder itself; the default is "…/Pemberlow" under the data folder.
    std::optional<std::filesystem::path> applicationSupport;
    // Sample history, nothing read or written on disk, no capture.
    bool demoMode = false;
    // Forces auto-hide on with this delay (seconds); given only in demo mode.
    std::optional<double> autoHideOverride;
    // Whether the login item is enabled or awaiting approval; absent reads as not.
    LoginItemActiveProvider loginItemActive;
    // The program's identifier as the preference migration sees it; the default is the
    // bundle's own. Tests set it.
    std::optional<std::string> bundleIdentifier;

    // Platform services, each optional and owned by the caller (they must outlive the store).
    // Without a clipboard nothing is captured or written; without a workspace the source of a
    // copy is unknown; without a recognizer images get no searchable text; without a login
    // item service `loginItemActive` alone answers, and the toggle cannot change anything.
    Pasteboard* pasteboard = nullptr;
    Workspace* workspace = nullptr;
    TextRecognizer* textRecognizer = nullptr;
    LoginItemService* loginItemService = nullptr;
    // The process whose windows are "this program"; the default is the calling process.
    std::optional<ProcessID> ownProcessID;
    // The largest history file written (and read without recovery); 512 MiB unless a test
    // sets it.
    std::optional<std::uint64_t> maximumFileBytes;
};

// The one store of the application, on the main thread: the clip history, the shelf's shared
// state, the toast line and the direct-paste permission flags. The user's settings live in
// `settings()`, shared with the views; the store forwards them under its own names and keeps
// the setters whose change sets something off (a trim, a permission sheet, a panel layout).
class HistoryStore : public QObject {
    Q_OBJECT

public:
    using Options = HistoryStoreOptions;

    static constexpr std::int64_t kMinimumMaxHistory = AppSettings::kMinimumMaxHistory;
    static constexpr Milliseconds kSaveDebounce{450};
    // After a failed write (a full disk) the save is tried again by itself.
    static constexpr Milliseconds kSaveRetry{10'000};
    // Clips received through sync arrive one main-thread step each; the views hear of them at
    // most this often, so a pulled page costs a few refreshes rather than one per clip.
    static constexpr Milliseconds kReceivedChangeInterval{50};
    static constexpr Milliseconds kToastDuration{2400};
    static constexpr const char* kSaveFailedMessage = "Could not save clipboard history";
    static constexpr const char* kClipTooLargeMessage = "Clip not kept: the history file has no room for it";
    // The same refusal for the changes of a clip that is kept.
    static constexpr const char* kEditTooLargeMessage = "Edit not saved: the history file has no room for it";
    static constexpr const char* kPasteMarkTooLargeMessage =
        "Pasted, but not marked in the history: its file has no room for it";
    static constexpr const char* kCopyMarkTooLargeMessage =
        "Copied, but not marked in the history: its file has no room for it";
    static constexpr const char* kFavoriteTooLargeMessage = "Favorite not changed: the history file has no room for it";
    static constexpr const char* kImageTextTooLargeMessage =
        "Text in the image not kept: the history file has no room for it";

    HistoryStore(Defaults& defaults, Clock& clock, Options options = {}, QObject* parent = nullptr);
    ~HistoryStore() override;

    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Kinds whose clips take part in sync; file clips never do.
    static bool isSyncableKind(ClipKind kind);
    static constexpr std::array<ClipKind, 5> syncableKinds{ClipKind::text, ClipKind::link, ClipKind::image,
                                                           ClipKind::code, ClipKind::color};

    // ---- Published state ------------------------------------------------------------------
    const ClipList& items() const { return items_; }
    const std::string& query() const { return query_; }
    ClipFilter activeFilter() const { return activeFilter_; }
    const std::optional<std::string>& activeDeviceID() const { return activeDeviceID_; }
    const std::optional<Uuid>& selectedID() const { return selectedID_; }
    bool isPaused() const { return settings_->capturePaused(); }
    bool showSettings() const { return showSettings_; }
    const std::optional<ClipItem>& previewItem() const { return previewItem_; }
    const std::optional<ClipItem>& editingItem() const { return editingItem_; }
    // Counts the openings of the editor. A clip that only moves to another id while it is open
    // keeps the number, so the editor keeps what was typed.
    std::uint64_t editingSession() const { return editingSession_; }
    const std::optional<std::string>& toastMessage() const { return toastMessage_; }
    ToastTone toastTone() const { return toastTone_; }
    bool launchAtLogin() const { return launchAtLogin_; }
    std::int64_t maxHistory() const { return settings_->maxHistory(); }
    bool captureImages() const { return settings_->captureImages(); }
    bool skipSensitiveContent() const { return settings_->skipSensitiveContent(); }
    bool replayLocallyOnly() const { return settings_->replayLocallyOnly(); }
    bool pasteDirectly() const { return settings_->pasteDirectly(); }
    bool pasteUsesSystemShortcut() const { return settings_->pasteUsesSystemShortcut(); }
    bool alwaysPastePlainText() const { return settings_->alwaysPastePlainText(); }
    const std::optional<std::string>& migrationStatus() const { return migrationStatus_; }
    const std::string& globalShortcutLabel() const { return globalShortcutLabel_; }
    bool accessibilityAccessGranted() const { return accessibilityAccessGranted_; }
    bool eventPostingAccessGranted() const { return eventPostingAccessGranted_; }
    bool directPasteVerified() const { return settings_->directPasteVerified(); }
    bool showPermissionSetup() const { return showPermissionSetup_; }
    ShelfPlacement shelfPlacement() const { return settings_->shelfPlacement(); }
    ShelfSizeMode shelfSizeMode() const { return settings_->shelfSizeMode(); }
    double barTransparency() const { return settings_->barTransparency(); }
    bool autoHideEnabled() const { return settings_->autoHideEnabled(); }
    double autoHideDelay() const { return settings_->autoHideDelay(); }
    bool isDraggingClip() const { return isDraggingClip_; }
    // The clipboard the store was built with; nothing without one.
    Pasteboard* pasteboard() const { return pasteboard_; }

    // Plain shared state the views and controllers write directly.
    void setQuery(const std::string& query);
    void setActiveFilter(ClipFilter filter);
    void setActiveDeviceID(const std::optional<std::string>& deviceID);
    void setSelectedID(const std::optional<Uuid>& id);
    // Whoever sets this also calls announceSettingsVisibility; the store never does.
    void setShowSettings(bool visible);
    void setPreviewItem(const std::optional<ClipItem>& item);
    void setEditingItem(const std::optional<ClipItem>& item);
    void setMigrationStatus(const std::optional<std::string>& status);
    void setGlobalShortcutLabel(const std::string& label);
    void setShowPermissionSetup(bool shown);
    void setDraggingClip(bool dragging);
    // Set by the paste engine after a verified direct paste; written under its key.
    void setDirectPasteVerified(bool verified) { settings_->setDirectPasteVerified(verified); }

    // ---- Fixed facts ----------------------------------------------------------------------
    bool demoMode() const { return demoMode_; }
    bool migratedLegacyPreferences() const { return migratedLegacyPreferences_; }
    const std::filesystem::path& applicationSupportURL() const { return applicationSupportURL_; }
    const std::filesystem::path& payloadsURL() const { return payloadsURL_; }
    const std::set<std::string>& retiredPayloadFilenames() const { return retiredPayloadFilenames_; }
    Defaults& defaults() const { return defaults_; }
    AppSettings& settings() const { return *settings_; }
    Clock& clock() const { return clock_; }

    // ---- Derived views of the list -------------------------------------------------------
    // The shelf's clips under the query and filters, in list order. Cached until the list,
    // the query or a filter changes (the reference is valid until then); the folded search
    // text lives on each clip.
    const ClipList& filteredItems() const;
    int count(ClipFilter filter) const;
    FilterCounts counts() const;  // every filter's count, in the order of clipfilter::allCases
    int favoriteCount() const;
    std::vector<ClipDeviceFilterOption> availableDevices() const;

    // ---- Settings setters -----------------------------------------------------------------
    void updateMaxHistory(std::int64_t value);
    void updatePasteDirectly(bool value);
    // For this run only: neither written to the settings nor asking for permissions.
    void setPasteDirectly(bool value) { settings_->holdPasteDirectly(value); }
    void updateShelfSizeMode(ShelfSizeMode mode);
    void updateShelfPlacement(ShelfPlacement placement);
    void updateBarTransparency(double value) { settings_->setBarTransparency(value); }
    void updateAutoHideDelay(double seconds);
    void updateAutoHideEnabled(bool value);
    void updateCaptureImages(bool value) { settings_->setCaptureImages(value); }
    void updateSkipSensitiveContent(bool value) { settings_->setSkipSensitiveContent(value); }
    void updateReplayLocallyOnly(bool value) { settings_->setReplayLocallyOnly(value); }
    void updateAlwaysPastePlainText(bool value) { settings_->setAlwaysPastePlainText(value); }
    void updatePasteUsesSystemShortcut(bool value) { settings_->setPasteUsesSystemShortcut(value); }
    void updateDirectPastePermissionStatus(bool accessibility, bool eventPosting);

    void recordCustomShelfSize(double width, double height) { settings_->recordCustomShelfSize(width, height); }
    std::optional<CustomShelfSize> customShelfSize(ShelfPlacement placement) const {
        return settings_->customShelfSize(placement);
    }

    // ---- Capture ----------------------------------------------------------------------------
    static constexpr Milliseconds kPollInterval{400};
    static constexpr const char* kImageSaveFailedMessage = "Could not save copied image";

    // Starts the clipboard poll and captures what is there now; nothing in demo mode, without
    // a clipboard, or while already running.
    void startMonitoring();
    // Stops the poll (shutdown, or while direct-paste access is missing); a later
    // startMonitoring() starts it again.
    void stopMonitoring();
    bool isMonitoring() const { return monitorTask_.isSet(); }
    // Pauses or resumes capture; whatever was copied while paused is never captured.
    void setPaused(bool paused);
    // The capture decision for the current clipboard; the poll calls it on each new change.
    // Copies are added in the order they were read: an image's file is written off this
    // thread before its clip is added, and copies read meanwhile wait behind it.
    void captureCurrentClipboardIfUseful();
    // Waits for the image files being written and adds every copy read so far (a quit).
    void finishPendingCaptures();
    bool capturesPending() const { return !pendingCaptures_.empty(); }
    // The change count the store has accounted for: its own writes and copies seen while
    // paused or skipped are never captured.
    std::int64_t lastSeenChangeCount() const { return lastSeenChangeCount_; }

    // Recognizes the words in a newly captured image in the background and stores them as the
    // clip's searchable text. Returns at once.
    void recognizeText(const std::filesystem::path& imageFile, const Uuid& itemID);
    // The compressed upload copy of a captured image, made by the sync bridge; returns at
    // once. Capture relies on nothing it does.
    void encodeSyncDerivative(const Bytes& png, const Uuid& itemID);
    // Filled by the sync bridge; encodeSyncDerivative does nothing while it is unset.
    std::function<void(const Bytes& png, const Uuid& itemID)> onEncodeSyncDerivative;
    // Main thread: records a derivative file the bridge wrote into the payload folder on the
    // clip it was made for and tells sync; when that clip is gone, the file is retired.
    void applySyncDerivative(const Uuid& itemID, const std::string& filename, const SyncableImagePayload& derivative);

    // ---- Writing clips out --------------------------------------------------------------------
    // The clip's main payload file when it exists.
    std::optional<std::filesystem::path> payloadURL(const ClipItem& item) const;
    // The clipboard objects of a clip for a paste or a drag; empty when it offers nothing.
    std::vector<PasteboardObject> pasteboardObjects(const ClipItem& item, bool plainText, bool forDrag) const;
    // Puts the clip on the clipboard; true when written. The write's change count counts as
    // seen, so the clip never comes back as a new one.
    bool writeToPasteboard(const ClipItem& item, bool plainText);
    // Puts the clip on the primary selection as well, for a terminal that pastes only that.
    bool writeToPrimarySelection(const ClipItem& item, bool plainText);
    // Rebuilds a clip of the legacy import from its stored archive; filled by the import.
    // While unset, such clips offer nothing.
    std::function<std::optional<PasteboardObject>(const ClipItem& item, const std::filesystem::path& payloadsURL,
                                                  bool plainText)>
        makeLegacyPasteboardItem;

    // ---- Launch at login -----------------------------------------------------------------------
    // The user's toggle: registers or unregisters the login item, keeps the item's real state
    // as the wish and says so in a toast.
    void updateLaunchAtLogin(bool enabled);

    // ---- Toast ----------------------------------------------------------------------------
    void showToast(const std::string& message, ToastTone tone);

    // ---- Clip list ------------------------------------------------------------------------
    // New clip to the top, or the stored clip with the same fingerprint moved up and
    // refreshed; selects it, trims, saves later and tells sync.
    void insert(ClipItem clip);
    void trimHistoryIfNeeded();
    void deleteItem(const ClipItem& clip);  // `delete` is a keyword
    void clearHistory(bool keepingFavorites);
    void togglePinned(const ClipItem& clip);
    // `pastedAt`: when the paste went out, if that was earlier than now (a paste confirmed only
    // after a check); the clip is then stamped with it and stays below clips copied since.
    void markReplaySucceeded(const ClipItem& clip, std::optional<Date> pastedAt = std::nullopt);
    // The same for a copy-only replay; false when the file had no room for the mark.
    bool markCopySucceeded(const ClipItem& clip);
    void retirePayload(const ClipItem& clip);
    void notifySyncableDeletion(const std::vector<ClipItem>& clips);
    void notifySyncableCapture(const ClipItem& clip);

    // ---- Clips from sync ---------------------------------------------------------------------
    // Received clips are placed by recency (never simply on top), are not selected, show no
    // toast and fire no sync hook. Each does nothing in demo mode.
    void applySyncInsert(const Uuid& id, const std::string& text, Date createdAt,
                         const std::optional<ClipSourceDeviceOrigin>& origin);
    // A received image: a clip with the same id or the same bytes is promoted, otherwise the
    // image is written under the clip's id and a new clip names it as payload and derivative.
    // `written`: the image's file, already written (receivedImageFileToWrite); a clip that does
    // not take it leaves it retired. Sync hands every file written so (off this thread); without
    // it, a file the clip needs is written here. `fingerprint`: the clip's, when worked out.
    void applySyncImageInsert(const Uuid& id, const SyncableImagePayload& image, Date createdAt,
                              const std::optional<ClipSourceDeviceOrigin>& origin,
                              const std::optional<std::string>& written = std::nullopt,
                              const std::string& fingerprint = {});
    // Gives an image clip whose own file is missing the received image.
    void applySyncImagePayload(const Uuid& id, const SyncableImagePayload& image,
                               const std::optional<std::string>& written = std::nullopt);
    // "<UUID>.png" for "image/png", "<UUID>.jpg" for anything else.
    static std::string receivedImageFilename(const Uuid& id, const std::string& contentType);
    // The file a received image for `id` may be written to before it is applied, off this
    // thread; none when that name may be a clip's own file. `attaching`: for
    // applySyncImagePayload (a clip held here whose own file is missing), else for an insert;
    // an insert whose `fingerprint` (when given) a clip held here has writes nothing either.
    std::optional<std::string> receivedImageFileToWrite(const Uuid& id, const std::string& contentType,
                                                        bool attaching, const std::string& fingerprint = {}) const;
    // Writes a payload file from any thread, as HistoryPersistence::writePayload, while the
    // store lives; false once it is gone (a write under way holds its destruction up).
    using PayloadWriter = std::function<bool(const std::string& name, const Bytes& data)>;
    PayloadWriter payloadWriter() const;
    void applySyncPromote(const Uuid& id, const std::optional<Date>& createdAt,
                          const std::optional<ClipSourceDeviceOrigin>& origin);
    // Removes the clip, unless it is a favourite here (favourites are not synced). True when
    // a clip was removed.
    bool applySyncDelete(const Uuid& id);
    // Gives the local clip the identifier the service chose, merging it with a clip that
    // already has that identifier. False, changing nothing, when that clip holds other
    // content.
    bool applySyncCanonicalization(const Uuid& localID, const Uuid& canonicalID);
    // Queues one payload file for deletion after the next successful save.
    void retirePayloadFilename(const std::string& name);
    // A payload file's bytes by relative name; nothing for an unsafe name or a missing file.
    std::optional<Bytes> readPayloadFile(const std::string& name) const;
    const ClipItem* item(const Uuid& id) const;
    // "image/png" for a name ending in ".png" in any case, else "image/jpeg".
    static std::string syncContentTypeForFilename(const std::string& name);

    // Typed clips and editing.
    static constexpr const char* kNewTextClipText = "New reusable snippet";
    void addTextClip(const std::string& text);
    // A new typed clip holding kNewTextClipText, with the editor opened on it.
    void startNewTextClip();
    // True when the text was kept: written into the clip, or, when the clip has left the list
    // meanwhile, saved as a new clip. False leaves the editor open.
    bool saveEditedText(const ClipItem& clip, const std::string& text);
    static constexpr const char* kEditedClipGoneMessage =
        "The clip was removed meanwhile; your text was saved as a new clip";

    // Selection and paste requests.
    std::optional<ClipItem> selectedItem() const;
    // The card the shelf highlights: the selected clip while the search and filters show it,
    // else the first shown clip; none on an empty shelf. Keys and Return act on this one.
    std::optional<ClipItem> shownSelectedItem() const;
    void moveSelection(int delta);
    void requestPaste(const ClipItem& clip, bool asPlainText);
    void requestPasteSelected(bool asPlainText);

    // A clip card's drag: selects the clip and holds the shelf open until the drag ends; a drop
    // counts as a paste of the clip.
    void beginClipDrag(const ClipItem& clip);
    void endClipDrag(bool didDrop);

    // Batch import: returns how many of the given clips are in the list after the trim; every
    // clip taken gets `importedFrom` = `sourceName`.
    int importItems(std::vector<ClipItem> batch, const std::string& sourceName);
    // The same merge in short steps of the main thread, for a batch too large for one (see
    // HistoryImportMerge); `batch` sorted newest first by creation date. `done(added, saved)`
    // runs once the merged history's write has finished.
    void importItemsInSteps(ClipList batch, const std::string& sourceName,
                            std::function<void(int added, bool saved)> done);
    // Room left in the history file for more clips, in encoded bytes (see
    // historycodec::encodedSize; a clip takes one byte more for its separator). Every change
    // counts when it is made; only the start's repair of an older file waits for its save.
    std::uint64_t historyFileBytesLeft() const;
    // Deletes the given clips' payload files that no clip of the list names, on the save thread
    // after the next successful write (the importer flushes right after).
    void removeUnreferencedPayloads(const std::vector<ClipItem>& clips);

    // Gives clips without a device origin one; true when any clip changed.
    bool migrateMissingDeviceOrigins();

    // ---- Saving ---------------------------------------------------------------------------
    void scheduleSave(bool immediate);
    // Writes synchronously; true on success (always in demo mode).
    bool flushHistory();
    // Stops capture, the pending save and the toast clearing, then writes synchronously.
    void shutdown();
    // Reads a copy made since the last poll now, while the application that made it is still
    // in front (the shelf is about to come forward, or the program to quit).
    void readCopyNotYetPolled();
    // After shutdown, for a process that ends without its teardown: the save thread has
    // finished and nothing reaches the store any more.
    void finishWritesForExit();
    // Writes handed to the save thread whose outcome has not come back yet.
    std::uint64_t savesInFlight() const { return savesEnqueued_ - savesFinished_; }

    // ---- Requests the views pass on to whoever listens (the coordinator) ------------------
    void requestHide() { emit hideRequested(); }
    void requestQuit() { emit quitRequested(); }
    void requestDirectPasteAccess() { emit directPasteAccessRequested(); }
    void refreshDirectPasteAccess() { emit directPasteAccessRefreshRequested(); }
    void openAccessibilitySettings() { emit accessibilitySettingsRequested(); }
    // Whether the desktop has accessibility settings to open; the launch sets it.
    bool accessibilitySettingsAvailable() const { return accessibilitySettingsAvailable_; }
    void setAccessibilitySettingsAvailable(bool available) { accessibilitySettingsAvailable_ = available; }
    // Whether an accessibility bus exists, switched on or off; each permission check sets it.
    bool accessibilityBusAvailable() const { return accessibilityBusAvailable_; }
    void setAccessibilityBusAvailable(bool available) {
        if (available == accessibilityBusAvailable_) return;
        accessibilityBusAvailable_ = available;
        emit accessibilityBusAvailableChanged();
    }
    void finishPermissionSetup() { emit permissionSetupFinished(); }
    // The settings were shown or hidden somewhere; `showSettings` is already up to date.
    void announceSettingsVisibility(bool visible) { emit settingsVisibilityAnnounced(visible); }
    // A paste of exactly this clip, leaving the selection alone (the shelf's own sheets).
    void requestPasteAsIs(const ClipItem& clip, bool plainText) { emit pasteRequested(clip, plainText); }

    // ---- Sync hooks (set by the sync bridge) -----------------------------------------------
    std::function<void(const Uuid& id, const std::string& text, Date createdAt,
                       const ClipSourceDeviceOrigin& origin)>
        onSyncableTextCaptured;
    std::function<void(const Uuid& id, const SyncableImagePayload& image, Date createdAt,
                       const ClipSourceDeviceOrigin& origin)>
        onSyncableImageCaptured;
    // With each clip's creation date: a delete is sent for that record.
    std::function<void(const std::vector<Uuid>& ids, const std::vector<Date>& createdAt)> onSyncableClipsDeleted;

signals:
    void itemsChanged();
    void queryChanged();
    void activeFilterChanged();
    void activeDeviceIDChanged();
    void selectedIDChanged();
    void isPausedChanged();
    void showSettingsChanged();
    void previewItemChanged();
    void editingItemChanged();
    void toastChanged();
    void launchAtLoginChanged();
    void maxHistoryChanged();
    void captureImagesChanged();
    void skipSensitiveContentChanged();
    void replayLocallyOnlyChanged();
    void pasteDirectlyChanged();
    void pasteUsesSystemShortcutChanged();
    void alwaysPastePlainTextChanged();
    void migrationStatusChanged();
    void globalShortcutLabelChanged();
    void accessibilityAccessGrantedChanged();
    void eventPostingAccessGrantedChanged();
    void directPasteVerifiedChanged();
    void showPermissionSetupChanged();
    void accessibilityBusAvailableChanged();
    void shelfPlacementChanged();
    void shelfSizeModeChanged();
    void barTransparencyChanged();
    void autoHideEnabledChanged();
    void autoHideDelayChanged();
    void isDraggingClipChanged();
    // After each background history write, on the main thread, with its outcome.
    void saveFinished(bool succeeded);

    void pasteRequested(const ClipItem& clip, bool plainText);
    void hideRequested();
    void quitRequested();
    void directPasteAccessRequested();
    void directPasteAccessRefreshRequested();
    void accessibilitySettingsRequested();
    void permissionSetupFinished();
    void settingsVisibilityAnnounced(bool visible);
    // The user changed a setting the panel's frame or its countdown follows (a live resize
    // of the panel is not such a change).
    void shelfPlacementSettingChanged();
    void shelfSizeSettingChanged();
    void autoHideSettingChanged();
    void clipDragSessionEnded(bool dropped);

protected:
    // The pending poll step; shutdown stops it.
    ScheduledTask monitorTask_;

private:
    friend class HistoryImportMerge;
    void attachPlatform(const Options& options);
    void schedulePoll();
    void pollPasteboard();
    struct PendingCapture;
    void applyPendingCaptures();
    // True when the copy is dealt with; false while its image file is being written.
    bool beginCapture(PendingCapture& pending);
    bool beginImageCapture(PendingCapture& pending);
    bool finishImageCapture(PendingCapture& pending);
    void writePayloadInBackground(const std::shared_ptr<PendingCapture>& pending, const std::string& name);
    // A repeated image moves the stored clip up; an upload copy is made when it has none.
    void applyRepeatedImage(PendingCapture& pending);
    void applyRecognizedText(const Uuid& itemID, const std::string& text);
    void promoteSyncedItem(std::size_t index, const std::optional<Date>& createdAt,
                           const std::optional<ClipSourceDeviceOrigin>& origin);
    std::optional<std::string> writeReceivedImage(const Bytes& data, const Uuid& id, const std::string& contentType);
    void insertByRecency(ClipItem clip);

    void readSettings(const std::optional<double>& autoHideOverride);
    void loadStoredHistory(std::optional<std::uint64_t> maximumFileBytes);
    // The room rule, for every road a new clip takes into the list: true, its bytes counted,
    // when the history file has room for it once the clip limit has dropped what it drops
    // for this clip; false, with a toast unless `quietly`, when not. A clip `ofABatch` is
    // counted alone: the batch is trimmed, and its bytes given back, as a whole.
    bool admitToHistoryFile(const ClipItem& clip, bool quietly = false, bool ofABatch = false);
    // Gives back the bytes of clips that left the list.
    // The room rule for clips changed in place: true, the growth counted (a negative growth
    // gives bytes back), when the history file has room for it; false, with `refusal` as the
    // toast, when not. Without a refusal the change is counted as it is.
    bool admitGrowthToHistoryFile(std::int64_t growth, const char* refusal);
    bool markReplayed(const ClipItem& clip, std::optional<Date> pastedAt, const char* refusal);
    // What a clip adds to the file when it changes from `before` to `after`. A change of a few
    // fields is measured on probes that hold only those fields, never reading a large text.
    static std::int64_t growthOf(const ClipItem& before, const ClipItem& after);
    // A probe of the fields a move to the top or a promotion changes: dates and source.
    static ClipItem datesAndSourceOf(const ClipItem& clip);
    // A probe of the upload copy's fields: its name, digest, size and pixel size.
    static ClipItem syncPayloadOf(const ClipItem& clip);
    // Names `image`, in the file `name`, as the clip's upload copy.
    static void setSyncPayload(ClipItem& clip, const std::string& name, const SyncableImagePayload& image);
    void releaseFromHistoryFile(const ClipItem& clip);
    void releaseFromHistoryFile(std::uint64_t bytes) { historyBytesLedger_ -= std::int64_t(bytes); }
    // The history file's room starts again from this size of the list as it is now.
    void recountHistoryFile(std::uint64_t bytes);
    // Leaves the largest clips out until the history fits its file; how many went. Unless
    // `copyKept` (the load kept the whole file), the clips left out are first written to a
    // recovery copy, and none is left out when that fails. Their files stay: the copy names them.
    int fitHistoryToFile(bool copyKept);
    // The same after a save refused as too large: the copy is written on the save thread, and
    // the clips still in the list then leave it. False when none has to.
    bool fitHistoryToFileLater();
    // The clips to leave out, largest first; `fileBytes` learns the file's size without them.
    std::vector<std::size_t> clipsNotFitting(std::uint64_t* fileBytes = nullptr) const;
    // `fileBytes`: the size the rest takes, when known.
    void leaveOut(const std::unordered_set<const ClipItem*>& clips, std::optional<std::uint64_t> fileBytes = std::nullopt);
    void enqueueSave();
    void saveWhenDue();
    bool trimItems();  // true when clips were dropped; announces nothing
    // `encoded`: the size of the list that save took (0 when unknown).
    // `stopped`: given up for a newer write, no failure; `why`: what failed, for the user.
    void handleSaveOutcome(bool succeeded, std::uint64_t encoded, bool stopped = false, const std::string& why = {});
    void setItems(ClipList items);
    void itemsDidChange();
    // For changes that arrive through sync: the list is current at once, the announcement
    // follows within kReceivedChangeInterval (or with the next plain change).
    void receivedItemsDidChange();
    void announcePendingItemsChange();
    void setSelectedIDQuietly(const std::optional<Uuid>& id);
    // The open editor's clip under its new id, in the same editing session.
    void followEditingItem(const ClipItem& item);
    int indexOf(const Uuid& id) const;
    static std::vector<ClipItem> demoItems(Date now);

    Defaults& defaults_;
    Clock& clock_;
    const bool demoMode_;
    bool migratedLegacyPreferences_ = false;
    std::filesystem::path applicationSupportURL_;
    std::filesystem::path payloadsURL_;
    std::filesystem::path historyFileURL_;
    // Hands save outcomes from the save thread back; declared first so it outlives that thread.
    BackgroundWork saveOutcomes_{this};
    std::unique_ptr<HistoryPersistence> persistence_;
    // Payload writes from other threads reach the persistence only while the store holds it.
    struct PayloadWriteGuard {
        std::mutex mutex;
        HistoryPersistence* persistence = nullptr;
    };
    std::shared_ptr<PayloadWriteGuard> payloadWrites_ = std::make_shared<PayloadWriteGuard>();
    std::deque<std::shared_ptr<PendingCapture>> pendingCaptures_;
    bool applyingCaptures_ = false;
    // Hands written image files back; what is on its way when the store goes is dropped.
    BackgroundWork captureWrites_{this};
    // Made once the older preferences are copied in, so they count in this launch.
    std::unique_ptr<AppSettings> settings_;

    ClipList items_;
    std::string query_;
    ClipFilter activeFilter_ = ClipFilter::all;
    std::optional<std::string> activeDeviceID_;
    std::optional<Uuid> selectedID_;
    bool showSettings_ = false;
    std::optional<ClipItem> previewItem_;
    std::optional<ClipItem> editingItem_;
    std::uint64_t editingSession_ = 0;
    std::optional<std::string> toastMessage_;
    ToastTone toastTone_ = ToastTone::success;
    bool launchAtLogin_ = false;
    // The settings file could not be read, so the limit is unknown: no clip is dropped for it
    // until the user sets one.
    bool trimSuspended_ = false;
    std::optional<std::string> migrationStatus_;
    std::string globalShortcutLabel_ = "⇧⌘V";
    bool accessibilitySettingsAvailable_ = true;
    bool accessibilityBusAvailable_ = true;
    bool accessibilityAccessGranted_ = false;
    bool eventPostingAccessGranted_ = false;
    bool showPermissionSetup_ = false;
    bool isDraggingClip_ = false;
    std::optional<ClipItem> draggingItem_;

    Pasteboard* pasteboard_ = nullptr;
    Workspace* workspace_ = nullptr;
    TextRecognizer* textRecognizer_ = nullptr;
    LoginItemService* loginItemService_ = nullptr;
    ProcessID ownProcessID_ = 0;
    std::unique_ptr<PasteboardCaptureReader> captureReader_;
    std::int64_t lastSeenChangeCount_ = 0;

    ScheduledTask saveTask_;
    Date saveDueAt_{};
    ScheduledTask receivedChangeTask_;
    ScheduledTask toastTask_;
    std::set<std::string> retiredPayloadFilenames_;
    // Writes handed to the save thread and outcomes back, in order: the n-th outcome is the
    // n-th write's.
    std::uint64_t savesEnqueued_ = 0;
    std::uint64_t savesFinished_ = 0;
    // One error toast per run of failed background saves; a success re-arms it.
    bool saveFailureReported_ = false;
    ScheduledTask saveRetryTask_;
    // Nothing changed since the load but what the start repaired: a quit need not write, the
    // file as loaded still holds every clip.
    bool unsavedOnlyRepairs_ = false;
    bool leavingOut_ = false;  // a recovery copy of clips to leave out is being written
    // The history file's room: the list's encoded size as a save (or the load) last took it,
    // plus what was added and minus what was removed since. The ledger sums the encoded bytes
    // of every clip added (+) and removed (-); the base is taken at one of its points: the
    // point of each save is kept until its outcome comes back, and a base is only replaced by
    // one taken later (the outcome of a save enqueued later, or a recount).
    std::uint64_t fileBytesBase_ = 0;
    std::int64_t historyBytesLedger_ = 0;
    std::int64_t baseLedger_ = 0;
    std::uint64_t baseSave_ = 0;  // the base is of the list as save number `baseSave_` took it, or later
    std::deque<std::int64_t> ledgerAtSave_;  // for each save awaiting its outcome

    mutable std::optional<ClipList> filteredCache_;
    // Folds the clips' search text on a worker after the list changes (a child of the store).
    class ClipItemSearchFolder* searchFolder_ = nullptr;
};

}  // namespace harbelle
