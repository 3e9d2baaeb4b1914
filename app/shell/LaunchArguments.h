#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace harbelle {

// The process's launch arguments (program path first). An argument is present when one element
// equals it exactly; its value is the element right after its first occurrence. Values are read
// on each call, where they are needed, and a value that does not read in its form is absent.
class LaunchArguments {
public:
    static constexpr const char* kDiagnosePermissions = "--diagnose-permissions";
    static constexpr const char* kRefreshLoginItemAndExit = "--refresh-login-item-and-exit";
    static constexpr const char* kRefreshLoginItem = "--refresh-login-item";
    static constexpr const char* kEnableLogin = "--enable-login";
    static constexpr const char* kDemo = "--demo";
    static constexpr const char* kQaAutoHideSeconds = "--qa-auto-hide-seconds";
    static constexpr const char* kQaTransientFocusFailures = "--qa-transient-focus-failures";
    static constexpr const char* kPasteTargetPid = "--paste-target-pid";
    static constexpr const char* kShow = "--show";
    static constexpr const char* kShowSettings = "--show-settings";
    static constexpr const char* kSnapshot = "--snapshot";
    static constexpr const char* kAutoPasteDemo = "--auto-paste-demo";
    static constexpr const char* kPasteDiagnostics = "--paste-diagnostics";
    static constexpr const char* kQaForceEventPaste = "--qa-force-event-paste";
    static constexpr const char* kQaNotifyTargetCaptured = "--qa-notify-target-captured";
    // "create" or "sign-in": the sync account operation run at start-up without the settings
    // window, with the address and password from HARBELLE_QA_SYNC_EMAIL and
    // HARBELLE_QA_SYNC_PASSWORD (never on the command line). Its outcome is one output line.
    static constexpr const char* kQaSyncAccount = "--qa-sync-account";

    LaunchArguments() = default;
    explicit LaunchArguments(std::vector<std::string> arguments);
    LaunchArguments(int argc, const char* const* argv);

    const std::vector<std::string>& arguments() const { return arguments_; }

    bool contains(const std::string& argument) const;
    // The element after the first occurrence of `argument`; absent when it is the last element.
    std::optional<std::string> value(const std::string& argument) const;
    // The value read as a finite decimal floating-point number.
    std::optional<double> floatingValue(const std::string& argument) const;
    // The value read as a decimal 64-bit integer with an optional leading sign.
    std::optional<std::int64_t> integerValue(const std::string& argument) const;
    // The value read as a decimal 32-bit integer with an optional leading sign.
    std::optional<std::int32_t> integer32Value(const std::string& argument) const;

    // Each argument as the shell uses it; demo-only arguments read as absent without "--demo",
    // and the login-item arguments read as absent in demo mode.
    bool diagnosePermissions() const { return contains(kDiagnosePermissions); }
    bool refreshLoginItemAndExit() const { return contains(kRefreshLoginItemAndExit); }
    bool demoMode() const { return contains(kDemo); }
    std::optional<double> autoHideOverride() const;
    bool refreshLoginItem() const;
    bool enableLogin() const;
    // Never negative; 0 when absent, unreadable or outside demo mode.
    std::int64_t transientFocusFailureCount() const;
    std::optional<std::int32_t> pasteTargetPid() const { return integer32Value(kPasteTargetPid); }
    bool show() const { return contains(kShow); }
    // Opens the settings window shortly after start-up, in any launch.
    bool showSettings() const;
    std::optional<std::string> snapshotPath() const { return value(kSnapshot); }
    bool autoPasteDemo() const;
    bool pasteDiagnostics() const { return contains(kPasteDiagnostics); }
    bool forceEventPaste() const;
    bool notifyTargetCaptured() const;
    // "create" or "sign-in"; absent otherwise.
    std::optional<std::string> qaSyncAccount() const;

    // Pure readers of one element, shared with anyone parsing a value of these forms.
    static std::optional<double> parseFloating(const std::string& text);
    static std::optional<std::int64_t> parseInteger(const std::string& text);

private:
    std::vector<std::string> arguments_;
};

// Output lines of the print-and-quit arguments and of the start-up login-item refresh.
namespace launchreport {
// "AX_TRUSTED=true|false" and "POST_EVENT_ALLOWED=true|false", in that order.
std::vector<std::string> permissionReport(bool accessibilityTrusted, bool postEventAllowed);
// "LOGIN_ITEM_REFRESHED=true STATUS=<raw status>"
std::string loginItemRefreshed(int statusRawValue);
// "LOGIN_ITEM_REFRESHED=false ERROR=<description>"
std::string loginItemRefreshFailed(const std::string& errorDescription);
// "Could not refresh login item: <description>"
std::string loginItemRefreshWarning(const std::string& errorDescription);
}  // namespace launchreport

}  // namespace harbelle
