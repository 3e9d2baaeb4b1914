#include <gtest/gtest.h>

#include <QString>
#include <QSysInfo>

#include "history/ClipDeviceOrigin.h"
#include "support/InMemoryDefaults.h"

using namespace harbelle;
using harbelle::testing::InMemoryDefaults;

namespace {

ClipItem clipFrom(std::optional<std::string> id, std::optional<std::string> name,
                  std::optional<std::string> platform, std::string app = "Terminal") {
    ClipItem item;
    item.sourceDeviceID = std::move(id);
    item.sourceDeviceName = std::move(name);
    item.sourceDevicePlatform = std::move(platform);
    item.sourceAppName = std::move(app);
    return item;
}

std::vector<std::string> ids(const std::vector<ClipDeviceFilterOption>& options) {
    std::vector<std::string> out;
    for (const auto& option : options) out.push_back(option.id);
    return out;
}

}  // namespace

TEST(MacClipDeviceIdentity, CreatesOneStableLowerCaseIdentifier) {
    InMemoryDefaults defaults;
    const auto first = MacClipDeviceIdentity::current(defaults);
    const auto second = MacClipDeviceIdentity::current(defaults);
    EXPECT_EQ(first.id, second.id);
    ASSERT_EQ(first.id.size(), 40u);
    EXPECT_EQ(first.id.rfind("mac_", 0), 0u);
    EXPECT_EQ(first.id.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos);
    EXPECT_TRUE(Uuid::parse(first.id.substr(4)).has_value());
    EXPECT_EQ(defaults.stringValue(kClipSourceDeviceIDKey), first.id);
    EXPECT_EQ(first.platform, "macOS");
    EXPECT_EQ(first.name, MacClipDeviceIdentity::hostDisplayName(QSysInfo::machineHostName().toStdString()));
}

TEST(MacClipDeviceIdentity, KeepsAnyStoredIdentifierButReplacesAnEmptyOne) {
    InMemoryDefaults defaults;
    defaults.setString(kClipSourceDeviceIDKey, "My-Own ID");
    EXPECT_EQ(MacClipDeviceIdentity::current(defaults).id, "My-Own ID");

    defaults.setString(kClipSourceDeviceIDKey, "");
    const auto replaced = MacClipDeviceIdentity::current(defaults).id;
    EXPECT_EQ(replaced.rfind("mac_", 0), 0u);
    EXPECT_EQ(defaults.stringValue(kClipSourceDeviceIDKey), replaced);

    // A value of another type is no identifier either.
    defaults.setInteger(kClipSourceDeviceIDKey, 7);
    EXPECT_EQ(MacClipDeviceIdentity::current(defaults).id.rfind("mac_", 0), 0u);
}

TEST(MacClipDeviceIdentity, HostNameIsTrimmedAndCut) {
    EXPECT_EQ(MacClipDeviceIdentity::hostDisplayName(std::string(100, 'h')), std::string(64, 'h'));
    EXPECT_EQ(MacClipDeviceIdentity::hostDisplayName(" \t\n "), "This computer");
    EXPECT_EQ(MacClipDeviceIdentity::hostDisplayName(""), "This computer");
    EXPECT_EQ(MacClipDeviceIdentity::hostDisplayName("\n  studio-box \n"), "studio-box");
    // The cut never splits a character made of several code points.
    std::string accented;
    for (int i = 0; i < 70; ++i) accented += "e\u0301";
    std::string expected;
    for (int i = 0; i < 64; ++i) expected += "e\u0301";
    EXPECT_EQ(MacClipDeviceIdentity::hostDisplayName(accented), expected);
}

TEST(ClipDeviceDisplay, FallbacksAndSymbols) {
    const ClipItem oldSynced = clipFrom(std::nullopt, std::nullopt, std::nullopt, "Synced");
    EXPECT_EQ(oldSynced.sourceDeviceDisplayName(), "Older synced device");
    EXPECT_EQ(oldSynced.sourceDeviceDisplayPlatform(), "Device");
    EXPECT_EQ(oldSynced.sourceDeviceSymbol(), "laptopcomputer.and.iphone");
    EXPECT_EQ(oldSynced.deviceFilterKey(), kLegacySyncedDeviceKey);

    const ClipItem oldLocal = clipFrom(std::nullopt, std::string("   "), std::string("\n"));
    EXPECT_EQ(oldLocal.sourceDeviceDisplayName(), "This computer");
    EXPECT_EQ(oldLocal.sourceDeviceDisplayPlatform(), "macOS");
    EXPECT_EQ(oldLocal.sourceDeviceSymbol(), "desktopcomputer");
    EXPECT_EQ(oldLocal.deviceFilterKey(), kLegacyLocalDeviceKey);

    const ClipItem phone = clipFrom(std::string(""), std::string(" Ann's phone "), std::string("iOS"));
    EXPECT_EQ(phone.sourceDeviceDisplayName(), "Ann's phone");
    EXPECT_EQ(phone.sourceDeviceSymbol(), "iphone");
    EXPECT_EQ(phone.deviceFilterKey(), "");

    EXPECT_EQ(platformSymbol("iPhone"), "iphone");
    EXPECT_EQ(platformSymbol("iOS"), "iphone");
    EXPECT_EQ(platformSymbol("iOS 17"), "laptopcomputer.and.iphone");
    EXPECT_EQ(platformSymbol("iPadOS"), "ipad");
    EXPECT_EQ(platformSymbol("macOS"), "desktopcomputer");
    EXPECT_EQ(platformSymbol("Android"), "laptopcomputer.and.iphone");
    EXPECT_EQ((ClipDeviceFilterOption{"x", "X", "iPadOS", 1}.symbol()), "ipad");
}

TEST(AvailableDevices, ThisMacFirstThenByNameLikeAFileManager) {
    InMemoryDefaults defaults;
    const std::string thisMac = MacClipDeviceIdentity::current(defaults).id;
    std::vector<ClipItem> items{
        clipFrom(std::string("zed"), std::string("Zed"), std::string("Android")),
        clipFrom(std::nullopt, std::nullopt, std::nullopt),  // before origins: "This computer"
        clipFrom(std::string("p10"), std::string("Phone 10"), std::string("iOS")),
        clipFrom(thisMac, std::string("Workstation"), std::string("macOS")),
        clipFrom(std::string("alpha"), std::string("alpha"), std::string("iPadOS")),
        clipFrom(std::string("zed"), std::string("Zed renamed"), std::string("Android")),
        clipFrom(std::string("p9"), std::string("Phone 9"), std::string("iOS")),
        clipFrom(thisMac, std::string("Workstation"), std::string("macOS")),
    };
    const auto options = availableDevices(items, defaults);
    EXPECT_EQ(ids(options), (std::vector<std::string>{thisMac, "alpha", "p9", "p10",
                                                      kLegacyLocalDeviceKey, "zed"}));
    EXPECT_EQ(options[0], (ClipDeviceFilterOption{thisMac, "Workstation", "macOS", 2}));
    // Name and platform come from the newest clip of the group.
    EXPECT_EQ(options[5], (ClipDeviceFilterOption{"zed", "Zed", "Android", 2}));
    EXPECT_EQ(options[4].name, "This computer");

    EXPECT_TRUE(availableDevices({}, defaults).empty());
}

TEST(AvailableDevices, CreatesTheIdentifierWhenNoneIsStored) {
    InMemoryDefaults defaults;
    const auto options = availableDevices({clipFrom(std::string("b"), std::string("B"), std::nullopt)}, defaults);
    ASSERT_EQ(options.size(), 1u);
    EXPECT_EQ(options[0].platform, "macOS");
    EXPECT_TRUE(defaults.stringValue(kClipSourceDeviceIDKey).has_value());
}
