#include "settings/SettingsWindowController.h"

#include <QBuffer>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QSaveFile>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <stdexcept>

#include "history/HistoryStore.h"
#include "platform/BundleInfo.h"
#include "settings/SettingsView.h"
#include "theme/AppMark.h"

namespace harbelle {

class SettingsWindowController::Window final : public QWidget {
public:
    explicit Window(SettingsWindowController& owner) : owner_(owner) {}

protected:
    void closeEvent(QCloseEvent* event) override {
        if (owner_.windowShouldClose()) event->accept();
        else event->ignore();
    }
    void hideEvent(QHideEvent* event) override {
        QWidget::hideEvent(event);
        owner_.saveFrame();
    }

private:
    SettingsWindowController& owner_;
};

const std::vector<std::string>& SettingsWindowController::sectionTitles() {
    static const std::vector<std::string> titles = {"General", "Appearance", "Privacy",
                                                    "Sync",    "Shortcuts",  "About"};
    return titles;
}

SettingsWindowController::SettingsWindowController(HistoryStore& store, UpdateManager& updateManager,
                                                   SyncAccountService& syncCoordinator,
                                                   std::function<void()> onReviewAccess, Defaults& defaults,
                                                   const BundleInfo* bundle, QObject* parent)
    : QObject(parent), store_(store), defaults_(defaults), window_(std::make_unique<Window>(*this)) {
    // A dialog of the program, not an ordinary window: the window manager keeps it in front of
    // the window it belongs to (the shelf, which floats above ordinary windows), and X only
    // records whom a window belongs to for a dialog. It keeps an ordinary window's buttons.
    window_->setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                            Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    window_->setWindowTitle(QString::fromUtf8(kTitle));
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) icon.addPixmap(AppMark::pixmap(size));
    window_->setWindowIcon(icon);  // its dialogs inherit it
    window_->setMinimumSize(kMinimumWidth, kMinimumHeight);
    window_->resize(kWidth, kHeight);

    auto* layout = new QHBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    view_ = new SettingsView(store_, updateManager, syncCoordinator, std::move(onReviewAccess),
                             bundle ? *bundle : BundleInfo::main(), {}, window_.get());
    layout->addWidget(view_);
    connect(view_, &SettingsView::closeRequested, this, [this] { windowShouldClose(); });

    if (auto saved = defaults_.object(kFrameAutosaveName);
        saved && saved->is_array() && saved->size() == 4 &&
        std::all_of(saved->begin(), saved->end(), [](const auto& v) { return v.is_number_integer(); })) {
        const QRect frame((*saved)[0].get<int>(), (*saved)[1].get<int>(), (*saved)[2].get<int>(),
                          (*saved)[3].get<int>());
        if (frame.width() > 0 && frame.height() > 0) {
            window_->setGeometry(frame);
            hasChosenInitialPosition_ = true;
        }
    }
}

SettingsWindowController::~SettingsWindowController() = default;

QWidget* SettingsWindowController::window() const { return window_.get(); }

QRect SettingsWindowController::constrainedFrame(const QRect& frame, const QRect& visible, int margin) {
    const QRect inner = visible.adjusted(margin, margin, -margin, -margin);
    const int width = std::min(frame.width(), std::max(0, inner.width()));
    const int height = std::min(frame.height(), std::max(0, inner.height()));
    const int x = std::clamp(frame.x(), inner.x(), std::max(inner.x(), inner.x() + inner.width() - width));
    const int y = std::clamp(frame.y(), inner.y(), std::max(inner.y(), inner.y() + inner.height() - height));
    return QRect(x, y, width, height);
}

QRect SettingsWindowController::fittedAndCenteredFrame(const QSize& size, const QRect& visible, int margin) {
    const int width = std::min(size.width(), std::max(0, visible.width() - 2 * margin));
    const int height = std::min(size.height(), std::max(0, visible.height() - 2 * margin));
    return QRect(visible.x() + (visible.width() - width) / 2, visible.y() + (visible.height() - height) / 2,
                 width, height);
}

void SettingsWindowController::show(QScreen* centeredOn, QWidget* inFrontOf) {
    if (!window_) return;
    if (inFrontOf && !inFrontOf->isVisible()) inFrontOf = nullptr;
    // In front of the shelf: on its screen, whatever screen the window was on before.
    if (inFrontOf && inFrontOf->screen()) centeredOn = inFrontOf->screen();
    QScreen* own = hasChosenInitialPosition_ && inFrontOf ? centeredOn : window_->screen();
    QScreen* primary = QGuiApplication::primaryScreen();
    QScreen* first = QGuiApplication::screens().isEmpty() ? nullptr : QGuiApplication::screens().first();
    QScreen* screen = hasChosenInitialPosition_ ? (own ? own : centeredOn) : (centeredOn ? centeredOn : own);
    if (!screen) screen = primary ? primary : first;

    if (!screen) {
        hasChosenInitialPosition_ = true;  // the platform places a first window by itself
    } else {
        const QRect visible = screen->availableGeometry();
        if (hasChosenInitialPosition_) {
            window_->setGeometry(constrainedFrame(window_->geometry(), visible, kScreenMargin));
        } else {
            window_->setGeometry(fittedAndCenteredFrame(QSize(kWidth, kHeight), visible, kScreenMargin));
            hasChosenInitialPosition_ = true;
        }
    }
    if (window_->isMinimized()) window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    // Belonging to the shelf, it is kept above it for as long as both are shown. The link is
    // written when the window is mapped, so a shown window is mapped again to change it.
    window_->winId();
    if (QWindow* handle = window_->windowHandle()) {
        QWindow* owner = inFrontOf ? inFrontOf->window()->windowHandle() : nullptr;
        if (handle->transientParent() != owner) {
            if (window_->isVisible()) window_->hide();
            handle->setTransientParent(owner);
        }
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

bool SettingsWindowController::windowShouldClose() {
    if (store_.showSettings()) store_.setShowSettings(false);
    store_.announceSettingsVisibility(false);
    return false;
}

void SettingsWindowController::captureSnapshot(const std::string& path) {
    if (!window_) return;
    if (auto* layout = window_->layout()) layout->activate();
    const QPixmap picture = window_->grab();
    if (picture.isNull()) return;
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!picture.save(&buffer, "PNG") || png.isEmpty()) return;
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly) || file.write(png) != png.size() || !file.commit())
        throw std::runtime_error("Could not write the snapshot to " + path + ": " +
                                 file.errorString().toStdString());
}

void SettingsWindowController::saveFrame() {
    if (!hasChosenInitialPosition_) return;
    const QRect frame = window_->geometry();
    defaults_.set(kFrameAutosaveName, nlohmann::json::array({frame.x(), frame.y(), frame.width(), frame.height()}));
}

}  // namespace harbelle
