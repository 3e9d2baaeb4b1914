#include "history/HistoryStore.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "history/HistoryPersistence.h"
#include "history/PasteboardCaptureReader.h"
#include "platform/LoginItemService.h"

namespace harbelle {

namespace {

constexpr const char* kCapturePausedKey = "capturePaused";
constexpr const char* kMaxHistoryKey = "maxHistory";
constexpr const char* kCaptureImagesKey = "captureImages";
constexpr const char* kSkipSensitiveContentKey = "skipSensitiveContent";
constexpr const char* kReplayLocallyOnlyKey = "replayLocallyOnly";
constexpr const char* kPasteDirectlyKey = "pasteDirectly";
constexpr const char* kPasteUsesSystemShortcutKey = "pasteUsesSystemShortcut";
constexpr const char* kAlwaysPastePlainTextKey = "alwaysPastePlainText";
constexpr const char* kDirectPasteVerifiedKey = "directPasteVerified";
constexpr const char* kShelfPlacementKey = "shelfPlacement";
constexpr const char* kShelfSizeModeKey = "shelfSizeMode";
constexpr const char* kBarTransparencyKey = "barTransparency";
constexpr const char* kAutoHideEnabledKey = "autoHideEnabled";
constexpr const char* kAutoHideDelayKey = "autoHideDelay";
constexpr const char* kShelfCustomWidthKey = "shelfCustomWidth";
constexpr const char* kShelfPanelHeightKey = "shelfPanelHeight";
constexpr const char* kShelfCustomVerticalWidthKey = "shelfCustomVerticalWidth";
constexpr const char* kShelfCustomVerticalHeightKey = "shelfCustomVerticalHeight";

// Boolean reading that also takes numbers (non-zero is true) and Boolean-like strings
// ("YES", "true", "1"…), as older preference files may hold them.
bool lenientBool(const Defaults& defaults, const std::string& key, bool fallback) {
    const auto value = defaults.object(key);
    if (!value || value->is_null()) return fallback;
    if (value->is_boolean()) return value->get<bool>();
    if (value->is_number_integer()) return value->get<std::int64_t>() != 0;
    if (value->is_number_unsigned()) return value->get<std::uint64_t>() != 0;
    if (value->is_number_float()) {
        const double number = value->get<double>();
        return std::isfinite(number) ? number != 0 : fallback;
    }
    if (value->is_string()) {
        const auto& text = value->get_ref<const std::string&>();
        std::size_t i = 0;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        while (i < text.size() && text[i] == '0') ++i;
        if (i >= text.size()) return false;
        const char c = text[i];
        return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    return fallback;
}

bool strictBool(const Defaults& defaults, const std::string& key, bool fallback) {
    return defaults.boolValue(key).value_or(fallback);
}

std::int64_t clampToInt64(double value) {
    constexpr double top = 9.2233720368547748e18;  // first double above INT64_MAX
    if (value >= top) return std::numeric_limits<std::int64_t>::max();
    if (value <= -top) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

// "maxHistory": absent gives the default; anything that is not a number reads as 0 and so
// as the minimum; NaN and infinities give the default.
std::int64_t readMaxHistory(const Defaults& defaults) {
    const auto value = defaults.object(kMaxHistoryKey);
    if (!value || value->is_null()) return HistoryStore::kDefaultMaxHistory;
    std::int64_t number = 0;
    if (value->is_number_unsigned()) {
        const auto u = value->get<std::uint64_t>();
        number = u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                     ? std::numeric_limits<std::int64_t>::max()
                     : static_cast<std::int64_t>(u);
    } else if (value->is_number_integer()) {
        number = value->get<std::int64_t>();
    } else if (value->is_number_float()) {
        const double d = value->get<double>();
        if (!std::isfinite(d)) return HistoryStore::kDefaultMaxHistory;
        number = clampToInt64(d);
    } else if (value->is_boolean()) {
        number = value->get<bool>() ? 1 : 0;
    } else if (value->is_string()) {
        const auto& text = value->get_ref<const std::string&>();
        number = std::strtoll(text.c_str(), nullptr, 10);  // saturates; no digits reads as 0
    }
    return number < HistoryStore::kMinimumMaxHistory + 1 ? HistoryStore::kMinimumMaxHistory : number;
}

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
        loadStoredHistory();
    }

    if (!items_.empty()) selectedID_ = items_.front().id;
}

HistoryStore::~HistoryStore() {
    // Finishes queued writes and stops the save thread; their outcomes are dropped.
    saveOutcomes_.close();
    persistence_.reset();
}

void HistoryStore::readSettings(const std::optional<double>& autoHideOverride) {
    isPaused_ = lenientBool(defaults_, kCapturePausedKey, false);
    maxHistory_ = readMaxHistory(defaults_);
    captureImages_ = strictBool(defaults_, kCaptureImagesKey, true);
    skipSensitiveContent_ = strictBool(defaults_, kSkipSensitiveContentKey, true);
    replayLocallyOnly_ = strictBool(defaults_, kReplayLocallyOnlyKey, true);
    pasteDirectly_ = strictBool(defaults_, kPasteDirectlyKey, true);
    pasteUsesSystemShortcut_ = strictBool(defaults_, kPasteUsesSystemShortcutKey, true);
    alwaysPastePlainText_ = strictBool(defaults_, kAlwaysPastePlainTextKey, false);
    directPasteVerified_ = lenientBool(defaults_, kDirectPasteVerifiedKey, false);

    const auto placement = defaults_.stringValue(kShelfPlacementKey);
    shelfPlacement_ = placement ? shelfplacement::fromRawValue(*placement).value_or(ShelfPlacement::bottom)
                                : ShelfPlacement::bottom;
    const auto sizeMode = defaults_.stringValue(kShelfSizeModeKey);
    shelfSizeMode_ = sizeMode ? shelfsizemode::fromRawValue(*sizeMode).value_or(ShelfSizeMode::full)
                              : ShelfSizeMode::full;

    // doubleValue reads NaN and infinities as absent, so they give the defaults.
    barTransparency_ = defaults_.doubleValue(kBarTransparencyKey).value_or(kDefaultBarTransparency);
    autoHideEnabled_ = strictBool(defaults_, kAutoHideEnabledKey, true);
    const auto delay = defaults_.doubleValue(kAutoHideDelayKey);
    autoHideDelay_ = delay && *delay >= 2 ? std::min(*delay, 60.0) : kDefaultAutoHideDelay;

    // A non-finite override (NaN, infinity) counts as none.
    if (autoHideOverride && std::isfinite(*autoHideOverride)) {
        autoHideEnabled_ = true;
        autoHideDelay_ = clampAutoHideOverride(*autoHideOverride);
    } else if (demoMode_) {
        autoHideEnabled_ = false;
    }
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
    emit editingItemChanged();
}

void HistoryStore::setMigrationStatus(const std::optional<std::string>& status) {
    if (status == migrationStatus_) return;
    migrationStatus_ = status;
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

void HistoryStore::setDirectPasteVerified(bool verified) {
    directPasteVerified_ = verified;
    defaults_.setBool(kDirectPasteVerifiedKey, verified);
    emit directPasteVerifiedChanged();
}

// ---- Derived views ----------------------------------------------------------------------------

const ClipList& HistoryStore::filteredItems() const {
    // Nothing narrows the list: it is shown as it is, without a second copy of every clip.
    if (activeFilter_ == ClipFilter::all && !activeDeviceID_ && searchTokens(query_).empty()) return items_;
    if (!filteredCache_) filteredCache_ = filterItems(items_, activeFilter_, activeDeviceID_, query_);
    return *filteredCache_;
}

int HistoryStore::count(ClipFilter filter) const { return countFor(items_, filter, activeDeviceID_); }

int HistoryStore::favoriteCount() const {
    return static_cast<int>(items_.pinnedCount());
}

std::vector<ClipDeviceFilterOption> HistoryStore::availableDevices() const {
    return harbelle::availableDevices(items_, defaults_);
}

// ---- Settings setters ---------------------------------------------------------------------------

void HistoryStore::updateMaxHistory(std::int64_t value) {
    maxHistory_ = value < kMinimumMaxHistory + 1 ? kMinimumMaxHistory : value;
    trimSuspended_ = false;
    defaults_.setInteger(kMaxHistoryKey, maxHistory_);
    emit maxHistoryChanged();
    trimHistoryIfNeeded();
    scheduleSave(false);
}

void HistoryStore::updatePasteDirectly(bool value) {
    pasteDirectly_ = value;
    defaults_.setBool(kPasteDirectlyKey, value);
    emit pasteDirectlyChanged();
    if (value && !(accessibilityAccessGranted_ && eventPostingAccessGranted_)) setShowPermissionSetup(true);
}

void HistoryStore::setPasteDirectly(bool value) {
    if (pasteDirectly_ == value) return;
    pasteDirectly_ = value;
    emit pasteDirectlyChanged();
}

void HistoryStore::updateShelfSizeMode(ShelfSizeMode mode) {
    shelfSizeMode_ = mode;
    defaults_.setString(kShelfSizeModeKey, std::string(shelfsizemode::rawValue(mode)));
    emit shelfSizeModeChanged();
    emit shelfSizeSettingChanged();
}

void HistoryStore::updateShelfPlacement(ShelfPlacement placement) {
    if (placement == shelfPlacement_) return;
    shelfPlacement_ = placement;
    defaults_.setString(kShelfPlacementKey, std::string(shelfplacement::rawValue(placement)));
    emit shelfPlacementChanged();
    emit shelfPlacementSettingChanged();
}

void HistoryStore::updateBarTransparency(double value) {
    if (std::isnan(value)) return;  // no meaningful value to clamp; keep the current one
    const double clamped = value <= 0 ? 0.0 : std::min(value, kMaximumBarTransparency);
    barTransparency_ = clamped;
    defaults_.setDouble(kBarTransparencyKey, clamped);
    emit barTransparencyChanged();
}

void HistoryStore::updateAutoHideDelay(double seconds) {
    if (std::isnan(seconds)) return;
    const double clamped = std::clamp(std::round(seconds), 2.0, 60.0);
    autoHideDelay_ = clamped;
    defaults_.setDouble(kAutoHideDelayKey, clamped);
    emit autoHideDelayChanged();
    emit autoHideSettingChanged();
}

void HistoryStore::updateAutoHideEnabled(bool value) {
    autoHideEnabled_ = value;
    defaults_.setBool(kAutoHideEnabledKey, value);
    emit autoHideEnabledChanged();
    emit autoHideSettingChanged();
}

void HistoryStore::updateCaptureImages(bool value) {
    captureImages_ = value;
    defaults_.setBool(kCaptureImagesKey, value);
    emit captureImagesChanged();
}

void HistoryStore::updateSkipSensitiveContent(bool value) {
    skipSensitiveContent_ = value;
    defaults_.setBool(kSkipSensitiveContentKey, value);
    emit skipSensitiveContentChanged();
}

void HistoryStore::updateReplayLocallyOnly(bool value) {
    replayLocallyOnly_ = value;
    defaults_.setBool(kReplayLocallyOnlyKey, value);
    emit replayLocallyOnlyChanged();
}

void HistoryStore::updateAlwaysPastePlainText(bool value) {
    alwaysPastePlainText_ = value;
    defaults_.setBool(kAlwaysPastePlainTextKey, value);
    emit alwaysPastePlainTextChanged();
}

void HistoryStore::updatePasteUsesSystemShortcut(bool value) {
    pasteUsesSystemShortcut_ = value;
    defaults_.setBool(kPasteUsesSystemShortcutKey, value);
    emit pasteUsesSystemShortcutChanged();
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

void HistoryStore::recordCustomShelfSize(double width, double height) {
    // A size that is not a number would poison the stored frame; keep the last good one.
    if (!std::isfinite(width) || !std::isfinite(height)) return;
    shelfSizeMode_ = ShelfSizeMode::custom;
    defaults_.setString(kShelfSizeModeKey, std::string(shelfsizemode::rawValue(ShelfSizeMode::custom)));
    emit shelfSizeModeChanged();
    const bool vertical = shelfplacement::isVertical(shelfPlacement_);
    defaults_.setDouble(vertical ? kShelfCustomVerticalWidthKey : kShelfCustomWidthKey, width);
    defaults_.setDouble(vertical ? kShelfCustomVerticalHeightKey : kShelfPanelHeightKey, height);
}

std::optional<CustomShelfSize> HistoryStore::customShelfSize(ShelfPlacement placement) const {
    const bool vertical = shelfplacement::isVertical(placement);
    const double width = defaults_.doubleValue(vertical ? kShelfCustomVerticalWidthKey : kShelfCustomWidthKey).value_or(0);
    const double height = defaults_.doubleValue(vertical ? kShelfCustomVerticalHeightKey : kShelfPanelHeightKey).value_or(0);
    if (width > 0 && height > 0) return CustomShelfSize{width, height};
    return std::nullopt;
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

bool HistoryStore::hasStoredHistoryLimit() const { return defaults_.object(kMaxHistoryKey).has_value(); }

}  // namespace harbelle
