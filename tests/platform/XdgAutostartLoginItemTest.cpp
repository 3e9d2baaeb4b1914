#include <gio/gdesktopappinfo.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <sstream>

#include "history/LaunchAtLoginRegistration.h"
#include "platform/linux/XdgAutostartLoginItem.h"
#include "support/InMemoryDefaults.h"

using namespace harbelle;
namespace fs = std::filesystem;

namespace {

struct AutostartFixture : ::testing::Test {
    QTemporaryDir dir;
    QByteArray savedConfigHome = qgetenv("XDG_CONFIG_HOME");
    fs::path config, program;

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        config = fs::path(dir.path().toStdString()) / "config";
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.string()));
        program = fs::path(dir.path().toStdString()) / "my apps" / "har$belle%";
        fs::create_directories(program.parent_path());
        std::ofstream(program) << "#!/bin/sh\n";
    }
    void TearDown() override { qputenv("XDG_CONFIG_HOME", savedConfigHome); }

    std::string entryText(const XdgAutostartLoginItem& item) {
        std::ifstream in(item.entryPath());
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    unsigned mode(const fs::path& p) {
        struct stat st {};
        ::stat(p.c_str(), &st);
        return st.st_mode & 0777;
    }
};

TEST_F(AutostartFixture, RegisterWritesAPrivateEntryThatReadsBackAsEnabled) {
    XdgAutostartLoginItem item(program);
    EXPECT_EQ(item.entryPath(), config / "autostart" / "com.harbelleapp.Harbelle.desktop");
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    ASSERT_FALSE(item.registerItem());
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    const std::string text = entryText(item);
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    // Quoted, with $ escaped, % doubled, and the backslash doubled by the string rule; with a
    // "%" in the path env starts it (GLib looks for the unexpanded program name).
    EXPECT_NE(text.find("Exec=/usr/bin/env \"" + program.parent_path().string() + "/har\\\\$belle%%\"\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(mode(item.entryPath()), 0600u);
    EXPECT_EQ(mode(config / "autostart"), 0700u);
    EXPECT_EQ(mode(config), 0700u);

    ASSERT_FALSE(item.unregisterItem());
    EXPECT_FALSE(fs::exists(item.entryPath()));
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    EXPECT_FALSE(item.unregisterItem()) << "removing an absent entry is no failure";
}

TEST_F(AutostartFixture, DisabledForeignAndMissingStates) {
    XdgAutostartLoginItem item(program);
    ASSERT_FALSE(item.registerItem());
    {
        std::ofstream(item.entryPath(), std::ios::app) << "Hidden=true\n";
    }
    EXPECT_EQ(item.status(), LoginItemStatus::requiresApproval);
    ASSERT_FALSE(item.registerItem());  // writing again switches it back on
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    {
        std::ofstream(item.entryPath(), std::ios::app) << "X-GNOME-Autostart-enabled=false\n";
    }
    EXPECT_EQ(item.status(), LoginItemStatus::requiresApproval);

    XdgAutostartLoginItem other(program.parent_path() / "elsewhere");
    std::ofstream(program.parent_path() / "elsewhere") << "";
    EXPECT_EQ(other.status(), LoginItemStatus::notRegistered) << "an entry for another path is not ours";

    XdgAutostartLoginItem missing(program.parent_path() / "deleted");
    EXPECT_EQ(missing.status(), LoginItemStatus::notFound);
    EXPECT_TRUE(missing.registerItem());
}

TEST_F(AutostartFixture, ToggleAndRefreshRoundTripOnRealFiles) {
    XdgAutostartLoginItem item(program);
    harbelle::testing::InMemoryDefaults defaults;
    std::vector<Toast> toasts;
    auto toast = [&](const std::string& m, ToastTone t) { toasts.push_back({m, t}); };
    EXPECT_TRUE(LaunchAtLoginRegistration::updateLaunchAtLogin(true, defaults, item, toast));
    EXPECT_TRUE(fs::exists(item.entryPath()));
    EXPECT_EQ(toasts.back().message, "Harbelle will open at login");

    // Refresh renews the entry; its completion comes from the event loop.
    std::optional<LaunchAtLoginRegistration::RefreshResult> result;
    LaunchAtLoginRegistration::refresh(defaults, item, [&](const auto& r) { result = r; });
    EXPECT_FALSE(result);
    QTRY_VERIFY(result.has_value());
    EXPECT_EQ(result->status, LoginItemStatus::enabled);
    EXPECT_TRUE(fs::exists(item.entryPath()));

    EXPECT_FALSE(LaunchAtLoginRegistration::updateLaunchAtLogin(false, defaults, item, toast));
    EXPECT_FALSE(fs::exists(item.entryPath()));
    EXPECT_EQ(toasts.back().message, "Launch at login turned off");
}

TEST_F(AutostartFixture, APathADesktopEntryCannotHoldMakesTheToggleFail) {
    // Not UTF-8, or with control characters: no entry could start this program.
    for (const char* name : {"har\xff" "belle", "har\xc3\x28", "har\x01" "belle", "har\tbelle"}) {
        const fs::path odd = program.parent_path() / name;
        std::ofstream(odd) << "#!/bin/sh\n";
        XdgAutostartLoginItem item(odd);
        const auto error = item.registerItem();
        ASSERT_TRUE(error) << name;
        EXPECT_EQ(error->code, EINVAL);
        EXPECT_FALSE(fs::exists(item.entryPath()));

        harbelle::testing::InMemoryDefaults defaults;
        std::vector<Toast> toasts;
        auto toast = [&](const std::string& m, ToastTone t) { toasts.push_back({m, t}); };
        EXPECT_FALSE(LaunchAtLoginRegistration::updateLaunchAtLogin(true, defaults, item, toast)) << name;
        ASSERT_FALSE(toasts.empty());
        EXPECT_EQ(toasts.back().message, "Could not change login setting");
        EXPECT_EQ(toasts.back().tone, ToastTone::error);

        // An entry an older build wrote for it byte for byte does not count as enabled.
        fs::create_directories(item.entryPath().parent_path());
        std::ofstream(item.entryPath()) << "[Desktop Entry]\nType=Application\nExec="
                                        << XdgAutostartLoginItem::execValue(odd) << "\n";
        EXPECT_EQ(item.status(), LoginItemStatus::notRegistered) << name;
        fs::remove(item.entryPath());
    }
}

TEST_F(AutostartFixture, TheDesktopsOwnParserStartsTheExactProgram) {
    // GLib's desktop-entry code (what GNOME and Xfce start autostart entries with) runs the entry.
    const fs::path marker = fs::path(dir.path().toStdString()) / "started";
    const fs::path odd = program.parent_path() / "har$belle%u 100% `x` \"q\" \\ it's caf\u00e9";
    std::ofstream(odd) << "#!/bin/sh\n: > '" << marker.string() << "'\n";
    fs::permissions(odd, fs::perms::owner_all);
    XdgAutostartLoginItem item(odd);
    ASSERT_FALSE(item.registerItem());
    ASSERT_EQ(item.status(), LoginItemStatus::enabled);

    GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(item.entryPath().c_str());
    ASSERT_TRUE(info) << "the entry is refused:\n" << entryText(item);
    GError* error = nullptr;
    const bool launched = g_app_info_launch(G_APP_INFO(info), nullptr, nullptr, &error);
    EXPECT_TRUE(launched) << (error ? error->message : "");
    if (error) g_error_free(error);
    g_object_unref(info);
    QTRY_VERIFY_WITH_TIMEOUT(fs::exists(marker), 5000);
}

}  // namespace
