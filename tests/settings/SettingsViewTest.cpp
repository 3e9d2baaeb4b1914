#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QTest>
#include <QUrl>

#include <map>

#include "history/HistoryStoreTestSupport.h"
#include "settings/AboutPage.h"
#include "settings/AppearancePage.h"
#include "settings/ChoiceTile.h"
#include "settings/GeneralPage.h"
#include "settings/PrivacyPage.h"
#include "settings/SettingToggle.h"
#include "settings/SettingsPageBlocks.h"
#include "settings/SettingsView.h"
#include "settings/SettingsWindowController.h"
#include "settings/ShortcutsPage.h"
#include "settings/SyncPage.h"
#include <QLineEdit>
#include "settings/UpdateManager.h"
#include "shelf/KeyHintsView.h"
#include "shelf/MainShelfView.h"
#include "sync/SyncEngineTypes.h"
#include "platform/Base64.h"
#include "support/FakeLoginItemService.h"
#include "support/FakeUpdater.h"
#include "support/ScriptedSyncAccount.h"

namespace harbelle::testing {
namespace {

double opacityOf(QWidget* widget) {
    auto* effect = qobject_cast<QGraphicsOpacityEffect*>(widget->graphicsEffect());
    return effect ? effect->opacity() : 1.0;
}

// The settings window over a real store on a temporary folder, a scripted login item and
// in-memory defaults that count their writes.
class SettingsViewFixture : public HistoryStoreFixture {
protected:
    FakeLoginItemService loginItem;
    ScriptedSyncAccount sync;
    std::unique_ptr<UpdateManager> updates;
    std::unique_ptr<HistoryStore> store;
    std::unique_ptr<SettingsWindowController> controller;
    std::vector<QUrl> opened;
    int reviews = 0;

    // `unpinned` plain clips and `favorites` pinned ones, read from a history file.
    void makeStore(int unpinned, int favorites) {
        std::vector<ClipItem> clips;
        for (int i = 0; i < unpinned + favorites; ++i) {
            ClipItem clip = makeClip("clip " + std::to_string(i));
            clip.isPinned = i < favorites;
            clip.createdAt -= std::chrono::seconds(i);
            clips.push_back(clip);
        }
        writeHistory(clips);
        HistoryStoreOptions options;
        options.loginItemService = &loginItem;
        store = makeStore(std::move(options));
        updates = std::make_unique<UpdateManager>(BundleInfo(nlohmann::json::object()), defaults, clock);
    }

    SettingsView* makeWindow() {
        controller = std::make_unique<SettingsWindowController>(*store, *updates, sync, [this] { ++reviews; }, defaults);
        controller->window()->show();
        return view();
    }
    SettingsView* view() const { return controller->view(); }
    GeneralPage* general() const { return view()->generalPage(); }

    using HistoryStoreFixture::makeStore;
};

TEST_F(SettingsViewFixture, BuildingAndRefreshingTheWindowWritesNothing) {
    defaults.set("maxHistory", 10000);
    defaults.set("autoHideDelay", 5.7);
    defaults.set("capturePaused", true);
    defaults.set("launchAtLoginRequested", true);
    defaults.set("pasteDirectly", true);
    loginItem.currentStatus = LoginItemStatus::enabled;
    makeStore(700, 0);
    ASSERT_EQ(store->items().size(), 700u);
    ASSERT_FALSE(store->accessibilityAccessGranted());
    const int writesBefore = defaults.writeCount();

    makeWindow();
    controller->show(nullptr);
    for (SettingsSection section : kAllSettingsSections) {
        view()->select(section);
        QApplication::processEvents();
    }
    // Every published setting announces a change, as a change made elsewhere would.
    for (auto signal : {&HistoryStore::launchAtLoginChanged, &HistoryStore::isPausedChanged,
                        &HistoryStore::autoHideEnabledChanged, &HistoryStore::autoHideDelayChanged,
                        &HistoryStore::pasteDirectlyChanged, &HistoryStore::pasteUsesSystemShortcutChanged,
                        &HistoryStore::alwaysPastePlainTextChanged, &HistoryStore::maxHistoryChanged,
                        &HistoryStore::shelfPlacementChanged, &HistoryStore::shelfSizeModeChanged,
                        &HistoryStore::barTransparencyChanged, &HistoryStore::captureImagesChanged,
                        &HistoryStore::skipSensitiveContentChanged, &HistoryStore::replayLocallyOnlyChanged,
                        &HistoryStore::itemsChanged, &HistoryStore::globalShortcutLabelChanged})
        emit (store.get()->*signal)();
    AppSettings& settings = store->settings();
    for (auto signal : {&AppSettings::capturePausedChanged, &AppSettings::maxHistoryChanged,
                        &AppSettings::captureImagesChanged, &AppSettings::skipSensitiveContentChanged,
                        &AppSettings::replayLocallyOnlyChanged, &AppSettings::pasteDirectlyChanged,
                        &AppSettings::pasteUsesSystemShortcutChanged, &AppSettings::alwaysPastePlainTextChanged,
                        &AppSettings::shelfPlacementChanged, &AppSettings::shelfSizeModeChanged,
                        &AppSettings::barTransparencyChanged, &AppSettings::autoHideEnabledChanged,
                        &AppSettings::autoHideDelayChanged})
        emit (settings.*signal)();
    QApplication::processEvents();

    EXPECT_EQ(defaults.writeCount(), writesBefore);
    EXPECT_EQ(store->items().size(), 700u);
    EXPECT_EQ(store->maxHistory(), 10000);
    EXPECT_DOUBLE_EQ(store->autoHideDelay(), 5.7);
    EXPECT_TRUE(store->isPaused());
    EXPECT_FALSE(store->toastMessage());
    EXPECT_EQ(loginItem.registerCalls + loginItem.unregisterCalls + loginItem.asyncUnregisterCalls, 0);
    EXPECT_FALSE(store->showPermissionSetup());

    // And the controls show what the store holds.
    EXPECT_EQ(general()->historySize()->currentText(), "10,000");
    EXPECT_EQ(general()->delayValue()->text(), "5 sec");
    EXPECT_FALSE(general()->captureChanges()->isOn());
    EXPECT_TRUE(general()->openAtLogin()->isOn());
    EXPECT_EQ(general()->savedCount()->text(), QLocale().toString(700));
    EXPECT_EQ(general()->accessCaption()->text(), "Setup required");
    EXPECT_EQ(general()->checkForUpdates(), nullptr);  // no update block in this build
}

TEST_F(SettingsViewFixture, ChoosingTheSmallestHistoryKeepsFavoritesAndShowsTheCount) {
    defaults.set("maxHistory", 10000);
    makeStore(700, 20);
    makeWindow();
    QComboBox* size = general()->historySize();
    size->setFocus();
    QTest::keyClick(size, Qt::Key_Home);  // the user steps to the first entry

    EXPECT_EQ(store->maxHistory(), 500);
    EXPECT_EQ(defaults.integerValue("maxHistory"), 500);
    EXPECT_EQ(store->items().size(), 520u);
    EXPECT_EQ(store->favoriteCount(), 20);
    EXPECT_EQ(general()->savedCount()->text(), "520");
    EXPECT_EQ(general()->favoritesCaption()->text(), "20 favorites");
    EXPECT_EQ(size->currentText(), "500");
}

TEST_F(SettingsViewFixture, DelaySliderEndsReadTwoAndSixty) {
    makeStore(3, 0);
    makeWindow();
    QSlider* slider = general()->delaySlider();
    const std::pair<Qt::Key, const char*> moves[] = {{Qt::Key_End, "60 sec"}, {Qt::Key_Home, "2 sec"}};
    for (const auto& [key, shown] : moves) {
        QTest::keyClick(slider, key);
        EXPECT_EQ(general()->delayValue()->text(), shown);
    }
    EXPECT_DOUBLE_EQ(store->autoHideDelay(), 2);
    EXPECT_EQ(defaults.doubleValue("autoHideDelay"), 2.0);
    slider->setValue(17);  // what a screen reader's value change does: no slider action at all
    EXPECT_DOUBLE_EQ(store->autoHideDelay(), 17);
}

TEST_F(SettingsViewFixture, DependentControlsDimIgnoreClicksAndKeepTheirValue) {
    makeStore(3, 0);
    makeWindow();
    QApplication::processEvents();
    EXPECT_EQ(opacityOf(general()->delayRow()), 1.0);

    QTest::mouseClick(general()->autoHideSwitch(), Qt::LeftButton);  // the user turns auto-hide off
    EXPECT_FALSE(store->autoHideEnabled());
    EXPECT_FALSE(general()->delayRow()->isEnabled());
    EXPECT_DOUBLE_EQ(opacityOf(general()->delayRow()), 0.45);
    // Dimmed by the opacity alone: its title keeps the colour it has while enabled.
    const QPalette title = general()->delayRow()->findChild<QLabel*>()->palette();
    EXPECT_EQ(title.color(QPalette::Disabled, QPalette::WindowText), title.color(QPalette::Active, QPalette::WindowText));
    const double delay = store->autoHideDelay();
    QTest::keyClick(general()->delaySlider(), Qt::Key_End);
    EXPECT_DOUBLE_EQ(store->autoHideDelay(), delay);

    // Direct paste off: the system-shortcut switch dims and keeps showing its own value.
    ASSERT_TRUE(store->pasteUsesSystemShortcut());
    QTest::mouseClick(general()->pasteDirectly()->control(), Qt::LeftButton);
    EXPECT_FALSE(store->pasteDirectly());
    SettingToggle* dependent = general()->systemShortcut();
    EXPECT_DOUBLE_EQ(opacityOf(dependent), 0.45);
    QTest::mouseClick(dependent->control(), Qt::LeftButton);
    EXPECT_TRUE(store->pasteUsesSystemShortcut());
    EXPECT_TRUE(dependent->isOn());

    // Turning direct paste back on without access raises the permission sheet.
    QTest::mouseClick(general()->pasteDirectly()->control(), Qt::LeftButton);
    EXPECT_TRUE(store->showPermissionSetup());
    EXPECT_DOUBLE_EQ(opacityOf(dependent), 1.0);
}

TEST_F(SettingsViewFixture, ClearAlertCancelsOnEscapeAndClearsOnItsButtons) {
    struct Case {
        const char* press;  // a button's text, or empty for Escape
        size_t left;
    };
    for (const Case& c : {Case{"", 25u}, Case{"Clear, Keep Favorites", 5u}, Case{"Clear Everything", 0u}}) {
        SCOPED_TRACE(c.press);
        store.reset();
        controller.reset();
        temp.remove();
        ASSERT_TRUE(QDir().mkpath(temp.path()));
        makeStore(20, 5);
        makeWindow();
        QTest::mouseClick(general()->clearButton(), Qt::LeftButton);
        QMessageBox* alert = view()->clearAlert();
        ASSERT_NE(alert, nullptr);
        EXPECT_TRUE(view()->state().showClearConfirmation);
        EXPECT_EQ(alert->text(), SettingsView::kClearMessage);
        EXPECT_EQ(alert->defaultButton()->text(), "Cancel");
        QStringList order;  // as laid out, left to right
        auto buttons = alert->buttons();
        std::sort(buttons.begin(), buttons.end(), [](auto* a, auto* b) { return a->x() < b->x(); });
        for (QAbstractButton* button : buttons) order << button->text();
        EXPECT_EQ(order, (QStringList{"Cancel", "Clear, Keep Favorites", "Clear Everything"}));
        if (*c.press == '\0') {
            QTest::keyClick(alert, Qt::Key_Escape);
        } else {
            for (QAbstractButton* button : alert->buttons())
                if (button->text() == c.press) QTest::mouseClick(button, Qt::LeftButton);
        }
        QApplication::processEvents();
        EXPECT_EQ(store->items().size(), c.left);
        EXPECT_EQ(view()->clearAlert(), nullptr);
        EXPECT_FALSE(view()->state().showClearConfirmation);
    }
}

TEST_F(SettingsViewFixture, SidebarEscapeAndTheStateOutliveHiding) {
    makeStore(3, 0);
    makeWindow();
    controller->show(nullptr);
    store->setShowSettings(true);
    int hidden = 0;
    QObject::connect(store.get(), &HistoryStore::settingsVisibilityAnnounced, [&](bool visible) {
        if (!visible) ++hidden;
        controller->window()->setVisible(visible);
    });
    QTest::mouseClick(view()->sidebarRow(SettingsSection::sync), Qt::LeftButton);
    EXPECT_EQ(view()->pageTitle()->text(), "Sync");
    QTest::keyClicks(view()->syncPage()->emailField(), "me@example.org");
    EXPECT_EQ(view()->state().syncEmail, "me@example.org");

    QTest::keyClick(view()->sidebarRow(SettingsSection::sync), Qt::Key_Escape);
    EXPECT_FALSE(store->showSettings());
    EXPECT_EQ(hidden, 1);
    EXPECT_FALSE(controller->window()->isVisible());

    controller->show(nullptr);
    EXPECT_EQ(view()->selection(), SettingsSection::sync);
    EXPECT_EQ(view()->syncPage()->emailField()->text(), "me@example.org");
}

TEST_F(SettingsViewFixture, AppearanceTilesAndTransparencyWriteOnlyOnUse) {
    makeStore(3, 0);
    makeWindow();
    view()->select(SettingsSection::appearance);
    AppearancePage* page = view()->appearancePage();
    int placementCalls = 0;
    int sizeCalls = 0;
    QObject::connect(store.get(), &HistoryStore::shelfPlacementSettingChanged, [&] { ++placementCalls; });
    QObject::connect(store.get(), &HistoryStore::shelfSizeSettingChanged, [&] { ++sizeCalls; });

    const int before = defaults.writeCount();
    QTest::mouseClick(page->placementTile(ShelfPlacement::bottom), Qt::LeftButton);  // already chosen
    EXPECT_EQ(defaults.writeCount(), before);
    EXPECT_EQ(placementCalls, 0);
    QTest::mouseClick(page->placementTile(ShelfPlacement::left), Qt::LeftButton);
    EXPECT_EQ(store->shelfPlacement(), ShelfPlacement::left);
    EXPECT_TRUE(page->placementTile(ShelfPlacement::left)->isSelected());
    EXPECT_TRUE(page->placementNote()->text().startsWith("Clips now stack vertically"));

    QTest::mouseClick(page->sizeTile(ShelfSizeMode::full), Qt::LeftButton);  // chosen again: applied again
    QTest::mouseClick(page->sizeTile(ShelfSizeMode::full), Qt::LeftButton);
    EXPECT_EQ(sizeCalls, 2);

    QTest::keyClick(page->transparency(), Qt::Key_End);
    EXPECT_DOUBLE_EQ(store->barTransparency(), 0.85);
    EXPECT_EQ(page->percentage()->text(), "85%");
    // A screen reader reads the slider's value: the same percent as the text beside it.
    QAccessibleInterface* slider = QAccessible::queryAccessibleInterface(page->transparency());
    ASSERT_TRUE(slider && slider->valueInterface());
    EXPECT_EQ(slider->valueInterface()->currentValue().toInt(), 85);
    EXPECT_EQ(slider->text(QAccessible::Name), "Transparency");
    QTest::keyClick(page->transparency(), Qt::Key_Left);
    EXPECT_EQ(page->percentage()->text(), "84%");
    EXPECT_EQ(slider->valueInterface()->currentValue().toInt(), 84);
    QTest::keyClick(page->transparency(), Qt::Key_Home);
    EXPECT_EQ(page->percentage()->text(), "0%");

    const std::pair<double, const char*> percents[] = {{0.18, "18%"}, {0.125, "13%"}, {0.005, "1%"}, {0.85, "85%"}};
    for (const auto& [value, text] : percents) EXPECT_EQ(AppearancePage::percentText(value), text);
}

TEST_F(SettingsViewFixture, PrivacySwitchesWriteTheirKeysAndShowTheRealFolder) {
    makeStore(3, 0);
    makeWindow();
    view()->select(SettingsSection::privacy);
    PrivacyPage* page = view()->privacyPage();
    QTest::mouseClick(page->captureImages()->control(), Qt::LeftButton);
    EXPECT_FALSE(store->captureImages());
    EXPECT_EQ(defaults.boolValue("captureImages"), false);
    EXPECT_TRUE(store->skipSensitiveContent());  // independent
    page->replayLocally()->control()->toggle();  // a screen reader's Toggle: no click at all
    EXPECT_FALSE(store->replayLocallyOnly());
    EXPECT_EQ(defaults.boolValue("replayLocallyOnly"), false);

    EXPECT_EQ(PrivacyPage::displayPath("/home/ann/.local/share/Pemberlow", "/home/ann"), "~/.local/share/Pemberlow");
    EXPECT_EQ(PrivacyPage::displayPath("/home/annex/Pemberlow", "/home/ann"), "/home/annex/Pemberlow");
    EXPECT_EQ(PrivacyPage::displayPath("/srv/Pemberlow", "/"), "/srv/Pemberlow");
    EXPECT_FALSE(page->storageNote()->text().contains("Library/Application Support"));
}

TEST(ShortcutsNote, FollowsTheLabelInForceInItsTwoVariants) {
    EXPECT_TRUE(ShortcutsPage::noteFor("⇧⌘V").startsWith("The global shortcut is registered"));
    // Any other label, none registered included, gets the other note; it names the keys pressed here.
    for (const char* other : {"⌥⌘V", "Menu bar", ""}) {
        const QString note = ShortcutsPage::noteFor(QString::fromUtf8(other));
        EXPECT_TRUE(note.startsWith("Another program currently owns Shift+Super+V")) << note.toStdString();
        EXPECT_FALSE(note.contains(QStringLiteral("⌘"))) << note.toStdString();
    }
    EXPECT_EQ(ShortcutsPage::keysFor("⇧⌘V"), "Shift+Super+V");
    EXPECT_EQ(ShortcutsPage::keysFor("⌥⌘V"), "Alt+Super+V");
    EXPECT_EQ(ShortcutsPage::keysFor("Menu bar"), "Tray icon");
}

}  // namespace
}  // namespace harbelle::testing

namespace harbelle::testing {
namespace {

// With in-app updates: the download switch depends on the check switch, and the button checks.
TEST_F(SettingsViewFixture, UpdateSwitchesGoThroughTheUpdater) {
    makeStore(3, 0);
    FakeUpdater* updater = nullptr;
    const nlohmann::json offered = {{"HarbelleDirectDistribution", true},
                                    {"SUFeedURL", "https://updates.example.com/appcast.xml"},
                                    {"SUPublicEDKey", encodeBase64(Bytes(32, 7))}};
    updates = std::make_unique<UpdateManager>(BundleInfo(offered), defaults, clock,
                                              [&](const BundleInfo&, Defaults&, Clock&) {
                                                  auto fake = std::make_unique<FakeUpdater>();
                                                  updater = fake.get();
                                                  return fake;
                                              });
    ASSERT_TRUE(updates->isAvailable());
    updater->automaticDownloads = true;
    makeWindow();
    ASSERT_NE(general()->checkForUpdates(), nullptr);
    SettingToggle* downloads = general()->downloadUpdates();
    EXPECT_DOUBLE_EQ(opacityOf(downloads), 0.45);  // checks are off
    EXPECT_TRUE(downloads->isOn());                // but it still shows its own value

    QTest::mouseClick(general()->checkForUpdates()->control(), Qt::LeftButton);
    EXPECT_TRUE(updater->automaticChecks);
    EXPECT_DOUBLE_EQ(opacityOf(downloads), 1.0);
    QTest::mouseClick(downloads->control(), Qt::LeftButton);
    EXPECT_FALSE(updater->automaticDownloads);

    for (QPushButton* button : general()->findChildren<QPushButton*>())
        if (button->text() == "Check for Updates…") QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(updater->checkCount, 1);
}

// Texts that would be false on this desktop never show, and sync promises what it does.
TEST_F(SettingsViewFixture, PagesSayWhatIsTrueHere) {
    makeStore(3, 0);
    makeWindow();
    QStringList texts;
    for (QLabel* label : view()->findChildren<QLabel*>()) texts << label->text();
    for (QAbstractButton* button : view()->findChildren<QAbstractButton*>()) texts << button->text();
    const QString all = texts.join('\n');
    for (const char* false_ : {"macOS", "Universal Clipboard", "Library/Application Support", "never images",
                               "\u2318", "Command-", "this Mac", "menu bar"})
        EXPECT_FALSE(all.contains(QString::fromUtf8(false_))) << false_;
    // The shelf's keys as its key hints write them, the tray menu's too, and the hot key as it is pressed here.
    for (const char* keys : {"Ctrl 1\u20269", "Ctrl F", "Ctrl+V", "Shift+Super+V", "Ctrl N", "Ctrl ,", "Ctrl Q"})
        EXPECT_TRUE(all.contains(QString::fromUtf8(keys))) << keys;
    // Return pastes, or in copy-only mode copies.
    QLabel* row = nullptr;
    for (QLabel* label : view()->findChildren<QLabel*>())
        if (label->text() == "Copy selected clip") row = label;  // no XTest in this store
    ASSERT_TRUE(row);
    store->updateDirectPastePermissionStatus(true, true);
    EXPECT_EQ(row->text(), "Paste selected clip");
    store->setPasteDirectly(false);
    EXPECT_EQ(row->text(), "Copy selected clip");
    EXPECT_EQ(all.count("text and image clips"), 2);
    EXPECT_TRUE(all.contains("never files"));
    EXPECT_TRUE(all.contains(PrivacyPage::displayPath(store->applicationSupportURL(), QDir::homePath())));
}

// Every text a widget and its children show or speak, hidden ones included.
QStringList widgetTexts(QWidget* root) {
    QStringList texts;
    const QList<QWidget*> widgets = root->findChildren<QWidget*>() << root;
    for (QWidget* widget : widgets) {
        texts << widget->toolTip() << widget->accessibleName() << widget->windowTitle();
        if (auto* label = qobject_cast<QLabel*>(widget)) texts << label->text();
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) texts << button->text();
        if (auto* field = qobject_cast<QLineEdit*>(widget)) texts << field->placeholderText();
        if (auto* hints = qobject_cast<KeyHintsView*>(widget))
            for (const KeyHint& hint : hints->hints()) texts << hint.keys << hint.title;
        for (QAction* action : widget->actions()) texts << action->text();
    }
    return texts;
}

// No screen names the keys or the machine of another desktop: every settings page, a sync
// notice included, and the shelf with its sheets and a card's menu.
TEST_F(SettingsViewFixture, NoScreenSaysCommandOrMac) {
    makeStore(3, 0);
    sync.notice = sync::syncClipRejectionMessage(sync::SyncClipRejection::tooLarge);
    sync.publish(SyncAccountStatus{.isSignedIn = true, .isRunning = true, .email = "user@example.org"});
    makeWindow();
    QStringList texts;
    for (SettingsSection section : kAllSettingsSections) {
        view()->select(section);
        texts << widgetTexts(controller->window());
    }
    ASSERT_TRUE(texts.join('\n').contains("stayed on this"));
    MainShelfView shelf(*store);
    std::unique_ptr<QMenu> menu(shelf.makeContextMenu(store->items().front()));
    texts << widgetTexts(&shelf) << widgetTexts(menu.get());
    for (const QString& text : texts)
        for (const char* foreign : {"\u2318", "Command", "Mac"})
            EXPECT_FALSE(text.contains(QString::fromUtf8(foreign))) << text.toStdString();
}

// Half sizes survive: pixel sizes are whole numbers, so 12.5 must not come out as 12 or 13.
TEST_F(SettingsViewFixture, OpenLocalDataUsesTheHalfSize) {
    makeStore(0, 0);
    makeWindow();
    const QScreen* screen = QGuiApplication::primaryScreen();
    const qreal dpi = screen ? screen->logicalDotsPerInchY() : 96.0;
    for (const QFont& font : {view()->openLocalDataButton()->font(), settingsblocks::font(12.5)})
        EXPECT_NEAR(font.pointSizeF() * dpi / 72.0, 12.5, 0.01);
    EXPECT_EQ(settingsblocks::font(12).pixelSize(), 12);
}

// Every control the Tab key reaches on every page draws where the keyboard is: a picture of it
// and its surroundings changes when the Tab key brings the focus to it. A stop that draws
// nothing (an invisible filler, a style sheet that dropped the focus frame) fails here.
TEST_F(SettingsViewFixture, EveryTabStopShowsItsFocus) {
    makeStore(3, 0);
    QWidget* window = makeWindow()->window();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    auto picture = [](QWidget* stop) {
        return stop->parentWidget()->grab(stop->geometry().adjusted(-3, -3, 3, 3)).toImage();
    };
    auto describe = [](QWidget* stop) {
        auto* button = qobject_cast<QAbstractButton*>(stop);
        return std::string(stop->metaObject()->className()) + " '" + stop->accessibleName().toStdString() + "' '" +
               (button ? button->text().toStdString() : std::string()) + "'";
    };
    for (SettingsSection section : kAllSettingsSections) {
        SCOPED_TRACE(static_cast<int>(section));
        view()->select(section);
        window->setFocus(Qt::OtherFocusReason);
        QApplication::processEvents();
        std::map<QWidget*, QImage> unfocused;
        for (QWidget* w = window->nextInFocusChain(); w != window; w = w->nextInFocusChain())
            if (w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus)) unfocused[w] = picture(w);
        ASSERT_FALSE(unfocused.empty());
        for (std::size_t k = 0; k < unfocused.size(); ++k) {
            QWidget* from = QApplication::focusWidget();
            QTest::keyClick(from ? from : window, Qt::Key_Tab);
            QWidget* stop = QApplication::focusWidget();
            ASSERT_TRUE(stop);
            ASSERT_TRUE(unfocused.count(stop)) << describe(stop);
            EXPECT_FALSE(stop->size().isEmpty()) << describe(stop);
            EXPECT_NE(picture(stop), unfocused[stop]) << "no visible focus on " << describe(stop);
        }
    }
}

// The About page's closing sentence is shown whole, wrapped, at the default and the smallest size.
TEST_F(SettingsViewFixture, AboutShowsItsWholeLastSentenceAtEverySize) {
    makeStore(0, 0);
    QWidget* window = makeWindow()->window();
    view()->select(SettingsSection::about);
    QLabel* last = nullptr;
    for (QLabel* label : view()->aboutPage()->findChildren<QLabel*>())
        if (label->text().startsWith("Inspired by")) last = label;
    ASSERT_TRUE(last);
    auto* area = qobject_cast<QScrollArea*>(view()->aboutPage()->parentWidget()->parentWidget()->parentWidget());
    ASSERT_TRUE(area);
    for (const QSize size : {QSize(SettingsWindowController::kWidth, SettingsWindowController::kHeight),
                             QSize(SettingsWindowController::kMinimumWidth, SettingsWindowController::kMinimumHeight)}) {
        SCOPED_TRACE(::testing::Message() << size.width() << "x" << size.height());
        window->resize(size);
        QApplication::processEvents();
        EXPECT_GE(last->height(), last->heightForWidth(last->width()));
        EXPECT_LE(last->width(), area->viewport()->width());
        // Unscrolled, inside what the page shows.
        EXPECT_EQ(area->verticalScrollBar()->value(), 0);
        const QRect shown(last->mapTo(area->viewport(), QPoint(0, 0)), last->size());
        EXPECT_TRUE(area->viewport()->rect().contains(shown)) << shown.bottom() << " > " << area->viewport()->height();
    }
}

}  // namespace
}  // namespace harbelle::testing
