#pragma once

#include <functional>

class QObject;

namespace harbelle {

// What the shelf's sheets need of the update manager. The owner fills it; an empty member
// reads as false and does nothing. The owner calls MainShelfView::refreshSheets() when
// isPresented changes.
struct ShelfUpdateChoice {
    // The automatic-update choice sheet is due.
    std::function<bool()> isPresented;
    // "Save Update Choice": records what the updater holds now, closes the sheet, and runs the
    // finish callback in a later turn of the event loop.
    std::function<void()> finish;
    // In-app updates exist (the update card of the permission sheet is shown).
    std::function<bool()> isAvailable;
    // No choice is recorded yet.
    std::function<bool()> needsChoice;
    // The updater's automatic-check setting; a change takes effect at once.
    std::function<bool()> automaticallyChecks;
    std::function<void(bool)> setAutomaticallyChecks;
    // Records the choice without closing anything or running the finish callback.
    std::function<void(bool)> record;
    // Calls `changed` while `context` lives whenever the updater's settings change, wherever
    // the change was made.
    std::function<void(QObject* context, std::function<void()> changed)> observeSettings;
};

}  // namespace harbelle
