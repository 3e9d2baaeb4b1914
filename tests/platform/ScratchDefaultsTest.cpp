#include <gtest/gtest.h>

#include "platform/ScratchDefaults.h"
#include "support/InMemoryDefaults.h"

using namespace harbelle;

TEST(ScratchDefaults, ReadsTheUserSettingsButKeepsChangesInMemory) {
    harbelle::testing::InMemoryDefaults user;
    user.set("maxHistory", 2500);
    user.set("HarbelleSettingsWindow", nlohmann::json::array({1, 2, 3, 4}));
    user.setPersistentDomain("old.program", {{"k", 1}});
    const nlohmann::json before = user.values();
    const int writes = user.writeCount();

    ScratchDefaults scratch(user);
    EXPECT_EQ(scratch.integerValue("maxHistory"), 2500);
    scratch.setInteger("maxHistory", 500);
    scratch.set("HarbelleSettingsWindow", nlohmann::json::array({9, 9, 9, 9}));
    scratch.removeObject("HarbelleSettingsWindow");
    scratch.setBool("hasLaunchedPemberlow", true);

    EXPECT_EQ(scratch.integerValue("maxHistory"), 500);
    EXPECT_FALSE(scratch.object("HarbelleSettingsWindow"));  // removed in this run only
    EXPECT_EQ(scratch.boolValue("hasLaunchedPemberlow"), true);
    EXPECT_EQ(scratch.persistentDomain("old.program"), nlohmann::json({{"k", 1}}));
    EXPECT_EQ(user.values(), before);
    EXPECT_EQ(user.writeCount(), writes);
}
