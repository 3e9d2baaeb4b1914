#include <QAction>
#include <QMessageBox>
#include <QPointer>

#include "settings/SettingsWindowController.h"
#include "settings/UpdateManager.h"
#include "shell/AppCoordinator.h"
#include "shell/GlobalHotKey.h"
#include "shell/ShelfPanel.h"
#include "shell/ShelfPanelController.h"
#include "shell/StatusItem.h"

namespace harbelle {

namespace {

// The window a dialog belongs to: the settings window, else the shelf, while shown. Belonging
// to it, the dialog stays in front of it (and of the shelf the settings window belongs to)
// instead of opening under the shelf, which floats above ordinary windows.
QWidget* dialogOwner(const AppCoordinator& coordinator) {
    if (auto* settings = coordinator.settingsWindowController(); settings && settings->window()->isVisible())
        return settings->window();
    if (auto* panel = coordinator.panelController(); panel && panel->panel() && panel->panel()->isVisible())
        return panel->panel();
    return nullptr;
}

}  // namespace

void AppCoordinator::configureStatusItem() {
    StatusItem::Actions actions;
    actions.toggleShelf = guarded([this] { toggleShelf(); });
    actions.showShelf = guarded([this] { showShelf(); });
    actions.newTextClip = guarded([this] { newTextClip(); });
    actions.toggleCapture = guarded([this] { toggleCapture(); });
    actions.showSettings = guarded([this] { showSettings(); });
    actions.quit = guarded([this] { quit(); });
    HistoryStore* store = store_.get();
    actions.isPaused = [store] { return store->isPaused(); };
    UpdateManager* updates = updateManager_.get();
    actions.makeCheckForUpdatesItem = [updates](QObject* parent) { return updates->makeCheckForUpdatesMenuItem(parent); };
    // One answer window at a time: a newer answer replaces the one still open.
    auto shown = std::make_shared<QPointer<QMessageBox>>();
    connect(updates, &UpdateManager::checkAnswered, this, [this, shown](const UpdateManager::CheckAnswer& answer) {
        if (*shown) (*shown)->close();
        auto* box = new QMessageBox(answer.kind == UpdateManager::CheckAnswer::Kind::failed ? QMessageBox::Warning
                                                                                          : QMessageBox::Information,
                                    QStringLiteral("Software Update"), answer.title + QStringLiteral("\n\n") + answer.message,
                                    QMessageBox::Ok, dialogOwner(*this));
        box->setObjectName(QStringLiteral("updateCheckAnswer"));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setTextFormat(Qt::PlainText);  // the message quotes server errors and file paths
        box->setWindowModality(Qt::NonModal);
        *shown = box;
        box->show();
        box->raise();
        box->activateWindow();
    });
    statusItem_ = std::make_unique<StatusItem>(std::move(actions));
    // Made even while no tray runs: a tray started later (a login session still coming up)
    // then shows it, with the tooltip the hot key left.
    statusItem_->install(deps_.systemTrayAvailable());
}

void AppCoordinator::configureHotKey() {
    // The toggle abandons a running paste first.
    auto action = guarded([this] { toggleShelf(); });
    HotKeyRegistrar& registrar = *deps_.hotKeyRegistrar;

    if ((globalHotKey_ = GlobalHotKey::make(registrar, HotKeyCombination::shiftCommandV(), action))) {
        store_->setGlobalShortcutLabel(kPrimaryShortcutLabel);
        return;
    }
    if ((globalHotKey_ = GlobalHotKey::make(registrar, HotKeyCombination::optionCommandV(), action))) {
        store_->setGlobalShortcutLabel(kFallbackShortcutLabel);
        if (statusItem_) statusItem_->setToolTip(QString::fromUtf8(kFallbackToolTip));
        store_->showToast(kFallbackToast, ToastTone::success);
        return;
    }
    store_->setGlobalShortcutLabel(kMenuBarShortcutLabel);
    if (statusItem_) statusItem_->setToolTip(QString::fromUtf8(kMenuOnlyToolTip));
    store_->showToast(kMenuOnlyToast, ToastTone::success);
}

void AppCoordinator::toggleShelf() {
    cancelActivePasteOperation();
    if (panelController_->panel() && panelController_->isVisible()) {
        panelController_->hideShelf();
    } else {
        panelController_->show();
    }
}

void AppCoordinator::showShelf() {
    cancelActivePasteOperation();
    panelController_->show();
}

void AppCoordinator::newTextClip() {
    cancelActivePasteOperation();
    if (!panelController_->show()) return;
    store_->startNewTextClip();
}

void AppCoordinator::toggleCapture() { deps_.setCapturePaused(*store_, !store_->isPaused()); }

void AppCoordinator::showSettings() {
    cancelActivePasteOperation();
    if (!panelController_->show()) return;
    if (!store_->showSettings()) store_->setShowSettings(true);
    store_->announceSettingsVisibility(true);
}

}  // namespace harbelle
