#include "history/HistoryStore.h"

#include <algorithm>
#include <cmath>

#include "history/ClipItemSearchFolder.h"
#include "history/HistoryPersistence.h"
#include "history/PasteboardCaptureReader.h"
#include "platform/LoginItemService.h"

namespace harbelle {

namespace {

double clampAutoHideOverride(double seconds) { return std::clamp(seconds, 0.25, 60.0); }

}  // namespace

HistoryStore::HistoryStore(Defaults& defaults, Clock& clock, Options options, QObject* parent)
    : QObject(parent), defaults_(defaults), clock_(clock), demoMode_(options.demoMode) {
    // Older preferences are copied before any setting is read, so they count in this launch.
    if (!demoMode_)
        migratedLegacyPreferences_ = LegacyPreferenceMigration::migrateIfNeeded(defaults_, options.bundleIdentifier);

    applicationSupportURL_ = options.applicationSupport ? *options.applicationSupport
                                                        : HistoryPersistence::defaultApplicationSupport();
    payloadsURL_ = applicationSupportURL_ / "Payloads";
    historyFileURL_ = applicationSupportURL_ / "history.json";

    readSettings(options.autoHideOverride);
    attachPlatform(options);
    searchFolder_ = new ClipItemSearchFolder([this] { return items_; }, this);

    LoginItemActiveProvider loginItemActive = options.loginItemActive;
    if (!loginItemActive && loginItemService_)
        loginItemActive = [service = loginItemService_] { return isLoginItemOn(service->status()); };
    if (demoMode_) {
        launchAtLogin_ = loginItemActive && loginItemActive();
    } else {
        launchAtLogin_ = LaunchAtLoginRegistration::requestedPreference(defaults_, loginItemActive);
    }

    if (demoMode_) {
        items_ = demoItems(clock_.now());
        migrateMissingDeviceOrigins();
        accessibilityAccessGranted_ = true;
        eventPostingAccessGranted_ = true;
    } else {
        loadStoredHistory(options.maximumFileBytes);
    }
    // No payload writer exists yet: this never waits for a write.
    {
        std::lock_guard lock(payloadWrites_->mutex);
        payloadWrites_->persistence = persistence_.get();
    }

    if (!items_.empty()) selectedID_ = items_.front().id;
    if (searchFolder_) searchFolder_->listChanged();
}

HistoryStore::~HistoryStore() {
    delete searchFolder_;  // its worker reads the list no more
    searchFolder_ = nullptr;
    // Finishes queued writes and stops the save thread; their outcomes are dropped.
    saveOutcomes_.close();
    {
        std::lock_guard lock(payloadWrites_->mutex);
        payloadWrites_->persistence = nullptr;
    }
    persistence_.reset();
}

void HistoryStore::readSettings(const std::optional<double>& autoHideOverride) {
    settings_ = std::make_unique<AppSettings>(defaults_);
    // A non-finite override (NaN, infinity) counts as none.
    if (autoHideOverride && std::isfinite(*autoHideOverride))
        settings_->holdAutoHide(true, clampAutoHideOverride(*autoHideOverride));
    else if (demoMode_)
        settings_->holdAutoHide(false, settings_->autoHideDelay());

    using Forward = std::pair<void (AppSettings::*)(), void (HistoryStore::*)()>;
    for (const auto& [announced, forwarded] :
         {Forward{&AppSettings::capturePausedChanged, &HistoryStore::isPausedChanged},
          Forward{&AppSettings::maxHistoryChanged, &HistoryStore::maxHistoryChanged},
          Forward{&AppSettings::captureImagesChanged, &HistoryStore::captureImagesChanged},
          Forward{&AppSettings::skipSensitiveContentChanged, &HistoryStore::skipSensitiveContentChanged},
          Forward{&AppSettings::replayLocallyOnlyChanged, &HistoryStore::replayLocallyOnlyChanged},
          Forward{&AppSettings::pasteDirectlyChanged, &HistoryStore::pasteDirectlyChanged},
          Forward{&AppSettings::pasteUsesSystemShortcutChanged, &HistoryStore::pasteUsesSystemShortcutChanged},
          Forward{&AppSettings::alwaysPastePlainTextChanged, &HistoryStore::alwaysPastePlainTextChanged},
          Forward{&AppSettings::directPasteVerifiedChanged, &HistoryStore::directPasteVerifiedChanged},
          Forward{&AppSettings::shelfPlacementChanged, &HistoryStore::shelfPlacementChanged},
          Forward{&AppSettings::shelfSizeModeChanged, &HistoryStore::shelfSizeModeChanged},
          Forward{&AppSettings::barTransparencyChanged, &HistoryStore::barTransparencyChanged},
          Forward{&AppSettings::autoHideEnabledChanged, &HistoryStore::autoHideEnabledChanged},
          Forward{&AppSettings::autoHideDelayChanged, &HistoryStore::autoHideDelayChanged}})
        connect(settings_.get(), announced, this, forwarded);
}

bool HistoryStore::isSyncableKind(ClipKind kind) {
    return std::find(syncableKinds.begin(), syncableKinds.end(), kind) != syncableKinds.end();
}

// ---- Plain shared state ---------------------------------------------------------------------

void HistoryStore::setQuery(const std::string& query) {
    if (query == query_) return;
    query_ = query;
    filteredCache_.reset();
    emit queryChanged();
}

void HistoryStore::setActiveFilter(ClipFilter filter) {
    if (filter == activeFilter_) return;
    activeFilter_ = filter;
    filteredCache_.reset();
    emit activeFilterChanged();
}

void HistoryStore::setActiveDeviceID(const std::optional<std::string>& deviceID) {
    if (deviceID == activeDeviceID_) return;
    activeDeviceID_ = deviceID;
    filteredCache_.reset();
    emit activeDeviceIDChanged();
}

void HistoryStore::setSelectedID(const std::optional<Uuid>& id) { setSelectedIDQuietly(id); }

void HistoryStore::setSelectedIDQuietly(const std::optional<Uuid>& id) {
    if (id == selectedID_) return;
    selectedID_ = id;
    emit selectedIDChanged();
}

void HistoryStore::setShowSettings(bool visible) {
    if (visible == showSettings_) return;
    showSettings_ = visible;
    emit showSettingsChanged();
}

void HistoryStore::setPreviewItem(const std::optional<ClipItem>& item) {
    previewItem_ = item;
    emit previewItemChanged();
}

void HistoryStore::setEditingItem(const std::optional<ClipItem>& item) {
    editingItem_ = item;
    ++editingSession_;
    emit editingItemChanged();
}

void HistoryStore::followEditingItem(const ClipItem& item) {
    editingItem_ = item;
    emit editingItemChanged();
}

void HistoryStore::setMigrationStatus(const std::optional<std::string>& status) {
    if (status == migrationStatus_) return;
    migrationStatus_ = status;
    // An import runs while its status shows, until its merged history is saved: the orphan
    // pass would take the files it writes (or keeps from a run cut short) for leftovers.
    if (persistence_) persistence_->holdOrphanPass(status.has_value());
    emit migrationStatusChanged();
}

void HistoryStore::setGlobalShortcutLabel(const std::string& label) {
    if (label == globalShortcutLabel_) return;
    globalShortcutLabel_ = label;
    emit globalShortcutLabelChanged();
}

void HistoryStore::setShowPermissionSetup(bool shown) {
    if (shown == showPermissionSetup_) return;
    showPermissionSetup_ = shown;
    emit showPermissionSetupChanged();
}

void HistoryStore::setDraggingClip(bool dragging) {
    if (dragging == isDraggingClip_) return;
    isDraggingClip_ = dragging;
    emit isDraggingClipChanged();
}

// ---- Derived views ----------------------------------------------------------------------------

const ClipList& HistoryStore::filteredItems() const {
    // Nothing narrows the list: it is shown as it is, without a second copy of every clip.
    if (activeFilter_ == ClipFilter::all && !activeDeviceID_ && searchTokens(query_).empty()) return items_;
    if (!filteredCache_) filteredCache_ = filterItems(items_, activeFilter_, activeDeviceID_, query_);
    return *filteredCache_;
}

int HistoryStore::count(ClipFilter filter) const { return countFor(items_, filter, activeDeviceID_); }

FilterCounts HistoryStore::counts() const { return countsFor(items_, activeDeviceID_); }

int HistoryStore::favoriteCount() const {
    return static_cast<int>(items_.pinnedCount());
}

std::vector<ClipDeviceFilterOption> HistoryStore::availableDevices() const {
    return harbelle::availableDevices(items_, defaults_);
}

// ---- Settings setters ---------------------------------------------------------------------------

void HistoryStore::updateMaxHistory(std::int64_t value) {
    settings_->setMaxHistory(value);
    trimSuspended_ = false;
    trimHistoryIfNeeded();
    scheduleSave(false);
}

void HistoryStore::updatePasteDirectly(bool value) {
    settings_->setPasteDirectly(value);
    if (value && !(accessibilityAccessGranted_ && eventPostingAccessGranted_)) setShowPermissionSetup(true);
}

// The panel follows these whenever the user picks one, even the value it already has.
void HistoryStore::updateShelfSizeMode(ShelfSizeMode mode) {
    settings_->setShelfSizeMode(mode);
    emit shelfSizeSettingChanged();
}

void HistoryStore::updateShelfPlacement(ShelfPlacement placement) {
    if (placement == shelfPlacement()) return;
    settings_->setShelfPlacement(placement);
    emit shelfPlacementSettingChanged();
}

void HistoryStore::updateAutoHideDelay(double seconds) {
    if (std::isnan(seconds)) return;
    settings_->setAutoHideDelay(seconds);
    emit autoHideSettingChanged();
}

void HistoryStore::updateAutoHideEnabled(bool value) {
    settings_->setAutoHideEnabled(value);
    emit autoHideSettingChanged();
}

void HistoryStore::updateDirectPastePermissionStatus(bool accessibility, bool eventPosting) {
    if (accessibility != accessibilityAccessGranted_) {
        accessibilityAccessGranted_ = accessibility;
        emit accessibilityAccessGrantedChanged();
    }
    if (eventPosting != eventPostingAccessGranted_) {
        eventPostingAccessGranted_ = eventPosting;
        emit eventPostingAccessGrantedChanged();
    }
    if (!(accessibility && eventPosting)) setDirectPasteVerified(false);
}

// ---- Toast --------------------------------------------------------------------------------------

void HistoryStore::showToast(const std::string& message, ToastTone tone) {
    toastTask_.cancel();
    toastTone_ = tone;
    toastMessage_ = message;
    emit toastChanged();
    toastTask_ = clock_.schedule(kToastDuration, [this] {
        toastMessage_.reset();
        emit toastChanged();
    });
}

}  // namespace harbelle
