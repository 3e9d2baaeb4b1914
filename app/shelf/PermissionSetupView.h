#pragma once

#include <QWidget>

#include "shelf/ShelfUpdateChoice.h"

class QAbstractButton;
class QCheckBox;
class QLabel;
class QPushButton;

namespace harbelle {

class HistoryStore;

// The permission set-up sheet: explains direct paste, shows both permissions live, asks for
// accessibility, re-checks, opens the accessibility settings, or keeps the history in
// copy-only mode; carries the automatic-update question when updates exist. It keeps no state:
// everything shown follows the store and the update manager. It closes only through its two
// ways out, each of which dismisses first and runs the finish callback in a later turn.
class PermissionSetupView : public QWidget {
    Q_OBJECT
public:
    // `updates` is read on every refresh and must outlive the view.
    PermissionSetupView(HistoryStore& store, const ShelfUpdateChoice& updates, QWidget* parent = nullptr);

    static constexpr const char* kTitle = "Enable One-Click Paste";
    static constexpr const char* kRequestTitle = "Request Accessibility Access";
    static constexpr const char* kCheckAgainTitle = "Check Again";
    static constexpr const char* kOpenSettingsTitle = "Open System Settings";
    static constexpr const char* kCopyOnlyTitle = "Use History in Copy-Only Mode";
    static constexpr const char* kContinueTitle = "Continue and Return to Your App";
    static constexpr const char* kPendingStatus =
        "If Accessibility stays Required after Request Accessibility Access, turn on assistive technologies in "
        "your desktop's accessibility settings, then return here and click Check Again. Status also refreshes "
        "automatically.";
    static constexpr const char* kPendingStatusSwitchedOff =
        "Accessibility is switched off in this desktop session, which has no accessibility settings to open: "
        "Request Accessibility Access switches it on. Programs that were already open may need a restart before "
        "Harbelle can paste into them. Status also refreshes automatically.";
    // Sessions where nothing the sheet could ask for would make direct paste work.
    static constexpr const char* kPendingStatusWithoutBus =
        "This session runs no accessibility bus (at-spi2-core), so Harbelle cannot paste directly here: chosen "
        "clips are copied instead. To paste directly, start Harbelle in a desktop session that runs one.";
    static constexpr const char* kPendingStatusWithoutKeyEvents =
        "This X server has no XTest extension, and it cannot be granted from here; chosen clips are copied instead.";

    // What the key-event row and the sheet's message say Ctrl+V and Accessibility are used
    // for, with the system shortcut setting on or off.
    static QString eventPostingSubtitle(bool pasteUsesSystemShortcut);
    static QString message(bool pasteUsesSystemShortcut);

    // The ready line and the keyboard note for the keys of the global shortcut in force, as
    // `globalShortcutKeys` writes them (empty: none is registered, the tray icon opens the shelf).
    static QString readyStatus(const QString& keys);
    static QString inputNote(const QString& keys);

    // Both permissions granted.
    bool accessGranted() const;
    // Re-reads the store and the update manager.
    void refresh();

    QPushButton* button(const char* title) const;
    QCheckBox* updateToggle() const { return updateToggle_; }
    QLabel* statusLine() const { return status_; }
    QLabel* inputNoteLine() const { return inputNote_; }
    QLabel* messageLine() const { return message_; }
    // The badge of a permission row ("Allowed" or "Required"): 0 = Accessibility, 1 = key events.
    QLabel* badge(int row) const;
    QLabel* caption(int row) const;
    QLabel* rowTitle(int row) const { return row >= 0 && row < 2 ? rows_[row].title : nullptr; }
    QWidget* updateCard() const { return updateCard_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    struct Row {
        QLabel* symbol = nullptr;
        QLabel* title = nullptr;
        QLabel* caption = nullptr;
        QLabel* badge = nullptr;
    };
    QWidget* makeRow(const QString& title, const QString& subtitle, Row* row, QWidget* parent);
    void setRowState(Row& row, bool granted);
    void continueAndReturn();
    void useCopyOnlyMode();
    void recordUpdateChoiceIfNeeded();
    void finishLater();
    // The status line while a permission is missing, for this desktop.
    const char* pendingStatus() const;

    HistoryStore& store_;
    const ShelfUpdateChoice& updates_;
    Row rows_[2];
    QWidget* updateCard_ = nullptr;
    QCheckBox* updateToggle_ = nullptr;
    QWidget* pendingButtons_ = nullptr;
    QPushButton* continue_ = nullptr;
    QPushButton* request_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* inputNote_ = nullptr;
    QLabel* message_ = nullptr;
    bool shownContinue_ = false;
};

}  // namespace harbelle
