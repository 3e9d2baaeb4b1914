#include <gtest/gtest.h>

#include "shell/LaunchArguments.h"
#include "shell/PasteDiagnostics.h"

using namespace harbelle;

namespace {
LaunchArguments args(std::vector<std::string> rest) {
    rest.insert(rest.begin(), "/usr/bin/harbelle");
    return LaunchArguments(std::move(rest));
}
}  // namespace

TEST(LaunchArguments, FlagsArePresentOnlyAsWholeElements) {
    auto plain = args({"--show", "--paste-diagnostics", "--diagnose-permissions", "--refresh-login-item-and-exit",
                       "--refresh-login-item", "--enable-login"});
    EXPECT_TRUE(plain.show());
    EXPECT_TRUE(plain.pasteDiagnostics());
    EXPECT_TRUE(plain.diagnosePermissions());
    EXPECT_TRUE(plain.refreshLoginItemAndExit());
    EXPECT_TRUE(plain.refreshLoginItem());
    EXPECT_TRUE(plain.enableLogin());
    EXPECT_FALSE(plain.demoMode());

    auto lookalikes = args({"--Show", "--show=1", "-show", "--demo ", "--snapshot=/tmp/x.png"});
    EXPECT_FALSE(lookalikes.show());
    EXPECT_FALSE(lookalikes.demoMode());
    EXPECT_FALSE(lookalikes.snapshotPath());
    // The program path is an element too, but nobody names a program "--demo".
    EXPECT_FALSE(LaunchArguments(std::vector<std::string>{}).show());
}

TEST(LaunchArguments, DemoOnlyArgumentsNeedDemoAndLoginArgumentsRefuseIt) {
    const std::vector<std::string> demoOnly = {"--qa-auto-hide-seconds", "2.5", "--qa-transient-focus-failures", "3",
                                               "--show-settings", "--auto-paste-demo", "--qa-force-event-paste",
                                               "--qa-notify-target-captured", "--refresh-login-item", "--enable-login"};
    auto without = args(demoOnly);
    EXPECT_FALSE(without.autoHideOverride());
    EXPECT_EQ(without.transientFocusFailureCount(), 0);
    EXPECT_TRUE(without.showSettings());  // opens the settings in a normal launch too
    EXPECT_FALSE(without.autoPasteDemo());
    EXPECT_FALSE(without.forceEventPaste());
    EXPECT_FALSE(without.notifyTargetCaptured());
    EXPECT_TRUE(without.refreshLoginItem());

    auto withDemo = demoOnly;
    withDemo.push_back("--demo");
    withDemo.push_back("--demo");  // twice is the same as once
    auto demo = args(withDemo);
    EXPECT_EQ(demo.autoHideOverride(), 2.5);
    EXPECT_EQ(demo.transientFocusFailureCount(), 3);
    EXPECT_TRUE(demo.showSettings());
    EXPECT_TRUE(demo.autoPasteDemo());
    EXPECT_TRUE(demo.forceEventPaste());
    EXPECT_TRUE(demo.notifyTargetCaptured());
    EXPECT_FALSE(demo.refreshLoginItem());
    EXPECT_FALSE(demo.enableLogin());
}

TEST(LaunchArguments, ValuesComeAfterTheFirstOccurrence) {
    auto a = args({"--snapshot", "/tmp/one.png", "--snapshot", "/tmp/two.png", "--paste-target-pid", "--show"});
    EXPECT_EQ(a.snapshotPath(), "/tmp/one.png");
    // "--show" is taken as the pid's value, does not read as a number, and still opens the shelf.
    EXPECT_FALSE(a.pasteTargetPid());
    EXPECT_TRUE(a.show());
    EXPECT_FALSE(args({"--snapshot"}).snapshotPath());
    EXPECT_EQ(args({"--paste-target-pid", "4242"}).pasteTargetPid(), 4242);
    EXPECT_EQ(args({"--paste-target-pid", "+17"}).pasteTargetPid(), 17);
}

TEST(LaunchArguments, FloatingValuesMustBeFiniteDecimalNumbers) {
    for (const char* good : {"2.5", "+2.5", "-1", "0", ".5", "5.", "1e2", "1E-1"})
        EXPECT_TRUE(LaunchArguments::parseFloating(good)) << good;
    EXPECT_EQ(LaunchArguments::parseFloating("1e2"), 100.0);
    EXPECT_EQ(LaunchArguments::parseFloating("-1"), -1.0);
    for (const char* bad : {"", "abc", "nan", "NaN", "inf", "-inf", "infinity", "1e400", "0x1p3", " 2", "2 ",
                            "2s", "+-2", "++2", "1,5", "--2"})
        EXPECT_FALSE(LaunchArguments::parseFloating(bad)) << bad;

    auto demo = args({"--demo", "--qa-auto-hide-seconds", "nan"});
    EXPECT_FALSE(demo.autoHideOverride());
    EXPECT_FALSE(args({"--demo", "--qa-auto-hide-seconds", "abc"}).autoHideOverride());
    EXPECT_FALSE(args({"--demo", "--qa-auto-hide-seconds"}).autoHideOverride());
}

TEST(LaunchArguments, IntegerValuesAreSignedDecimalsWithinTheirType) {
    EXPECT_EQ(LaunchArguments::parseInteger("+12"), 12);
    EXPECT_EQ(LaunchArguments::parseInteger("-12"), -12);
    EXPECT_EQ(LaunchArguments::parseInteger("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(LaunchArguments::parseInteger("-9223372036854775808"), INT64_MIN);
    for (const char* bad : {"", "+", "-", "9223372036854775808", "-9223372036854775809", "1.0", "1e3", " 1", "0x10",
                            "+-1", "12a", "nan", "inf"})
        EXPECT_FALSE(LaunchArguments::parseInteger(bad)) << bad;

    EXPECT_EQ(args({"--paste-target-pid", "2147483647"}).pasteTargetPid(), 2147483647);
    EXPECT_FALSE(args({"--paste-target-pid", "2147483648"}).pasteTargetPid());
    EXPECT_EQ(args({"--demo", "--qa-transient-focus-failures", "-4"}).transientFocusFailureCount(), 0);
    EXPECT_EQ(args({"--demo", "--qa-transient-focus-failures", "x"}).transientFocusFailureCount(), 0);
    EXPECT_EQ(args({"--demo", "--qa-transient-focus-failures", "+2"}).transientFocusFailureCount(), 2);
}

TEST(LaunchReports, LinesOfThePrintAndQuitArguments) {
    EXPECT_EQ(launchreport::permissionReport(true, false),
              (std::vector<std::string>{"AX_TRUSTED=true", "POST_EVENT_ALLOWED=false"}));
    EXPECT_EQ(launchreport::permissionReport(false, true),
              (std::vector<std::string>{"AX_TRUSTED=false", "POST_EVENT_ALLOWED=true"}));
    EXPECT_EQ(launchreport::loginItemRefreshed(2), "LOGIN_ITEM_REFRESHED=true STATUS=2");
    EXPECT_EQ(launchreport::loginItemRefreshFailed("No autostart folder"),
              "LOGIN_ITEM_REFRESHED=false ERROR=No autostart folder");
    EXPECT_EQ(launchreport::loginItemRefreshWarning("Denied"), "Could not refresh login item: Denied");
}

TEST(PasteDiagnostics, WritesPrefixedLinesOnlyWithTheFlag) {
    std::vector<std::string> lines;
    auto sink = [&](const std::string& line) { lines.push_back(line); };

    auto quiet = args({"--demo"});
    PasteDiagnostics off(quiet, sink);
    off.log("activate target");
    EXPECT_TRUE(lines.empty());
    EXPECT_FALSE(off.isEnabled());

    auto loud = args({"--paste-diagnostics"});
    PasteDiagnostics on(loud, sink);
    on.log("activate target pid=42");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "[DirectPaste] activate target pid=42");
}

TEST(PasteDiagnostics, DefaultSinkIsStandardOutput) {
    auto loud = args({"--paste-diagnostics"});
    PasteDiagnostics diagnostics(loud);
    ::testing::internal::CaptureStdout();
    diagnostics.log("focus restored");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "[DirectPaste] focus restored\n");
}
