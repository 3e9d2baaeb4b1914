#include "shell/ShelfPanelController.h"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QScreen>
#include <QTextEdit>
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "history/HistoryStore.h"
#include "shelf/ShelfSheet.h"
#include "shell/ShelfPanel.h"
#include "shell/ShelfPanelGeometry.h"

namespace harbelle {

namespace {

constexpr double kMinimumAutoHideDelay = 0.25;
constexpr double kMaximumAutoHideDelay = 60;
// The screen-reader state costs a bus round trip; pointer movement restarts the countdown at
// event rate, so the answer is kept this long.
constexpr auto kScreenReaderRefresh = std::chrono::seconds(2);
// How long the shelf waits, shown but not active, for the target's focused field to be read:
// once the shelf is active the field has lost the focus and can no longer be found.
constexpr Milliseconds kCaptureWaitBeforeActivation{400};
constexpr Milliseconds kCaptureRetryInterval{30};
constexpr int kCaptureRetries = 10;

// Settings applications: granting permissions there must not move the paste target.
bool isSystemSettings(const std::optional<std::string>& identifier) {
    const QString id = QString::fromStdString(identifier.value_or(std::string())).toLower();
    static const QStringList known = {
        QStringLiteral("com.apple.systempreferences"), QStringLiteral("com.apple.systemsettings"),
        QStringLiteral("gnome-control-center"),        QStringLiteral("systemsettings"),
        QStringLiteral("xfce4-settings-manager"),      QStringLiteral("cinnamon-settings"),
        QStringLiteral("mate-control-center"),         QStringLiteral("lxqt-config"),
    };
    return known.contains(id);
}

// A key event reaches the focus widget first and then, while ignored, its parents; the shelf
// acts on the first delivery only.
bool isFirstDelivery(QWidget* receiver) {
    QWidget* window = receiver->window();
    QWidget* focus = window->focusWidget();
    return focus ? receiver == focus : receiver == window;
}

bool isPointerActivity(QEvent::Type type) {
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::NativeGesture:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
        return true;
    default:
        return false;
    }
}

}  // namespace

std::optional<int> QuickPasteShortcut::itemIndex(int key, quint32 nativeScanCode, const QString& text,
                                                 Qt::KeyboardModifiers modifiers) {
    if (!modifiers.testFlag(Qt::ControlModifier)) return std::nullopt;
    if (text.size() == 1 && text[0] >= QLatin1Char('1') && text[0] <= QLatin1Char('9'))
        return text[0].unicode() - '1';
    if (key >= Qt::Key_1 && key <= Qt::Key_9) return key - Qt::Key_1;
    // X11 key codes of the digit row (1 to 9) and of the keypad's 1 to 9.
    if (nativeScanCode >= 10 && nativeScanCode <= 18) return static_cast<int>(nativeScanCode) - 10;
    switch (nativeScanCode) {
    case 87: return 0;
    case 88: return 1;
    case 89: return 2;
    case 83: return 3;
    case 84: return 4;
    case 85: return 5;
    case 79: return 6;
    case 80: return 7;
    case 81: return 8;
    default: return std::nullopt;
    }
}

ShelfPanelController::ShelfPanelController(HistoryStore& store, Workspace& workspace, Accessibility& accessibility,
                                           Clock& clock, Options options, QObject* parent)
    : QObject(parent),
      store_(store),
      workspace_(workspace),
      accessibility_(accessibility),
      clock_(clock),
      options_(std::move(options)),
      ownProcessID_(options_.ownProcessID.value_or(QCoreApplication::applicationPid())) {
    qaRemainingTransientFocusFailures_ = std::max<std::int64_t>(0, options_.qaTransientFocusFailureCount);

    panel_ = new ShelfPanel;
    view_ = new MainShelfView(store_);
    view_->setUpdateChoice(options_.updateChoice);
    panel_->setContentView(view_);
    updateResizableEdges();

    // A shelf whose window was destroyed from outside is simply closed: the next show() (the
    // hot key, the tray) builds a new window instead of showing the dead one.
    connect(panel_, &ShelfPanel::nativeWindowDestroyed, this, [this] {
        cancelAutoHideCountdown();
        panel_->discardNativeWindow();
    });
    connect(panel_, &ShelfPanel::liveResizeWillStart, this, &ShelfPanelController::cancelAutoHideCountdown);
    connect(panel_, &ShelfPanel::frameResized, this, [this] {
        if (panel_->inLiveResize() && !isApplyingPreferredFrame_) recordLiveSize();
    });
    connect(panel_, &ShelfPanel::liveResizeDidEnd, this, [this] {
        if (isApplyingPreferredFrame_) return;
        recordLiveSize();
        applyPreferredSize();
        restartAutoHideCountdown();
    });

    // The key and pointer monitors: every event of the application passes here first.
    qApp->installEventFilter(this);
    monitorsInstalled_ = true;

    connect(&store_, &HistoryStore::clipDragSessionEnded, this, &ShelfPanelController::restartAutoHideCountdown);

    connect(view_, &MainShelfView::sheetWillBegin, this, &ShelfPanelController::cancelAutoHideCountdown);
    connect(view_, &MainShelfView::sheetDidEnd, this, &ShelfPanelController::restartAutoHideCountdown);
    connect(&store_.settings(), &AppSettings::shelfPlacementChanged, this, &ShelfPanelController::updateResizableEdges);

    QPointer<ShelfPanelController> weak(this);
    activationObserver_ = workspace_.addActivationObserver([weak](const std::optional<RunningApplication>& app) {
        if (weak) weak->applicationDidActivate(app);
    });

    QDBusConnection::systemBus().connect(QStringLiteral("org.freedesktop.login1"),
                                         QStringLiteral("/org/freedesktop/login1"),
                                         QStringLiteral("org.freedesktop.login1.Manager"),
                                         QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));

    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (app) {
        for (QScreen* screen : QGuiApplication::screens()) watchScreen(screen);
        connect(app, &QGuiApplication::screenAdded, this, [this](QScreen* screen) {
            watchScreen(screen);
            screenParametersDidChange();
        });
        connect(app, &QGuiApplication::screenRemoved, this, &ShelfPanelController::screenParametersDidChange);
        connect(app, &QGuiApplication::primaryScreenChanged, this, &ShelfPanelController::screenParametersDidChange);
    }
}

ShelfPanelController::~ShelfPanelController() {
    shutdown();
    delete panel_.data();
}

void ShelfPanelController::watchScreen(QScreen* screen) {
    connect(screen, &QScreen::availableGeometryChanged, this, &ShelfPanelController::screenParametersDidChange);
    connect(screen, &QScreen::geometryChanged, this, &ShelfPanelController::screenParametersDidChange);
}

bool ShelfPanelController::isVisible() const { return panel_ && panel_->isVisible(); }

bool ShelfPanelController::hasAttachedSheet() const { return view_ && view_->hasAttachedSheet(); }

bool ShelfPanelController::launchArgument(const char* name) const {
    const QStringList arguments = options_.launchArguments.value_or(QCoreApplication::arguments());
    return arguments.contains(QString::fromLatin1(name));
}

void ShelfPanelController::emitDiagnostic(const std::string& line) const {
    if (options_.diagnostics) options_.diagnostics(line);
}

// ---- Frame ----------------------------------------------------------------------------------------

QScreen* ShelfPanelController::preferredScreen() const {
    const QList<QScreen*> screens = QGuiApplication::screens();
    const QPoint pointer = QCursor::pos();
    for (QScreen* screen : screens)
        if (screen->geometry().contains(pointer)) return screen;
    if (panel_ && panel_->screen()) return panel_->screen();
    if (QScreen* primary = QGuiApplication::primaryScreen()) return primary;
    return screens.isEmpty() ? nullptr : screens.first();
}

std::optional<QRectF> ShelfPanelController::visibleFrame() const {
    if (options_.visibleFrameOverride) return options_.visibleFrameOverride();
    QScreen* screen = preferredScreen();
    if (!screen) return std::nullopt;
    return QRectF(screen->availableGeometry());
}

void ShelfPanelController::applyPreferredSize() {
    if (!panel_) return;
    const auto frame = visibleFrame();
    if (!frame) return;
    const ShelfPlacement placement = store_.shelfPlacement();
    std::optional<QSizeF> custom;
    if (auto stored = store_.customShelfSize(placement)) custom = QSizeF(stored->width, stored->height);
    const ShelfPanelGeometry geometry = preferredShelfGeometry(*frame, placement, store_.shelfSizeMode(), custom);

    auto whole = [](QSizeF size) { return QSize(qRound(size.width()), qRound(size.height())); };
    const QRectF& f = geometry.frame;
    const QRect target(qRound(f.x()), qRound(f.y()), qRound(f.width()), qRound(f.height()));
    isApplyingPreferredFrame_ = true;
    panel_->setMinimumSize(0, 0);
    panel_->setMaximumSize(whole(geometry.maximumSize));
    panel_->setMinimumSize(whole(geometry.minimumSize));
    panel_->setGeometry(target);
    panel_->update();
    isApplyingPreferredFrame_ = false;
}

void ShelfPanelController::screenParametersDidChange() {
    // A hidden shelf is laid out when it opens next.
    if (isVisible()) applyPreferredSize();
}

void ShelfPanelController::updateResizableEdges() {
    if (!panel_) return;
    switch (store_.shelfPlacement()) {
    case ShelfPlacement::bottom: panel_->setResizableEdges(Qt::TopEdge | Qt::LeftEdge | Qt::RightEdge); break;
    case ShelfPlacement::top: panel_->setResizableEdges(Qt::BottomEdge | Qt::LeftEdge | Qt::RightEdge); break;
    case ShelfPlacement::left: panel_->setResizableEdges(Qt::RightEdge | Qt::TopEdge | Qt::BottomEdge); break;
    case ShelfPlacement::right: panel_->setResizableEdges(Qt::LeftEdge | Qt::TopEdge | Qt::BottomEdge); break;
    }
}

void ShelfPanelController::recordLiveSize() {
    const QRect frame = panel_->geometry();
    store_.recordCustomShelfSize(frame.width(), frame.height());
}

// ---- Show, hide and the paste target ---------------------------------------------------------------

bool ShelfPanelController::show() {
    if (!panel_) return false;
    const auto frontmost = workspace_.frontmostApplication();
    bool targetFocusKnown = false;
    // A copy made just before the hot key would be skipped as ours once the shelf is in front.
    if (frontmost && !isThisProgram(frontmost, ownProcessID_)) store_.readCopyNotYetPolled();
    if (!pasteTarget_.isExplicit() && frontmost && !isThisProgram(frontmost, ownProcessID_)) {
        remember(frontmost);
        // The capture no longer needs the field to keep its focus, so the shelf takes the
        // keyboard at once and the keys typed right after the hot key are its own.
        targetFocusKnown = frontmost->processIdentifier &&
                           accessibility_.remembersFocusedElement(*frontmost->processIdentifier);
    }
    if (launchArgument("--demo") && launchArgument("--qa-notify-target-captured")) {
        // Posted once the target's focused element is known, so a test that waits for it can
        // paste at once.
        if (captureInFlight_ > 0) notifyWhenCaptured_ = true;
        else postTargetCapturedNotification();
    }
    applyPreferredSize();
    // Every key typed from now on is the shelf's, also while its window comes to the front.
    const bool keyboardHeld = !panel_->isActiveWindow() && workspace_.holdKeyboardFor(panel_->winId());
    if (captureInFlight_ > 0 && !panel_->isVisible() && !targetFocusKnown && !keyboardHeld) {
        panel_->setAttribute(Qt::WA_ShowWithoutActivating, true);
        panel_->show();
        panel_->setAttribute(Qt::WA_ShowWithoutActivating, false);
        panel_->raise();
        activateWhenCaptured_ = true;
        QPointer<ShelfPanelController> weak(this);
        activationTimer_.cancel();
        activationTimer_ = clock_.schedule(kCaptureWaitBeforeActivation, [weak] {
            if (weak) weak->activatePanel();
        });
    } else {
        panel_->show();
        // Showing may have made the window anew: the keys go to the one shown.
        if (keyboardHeld) workspace_.holdKeyboardFor(panel_->winId());
        panel_->raise();
        activatePanel();
    }
    restartAutoHideCountdown();
    return true;
}

void ShelfPanelController::activatePanel() {
    activateWhenCaptured_ = false;
    activationTimer_.cancel();
    if (!panel_ || !panel_->isVisible()) return;
    // A set-up sheet standing in front keeps the keyboard: the shelf behind it takes no keys.
    if (ShelfSheet* sheet = view_ ? view_->sheet() : nullptr) {
        if (QWidget* above = sheet->aboveWindow(); above && above->isVisible()) {
            // Keys typed while it comes to the front are the sheet's.
            if (!above->isActiveWindow()) workspace_.holdKeyboardFor(above->winId());
            above->activateWindow();
            return;
        }
    }
    panel_->activateWindow();
    if (view_) view_->focusSearch();
}

void ShelfPanelController::orderOut() {
    workspace_.releaseKeyboard();
    if (panel_) panel_->hide();
}

void ShelfPanelController::hideShelf() {
    cancelAutoHideCountdown();
    orderOut();
    const auto& returnApplication = pasteTarget_.returnApplication();
    if (!returnApplication || !returnApplication->processIdentifier) return;
    const ProcessID pid = *returnApplication->processIdentifier;
    if (!workspace_.runningApplication(pid)) return;  // it has terminated
    workspace_.activate(pid);
}

void ShelfPanelController::setPasteTarget(ProcessID processIdentifier) {
    auto application = workspace_.runningApplication(processIdentifier);
    if (!application) {
        emitDiagnostic("target pid " + std::to_string(processIdentifier) + " was not found");
        return;
    }
    if (!application->processIdentifier) application->processIdentifier = processIdentifier;
    emitDiagnostic("explicit target pid=" + std::to_string(processIdentifier));
    pasteTarget_.markExplicit();
    remember(application);
}

void ShelfPanelController::remember(const std::optional<RunningApplication>& application) {
    if (!application) return;
    std::optional<std::uint32_t> nativeWindow;
    const auto frontmost = workspace_.frontmostApplication();
    if (frontmost && frontmost->processIdentifier && frontmost->processIdentifier == application->processIdentifier)
        nativeWindow = workspace_.frontmostWindow();
    pasteTarget_.remember(*application, nativeWindow);
    const std::uint64_t generation = ++captureGeneration_;
    captureInFlight_ = 2;
    captureFocus(*application, generation, kCaptureRetries);
    focusedWindow(*application, [this, generation](AXElement window) {
        if (generation != captureGeneration_) return;
        pasteTarget_.setFocusedWindow(window);
        finishCapturePart();
    });
}

void ShelfPanelController::captureFocus(const RunningApplication& application, std::uint64_t generation,
                                        int retries) {
    if (!application.processIdentifier) {
        pasteTarget_.setFocusedElement(nullptr);
        emitDiagnostic("remembered pid=none focusedElement=false");
        finishCapturePart();
        return;
    }
    const ProcessID pid = *application.processIdentifier;
    accessibility_.focusedElement(
        pid, Accessibility::defaultDeadline, this,
        [this, application, generation, retries, pid](AXResult<AXElement> result) {
            if (generation != captureGeneration_) return;  // a later remember replaced this one
            const AXElement element = result.ok() ? result.value : nullptr;
            // The hot key's own keyboard grab takes the focus from the field until the key is
            // released: look again for a moment while the shelf still waits.
            if (!element && result.status == AXStatus::noElement && retries > 0 && activateWhenCaptured_) {
                QPointer<ShelfPanelController> weak(this);
                captureRetryTimer_ = clock_.schedule(kCaptureRetryInterval, [weak, application, generation, retries] {
                    if (weak && generation == weak->captureGeneration_)
                        weak->captureFocus(application, generation, retries - 1);
                });
                return;
            }
            pasteTarget_.setFocusedElement(element);
            emitDiagnostic("remembered pid=" + std::to_string(pid) + " focusedElement=" + (element ? "true" : "false"));
            finishCapturePart();
        });
}

void ShelfPanelController::finishCapturePart() {
    if (captureInFlight_ <= 0 || --captureInFlight_ > 0) return;
    if (activateWhenCaptured_) activatePanel();
    emit pasteTargetCaptured();
    if (notifyWhenCaptured_) {
        notifyWhenCaptured_ = false;
        postTargetCapturedNotification();
    }
}

void ShelfPanelController::postTargetCapturedNotification() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    bus.send(QDBusMessage::createSignal(QString::fromLatin1(kTargetCapturedSignalPath),
                                        QString::fromLatin1(kTargetCapturedInterface),
                                        QString::fromLatin1(kTargetCapturedSignal)));
}

void ShelfPanelController::focusedElement(const RunningApplication& application, std::function<void(AXElement)> reply) {
    if (!application.processIdentifier) return reply(nullptr);
    accessibility_.focusedElement(*application.processIdentifier, Accessibility::defaultDeadline, this,
                                  [reply = std::move(reply)](AXResult<AXElement> result) {
                                      reply(result.ok() ? result.value : nullptr);
                                  });
}

void ShelfPanelController::focusedWindow(const RunningApplication& application, std::function<void(AXElement)> reply) {
    if (!application.processIdentifier) return reply(nullptr);
    accessibility_.focusedWindow(*application.processIdentifier, Accessibility::defaultDeadline, this,
                                 [reply = std::move(reply)](AXResult<AXElement> result) {
                                     reply(result.ok() ? result.value : nullptr);
                                 });
}

void ShelfPanelController::applicationDidActivate(const std::optional<RunningApplication>& application) {
    if (!isVisible()) return;
    if (pasteTarget_.isExplicit() || pasteTransactionIsActive_) return;
    if (hasAttachedSheet()) return;
    if (store_.showSettings() || store_.previewItem() || store_.editingItem()) return;
    if (!application) return;
    if (application->activationPolicy != ActivationPolicy::regular) return;
    if (isThisProgram(application, ownProcessID_)) return;
    if (isSystemSettings(application->bundleIdentifier)) return;
    remember(application);
}

// ---- Auto-hide ---------------------------------------------------------------------------------------

void ShelfPanelController::cancelAutoHideCountdown() {
    ++autoHideGeneration_;
    autoHideTimer_.cancel();
    autoHideTimer_.reset();
}

void ShelfPanelController::restartAutoHideCountdown() {
    cancelAutoHideCountdown();
    if (!isVisible() || !store_.autoHideEnabled() || autoHideIsSuspended()) return;
    double delay = store_.autoHideDelay();
    if (!std::isfinite(delay)) delay = AppSettings::kDefaultAutoHideDelay;
    delay = std::min(kMaximumAutoHideDelay, std::max(kMinimumAutoHideDelay, delay));
    const std::uint64_t generation = autoHideGeneration_;
    QPointer<ShelfPanelController> weak(this);
    autoHideTimer_ = clock_.schedule(Milliseconds(static_cast<std::int64_t>(std::llround(delay * 1000))),
                                     [weak, generation] {
                                         if (weak) weak->autoHideTimerDidFire(generation);
                                     });
}

void ShelfPanelController::autoHideTimerDidFire(std::uint64_t generation) {
    if (generation != autoHideGeneration_) return;
    autoHideTimer_.reset();
    // An expiry while something holds the shelf is dropped; the next interaction re-arms.
    if (!isVisible() || !store_.autoHideEnabled() || autoHideIsSuspended()) return;
    hideShelf();
}

bool ShelfPanelController::autoHideIsSuspended() const {
    return pasteTransactionIsActive_ || store_.isDraggingClip() || hasAttachedSheet() ||
           (panel_ && panel_->inLiveResize()) || menuTrackingDepth_ > 0 || screenReaderEnabled() ||
           store_.showSettings() || store_.showPermissionSetup() || store_.previewItem().has_value() ||
           store_.editingItem().has_value();
}

bool ShelfPanelController::screenReaderEnabled() const {
    const Date now = clock_.now();
    if (!screenReaderCache_ || now - screenReaderReadAt_ >= kScreenReaderRefresh || now < screenReaderReadAt_) {
        screenReaderCache_ = workspace_.screenReaderEnabled();
        screenReaderReadAt_ = now;
    }
    return *screenReaderCache_;
}

void ShelfPanelController::workspaceDidWake() { restartAutoHideCountdown(); }

void ShelfPanelController::accessibilityDisplayOptionsDidChange() {
    screenReaderCache_.reset();
    restartAutoHideCountdown();
}

void ShelfPanelController::prepareForSleep(bool sleeping) {
    if (!sleeping) workspaceDidWake();
}

void ShelfPanelController::menuDidBeginTracking() {
    if (!isVisible()) return;
    ++menuTrackingDepth_;
    cancelAutoHideCountdown();
}

void ShelfPanelController::menuDidEndTracking() {
    if (menuTrackingDepth_ <= 0) return;
    if (--menuTrackingDepth_ == 0) restartAutoHideCountdown();
}

// ---- Keys and pointer ----------------------------------------------------------------------------

bool ShelfPanelController::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == QEvent::KeyPress) {
        auto* receiver = qobject_cast<QWidget*>(watched);
        if (!receiver || !isVisible() || !isFirstDelivery(receiver)) return false;
        restartAutoHideCountdown();
        if (receiver->window() != panel_ || hasAttachedSheet()) return false;
        return handleKeyEvent(static_cast<QKeyEvent*>(event));
    }
    if (isPointerActivity(type)) {
        // A click acts on what is on screen: from then on the keys follow the focus as usual.
        if (type == QEvent::MouseButtonPress) workspace_.releaseKeyboard();
        if (watched->isWidgetType() && isVisible()) restartAutoHideCountdown();
        return false;
    }
    if ((type == QEvent::Show || type == QEvent::Hide) && qobject_cast<QMenu*>(watched)) {
        if (type == QEvent::Show) menuDidBeginTracking();
        else menuDidEndTracking();
    }
    return false;
}

bool ShelfPanelController::isUserTyping() const {
    if (!panel_) return false;
    QWidget* focus = panel_->focusWidget();
    // The shelf opens with the cursor in the empty search field; until the user types there,
    // the keys the hints show act on the cards.
    if (view_ && focus == view_->searchField()) return !view_->searchField()->text().isEmpty();
    return qobject_cast<QLineEdit*>(focus) || qobject_cast<QTextEdit*>(focus) || qobject_cast<QPlainTextEdit*>(focus);
}

bool ShelfPanelController::handleKeyEvent(QKeyEvent* event) {
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    const bool shift = modifiers.testFlag(Qt::ShiftModifier);
    const bool typing = isUserTyping();

    if (modifiers.testFlag(Qt::ControlModifier)) {
        const auto& shown = store_.filteredItems();
        if (auto index = QuickPasteShortcut::itemIndex(event->key(), event->nativeScanCode(), event->text(), modifiers);
            index && *index < static_cast<int>(shown.size())) {
            const ClipItem clip = shown[static_cast<std::size_t>(*index)];
            store_.requestPaste(clip, shift);
            return true;
        }
        if (event->key() == Qt::Key_F) {
            if (view_) view_->focusSearch();
            return true;
        }
        if (event->key() == Qt::Key_Comma) {
            if (!store_.showSettings()) store_.setShowSettings(true);
            store_.announceSettingsVisibility(true);
            return true;
        }
        // The tray menu's shortcuts act here too.
        if (event->key() == Qt::Key_N) {
            store_.startNewTextClip();
            return true;
        }
        if (event->key() == Qt::Key_Q) {
            store_.requestQuit();
            return true;
        }
    }

    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        store_.requestPasteSelected(shift);
        return true;
    case Qt::Key_Space:
        if (typing) return false;
        if (auto selected = store_.shownSelectedItem()) {
            store_.setPreviewItem(*selected);
            return true;
        }
        return false;
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
        // The press that emptied the search, its auto-repeat and any press after it stay with
        // the field: clearing a search never deletes a clip.
        if (typing || (view_ && panel_->focusWidget() == view_->searchField() && view_->searchClearedByEditing()))
            return false;
        if (auto selected = store_.shownSelectedItem()) {
            store_.deleteItem(*selected);
            return true;
        }
        return false;
    case Qt::Key_Escape:
        if (!store_.query().empty()) store_.setQuery("");
        else if (panel_) hideShelf();
        return true;
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down: {
        const bool sideways = event->key() == Qt::Key_Left || event->key() == Qt::Key_Right;
        if (sideways && typing) return false;  // the caret moves
        store_.moveSelection(event->key() == Qt::Key_Left || event->key() == Qt::Key_Up ? -1 : 1);
        // Moving through the cards turns Backspace back to them.
        if (view_) view_->forgetSearchEditing();
        return true;
    }
    default:
        return false;
    }
}

// ---- Snapshot and shutdown -------------------------------------------------------------------------

void ShelfPanelController::captureSnapshot(const QString& path) {
    if (!view_) return;
    QPixmap picture;
    if (ShelfSheet* sheet = view_->sheet(); sheet && view_->hasAttachedSheet()) {
        if (sheet->width() <= 0 || sheet->height() <= 0) return;
        picture = sheet->grabPanel();
    } else {
        if (QLayout* layout = view_->layout()) layout->activate();
        picture = view_->grab();
    }
    if (picture.isNull()) return;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot write the snapshot to " + path.toStdString() + ": " +
                                 file.errorString().toStdString());
    if (!picture.toImage().save(&file, "PNG")) {
        file.cancelWriting();
        return;
    }
    if (!file.commit())
        throw std::runtime_error("cannot write the snapshot to " + path.toStdString() + ": " +
                                 file.errorString().toStdString());
}

void ShelfPanelController::shutdown() {
    cancelAutoHideCountdown();
    if (activationObserver_) {
        workspace_.removeActivationObserver(*activationObserver_);
        activationObserver_.reset();
    }
    QDBusConnection::systemBus().disconnect(QStringLiteral("org.freedesktop.login1"),
                                            QStringLiteral("/org/freedesktop/login1"),
                                            QStringLiteral("org.freedesktop.login1.Manager"),
                                            QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
    if (monitorsInstalled_) {
        if (auto* app = QCoreApplication::instance()) app->removeEventFilter(this);
        monitorsInstalled_ = false;
    }
    if (auto* app = QCoreApplication::instance()) disconnect(app, nullptr, this, nullptr);
    for (QScreen* screen : QGuiApplication::screens()) disconnect(screen, nullptr, this, nullptr);
    if (view_) disconnect(view_, nullptr, this, nullptr);
    if (panel_) disconnect(panel_, nullptr, this, nullptr);
    disconnect(&store_, nullptr, this, nullptr);
}

}  // namespace harbelle
