#pragma once

#include <QObject>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>

#include "history/ShelfPlacement.h"
#include "platform/Defaults.h"

namespace harbelle {

class AppSettings;

// A shelf size the user dragged, for one placement axis.
struct CustomShelfSize {
    double width = 0;
    double height = 0;
    bool operator==(const CustomShelfSize&) const = default;
};

// One stored setting: its key, the value this run holds and the signal that announces it.
template <typename T>
struct StoredSetting {
    const char* key;
    T value;
    void (AppSettings::*changed)();
};

// The user's settings, read from the defaults once at start (a bad stored value reads as its
// default or its bound) and written back by their setters. A setter brings the value into its
// bounds, writes it when the stored one differs and announces it when the held one changed.
// Setters here only hold and store values; whatever a change sets off is the store's job.
class AppSettings : public QObject {
    Q_OBJECT

public:
    static constexpr std::int64_t kDefaultMaxHistory = 1000;
    static constexpr std::int64_t kMinimumMaxHistory = 500;
    static constexpr double kDefaultBarTransparency = 0.18;
    static constexpr double kMaximumBarTransparency = 0.85;
    static constexpr double kDefaultAutoHideDelay = 5;
    static constexpr double kMinimumAutoHideDelay = 2;
    static constexpr double kMaximumAutoHideDelay = 60;

    explicit AppSettings(Defaults& defaults, QObject* parent = nullptr);

    bool capturePaused() const { return capturePaused_.value; }
    std::int64_t maxHistory() const { return maxHistory_.value; }
    bool captureImages() const { return captureImages_.value; }
    bool skipSensitiveContent() const { return skipSensitiveContent_.value; }
    bool replayLocallyOnly() const { return replayLocallyOnly_.value; }
    bool pasteDirectly() const { return pasteDirectly_.value; }
    bool pasteUsesSystemShortcut() const { return pasteUsesSystemShortcut_.value; }
    bool alwaysPastePlainText() const { return alwaysPastePlainText_.value; }
    bool directPasteVerified() const { return directPasteVerified_.value; }
    ShelfPlacement shelfPlacement() const { return shelfPlacement_.value; }
    ShelfSizeMode shelfSizeMode() const { return shelfSizeMode_.value; }
    double barTransparency() const { return barTransparency_.value; }
    bool autoHideEnabled() const { return autoHideEnabled_.value; }
    double autoHideDelay() const { return autoHideDelay_.value; }
    // Whether any history limit is stored at all (an unreadable settings file leaves none).
    bool hasStoredMaxHistory() const;

    void setCapturePaused(bool value) { assign(capturePaused_, value); }
    // Below the minimum gives the minimum.
    void setMaxHistory(std::int64_t value);
    void setCaptureImages(bool value) { assign(captureImages_, value); }
    void setSkipSensitiveContent(bool value) { assign(skipSensitiveContent_, value); }
    void setReplayLocallyOnly(bool value) { assign(replayLocallyOnly_, value); }
    void setPasteDirectly(bool value) { assign(pasteDirectly_, value); }
    void setPasteUsesSystemShortcut(bool value) { assign(pasteUsesSystemShortcut_, value); }
    void setAlwaysPastePlainText(bool value) { assign(alwaysPastePlainText_, value); }
    void setDirectPasteVerified(bool value) { assign(directPasteVerified_, value); }
    void setShelfPlacement(ShelfPlacement value) { assign(shelfPlacement_, value); }
    void setShelfSizeMode(ShelfSizeMode value) { assign(shelfSizeMode_, value); }
    // Into [0, kMaximumBarTransparency]; NaN is ignored.
    void setBarTransparency(double value);
    void setAutoHideEnabled(bool value) { assign(autoHideEnabled_, value); }
    // Whole seconds within the bounds; NaN is ignored.
    void setAutoHideDelay(double seconds);

    // For this run only, never written: the stored wish stays for the next launch.
    void holdPasteDirectly(bool value) { hold(pasteDirectly_, value); }
    void holdAutoHide(bool enabled, double seconds);

    // The size dragged for the placement's axis; nothing until both sides are positive.
    std::optional<CustomShelfSize> customShelfSize(ShelfPlacement placement) const;
    // Stores a dragged size for the current placement's axis and switches to the custom size.
    // A size that is not a number is ignored, so the last good one stays.
    void recordCustomShelfSize(double width, double height);

signals:
    void capturePausedChanged();
    void maxHistoryChanged();
    void captureImagesChanged();
    void skipSensitiveContentChanged();
    void replayLocallyOnlyChanged();
    void pasteDirectlyChanged();
    void pasteUsesSystemShortcutChanged();
    void alwaysPastePlainTextChanged();
    void directPasteVerifiedChanged();
    void shelfPlacementChanged();
    void shelfSizeModeChanged();
    void barTransparencyChanged();
    void autoHideEnabledChanged();
    void autoHideDelayChanged();

private:
    template <typename T>
    void assign(StoredSetting<T>& setting, T value);
    template <typename T>
    void hold(StoredSetting<T>& setting, T value);
    // Writes the value unless the key already holds exactly it (same JSON type and value).
    void store(const char* key, const nlohmann::json& value);

    Defaults& defaults_;
    StoredSetting<bool> capturePaused_;
    StoredSetting<std::int64_t> maxHistory_;
    StoredSetting<bool> captureImages_;
    StoredSetting<bool> skipSensitiveContent_;
    StoredSetting<bool> replayLocallyOnly_;
    StoredSetting<bool> pasteDirectly_;
    StoredSetting<bool> pasteUsesSystemShortcut_;
    StoredSetting<bool> alwaysPastePlainText_;
    StoredSetting<bool> directPasteVerified_;
    StoredSetting<ShelfPlacement> shelfPlacement_;
    StoredSetting<ShelfSizeMode> shelfSizeMode_;
    StoredSetting<double> barTransparency_;
    StoredSetting<bool> autoHideEnabled_;
    StoredSetting<double> autoHideDelay_;
};

}  // namespace harbelle
