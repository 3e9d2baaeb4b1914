#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include <QSystemTrayIcon>

class QAction;
class QMenu;

namespace harbelle {

// The program's one permanent presence: an icon in the system tray. A left click toggles the
// shelf; a right click opens the status menu, rebuilt each time it opens so the pause item
// reads the state of that moment.
class StatusItem final : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kAccessibleName = "Harbelle";
    static constexpr const char* kDefaultToolTip = "Harbelle \u00b7 Shift+Super+V";
    static constexpr const char* kOpenShelfTitle = "Open Shelf";
    static constexpr const char* kNewTextClipTitle = "New Text Clip";
    static constexpr const char* kPauseTitle = "Pause Capture";
    static constexpr const char* kResumeTitle = "Resume Capture";
    static constexpr const char* kSettingsTitle = "Settings\u2026";
    static constexpr const char* kQuitTitle = "Quit Harbelle";

    struct Actions {
        std::function<void()> toggleShelf;  // left click
        std::function<void()> showShelf;
        std::function<void()> newTextClip;
        std::function<void()> toggleCapture;
        std::function<void()> showSettings;
        std::function<void()> quit;
        std::function<bool()> isPaused;
        // The update item, or nullptr when updates are unavailable; parented to the menu.
        std::function<QAction*(QObject* parent)> makeCheckForUpdatesItem;
    };

    explicit StatusItem(Actions actions, QObject* parent = nullptr);
    ~StatusItem() override;

    // Shows the icon in the tray, now or when a tray starts.
    void install(bool trayAvailable);
    QSystemTrayIcon* trayIcon() const { return tray_.get(); }
    QString toolTip() const;
    void setToolTip(const QString& text);

    // The menu the tray opens; its items are made again by makeStatusMenu() on each opening.
    QMenu* menu() const { return menu_.get(); }
    void makeStatusMenu();

    // The tray's click report: Trigger is a left click; a right click opens the menu itself.
    void activated(QSystemTrayIcon::ActivationReason reason);

    static QIcon trayImage();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Actions actions_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
};

}  // namespace harbelle
