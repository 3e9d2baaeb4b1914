#pragma once

#include "platform/Defaults.h"

namespace harbelle {

// Treats people who used the program before the automatic-update question existed as having
// answered it (automatic checks on, unless they had set that preference themselves), so only new
// installations are asked. Runs to its end once per settings domain, and only for builds that
// offer updates.
class AutomaticUpdateChoiceMigration {
public:
    static constexpr const char* kEvaluatedKey = "harbelle.automaticUpdateCheckMigrationEvaluated";
    static constexpr const char* kHasLaunchedKey = "hasLaunchedPemberlow";
    static constexpr const char* kChoiceRecordedKey = "harbelle.automaticUpdateCheckChoiceRecorded";
    static constexpr const char* kAutomaticChecksKey = "SUEnableAutomaticChecks";

    // Must run before start-up first writes "hasLaunchedPemberlow".
    static void prepare(bool isDirectDistribution, Defaults& defaults);

    AutomaticUpdateChoiceMigration() = delete;
};

}  // namespace harbelle
