#include "settings/AutomaticUpdateChoiceMigration.h"

namespace harbelle {

void AutomaticUpdateChoiceMigration::prepare(bool isDirectDistribution, Defaults& defaults) {
    // Nothing is written for a build without updates, so a later build with them still migrates.
    if (!isDirectDistribution) return;
    if (defaults.object(kEvaluatedKey)) return;
    if (defaults.boolValue(kHasLaunchedKey) == true && !defaults.object(kChoiceRecordedKey)) {
        if (!defaults.object(kAutomaticChecksKey)) defaults.setBool(kAutomaticChecksKey, true);
        defaults.setBool(kChoiceRecordedKey, true);
    }
    defaults.setBool(kEvaluatedKey, true);
}

}  // namespace harbelle
