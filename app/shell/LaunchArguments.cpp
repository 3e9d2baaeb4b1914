#include "shell/LaunchArguments.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace harbelle {

LaunchArguments::LaunchArguments(std::vector<std::string> arguments)
    : arguments_(std::move(arguments)) {}

LaunchArguments::LaunchArguments(int argc, const char* const* argv) {
    for (int i = 0; i < argc; ++i) arguments_.emplace_back(argv[i] ? argv[i] : "");
}

bool LaunchArguments::contains(const std::string& argument) const {
    return std::find(arguments_.begin(), arguments_.end(), argument) != arguments_.end();
}

std::optional<std::string> LaunchArguments::value(const std::string& argument) const {
    auto it = std::find(arguments_.begin(), arguments_.end(), argument);
    if (it == arguments_.end() || std::next(it) == arguments_.end()) return std::nullopt;
    return *std::next(it);
}

std::optional<double> LaunchArguments::parseFloating(const std::string& text) {
    std::string_view view(text);
    if (!view.empty() && view.front() == '+') {
        view.remove_prefix(1);
        if (!view.empty() && (view.front() == '+' || view.front() == '-')) return std::nullopt;
    }
    if (view.empty()) return std::nullopt;
    // from_chars reads no white space and, in general format, no hexadecimal form.
    double result = 0;
    auto [end, error] =
        std::from_chars(view.data(), view.data() + view.size(), result, std::chars_format::general);
    if (error != std::errc() || end != view.data() + view.size()) return std::nullopt;
    // "nan" and "inf" read as numbers but are no usable value for a delay.
    if (!std::isfinite(result)) return std::nullopt;
    return result;
}

std::optional<std::int64_t> LaunchArguments::parseInteger(const std::string& text) {
    std::string_view view(text);
    bool negative = false;
    if (!view.empty() && (view.front() == '+' || view.front() == '-')) {
        negative = view.front() == '-';
        view.remove_prefix(1);
    }
    if (view.empty() || !std::all_of(view.begin(), view.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    // Read the magnitude unsigned so that the most negative value still fits.
    std::uint64_t magnitude = 0;
    auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), magnitude);
    if (error != std::errc() || end != view.data() + view.size()) return std::nullopt;
    constexpr auto maxPositive = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!negative) {
        if (magnitude > maxPositive) return std::nullopt;
        return static_cast<std::int64_t>(magnitude);
    }
    if (magnitude > maxPositive + 1) return std::nullopt;
    if (magnitude == maxPositive + 1) return std::numeric_limits<std::int64_t>::min();
    return -static_cast<std::int64_t>(magnitude);
}

std::optional<double> LaunchArguments::floatingValue(const std::string& argument) const {
    auto text = value(argument);
    return text ? parseFloating(*text) : std::nullopt;
}

std::optional<std::int64_t> LaunchArguments::integerValue(const std::string& argument) const {
    auto text = value(argument);
    return text ? parseInteger(*text) : std::nullopt;
}

std::optional<std::int32_t> LaunchArguments::integer32Value(const std::string& argument) const {
    auto wide = integerValue(argument);
    if (!wide || *wide < std::numeric_limits<std::int32_t>::min() ||
        *wide > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(*wide);
}

std::optional<double> LaunchArguments::autoHideOverride() const {
    if (!demoMode()) return std::nullopt;
    return floatingValue(kQaAutoHideSeconds);
}

bool LaunchArguments::refreshLoginItem() const { return !demoMode() && contains(kRefreshLoginItem); }
bool LaunchArguments::enableLogin() const { return !demoMode() && contains(kEnableLogin); }

std::int64_t LaunchArguments::transientFocusFailureCount() const {
    if (!demoMode()) return 0;
    return std::max<std::int64_t>(0, integerValue(kQaTransientFocusFailures).value_or(0));
}

bool LaunchArguments::showSettings() const { return contains(kShowSettings); }
bool LaunchArguments::autoPasteDemo() const { return demoMode() && contains(kAutoPasteDemo); }
bool LaunchArguments::forceEventPaste() const { return demoMode() && contains(kQaForceEventPaste); }
std::optional<std::string> LaunchArguments::qaSyncAccount() const {
    auto mode = value(kQaSyncAccount);
    if (mode && (*mode == "create" || *mode == "sign-in")) return mode;
    return std::nullopt;
}

bool LaunchArguments::notifyTargetCaptured() const { return demoMode() && contains(kQaNotifyTargetCaptured); }

namespace launchreport {

std::vector<std::string> permissionReport(bool accessibilityTrusted, bool postEventAllowed) {
    return {std::string("AX_TRUSTED=") + (accessibilityTrusted ? "true" : "false"),
            std::string("POST_EVENT_ALLOWED=") + (postEventAllowed ? "true" : "false")};
}

std::string loginItemRefreshed(int statusRawValue) {
    return "LOGIN_ITEM_REFRESHED=true STATUS=" + std::to_string(statusRawValue);
}

std::string loginItemRefreshFailed(const std::string& errorDescription) {
    return "LOGIN_ITEM_REFRESHED=false ERROR=" + errorDescription;
}

std::string loginItemRefreshWarning(const std::string& errorDescription) {
    return "Could not refresh login item: " + errorDescription;
}

}  // namespace launchreport

}  // namespace harbelle
