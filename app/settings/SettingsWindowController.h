#pragma once

#include <QObject>
#include <QRect>
#include <functional>
#include <memory>
#include <string>

#include "platform/Defaults.h"

class QScreen;
class QWidget;

namespace harbelle {

class BundleInfo;
class HistoryStore;
class SettingsView;
class SyncAccountService;
class UpdateManager;

// Owner of the one settings window. The window is created hidden, shown only through show(),
// and never destroyed: its close button clears the store's flag and reports the window hidden,
// and the handler of that report orders it out.
class SettingsWindowController final : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kTitle = "Harbelle Settings";
    static constexpr const char* kFrameAutosaveName = "HarbelleSettingsWindow";
    static constexpr int kWidth = 920;
    static constexpr int kHeight = 650;
    static constexpr int kMinimumWidth = 700;
    static constexpr int kMinimumHeight = 480;
    static constexpr int kScreenMargin = 12;

    // `defaults` keeps the window's frame between launches under the autosave name; `bundle`
    // gives the version the pages show (the program's own when absent).
    SettingsWindowController(HistoryStore& store, UpdateManager& updateManager, SyncAccountService& syncCoordinator,
                             std::function<void()> onReviewAccess, Defaults& defaults,
                             const BundleInfo* bundle = nullptr, QObject* parent = nullptr);
    ~SettingsWindowController() override;

    // Places the window (the first time centred on `screen`, later kept on its own screen),
    // restores it when minimised, raises and activates it. With `inFrontOf` (an open window
    // that floats above the others, the shelf) it is kept in front of that window, on its screen.
    void show(QScreen* centeredOn, QWidget* inFrontOf = nullptr);
    QWidget* window() const;
    SettingsView* view() const { return view_; }
    // The close button's step; always false: the window is only ever hidden.
    bool windowShouldClose();
    // Writes a PNG picture of the window's content atomically; throws std::runtime_error when the
    // file cannot be written. Nothing is written when no picture can be made.
    void captureSnapshot(const std::string& path);

    bool hasChosenInitialPosition() const { return hasChosenInitialPosition_; }
    // The page names of the sidebar, in order.
    static const std::vector<std::string>& sectionTitles();

    // Frame rules shared by the placement: keep a frame inside `visible` less `margin`, shrinking
    // it when it does not fit; or size it to `size` (shrunk the same way) centred in `visible`.
    static QRect constrainedFrame(const QRect& frame, const QRect& visible, int margin);
    static QRect fittedAndCenteredFrame(const QSize& size, const QRect& visible, int margin);

private:
    class Window;
    void saveFrame();

    HistoryStore& store_;
    Defaults& defaults_;
    std::unique_ptr<Window> window_;
    SettingsView* view_ = nullptr;
    bool hasChosenInitialPosition_ = false;
};

}  // namespace harbelle
