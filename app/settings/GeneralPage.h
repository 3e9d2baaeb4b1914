#pragma once

#include <QWidget>
#include <functional>

class QComboBox;
class QCheckBox;
class QLabel;
class QPushButton;
class QSlider;

namespace harbelle {

class BundleInfo;
class AppSettings;
class HistoryStore;
class SettingToggle;
class UpdateManager;

// The everyday switches: capture, login, updates, shelf hiding, paste and history size. It
// shows what the store and the update manager hold and writes only on the user's action.
class GeneralPage : public QWidget {
    Q_OBJECT
public:
    static constexpr int kHistorySizes[] = {500, 1000, 2500, 5000, 10000};

    GeneralPage(HistoryStore& store, UpdateManager& updates, const BundleInfo& bundle,
                std::function<void()> onReviewAccess, QWidget* parent = nullptr);

    // Fills every control from the store and the update manager; writes nothing.
    void refresh();

    SettingToggle* openAtLogin() const { return openAtLogin_; }
    SettingToggle* captureChanges() const { return capture_; }
    SettingToggle* checkForUpdates() const { return checks_; }
    SettingToggle* downloadUpdates() const { return downloads_; }
    QCheckBox* autoHideSwitch() const { return autoHide_; }
    QWidget* delayRow() const { return delayRow_; }
    QSlider* delaySlider() const { return delay_; }
    QLabel* delayValue() const { return delayValue_; }
    SettingToggle* pasteDirectly() const { return pasteDirectly_; }
    SettingToggle* systemShortcut() const { return systemShortcut_; }
    QLabel* accessCaption() const { return accessCaption_; }
    SettingToggle* plainText() const { return plainText_; }
    QComboBox* historySize() const { return historySize_; }
    QLabel* savedCount() const { return savedCount_; }
    QLabel* favoritesCaption() const { return favorites_; }
    QPushButton* clearButton() const { return clear_; }

signals:
    void clearHistoryRequested();

private:
    void refreshCounts();
    void refreshUpdates();

    HistoryStore& store_;
    AppSettings& settings_;
    UpdateManager& updates_;
    SettingToggle* openAtLogin_ = nullptr;
    SettingToggle* capture_ = nullptr;
    SettingToggle* checks_ = nullptr;
    SettingToggle* downloads_ = nullptr;
    QCheckBox* autoHide_ = nullptr;
    QWidget* delayRow_ = nullptr;
    QSlider* delay_ = nullptr;
    QLabel* delayValue_ = nullptr;
    SettingToggle* pasteDirectly_ = nullptr;
    SettingToggle* systemShortcut_ = nullptr;
    QLabel* accessCaption_ = nullptr;
    SettingToggle* plainText_ = nullptr;
    QComboBox* historySize_ = nullptr;
    QLabel* savedCount_ = nullptr;
    QLabel* favorites_ = nullptr;
    QPushButton* clear_ = nullptr;
};

}  // namespace harbelle
