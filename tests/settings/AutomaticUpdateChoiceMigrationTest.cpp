#include <gtest/gtest.h>

#include "settings/AutomaticUpdateChoiceMigration.h"
#include "support/InMemoryDefaults.h"

using namespace harbelle;
using harbelle::testing::InMemoryDefaults;
using M = AutomaticUpdateChoiceMigration;

TEST(AutomaticUpdateChoiceMigration, ExistingUserGetsAutomaticChecksAndARecordedChoice) {
    InMemoryDefaults defaults;
    defaults.setBool(M::kHasLaunchedKey, true);
    M::prepare(true, defaults);
    EXPECT_EQ(defaults.boolValue(M::kAutomaticChecksKey), true);
    EXPECT_EQ(defaults.boolValue(M::kChoiceRecordedKey), true);
    EXPECT_EQ(defaults.boolValue(M::kEvaluatedKey), true);
}

TEST(AutomaticUpdateChoiceMigration, ExistingUserKeepsTheirOwnPreference) {
    InMemoryDefaults defaults;
    defaults.setBool(M::kHasLaunchedKey, true);
    defaults.setBool(M::kAutomaticChecksKey, false);
    M::prepare(true, defaults);
    EXPECT_EQ(defaults.boolValue(M::kAutomaticChecksKey), false);
    EXPECT_EQ(defaults.boolValue(M::kChoiceRecordedKey), true);
}

TEST(AutomaticUpdateChoiceMigration, RecordedChoiceOrNewInstallationOnlyMarksEvaluated) {
    InMemoryDefaults recorded;
    recorded.setBool(M::kHasLaunchedKey, true);
    recorded.setBool(M::kChoiceRecordedKey, false);
    M::prepare(true, recorded);
    EXPECT_FALSE(recorded.object(M::kAutomaticChecksKey));
    EXPECT_EQ(recorded.boolValue(M::kChoiceRecordedKey), false);
    EXPECT_EQ(recorded.boolValue(M::kEvaluatedKey), true);

    InMemoryDefaults fresh;
    M::prepare(true, fresh);
    EXPECT_EQ(fresh.values(), nlohmann::json({{M::kEvaluatedKey, true}}));

    // A non-Boolean launched flag is no proof of an earlier launch.
    InMemoryDefaults odd;
    odd.setString(M::kHasLaunchedKey, "yes");
    M::prepare(true, odd);
    EXPECT_FALSE(odd.object(M::kChoiceRecordedKey));
}

TEST(AutomaticUpdateChoiceMigration, RunsOnceAndNeverForBuildsWithoutUpdates) {
    InMemoryDefaults defaults;
    defaults.setBool(M::kHasLaunchedKey, true);
    M::prepare(false, defaults);
    EXPECT_EQ(defaults.values().size(), 1u);

    defaults.setBool(M::kEvaluatedKey, true);
    M::prepare(true, defaults);
    EXPECT_FALSE(defaults.object(M::kChoiceRecordedKey));
}
