#pragma once

#include <QWidget>
#include <filesystem>
#include <functional>

class QLabel;
class QPushButton;
class QUrl;

namespace harbelle {

class AppSettings;
class HistoryStore;
class SettingToggle;

// The capture and paste-back privacy switches and where the history lives.
class PrivacyPage : public QWidget {
    Q_OBJECT
public:
    using FolderOpener = std::function<void(const QUrl&)>;

    PrivacyPage(HistoryStore& store, FolderOpener openFolder, QWidget* parent = nullptr);
    void refresh();

    // The folder as the user reads it: the home folder written "~".
    static QString displayPath(const std::filesystem::path& folder, const QString& home);

    SettingToggle* skipSensitive() const { return skipSensitive_; }
    SettingToggle* captureImages() const { return captureImages_; }
    SettingToggle* replayLocally() const { return replayLocally_; }
    QLabel* storageNote() const { return storageNote_; }
    QPushButton* showFolder() const { return showFolder_; }

private:
    HistoryStore& store_;
    AppSettings& settings_;
    SettingToggle* skipSensitive_ = nullptr;
    SettingToggle* captureImages_ = nullptr;
    SettingToggle* replayLocally_ = nullptr;
    QLabel* storageNote_ = nullptr;
    QPushButton* showFolder_ = nullptr;
};

}  // namespace harbelle
