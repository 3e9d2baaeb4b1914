#pragma once

#include <QWidget>
#include <array>
#include <functional>
#include <optional>
#include <string>

#include "settings/SettingsSection.h"
#include "settings/SettingsViewState.h"

class QLabel;
class QMessageBox;
class QPushButton;
class QStackedWidget;
class QUrl;

namespace harbelle {

class AboutPage;
class AppearancePage;
class BundleInfo;
class GeneralPage;
class HistoryStore;
class PrivacyPage;
class ShortcutsPage;
class SyncAccountService;
class SyncPage;
class UpdateManager;

// The whole content of the settings window: the sidebar of pages, the selected page under
// its title bar, and the clear-history alert. It is built once and lives for the process, and
// so does its state (page, Sync forms).
class SettingsView : public QWidget {
    Q_OBJECT
public:
    using FolderOpener = std::function<void(const QUrl&)>;

    static constexpr const char* kClearTitle = "Clear clipboard history?";
    static constexpr const char* kClearMessage =
        "This removes Harbelle’s saved copies. It does not delete the original files or your preserved PasteNow "
        "database.";

    // Without an opener the desktop's file manager shows the folder.
    SettingsView(HistoryStore& store, UpdateManager& updates, SyncAccountService& sync,
                 std::function<void()> onReviewAccess, const BundleInfo& bundle, FolderOpener openFolder = {},
                 QWidget* parent = nullptr);

    SettingsViewState& state() { return state_; }
    SettingsSection selection() const { return state_.selection; }
    void select(SettingsSection section);

    // The same step as the window's close button.
    void requestClose();
    // Raises the clear-history alert (the General page's button).
    void showClearConfirmation();
    QMessageBox* clearAlert() const { return clearAlert_; }

    std::optional<std::string> syncHealthProblem() const;

    QPushButton* sidebarRow(SettingsSection section) const { return rows_[static_cast<int>(section)]; }
    QPushButton* openLocalDataButton() const { return openLocalData_; }
    QPushButton* closeButton() const { return close_; }
    QLabel* pageTitle() const { return title_; }
    QWidget* currentPage() const;
    GeneralPage* generalPage() const { return general_; }
    AppearancePage* appearancePage() const { return appearance_; }
    PrivacyPage* privacyPage() const { return privacy_; }
    SyncPage* syncPage() const { return sync_; }
    ShortcutsPage* shortcutsPage() const { return shortcuts_; }
    AboutPage* aboutPage() const { return about_; }

signals:
    void closeRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QWidget* buildSidebar();

    HistoryStore& store_;
    SyncAccountService& syncService_;
    FolderOpener openFolder_;
    SettingsViewState state_;
    std::array<QPushButton*, 6> rows_{};
    QPushButton* openLocalData_ = nullptr;
    QPushButton* close_ = nullptr;
    QLabel* title_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    QMessageBox* clearAlert_ = nullptr;
    GeneralPage* general_ = nullptr;
    AppearancePage* appearance_ = nullptr;
    PrivacyPage* privacy_ = nullptr;
    SyncPage* sync_ = nullptr;
    ShortcutsPage* shortcuts_ = nullptr;
    AboutPage* about_ = nullptr;
};

}  // namespace harbelle
