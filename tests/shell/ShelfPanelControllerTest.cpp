#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>

#include "shelf/ClipListModel.h"
#include "shelf/ShelfSheet.h"
#include "shell/ShelfPanelTestSupport.h"

namespace harbelle::testing {
namespace {

using namespace std::chrono_literals;

class ShelfPanelControllerTest : public ShelfPanelFixture {
protected:
    std::vector<std::pair<std::string, bool>> pastes;

    void makeShelf(ShelfPanelControllerOptions options = {}) {
        makeStore(true);
        store->updateAutoHideEnabled(true);
        store->updateAutoHideDelay(5);
        QObject::connect(store.get(), &HistoryStore::pasteRequested,
                [this](const ClipItem& clip, bool plain) { pastes.emplace_back(clip.title, plain); });
        makeController(std::move(options));
    }

    void openOver(const RunningApplication& front) {
        workspace.frontmost = front;
        ASSERT_TRUE(controller->show());
        clock.runDue();  // the focused element and window arrive
    }

    // A key press as the window system delivers it: to the panel's focus widget.
    void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, const QString& text = {},
               quint32 scanCode = 0) {
        QWidget* target = panel()->focusWidget() ? panel()->focusWidget() : panel();
        QKeyEvent event(QEvent::KeyPress, key, modifiers, scanCode, 0, 0, text);
        QApplication::sendEvent(target, &event);
    }
    void notTyping() { view()->listView()->setFocus(); }
    // The user has typed into the search field ("e": every sample clip still shows).
    void typing() {
        view()->searchField()->setFocus();
        press(Qt::Key_E, Qt::NoModifier, QStringLiteral("e"));
        ASSERT_EQ(store->query(), "e");
    }

    const ClipItem& shown(std::size_t i) const { return store->filteredItems().at(i); }
};

// ---- Frame ---------------------------------------------------------------------------------------

TEST_F(ShelfPanelControllerTest, LaysTheShelfAgainstTheChosenEdgeWithTheSizeModesSizes) {
    makeShelf();
    visibleFrame = QRectF(0, 25, 1440, 875);

    store->updateShelfSizeMode(ShelfSizeMode::full);
    controller->applyPreferredSize();
    EXPECT_EQ(panel()->geometry(), QRect(9, 25 + 875 - 9 - 405, 1422, 405));
    EXPECT_EQ(panel()->minimumSize(), QSize(820, 330));
    EXPECT_EQ(panel()->maximumSize(), QSize(1422, 520));

    store->updateShelfSizeMode(ShelfSizeMode::compact);
    controller->applyPreferredSize();
    EXPECT_EQ(panel()->size(), QSize(820, 330));
    EXPECT_EQ(panel()->geometry().center().x(), 720 - 1);  // centred along the edge

    store->updateShelfPlacement(ShelfPlacement::top);
    controller->applyPreferredSize();
    EXPECT_EQ(panel()->geometry().top(), 25 + 9);

    store->updateShelfPlacement(ShelfPlacement::left);
    store->updateShelfSizeMode(ShelfSizeMode::medium);
    controller->applyPreferredSize();
    EXPECT_EQ(panel()->geometry(), QRect(9, qRound(25 + 437.5 - 617.04 / 2), 370, 617));
    EXPECT_EQ(panel()->minimumSize(), QSize(320, 440));
    EXPECT_EQ(panel()->maximumSize(), QSize(540, 857));

    store->updateShelfPlacement(ShelfPlacement::right);
    controller->applyPreferredSize();
    EXPECT_EQ(panel()->geometry().right() + 1, 1440 - 9);

    // A stored size far beyond the screen is held to the maximum.
    store->updateShelfPlacement(ShelfPlacement::bottom);
    store->recordCustomShelfSize(3000, 900);
    controller->applyPreferredSize();
    EXPECT_EQ(panel()->size(), QSize(1422, 520));
    EXPECT_EQ(panel()->geometry().bottom() + 1, 25 + 875 - 9);

    // A narrow screen: the shelf spans it less the insets.
    visibleFrame = QRectF(0, 0, 700, 500);
    controller->applyPreferredSize();
    EXPECT_EQ(panel()->geometry().left(), 9);
    EXPECT_EQ(panel()->width(), 682);
    EXPECT_EQ(panel()->height(), qRound(0.62 * 482));
}

TEST_F(ShelfPanelControllerTest, ADraggedSizeIsRecordedAndTheShelfSnapsBackToItsEdge) {
    makeShelf();
    store->updateShelfSizeMode(ShelfSizeMode::full);
    openOver(app(kEditorPID, "gedit"));
    EXPECT_EQ(store->shelfSizeMode(), ShelfSizeMode::full);  // laying out is not a user's size
    const QRect before = panel()->geometry();

    panel()->beginLiveResize(Qt::TopEdge, QPoint(700, before.top()));
    EXPECT_FALSE(controller->isAutoHideArmed());  // a live resize holds the countdown
    panel()->continueLiveResize(QPoint(700, before.top() - 40));
    EXPECT_EQ(store->shelfSizeMode(), ShelfSizeMode::custom);
    ASSERT_TRUE(store->customShelfSize(ShelfPlacement::bottom));
    EXPECT_EQ(store->customShelfSize(ShelfPlacement::bottom)->height, 445);
    panel()->continueLiveResize(QPoint(700, before.top() - 400));  // beyond the maximum
    EXPECT_EQ(panel()->height(), 520);
    panel()->endLiveResize();

    EXPECT_EQ(store->customShelfSize(ShelfPlacement::bottom)->height, 520);
    EXPECT_EQ(panel()->geometry().bottom(), before.bottom());
    EXPECT_TRUE(controller->isAutoHideArmed());
}

// ---- Keys ----------------------------------------------------------------------------------------

TEST_F(ShelfPanelControllerTest, ReturnAndCtrlDigitsPasteWhileTyping) {
    makeShelf();
    openOver(app(kEditorPID, "gedit"));
    typing();
    store->setSelectedID(shown(2).id);

    press(Qt::Key_Return);
    press(Qt::Key_Enter, Qt::ShiftModifier);
    press(Qt::Key_1, Qt::ControlModifier, QStringLiteral("1"));
    // Ctrl+Shift+1 types "!" on a US layout: the digit comes from the key code.
    press(Qt::Key_Exclam, Qt::ControlModifier | Qt::ShiftModifier, QStringLiteral("!"), 10);
    press(Qt::Key_End, Qt::ControlModifier | Qt::KeypadModifier, {}, 89);  // keypad 3, Num Lock off
    press(Qt::Key_Return, Qt::ControlModifier);
    const std::vector<std::pair<std::string, bool>> expected = {
        {shown(2).title, false}, {shown(2).title, true}, {shown(0).title, false},
        {shown(0).title, true},  {shown(2).title, false}, {shown(2).title, false}};
    EXPECT_EQ(pastes, expected);

    // Past the end of the list the key goes on to the field.
    store->setQuery("design");
    ASSERT_EQ(store->filteredItems().size(), 1u);
    pastes.clear();
    press(Qt::Key_3, Qt::ControlModifier, QStringLiteral("3"));
    press(Qt::Key_0, Qt::ControlModifier, QStringLiteral("0"));
    EXPECT_TRUE(pastes.empty());
}

TEST_F(ShelfPanelControllerTest, QuickPasteMapsOnlyCtrlWithTheDigitsOneToNine) {
    EXPECT_EQ(QuickPasteShortcut::itemIndex(Qt::Key_9, 18, "9", Qt::ControlModifier), 8);
    EXPECT_EQ(QuickPasteShortcut::itemIndex(Qt::Key_Ampersand, 10, "&", Qt::ControlModifier), 0);  // AZERTY
    EXPECT_EQ(QuickPasteShortcut::itemIndex(Qt::Key_PageUp, 81, {}, Qt::ControlModifier), 8);
    EXPECT_EQ(QuickPasteShortcut::itemIndex(Qt::Key_1, 10, "1", Qt::NoModifier), std::nullopt);
    EXPECT_EQ(QuickPasteShortcut::itemIndex(Qt::Key_0, 19, "0", Qt::ControlModifier), std::nullopt);
    EXPECT_EQ(QuickPasteShortcut::itemIndex(Qt::Key_A, 38, "a", Qt::ControlModifier), std::nullopt);
}

TEST_F(ShelfPanelControllerTest, CtrlFFocusesTheSearchAndCtrlCommaOpensTheSettings) {
    makeShelf();
    openOver(app(kEditorPID, "gedit"));
    notTyping();
    view()->searchField()->clearFocus();
    press(Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(panel()->focusWidget(), view()->searchField());
    EXPECT_TRUE(view()->searchExpanded());

    int settingsCalls = 0;
    QObject::connect(store.get(), &HistoryStore::settingsVisibilityAnnounced,
            [&](bool visible) { settingsCalls += visible ? 1 : 100; });
    press(Qt::Key_Comma, Qt::ControlModifier);
    press(Qt::Key_Comma, Qt::ControlModifier);  // already shown: asked again
    EXPECT_TRUE(store->showSettings());
    EXPECT_EQ(settingsCalls, 2);
}

TEST_F(ShelfPanelControllerTest, SpaceDeleteAndSideArrowsActOnlyWhenNotTyping) {
    makeShelf();
    openOver(app(kEditorPID, "gedit"));
    const std::size_t count = store->items().size();
    store->setSelectedID(shown(1).id);

    typing();
    press(Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    press(Qt::Key_Backspace);
    press(Qt::Key_Right);
    EXPECT_FALSE(store->previewItem());
    EXPECT_EQ(store->items().size(), count);
    EXPECT_EQ(store->selectedID(), shown(1).id);
    EXPECT_EQ(view()->searchField()->text(), QStringLiteral("e"));  // the space typed, then deleted
    press(Qt::Key_Down);  // up and down always move
    EXPECT_EQ(store->selectedID(), shown(2).id);
    press(Qt::Key_Up);
    EXPECT_EQ(store->selectedID(), shown(1).id);

    notTyping();
    press(Qt::Key_Right);
    EXPECT_EQ(store->selectedID(), shown(2).id);
    press(Qt::Key_Left);
    EXPECT_EQ(store->selectedID(), shown(1).id);
    const std::string doomed = shown(1).title;
    press(Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_EQ(store->items().size(), count - 1);
    for (const auto& clip : store->items()) EXPECT_NE(clip.title, doomed);

    store->setSelectedID(shown(0).id);
    press(Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    ASSERT_TRUE(store->previewItem());
    EXPECT_EQ(store->previewItem()->id, shown(0).id);
    EXPECT_TRUE(controller->hasAttachedSheet());

    // With a sheet attached the shelf's keys rest; the sheet has its own.
    press(Qt::Key_Down);
    EXPECT_EQ(store->selectedID(), shown(0).id);
}

TEST_F(ShelfPanelControllerTest, RightAfterOpeningTheHintedKeysActOnTheCardsAndClearingTheSearchDeletesNothing) {
    makeShelf();
    openOver(app(kEditorPID, "gedit"));
    clock.advance(400ms);  // the target names no field: the shelf takes the keyboard in time
    ASSERT_EQ(panel()->focusWidget(), view()->searchField());
    const std::size_t count = store->items().size();

    // The empty search field has the cursor, yet Space, the side arrows and Delete act.
    press(Qt::Key_Right);
    EXPECT_EQ(store->selectedID(), shown(1).id);
    press(Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    ASSERT_TRUE(store->previewItem());
    EXPECT_EQ(store->previewItem()->id, shown(1).id);
    store->setPreviewItem(std::nullopt);
    EXPECT_EQ(panel()->focusWidget(), view()->searchField()) << "the keyboard is back in the field";
    const std::string doomed = shown(1).title;
    press(Qt::Key_Backspace);
    EXPECT_EQ(store->items().size(), count - 1);
    for (const auto& clip : store->items()) EXPECT_NE(clip.title, doomed);
    EXPECT_EQ(view()->searchField()->text(), QString());

    // Typed text takes the keys; the Backspace that empties the field, its auto-repeat and
    // further presses stay with the field.
    const auto selected = store->selectedID();
    press(Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
    press(Qt::Key_B, Qt::NoModifier, QStringLiteral("b"));
    press(Qt::Key_Left);
    press(Qt::Key_Right);
    EXPECT_EQ(store->selectedID(), selected) << "the side arrows move the caret while typing";
    press(Qt::Key_Backspace);
    press(Qt::Key_Backspace);
    for (int i = 0; i < 5; ++i) {
        QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(view()->searchField(), &repeat);
    }
    press(Qt::Key_Backspace);
    press(Qt::Key_Delete);
    EXPECT_EQ(view()->searchField()->text(), QString());
    EXPECT_EQ(store->items().size(), count - 1) << "clearing the search deleted a clip";

    // Moving through the cards hands Delete back to them; a search that shows no card leaves
    // nothing for Space or Delete to act on.
    press(Qt::Key_Down);
    press(Qt::Key_Delete);
    EXPECT_EQ(store->items().size(), count - 2);
    store->setActiveFilter(ClipFilter::files);
    ASSERT_EQ(store->filteredItems().size(), 1u);
    store->deleteItem(shown(0));
    ASSERT_TRUE(store->filteredItems().empty());
    ASSERT_EQ(panel()->focusWidget(), view()->searchField());
    press(Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    press(Qt::Key_Delete);
    EXPECT_FALSE(store->previewItem());
    EXPECT_EQ(store->items().size(), count - 3);
}

TEST_F(ShelfPanelControllerTest, AShelfWhoseWindowWasDestroyedFromOutsideOpensAgain) {
    makeShelf();
    openOver(app(kEditorPID, "gedit"));
    ASSERT_TRUE(controller->isVisible());
    emit panel()->nativeWindowDestroyed();
    EXPECT_FALSE(controller->isVisible()) << "the next hot key shows rather than hides";
    EXPECT_FALSE(controller->isAutoHideArmed());
    ASSERT_TRUE(controller->show());
    EXPECT_TRUE(controller->isVisible());
    EXPECT_TRUE(panel()->windowHandle() && panel()->windowHandle()->handle()) << "a new native window";
}

TEST_F(ShelfPanelControllerTest, EscapeClearsTheSearchThenHidesAndReturns) {
    makeShelf();
    openOver(app(kEditorPID, "gedit"));
    store->setQuery("design");
    press(Qt::Key_Escape);
    EXPECT_EQ(store->query(), "");
    EXPECT_TRUE(controller->isVisible());
    workspace.activations.clear();
    press(Qt::Key_Escape);
    EXPECT_FALSE(controller->isVisible());
    EXPECT_EQ(workspace.activations, std::vector<ProcessID>{kEditorPID});
    EXPECT_FALSE(controller->isAutoHideArmed());
}

// ---- Auto-hide ---------------------------------------------------------------------------------------

TEST_F(ShelfPanelControllerTest, HidesAfterTheDelayWithoutInteractionAndEachInteractionRestartsIt) {
    makeShelf();
    openOver(app(kEditorPID, "gedit"));
    workspace.activations.clear();
    clock.advance(4900ms);
    EXPECT_TRUE(controller->isVisible());
    press(Qt::Key_Shift);  // any key keeps it
    clock.advance(4900ms);
    QTest::mouseMove(view()->listView()->viewport(), QPoint(30, 30));
    clock.advance(4900ms);
    EXPECT_TRUE(controller->isVisible());
    clock.advance(100ms);
    EXPECT_FALSE(controller->isVisible());
    EXPECT_EQ(workspace.activations, std::vector<ProcessID>{kEditorPID});

    // A changed delay applies from the next restart.
    store->updateAutoHideDelay(2);
    controller->show();
    clock.advance(1900ms);
    EXPECT_TRUE(controller->isVisible());
    clock.advance(100ms);
    EXPECT_FALSE(controller->isVisible());
}

TEST_F(ShelfPanelControllerTest, ACountdownHeldByAnySuspensionDoesNotHide) {
    makeShelf();
    openOver(app(kEditorPID, "gedit"));
    auto expectHeld = [&](const char* what, const std::function<void()>& hold, const std::function<void()>& release) {
        SCOPED_TRACE(what);
        hold();
        controller->restartAutoHideCountdown();
        clock.advance(10s);
        EXPECT_TRUE(controller->isVisible());
        release();
        controller->restartAutoHideCountdown();
        EXPECT_TRUE(controller->isAutoHideArmed());
    };
    expectHeld("paste", [&] { controller->setPasteTransactionIsActive(true); },
               [&] { controller->setPasteTransactionIsActive(false); });
    expectHeld("drag", [&] { store->beginClipDrag(shown(0)); }, [&] { store->endClipDrag(false); });
    expectHeld("settings", [&] { store->setShowSettings(true); }, [&] { store->setShowSettings(false); });
    expectHeld("permission", [&] { store->setShowPermissionSetup(true); }, [&] { store->setShowPermissionSetup(false); });
    expectHeld("preview", [&] { store->setPreviewItem(shown(0)); }, [&] { store->setPreviewItem(std::nullopt); });
    expectHeld("editor", [&] { store->setEditingItem(shown(0)); }, [&] { store->setEditingItem(std::nullopt); });
    expectHeld("screen reader", [&] { workspace.screenReader = true; controller->accessibilityDisplayOptionsDidChange(); },
               [&] { workspace.screenReader = false; controller->accessibilityDisplayOptionsDidChange(); });

    // A menu stops it; closing the menu restarts the full delay.
    QMenu menu;
    menu.addAction(QStringLiteral("Paste"));
    menu.show();
    EXPECT_EQ(controller->menuTrackingDepth(), 1);
    EXPECT_FALSE(controller->isAutoHideArmed());
    clock.advance(10s);
    menu.hide();
    EXPECT_EQ(controller->menuTrackingDepth(), 0);
    clock.advance(4900ms);
    EXPECT_TRUE(controller->isVisible());
    clock.advance(100ms);
    EXPECT_FALSE(controller->isVisible());
}

TEST_F(ShelfPanelControllerTest, AStaleOrDisabledCountdownNeverHides) {
    makeShelf();
    openOver(app(kEditorPID, "gedit"));
    const auto generation = controller->autoHideGeneration();
    controller->cancelAutoHideCountdown();
    EXPECT_GT(controller->autoHideGeneration(), generation);
    clock.advance(10s);
    EXPECT_TRUE(controller->isVisible());

    store->updateAutoHideEnabled(false);
    controller->restartAutoHideCountdown();
    EXPECT_FALSE(controller->isAutoHideArmed());

    // A drag session ending restarts it (through the store's callback).
    store->updateAutoHideEnabled(true);
    store->beginClipDrag(shown(0));
    store->endClipDrag(false);
    EXPECT_TRUE(controller->isAutoHideArmed());
    // Expiring while held (a sheet that came without notice) is dropped, not re-armed.
    store->setShowSettings(true);
    clock.advance(10s);
    EXPECT_TRUE(controller->isVisible());
    EXPECT_FALSE(controller->isAutoHideArmed());
}

// ---- Paste target ----------------------------------------------------------------------------------

TEST_F(ShelfPanelControllerTest, OpeningRemembersTheFrontmostApplicationAndItsFocus) {
    makeShelf();
    const AXElement field = accessibility.addElement(kEditorPID, ElementInfo{"text", {}, {}, {}, {}, true, true});
    const AXElement window = accessibility.addElement(kEditorPID, ElementInfo{"frame"});
    accessibility.setFocusedElement(kEditorPID, field);
    accessibility.setFocusedWindow(kEditorPID, window);
    QSignalSpy captured(controller.get(), &ShelfPanelController::pasteTargetCaptured);

    openOver(app(kEditorPID, "gedit"));
    ASSERT_TRUE(controller->pasteTarget().application());
    EXPECT_EQ(controller->pasteTarget().application()->processIdentifier, kEditorPID);
    EXPECT_EQ(controller->pasteTarget().returnApplication(), controller->pasteTarget().application());
    EXPECT_TRUE(sameElement(controller->pasteTarget().focusedElement(), field));
    EXPECT_TRUE(sameElement(controller->pasteTarget().focusedWindow(), window));
    EXPECT_EQ(captured.count(), 1);
    EXPECT_EQ(diagnostics, std::vector<std::string>{"remembered pid=501 focusedElement=true"});
    EXPECT_TRUE(controller->isVisible());

    // Opening over this program itself keeps the target.
    openOver(ownApp());
    EXPECT_EQ(controller->pasteTarget().application()->processIdentifier, kEditorPID);

    // Without Accessibility the application is remembered all the same.
    accessibility.setTrusted(false);
    openOver(app(kBrowserPID, "firefox"));
    EXPECT_EQ(controller->pasteTarget().application()->processIdentifier, kBrowserPID);
    EXPECT_FALSE(controller->pasteTarget().focusedElement());
    EXPECT_EQ(diagnostics.back(), "remembered pid=502 focusedElement=false");
}

// The hot key's keyboard grab takes the focus from the target's field until the key is up: the
// shelf shows at once but takes the keyboard only once the field was found (or 0.4 s passed).
TEST_F(ShelfPanelControllerTest, TheTargetsFieldIsReadBeforeTheShelfTakesTheKeyboard) {
    makeShelf();
    const AXElement field = accessibility.addElement(kEditorPID, ElementInfo{"text", {}, {}, {}, {}, true, true});
    accessibility.addApplication(kEditorPID);
    workspace.frontmost = app(kEditorPID, "gedit");
    ASSERT_TRUE(controller->show());
    clock.runDue();
    EXPECT_TRUE(controller->isVisible());
    EXPECT_TRUE(controller->isCapturingTarget());
    EXPECT_TRUE(controller->waitsForCaptureBeforeKeys());
    EXPECT_TRUE(diagnostics.empty()) << "no element yet: looked for again";

    accessibility.setFocusedElement(kEditorPID, field);  // the key was released
    clock.advance(30ms);
    EXPECT_FALSE(controller->isCapturingTarget());
    EXPECT_TRUE(sameElement(controller->pasteTarget().focusedElement(), field));
    EXPECT_EQ(diagnostics, std::vector<std::string>{"remembered pid=501 focusedElement=true"});

    // A program that never names a focused element is given up on in time.
    controller->orderOut();
    diagnostics.clear();
    accessibility.addApplication(kBrowserPID);
    workspace.frontmost = app(kBrowserPID, "gtk4-demo");
    ASSERT_TRUE(controller->show());
    clock.advance(399ms);
    EXPECT_EQ(diagnostics, std::vector<std::string>{"remembered pid=502 focusedElement=false"});
    EXPECT_FALSE(controller->isCapturingTarget());

    // A field seen gaining the focus is known without it: the keys are the shelf's at once.
    controller->orderOut();
    accessibility.setRemembersFocus(kEditorPID);
    workspace.frontmost = app(kEditorPID, "gedit");
    ASSERT_TRUE(controller->show());
    EXPECT_TRUE(controller->isCapturingTarget());
    EXPECT_FALSE(controller->waitsForCaptureBeforeKeys());
}

TEST_F(ShelfPanelControllerTest, AnExplicitTargetSticksAndAnUnknownPidChangesNothing) {
    makeShelf();
    controller->setPasteTarget(999);
    EXPECT_EQ(diagnostics, std::vector<std::string>{"target pid 999 was not found"});
    EXPECT_FALSE(controller->pasteTarget().isExplicit());

    controller->setPasteTarget(kBrowserPID);
    EXPECT_TRUE(controller->pasteTarget().isExplicit());
    EXPECT_EQ(diagnostics.at(1), "explicit target pid=502");
    openOver(app(kEditorPID, "gedit"));
    EXPECT_EQ(controller->pasteTarget().application()->processIdentifier, kBrowserPID);
    workspace.bringToFront(app(kEditorPID, "gedit"));
    EXPECT_EQ(controller->pasteTarget().application()->processIdentifier, kBrowserPID);
}

TEST_F(ShelfPanelControllerTest, ActivatingARegularApplicationWhileOpenMakesItTheTarget) {
    makeShelf();
    openOver(app(kEditorPID, "gedit"));
    auto target = [&] { return controller->pasteTarget().application()->processIdentifier.value_or(0); };

    workspace.bringToFront(app(700, "xfce4-panel", ActivationPolicy::accessory));
    workspace.bringToFront(app(701, "gnome-control-center"));
    workspace.bringToFront(app(702, "com.apple.systempreferences"));
    workspace.bringToFront(ownApp());
    EXPECT_EQ(target(), kEditorPID);

    controller->setPasteTransactionIsActive(true);
    workspace.bringToFront(app(kBrowserPID, "firefox"));
    controller->setPasteTransactionIsActive(false);
    store->setShowSettings(true);
    workspace.bringToFront(app(kBrowserPID, "firefox"));
    store->setShowSettings(false);
    store->setPreviewItem(shown(0));
    workspace.bringToFront(app(kBrowserPID, "firefox"));
    store->setPreviewItem(std::nullopt);
    EXPECT_EQ(target(), kEditorPID);

    workspace.bringToFront(app(kBrowserPID, "firefox"));
    EXPECT_EQ(target(), kBrowserPID);
    EXPECT_EQ(controller->pasteTarget().returnApplication()->processIdentifier, kBrowserPID);

    // A hidden shelf follows nobody.
    controller->hideShelf();
    workspace.bringToFront(app(kEditorPID, "gedit"));
    EXPECT_EQ(target(), kBrowserPID);
}

TEST_F(ShelfPanelControllerTest, HidingReactivatesTheReturnApplicationUnlessItHasGone) {
    makeShelf();
    openOver(app(kEditorPID, "gedit"));
    workspace.activations.clear();
    controller->hideShelf();
    EXPECT_FALSE(controller->isVisible());
    EXPECT_EQ(workspace.activations, std::vector<ProcessID>{kEditorPID});

    openOver(app(kBrowserPID, "firefox"));
    workspace.running.erase(workspace.running.begin() + 1);  // the browser quit
    workspace.frontmost = ownApp();
    workspace.activations.clear();
    controller->hideShelf();
    EXPECT_TRUE(workspace.activations.empty());
    // Hiding does not forget the target.
    EXPECT_EQ(controller->pasteTarget().application()->processIdentifier, kBrowserPID);
}

// ---- Snapshot and shutdown ---------------------------------------------------------------------------

TEST_F(ShelfPanelControllerTest, SnapshotsTheShelfOrItsSheetAsPNG) {
    makeShelf();
    controller->applyPreferredSize();
    const QString shelfFile = temp.filePath("shelf.png");
    controller->captureSnapshot(shelfFile);
    QImage shelf(shelfFile);
    ASSERT_FALSE(shelf.isNull());
    EXPECT_EQ(shelf.size(), panel()->size() * shelf.devicePixelRatio());

    store->setShowPermissionSetup(true);
    const QString sheetFile = temp.filePath("sheet.png");
    controller->captureSnapshot(sheetFile);
    QImage sheet(sheetFile);
    ASSERT_FALSE(sheet.isNull());
    // The set-up sheet stands in a window of its own in front of the shelf: that window is the picture.
    ASSERT_TRUE(view()->sheet()->aboveWindow());
    EXPECT_EQ(sheet.size(), view()->sheet()->aboveWindow()->size() * sheet.devicePixelRatio());

    EXPECT_THROW(controller->captureSnapshot(temp.filePath("missing/folder/shot.png")), std::runtime_error);
}

TEST_F(ShelfPanelControllerTest, AfterShutdownNothingRestartsOrRetargets) {
    makeShelf();
    openOver(app(kEditorPID, "gedit"));
    controller->shutdown();
    EXPECT_FALSE(controller->isAutoHideArmed());
    press(Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
    QTest::mouseMove(view()->listView()->viewport(), QPoint(40, 40));
    EXPECT_FALSE(controller->isAutoHideArmed());
    workspace.bringToFront(app(kBrowserPID, "firefox"));
    EXPECT_EQ(controller->pasteTarget().application()->processIdentifier, kEditorPID);
    press(Qt::Key_Escape);  // reaches the field, not the shelf
    EXPECT_TRUE(controller->isVisible());
}

}  // namespace
}  // namespace harbelle::testing
