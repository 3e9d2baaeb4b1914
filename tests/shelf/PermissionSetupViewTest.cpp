// The permission set-up and automatic-update choice sheets on the store twin: what they show,
// and their actions in order.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <tuple>

#include "history/HistoryStore.h"
#include "shelf/AutomaticUpdateSetupView.h"
#include "shelf/ClipEditorView.h"
#include "shelf/ClipPreviewView.h"
#include "shelf/KeyHintsView.h"
#include "shelf/MainShelfView.h"
#include "shelf/PermissionSetupView.h"
#include "platform/Base64.h"
#include "platform/BundleInfo.h"
#include "settings/UpdateManager.h"
#include "shelf/ShelfSheet.h"
#include "support/FakeUpdater.h"
#include "support/InMemoryDefaults.h"
#include "support/ManualClock.h"

namespace harbelle::testing {
namespace {

class PermissionSetupViewTest : public ::testing::Test {
protected:
    InMemoryDefaults defaults;
    ManualClock clock;
    std::unique_ptr<HistoryStore> store;
    std::unique_ptr<MainShelfView> view;
    std::vector<std::string> log;
    bool updatesAvailable = true;
    bool choiceRecorded = false;
    bool automaticChecks = false;

    void SetUp() override {
        HistoryStoreOptions options;
        options.demoMode = true;
        store = std::make_unique<HistoryStore>(defaults, clock, options);
        QObject::connect(store.get(), &HistoryStore::directPasteAccessRequested, [this] { log.push_back("request"); });
        QObject::connect(store.get(), &HistoryStore::directPasteAccessRefreshRequested,
                         [this] { log.push_back("refresh"); });
        QObject::connect(store.get(), &HistoryStore::accessibilitySettingsRequested,
                         [this] { log.push_back("openSettings"); });
        QObject::connect(store.get(), &HistoryStore::permissionSetupFinished, [this] { log.push_back("finish"); });
        QObject::connect(store.get(), &HistoryStore::showPermissionSetupChanged, [this] {
            if (!store->showPermissionSetup()) log.push_back("dismiss");
        });
        QObject::connect(store.get(), &HistoryStore::pasteDirectlyChanged, [this] {
            log.push_back(std::string("pasteDirectly=") + (store->pasteDirectly() ? "true" : "false") +
                          " saved=" + (defaults.boolValue("pasteDirectly") == false ? "false" : "-"));
        });
        view = std::make_unique<MainShelfView>(*store);
        ShelfUpdateChoice choice;
        choice.isPresented = [] { return false; };
        choice.isAvailable = [this] { return updatesAvailable; };
        choice.needsChoice = [this] { return updatesAvailable && !choiceRecorded; };
        choice.automaticallyChecks = [this] { return automaticChecks; };
        choice.setAutomaticallyChecks = [this](bool on) {
            if (updatesAvailable) automaticChecks = on;
        };
        choice.record = [this](bool on) {
            log.push_back(std::string("record ") + (on ? "on" : "off"));
            choiceRecorded = true;
        };
        view->setUpdateChoice(choice);
        view->resize(1200, 800);
        view->show();
        QApplication::processEvents();
    }

    void presentWith(bool accessibility, bool eventPosting) {
        store->updateDirectPastePermissionStatus(accessibility, eventPosting);
        store->setShowPermissionSetup(true);
        QApplication::processEvents();
        log.clear();
    }
    PermissionSetupView& sheet() { return *view->permissionSetupView(); }
    bool shows(const char* title) {
        QPushButton* button = sheet().button(title);
        return button && button->isVisibleTo(&sheet());
    }
};

TEST_F(PermissionSetupViewTest, ComingUpOnScreenAsksForOneRefresh) {
    store->setShowPermissionSetup(true);
    QApplication::processEvents();
    EXPECT_EQ(std::count(log.begin(), log.end(), "refresh"), 1);
}

TEST_F(PermissionSetupViewTest, RowsButtonsAndStatusFollowThePermissionsLive) {
    struct Case {
        bool accessibility, eventPosting;
        const char* accessibilityBadge;
        const char* eventBadge;
        bool ready;
        const char* status;  // while not ready
    };
    // Without XTest nothing can be asked for: the sheet offers to go on copying.
    const Case cases[] = {
        {false, false, "Required", "Required", false, PermissionSetupView::kPendingStatusWithoutKeyEvents},
        {true, false, "Allowed", "Required", false, PermissionSetupView::kPendingStatusWithoutKeyEvents},
        {false, true, "Required", "Allowed", false, PermissionSetupView::kPendingStatus},
        {true, true, "Allowed", "Allowed", true, nullptr},
    };
    presentWith(false, false);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.accessibility << c.eventPosting);
        store->updateDirectPastePermissionStatus(c.accessibility, c.eventPosting);  // no re-presenting
        EXPECT_EQ(sheet().badge(0)->text(), QString::fromLatin1(c.accessibilityBadge));
        EXPECT_EQ(sheet().badge(1)->text(), QString::fromLatin1(c.eventBadge));
        const bool asks = !c.ready && c.eventPosting;
        EXPECT_EQ(shows(PermissionSetupView::kContinueTitle), !asks);
        EXPECT_EQ(shows(PermissionSetupView::kRequestTitle), asks);
        for (const char* title : {PermissionSetupView::kCheckAgainTitle, PermissionSetupView::kOpenSettingsTitle,
                                  PermissionSetupView::kCopyOnlyTitle})
            EXPECT_EQ(shows(title), !c.ready) << title;
        EXPECT_EQ(sheet().statusLine()->text(),
                  c.ready ? PermissionSetupView::readyStatus("Shift+Super+V") : QString::fromUtf8(c.status));
        // The key-event row says that XTest is nothing the user can grant.
        EXPECT_TRUE(sheet().caption(1)->text().contains(QStringLiteral("XTest")));
    }
    // A desktop without accessibility settings: no button, and the status says what is so.
    store->setAccessibilitySettingsAvailable(false);
    using Desktop = std::tuple<bool, bool, bool, const char*>;  // bus, accessibility, XTest, status
    for (auto [bus, accessibility, xtest, status] :
         {Desktop{false, false, true, PermissionSetupView::kPendingStatusWithoutBus},
          Desktop{true, false, true, PermissionSetupView::kPendingStatusSwitchedOff},
          Desktop{true, true, false, PermissionSetupView::kPendingStatusWithoutKeyEvents}}) {
        store->setAccessibilityBusAvailable(bus);
        store->updateDirectPastePermissionStatus(accessibility, xtest);
        EXPECT_FALSE(shows(PermissionSetupView::kOpenSettingsTitle));
        EXPECT_EQ(sheet().statusLine()->text(), QString::fromUtf8(status)) << bus << accessibility;
    }
}

TEST_F(PermissionSetupViewTest, RequestCheckAndSettingsButtonsCallTheirCallbacksOnly) {
    presentWith(false, true);
    sheet().button(PermissionSetupView::kRequestTitle)->click();
    sheet().button(PermissionSetupView::kCheckAgainTitle)->click();
    sheet().button(PermissionSetupView::kOpenSettingsTitle)->click();
    QApplication::processEvents();
    EXPECT_EQ(log, (std::vector<std::string>{"request", "refresh", "openSettings"}));
    EXPECT_TRUE(store->showPermissionSetup());
    EXPECT_FALSE(choiceRecorded);

    // With nobody listening the buttons do nothing.
    QObject::disconnect(store.get(), &HistoryStore::directPasteAccessRequested, nullptr, nullptr);
    sheet().button(PermissionSetupView::kRequestTitle)->click();
    EXPECT_TRUE(store->showPermissionSetup());
}

TEST_F(PermissionSetupViewTest, ContinueRecordsTheChoiceDismissesThenQueuesTheFinish) {
    presentWith(true, true);
    automaticChecks = true;
    sheet().button(PermissionSetupView::kContinueTitle)->click();
    EXPECT_EQ(log, (std::vector<std::string>{"record on", "dismiss"}));
    QApplication::processEvents();
    EXPECT_EQ(log, (std::vector<std::string>{"record on", "dismiss", "finish"}));
    EXPECT_EQ(view->presentedSheet(), MainShelfView::SheetKind::none);
    EXPECT_TRUE(store->pasteDirectly());
}

TEST_F(PermissionSetupViewTest, CopyOnlyModeRunsItsFiveStepsInOrder) {
    presentWith(false, false);
    sheet().button(PermissionSetupView::kCopyOnlyTitle)->click();
    QApplication::processEvents();
    // The setting changes before it is written, then the choice, the dismissal and the finish.
    EXPECT_EQ(log, (std::vector<std::string>{"pasteDirectly=false saved=-", "record off", "dismiss", "finish"}));
    EXPECT_EQ(defaults.boolValue("pasteDirectly"), false);
}

TEST_F(PermissionSetupViewTest, TheUpdateCardFollowsTheUpdaterAndFinishingRecordsOnlyAnOpenChoice) {
    struct Case {
        bool available, recorded;
        bool cardShown;
        bool records;
    };
    for (const Case c : {Case{false, false, false, false}, Case{true, true, true, false}, Case{true, false, true, true}}) {
        SCOPED_TRACE(::testing::Message() << c.available << c.recorded);
        updatesAvailable = c.available;
        choiceRecorded = c.recorded;
        automaticChecks = false;
        presentWith(true, true);
        sheet().refresh();
        EXPECT_EQ(sheet().updateCard()->isVisibleTo(&sheet()), c.cardShown);
        if (c.cardShown) {
            sheet().updateToggle()->click();
            EXPECT_TRUE(automaticChecks) << "the toggle takes effect at once";
        }
        sheet().button(PermissionSetupView::kContinueTitle)->click();
        QApplication::processEvents();
        EXPECT_EQ(std::count(log.begin(), log.end(), "record on"), c.records ? 1 : 0);
    }
}

TEST_F(PermissionSetupViewTest, EscapeClosesNeitherSheetAndRecordsNothing) {
    presentWith(false, false);
    QTest::keyClick(view->sheet(), Qt::Key_Escape);
    QApplication::processEvents();
    EXPECT_TRUE(store->showPermissionSetup());
    EXPECT_TRUE(log.empty());

    bool presented = true;
    int saved = 0;
    ShelfUpdateChoice choice;
    choice.isPresented = [&] { return presented; };
    choice.finish = [&] {
        ++saved;
        presented = false;
    };
    choice.automaticallyChecks = [this] { return automaticChecks; };
    choice.setAutomaticallyChecks = [this](bool on) { automaticChecks = on; };
    view->setUpdateChoice(choice);
    store->setShowPermissionSetup(false);
    ASSERT_EQ(view->presentedSheet(), MainShelfView::SheetKind::updateChoice);
    QTest::keyClick(view->sheet(), Qt::Key_Escape);
    EXPECT_EQ(saved, 0);
    EXPECT_EQ(view->presentedSheet(), MainShelfView::SheetKind::updateChoice);

    AutomaticUpdateSetupView& updates = *view->automaticUpdateSetupView();
    updates.toggle()->click();
    EXPECT_TRUE(automaticChecks) << "the toggle takes effect before saving";
    updates.saveButton()->click();
    EXPECT_EQ(saved, 1);
}

// The frame a set-up sheet must have on `window`'s screen: 600 wide, as high as its content up
// to 760 and the screen's free height, wholly on the screen.
void expectWholeSetUpSheet(QWidget* content, QWidget* window) {
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isWindow());
    const QRect available = window->screen()->availableGeometry();
    EXPECT_TRUE(available.contains(window->geometry())) << window->geometry().y() << "+" << window->height();
    EXPECT_EQ(window->width(), 600);
    QScrollBar* bar = content->findChild<QScrollArea*>()->verticalScrollBar();
    const int needed = ShelfSheet::contentHeight(content, 600 - 16 - bar->sizeHint().width());
    EXPECT_EQ(window->height(), std::min({needed, 760, available.height() - 28}));
    // Only content taller than the frame scrolls.
    EXPECT_EQ(bar->maximum() > 0, needed > window->height());
    EXPECT_EQ(bar->value(), 0);
    EXPECT_FALSE(content->findChild<QScrollArea*>()->focusPolicy() & Qt::TabFocus) << "a Tab stop that shows nothing";
    for (QPushButton* button : content->findChildren<QPushButton*>()) {
        if (!button->isVisible() || needed > window->height()) continue;
        EXPECT_TRUE(window->rect().contains(QRect(button->mapTo(window, QPoint(0, 0)), button->size())))
            << button->text().toStdString();
    }
}

// Whatever the shelf's size, both set-up sheets stand whole in front of it; the shelf stays
// dimmed under a cover that takes its clicks, and the sheet goes and comes back with the shelf.
TEST_F(PermissionSetupViewTest, SetUpSheetsStandWholeInFrontOfTheShelfWhateverItsSize) {
    for (const QSize shelf : {QSize(1200, 405), QSize(380, 560), QSize(820, 330)}) {
        SCOPED_TRACE(::testing::Message() << shelf.width() << "x" << shelf.height());
        view->resize(shelf);
        presentWith(false, false);
        QApplication::processEvents();
        QWidget* window = view->sheet()->aboveWindow();
        ASSERT_NO_FATAL_FAILURE(expectWholeSetUpSheet(&sheet(), window));
        EXPECT_EQ(view->sheet()->geometry(), view->rect());
        EXPECT_TRUE(view->sheet()->isVisible());
        EXPECT_EQ(window->windowHandle()->transientParent(), view->windowHandle());

        // Both permissions granted: the buttons change and the frame follows the content.
        store->updateDirectPastePermissionStatus(true, true);
        QApplication::processEvents();
        ASSERT_NO_FATAL_FAILURE(expectWholeSetUpSheet(&sheet(), window));

        view->hide();
        EXPECT_FALSE(window->isVisible());
        view->show();
        EXPECT_TRUE(window->isVisible());
        store->setShowPermissionSetup(false);
        QApplication::processEvents();
        EXPECT_FALSE(window->isVisible());
    }

    ShelfUpdateChoice choice;
    choice.isPresented = [] { return true; };
    view->setUpdateChoice(choice);
    QApplication::processEvents();
    ASSERT_EQ(view->presentedSheet(), MainShelfView::SheetKind::updateChoice);
    AutomaticUpdateSetupView& updates = *view->automaticUpdateSetupView();
    ASSERT_NO_FATAL_FAILURE(expectWholeSetUpSheet(&updates, view->sheet()->aboveWindow()));
    EXPECT_EQ(updates.findChild<QScrollArea*>()->verticalScrollBar()->maximum(), 0) << "the frame fits its content";
    // The window manager's close button does not decide for the user either.
    view->sheet()->aboveWindow()->close();
    EXPECT_TRUE(view->sheet()->aboveWindow()->isVisible());
}

// With its update card and every pending button, the permission sheet still fits a 1280x800
// screen whose desktop keeps a 32 px panel: nothing is left to scroll to.
TEST_F(PermissionSetupViewTest, ThePermissionSheetWithItsUpdateCardFitsA1280x800Screen) {
    view->resize(1252, 405);
    presentWith(false, true);
    QApplication::processEvents();
    ASSERT_TRUE(sheet().updateCard()->isVisible());
    QScrollBar* bar = sheet().findChild<QScrollArea*>()->verticalScrollBar();
    const int needed = ShelfSheet::contentHeight(&sheet(), 600 - 16 - bar->sizeHint().width());
    EXPECT_LE(needed, 800 - 32 - 2 * 14);
    EXPECT_EQ(view->sheet()->aboveWindow()->height(), needed);
    EXPECT_EQ(bar->maximum(), 0);
}

// A change of the updater's setting made elsewhere (the settings page) shows on both sheets' toggles.
TEST_F(PermissionSetupViewTest, BothUpdateTogglesFollowTheUpdaterLive) {
    FakeUpdater* updater = nullptr;
    const nlohmann::json offered = {{"HarbelleDirectDistribution", true},
                                    {"SUFeedURL", "https://updates.example.com/appcast.xml"},
                                    {"SUPublicEDKey", encodeBase64(Bytes(32, 7))}};
    UpdateManager manager(BundleInfo(offered), defaults, clock, [&](const BundleInfo&, Defaults&, Clock&) {
        auto fake = std::make_unique<FakeUpdater>();
        updater = fake.get();
        return fake;
    });
    ASSERT_TRUE(updater);
    bool choiceDue = false;
    ShelfUpdateChoice choice;
    choice.isPresented = [&] { return choiceDue; };
    choice.isAvailable = [&] { return manager.isAvailable(); };
    choice.automaticallyChecks = [&] { return manager.automaticallyChecksForUpdates(); };
    choice.observeSettings = [&](QObject* context, std::function<void()> changed) {
        QObject::connect(&manager, &UpdateManager::updaterSettingsChanged, context, std::move(changed));
    };
    view->setUpdateChoice(choice);
    presentWith(false, false);
    EXPECT_FALSE(sheet().updateToggle()->isChecked());
    manager.setAutomaticallyChecksForUpdates(true);
    EXPECT_TRUE(sheet().updateToggle()->isChecked());

    store->setShowPermissionSetup(false);
    choiceDue = true;
    view->refreshSheets();
    ASSERT_EQ(view->presentedSheet(), MainShelfView::SheetKind::updateChoice);
    EXPECT_TRUE(view->automaticUpdateSetupView()->toggle()->isChecked());
    manager.setAutomaticallyChecksForUpdates(false);
    EXPECT_FALSE(view->automaticUpdateSetupView()->toggle()->isChecked());
    EXPECT_FALSE(updater->automaticChecks);
}

// What the sheet says is true on this desktop: the keys it names are the ones pressed here.
TEST_F(PermissionSetupViewTest, TheSheetNamesTheKeysOfThisDesktop) {
    presentWith(false, false);
    QStringList texts;
    for (QLabel* label : sheet().findChildren<QLabel*>()) texts << label->text();
    texts << PermissionSetupView::readyStatus("Shift+Super+V");
    const QString all = texts.join('\n');
    for (const char* false_ : {"\u2318", "Command", "this Mac"})
        EXPECT_FALSE(all.contains(QString::fromUtf8(false_))) << false_;
    EXPECT_TRUE(all.contains("Shift+Super+V"));
    EXPECT_TRUE(all.contains("this computer"));
}

// The ready line and the keyboard note name the hot key actually registered, and follow it live.
TEST_F(PermissionSetupViewTest, TheSheetNamesTheHotKeyInForce) {
    presentWith(true, true);
    const auto names = [this](const char* keys) {
        return sheet().statusLine()->text().contains(QString::fromUtf8(keys)) &&
               sheet().inputNoteLine()->text().contains(QString::fromUtf8(keys));
    };
    EXPECT_TRUE(names("Shift+Super+V"));
    store->setGlobalShortcutLabel("\u2325\u2318V");  // the fallback
    EXPECT_TRUE(names("Alt+Super+V"));
    EXPECT_FALSE(sheet().statusLine()->text().contains("Shift"));
    EXPECT_FALSE(sheet().inputNoteLine()->text().contains("Shift"));
    store->setGlobalShortcutLabel("Menu bar");  // none at all
    EXPECT_FALSE(sheet().statusLine()->text().contains("Super"));
    EXPECT_TRUE(sheet().statusLine()->text().contains("tray icon"));
    EXPECT_TRUE(sheet().inputNoteLine()->text().contains("registers no shortcut"));
    store->setGlobalShortcutLabel("\u21e7\u2318V");
    EXPECT_TRUE(names("Shift+Super+V"));
}

// What the sheet and the shelf say follows the settings and the session in force: the key-event
// row names what Ctrl+V is sent for, a sheet that could grant nothing offers no request and lets
// the user go (and closing the shelf drops it), and copy-only mode says "Copy" where a choice copies.
TEST_F(PermissionSetupViewTest, TextsFollowTheSettingsAndTheSessionInForce) {
    struct Case {
        const char* name;
        bool pasteDirectly, systemShortcut, bus, accessibility, xtest;
        bool requests;       // the main button asks for accessibility; else it lets the user go
        bool dropped;        // closing the shelf drops the sheet: nothing here could grant access
        const char* status;  // the status line while access is missing
        const char* verb;    // of the card menu, the preview and the key hints
    };
    const Case cases[] = {
        {"defaults", true, true, true, false, true, true, false, PermissionSetupView::kPendingStatus, "Paste"},
        {"insertion", true, false, true, false, true, true, false, PermissionSetupView::kPendingStatus, "Paste"},
        {"no XTest", true, true, true, true, false, false, true, PermissionSetupView::kPendingStatusWithoutKeyEvents, "Copy"},
        {"no bus", true, true, false, false, true, false, true, PermissionSetupView::kPendingStatusWithoutBus, "Copy"},
        {"copy-only", false, false, true, true, true, false, false, nullptr, "Copy"},
        {"granted", true, true, true, true, true, false, false, nullptr, "Paste"},
    };
    const auto texts = [](QWidget* widget) {
        QStringList all;
        for (QLabel* label : widget->findChildren<QLabel*>()) all << label->text();
        for (QPushButton* button : widget->findChildren<QPushButton*>()) all << button->text();
        return all;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store->setPasteDirectly(c.pasteDirectly);
        store->settings().setPasteUsesSystemShortcut(c.systemShortcut);
        store->setAccessibilityBusAvailable(c.bus);
        presentWith(c.accessibility, c.xtest);
        EXPECT_TRUE(sheet().caption(1)->text().startsWith(c.systemShortcut ? "Sends Ctrl+V for every clip"
                                                                           : "Sends Ctrl+V only for images and files"));
        EXPECT_EQ(sheet().messageLine()->text().contains("Ctrl+V"), c.systemShortcut);
        EXPECT_EQ(sheet().rowTitle(1)->text().contains("fallback"), !c.systemShortcut);
        EXPECT_EQ(shows(PermissionSetupView::kRequestTitle), c.requests);
        EXPECT_EQ(shows(PermissionSetupView::kContinueTitle), !c.requests);
        if (c.status) {
            EXPECT_EQ(sheet().statusLine()->text(), QString::fromUtf8(c.status));
        }

        const QString verb = QString::fromUtf8(c.verb);
        std::unique_ptr<QMenu> menu(view->makeContextMenu(store->items().front()));
        EXPECT_EQ(menu->actions()[0]->text() + menu->actions()[1]->text(), verb + verb + " as Plain Text");
        EXPECT_EQ(view->keyHints()->hints().front().title, verb);
        EXPECT_TRUE(texts(view->previewView()).contains(verb + " as Plain Text"));

        view->hide();
        QApplication::processEvents();
        EXPECT_EQ(store->showPermissionSetup(), !c.dropped);
        store->setShowPermissionSetup(false);
        view->show();
    }
    // The editor's title says whether the clip is a new one.
    store->startNewTextClip();
    EXPECT_TRUE(texts(view->editorView()).contains("New Text Clip"));
    store->setEditingItem(store->items()[1]);
    EXPECT_TRUE(texts(view->editorView()).contains("Edit Clip"));
}

}  // namespace
}  // namespace harbelle::testing
