#include "history/AppSettings.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace harbelle {

namespace {

constexpr const char* kShelfCustomWidthKey = "shelfCustomWidth";
constexpr const char* kShelfPanelHeightKey = "shelfPanelHeight";
constexpr const char* kShelfCustomVerticalWidthKey = "shelfCustomVerticalWidth";
constexpr const char* kShelfCustomVerticalHeightKey = "shelfCustomVerticalHeight";

// Boolean reading that also takes numbers (non-zero is true) and Boolean-like strings
// ("YES", "true", "1"…), as older preference files may hold them.
bool lenientBool(const Defaults& defaults, const char* key, bool fallback) {
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

bool strictBool(const Defaults& defaults, const char* key, bool fallback) {
    return defaults.boolValue(key).value_or(fallback);
}

std::int64_t clampToInt64(double value) {
    constexpr double top = 9.2233720368547748e18;  // first double above INT64_MAX
    if (value >= top) return std::numeric_limits<std::int64_t>::max();
    if (value <= -top) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

std::int64_t boundedMaxHistory(std::int64_t value) {
    return value < AppSettings::kMinimumMaxHistory + 1 ? AppSettings::kMinimumMaxHistory : value;
}

// Absent gives the default; anything that is not a number reads as 0 and so as the minimum;
// NaN and infinities give the default.
std::int64_t readMaxHistory(const Defaults& defaults, const char* key) {
    const auto value = defaults.object(key);
    if (!value || value->is_null()) return AppSettings::kDefaultMaxHistory;
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
        if (!std::isfinite(d)) return AppSettings::kDefaultMaxHistory;
        number = clampToInt64(d);
    } else if (value->is_boolean()) {
        number = value->get<bool>() ? 1 : 0;
    } else if (value->is_string()) {
        const auto& text = value->get_ref<const std::string&>();
        number = std::strtoll(text.c_str(), nullptr, 10);  // saturates; no digits reads as 0
    }
    return boundedMaxHistory(number);
}

template <typename T>
nlohmann::json encode(T value) {
    if constexpr (std::is_same_v<T, ShelfPlacement>)
        return std::string(shelfplacement::rawValue(value));
    else if constexpr (std::is_same_v<T, ShelfSizeMode>)
        return std::string(shelfsizemode::rawValue(value));
    else
        return value;
}

}  // namespace

AppSettings::AppSettings(Defaults& defaults, QObject* parent)
    : QObject(parent),
      defaults_(defaults),
      capturePaused_{"capturePaused", lenientBool(defaults, "capturePaused", false), &AppSettings::capturePausedChanged},
      maxHistory_{"maxHistory", readMaxHistory(defaults, "maxHistory"), &AppSettings::maxHistoryChanged},
      captureImages_{"captureImages", strictBool(defaults, "captureImages", true), &AppSettings::captureImagesChanged},
      skipSensitiveContent_{"skipSensitiveContent", strictBool(defaults, "skipSensitiveContent", true),
                            &AppSettings::skipSensitiveContentChanged},
      replayLocallyOnly_{"replayLocallyOnly", strictBool(defaults, "replayLocallyOnly", true),
                         &AppSettings::replayLocallyOnlyChanged},
      pasteDirectly_{"pasteDirectly", strictBool(defaults, "pasteDirectly", true), &AppSettings::pasteDirectlyChanged},
      pasteUsesSystemShortcut_{"pasteUsesSystemShortcut", strictBool(defaults, "pasteUsesSystemShortcut", true),
                               &AppSettings::pasteUsesSystemShortcutChanged},
      alwaysPastePlainText_{"alwaysPastePlainText", strictBool(defaults, "alwaysPastePlainText", false),
                            &AppSettings::alwaysPastePlainTextChanged},
      directPasteVerified_{"directPasteVerified", lenientBool(defaults, "directPasteVerified", false),
                           &AppSettings::directPasteVerifiedChanged},
      shelfPlacement_{"shelfPlacement",
                      shelfplacement::fromRawValue(defaults.stringValue("shelfPlacement").value_or(""))
                          .value_or(ShelfPlacement::bottom),
                      &AppSettings::shelfPlacementChanged},
      shelfSizeMode_{"shelfSizeMode",
                     shelfsizemode::fromRawValue(defaults.stringValue("shelfSizeMode").value_or(""))
                         .value_or(ShelfSizeMode::full),
                     &AppSettings::shelfSizeModeChanged},
      // doubleValue reads NaN and infinities as absent. A stored transparency is used as it is.
      barTransparency_{"barTransparency", defaults.doubleValue("barTransparency").value_or(kDefaultBarTransparency),
                       &AppSettings::barTransparencyChanged},
      autoHideEnabled_{"autoHideEnabled", strictBool(defaults, "autoHideEnabled", true),
                       &AppSettings::autoHideEnabledChanged},
      autoHideDelay_{"autoHideDelay", kDefaultAutoHideDelay, &AppSettings::autoHideDelayChanged} {
    const auto delay = defaults.doubleValue(autoHideDelay_.key);
    if (delay && *delay >= kMinimumAutoHideDelay) autoHideDelay_.value = std::min(*delay, kMaximumAutoHideDelay);
}

template <typename T>
void AppSettings::assign(StoredSetting<T>& setting, T value) {
    store(setting.key, encode(value));
    hold(setting, value);
}

template <typename T>
void AppSettings::hold(StoredSetting<T>& setting, T value) {
    if (setting.value == value) return;
    setting.value = value;
    emit (this->*setting.changed)();
}

// The setters in the header use these for every kind of setting.
template void AppSettings::assign(StoredSetting<bool>&, bool);
template void AppSettings::assign(StoredSetting<std::int64_t>&, std::int64_t);
template void AppSettings::assign(StoredSetting<double>&, double);
template void AppSettings::assign(StoredSetting<ShelfPlacement>&, ShelfPlacement);
template void AppSettings::assign(StoredSetting<ShelfSizeMode>&, ShelfSizeMode);
template void AppSettings::hold(StoredSetting<bool>&, bool);

void AppSettings::store(const char* key, const nlohmann::json& value) {
    const auto stored = defaults_.object(key);
    if (stored && stored->type() == value.type() && *stored == value) return;
    defaults_.set(key, value);
}

bool AppSettings::hasStoredMaxHistory() const { return defaults_.object(maxHistory_.key).has_value(); }

void AppSettings::setMaxHistory(std::int64_t value) { assign(maxHistory_, boundedMaxHistory(value)); }

void AppSettings::setBarTransparency(double value) {
    if (std::isnan(value)) return;  // no meaningful value to clamp; keep the current one
    assign(barTransparency_, value <= 0 ? 0.0 : std::min(value, kMaximumBarTransparency));
}

void AppSettings::setAutoHideDelay(double seconds) {
    if (std::isnan(seconds)) return;
    assign(autoHideDelay_, std::clamp(std::round(seconds), kMinimumAutoHideDelay, kMaximumAutoHideDelay));
}

void AppSettings::holdAutoHide(bool enabled, double seconds) {
    hold(autoHideEnabled_, enabled);
    hold(autoHideDelay_, seconds);
}

std::optional<CustomShelfSize> AppSettings::customShelfSize(ShelfPlacement placement) const {
    const bool vertical = shelfplacement::isVertical(placement);
    const double width = defaults_.doubleValue(vertical ? kShelfCustomVerticalWidthKey : kShelfCustomWidthKey).value_or(0);
    const double height = defaults_.doubleValue(vertical ? kShelfCustomVerticalHeightKey : kShelfPanelHeightKey).value_or(0);
    if (width > 0 && height > 0) return CustomShelfSize{width, height};
    return std::nullopt;
}

void AppSettings::recordCustomShelfSize(double width, double height) {
    // A size that is not a number would poison the stored frame; keep the last good one.
    if (!std::isfinite(width) || !std::isfinite(height)) return;
    setShelfSizeMode(ShelfSizeMode::custom);
    const bool vertical = shelfplacement::isVertical(shelfPlacement_.value);
    store(vertical ? kShelfCustomVerticalWidthKey : kShelfCustomWidthKey, width);
    store(vertical ? kShelfCustomVerticalHeightKey : kShelfPanelHeightKey, height);
}

}  // namespace harbelle
