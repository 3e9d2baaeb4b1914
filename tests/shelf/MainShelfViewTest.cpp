#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QTemporaryDir>
#include <QAction>
#include <QDrag>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <tuple>

#include "history/HistoryStore.h"
#include "shelf/ClipCardDelegate.h"
#include "shelf/ClipEditorView.h"
#include "shelf/ClipListModel.h"
#include "shelf/ClipPreviewView.h"
#include "shelf/FilterChip.h"
#include "shelf/AutomaticUpdateSetupView.h"
#include "shelf/MainShelfView.h"
#include "shelf/PermissionSetupView.h"
#include "shelf/ShelfSheet.h"
#include "shelf/ThumbnailCache.h"
#include "shelf/ToastLineView.h"
#include "support/ClipBuilder.h"
#include "support/InMemoryDefaults.h"
#include "support/ManualClock.h"

namespace harbelle::testing {
namespace {

class MainShelfViewTest : public ::testing::Test {
protected:
    QTemporaryDir temp;
protected:
    InMemoryDefaults defaults;
    ManualClock clock;
    std::unique_ptr<HistoryStore> store;
    std::unique_ptr<MainShelfView> view;
    std::vector<std::pair<std::string, bool>> pastes;

    void SetUp() override { make(true); }

    void make(bool demo, std::optional<std::uint64_t> fileLimit = std::nullopt) {
        view.reset();
        HistoryStoreOptions options;
        options.demoMode = demo;
        options.maximumFileBytes = fileLimit;
        options.bundleIdentifier = "com.harbelleapp.Harbelle";
        if (!demo) options.applicationSupport = std::filesystem::path(temp.path().toStdString()) / "Pemberlow";
        store = std::make_unique<HistoryStore>(defaults, clock, options);
        QObject::connect(store.get(), &HistoryStore::pasteRequested,
                [this](const ClipItem& clip, bool plain) { pastes.emplace_back(clip.title, plain); });
        view = std::make_unique<MainShelfView>(*store);
        view->resize(1200, 405);
        view->show();
        QApplication::processEvents();
    }

    const ClipItem& shown(std::size_t i) const { return store->filteredItems().at(i); }
};

TEST_F(MainShelfViewTest, FiltersShowTheirCountsAndNarrowTheCards) {
    EXPECT_EQ(view->model()->rowCount(), static_cast<int>(store->filteredItems().size()));
    for (ClipFilter filter : clipfilter::allCases) {
        QAbstractButton* chip = view->filterButton(filter);
        ASSERT_TRUE(chip);
        EXPECT_TRUE(chip->sizeHint().width() > 0);
    }
    view->filterButton(ClipFilter::links)->click();
    EXPECT_EQ(store->activeFilter(), ClipFilter::links);
    EXPECT_EQ(view->model()->rowCount(), store->count(ClipFilter::links));
    EXPECT_TRUE(view->filterButton(ClipFilter::links)->isChecked());

    store->setActiveFilter(ClipFilter::all);
    EXPECT_TRUE(view->filterButton(ClipFilter::all)->isChecked());
    // One device: no device menu.
    EXPECT_FALSE(view->deviceButton()->isVisibleTo(view.get()));
}

TEST_F(MainShelfViewTest, OnTheNarrowestShelvesTheHeaderFitsAndEveryCountStaysReadable) {
    // Counts large enough to widen every chip.
    for (int i = 0; i < 120; ++i) store->addTextClip("filler " + std::to_string(i));
    const std::pair<ShelfPlacement, QSize> narrowest[] = {{ShelfPlacement::bottom, QSize(820, 330)},
                                                          {ShelfPlacement::left, QSize(320, 440)}};
    for (const auto& [placement, size] : narrowest) {
        SCOPED_TRACE(static_cast<int>(placement));
        store->updateShelfPlacement(placement);
        view->resize(size);
        view->focusSearch();  // the widest search field
        QApplication::processEvents();
        std::vector<QWidget*> header = {view->searchField(), view->newClipButton(), view->placementButton(),
                                        view->settingsButton(), view->closeButton()};
        for (ClipFilter filter : clipfilter::allCases) {
            QAbstractButton* chip = view->filterButton(filter);
            EXPECT_GE(chip->width(), chip->minimumSizeHint().width());
            header.push_back(chip);
        }
        std::vector<QRect> frames;
        for (QWidget* widget : header) {
            const QRect frame(widget->mapTo(view.get(), QPoint(0, 0)), widget->size());
            EXPECT_TRUE(view->rect().contains(frame)) << widget->accessibleName().toStdString();
            for (const QRect& other : frames) EXPECT_FALSE(frame.intersects(other)) << widget->accessibleName().toStdString();
            frames.push_back(frame);
        }
    }
}

// On a 1024x600 screen every chip of a horizontal shelf shows its title (the medium and full
// shelves are 1006 wide there); where a title gives way, the chip still names it on hover.
TEST_F(MainShelfViewTest, OnA1024x600ScreenEveryChipNamesItsFilter) {
    using Shelf = std::tuple<ShelfPlacement, QSize, bool>;  // every title shown
    for (auto [placement, size, titled] : {Shelf{ShelfPlacement::bottom, QSize(1006, 361), true},
                                           Shelf{ShelfPlacement::bottom, QSize(820, 330), false},
                                           Shelf{ShelfPlacement::left, QSize(370, 582), false}}) {
        store->updateShelfPlacement(placement);
        view->resize(size);
        view->focusSearch();  // the widest search field
        QApplication::processEvents();
        for (ClipFilter filter : clipfilter::allCases) {
            auto* chip = static_cast<FilterChip*>(view->filterButton(filter));
            EXPECT_TRUE(chip->showsTitle() || !titled) << chip->text().toStdString() << " at " << size.width();
            EXPECT_EQ(chip->toolTip(), chip->text());
        }
    }
}

TEST_F(MainShelfViewTest, TheSearchFieldIsBoundToTheQueryAndShowsAnEmptyStateWithoutMatches) {
    QTest::keyClicks(view->searchField(), "design");
    EXPECT_EQ(store->query(), "design");
    EXPECT_EQ(view->model()->rowCount(), 1);
    EXPECT_TRUE(view->emptyStateTitle().isEmpty());

    store->setQuery("zzzz-nothing");
    EXPECT_EQ(view->searchField()->text(), QStringLiteral("zzzz-nothing"));
    EXPECT_EQ(view->model()->rowCount(), 0);
    EXPECT_EQ(view->emptyStateTitle(), QStringLiteral("No matches"));

    store->setQuery("");
    store->setSelectedID(shown(3).id);
    QTest::keyClick(view->searchField(), Qt::Key_Return);  // submitting pastes the selection
    ASSERT_EQ(pastes.size(), 1u);
    EXPECT_EQ(pastes[0].first, shown(3).title);

    view->focusSearch();
    EXPECT_TRUE(view->searchExpanded());
    EXPECT_EQ(view->focusWidget(), view->searchField());

    make(false);
    EXPECT_EQ(view->emptyStateTitle(), QStringLiteral("No clips yet"));
}

TEST_F(MainShelfViewTest, ClicksPasteAndTheSelectionFollowsTheStore) {
    ClipShelfListView* list = view->listView();
    EXPECT_EQ(list->flow(), QListView::LeftToRight);
    const QRect second = list->visualRect(view->model()->index(1, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, second.center());
    ASSERT_EQ(pastes.size(), 1u);
    EXPECT_EQ(pastes[0], std::make_pair(shown(1).title, false));
    EXPECT_EQ(store->selectedID(), shown(1).id);

    store->moveSelection(1);
    EXPECT_EQ(list->currentIndex().row(), 2);
    EXPECT_TRUE(list->selectionModel()->isSelected(list->currentIndex()));

    // A right click moves the store's selection with the highlight, so Return pastes the card
    // the user sees highlighted.
    const QRect first = list->visualRect(view->model()->index(0, 0));
    QTest::mousePress(list->viewport(), Qt::RightButton, {}, first.center());
    QTest::mouseRelease(list->viewport(), Qt::RightButton, {}, first.center());
    EXPECT_EQ(store->selectedID(), shown(0).id);
    // The list has no keys of its own: End and type-to-find ("m" for "Meeting follow-up") would
    // move the highlight behind the shelf's key table.
    list->setFocus();
    QTest::keyClick(list, Qt::Key_End);
    QTest::keyClicks(list, "m");
    EXPECT_EQ(list->currentIndex().row(), 0);
    EXPECT_EQ(store->selectedID(), shown(0).id);
    store->moveSelection(6);
    // Removing clips does not pick a selection of the view's own.
    const auto before = store->selectedID();
    store->deleteItem(shown(0));
    EXPECT_EQ(store->selectedID(), before);

    store->updateShelfPlacement(ShelfPlacement::right);
    EXPECT_EQ(list->flow(), QListView::TopToBottom);
    EXPECT_EQ(list->cardDelegate()->orientation(), Qt::Vertical);
}

TEST_F(MainShelfViewTest, TheContextMenuPastesFavoritesPreviewsEditsAndDeletes) {
    store->updateAlwaysPastePlainText(false);
    const ClipItem clip = shown(1);
    std::unique_ptr<QMenu> menu(view->makeContextMenu(clip));
    auto action = [&](const QString& text) -> QAction* {
        for (QAction* a : menu->actions())
            if (a->text() == text) return a;
        ADD_FAILURE() << text.toStdString();
        return nullptr;
    };
    action(QStringLiteral("Paste"))->trigger();
    action(QStringLiteral("Paste as Plain Text"))->trigger();
    const std::vector<std::pair<std::string, bool>> expected = {{clip.title, false}, {clip.title, true}};
    EXPECT_EQ(pastes, expected);

    action(QStringLiteral("Favorite"))->trigger();
    EXPECT_TRUE(store->count(ClipFilter::favorites) >= 2);
    // A favourite's menu words the removal as the preview sheet does.
    for (const auto& item : store->items())
        if (item.id == clip.id) {
            std::unique_ptr<QMenu> pinned(view->makeContextMenu(item));
            EXPECT_EQ(pinned->findChild<QAction*>(QStringLiteral("favorite"))->text(), QStringLiteral("Remove Favorite"));
        }
    action(QStringLiteral("Preview"))->trigger();
    ASSERT_TRUE(store->previewItem());
    EXPECT_EQ(view->presentedSheet(), MainShelfView::SheetKind::preview);
    store->setPreviewItem(std::nullopt);
    action(QStringLiteral("Edit"))->trigger();
    EXPECT_EQ(view->presentedSheet(), MainShelfView::SheetKind::editor);
    store->setEditingItem(std::nullopt);
    const auto before = store->items().size();
    action(QStringLiteral("Delete"))->trigger();
    EXPECT_EQ(store->items().size(), before - 1);

    // Images cannot be edited as text.
    for (const auto& item : store->items())
        if (item.kind == ClipKind::image) {
            std::unique_ptr<QMenu> imageMenu(view->makeContextMenu(item));
            for (QAction* a : imageMenu->actions())
                if (a->text() == QStringLiteral("Edit")) {
                    EXPECT_FALSE(a->isEnabled());
                }
        }
}

// The open Shelf Position menu marks the current edge: its row looks different from the same
// row while another edge is current.
TEST_F(MainShelfViewTest, ThePlacementMenuMarksTheCurrentEdge) {
    QMenu* menu = view->placementButton()->menu();
    auto rightRow = [&] {
        menu->popup(view->placementButton()->mapToGlobal(QPoint(0, 30)));
        const QImage row = menu->grab(menu->actionGeometry(menu->actions().at(3))).toImage();
        menu->hide();
        return row;
    };
    store->updateShelfPlacement(ShelfPlacement::right);
    const QImage current = rightRow();
    store->updateShelfPlacement(ShelfPlacement::bottom);
    EXPECT_NE(rightRow(), current);
}

TEST_F(MainShelfViewTest, ASearchOrFilterThatHidesTheSelectedClipHandsTheSelectionToTheFirstCard) {
    const ClipItem meeting = shown(6);
    store->setSelectedID(meeting.id);
    QTest::keyClicks(view->searchField(), "design");
    ASSERT_EQ(view->model()->rowCount(), 1);
    EXPECT_EQ(store->selectedID(), shown(0).id);
    EXPECT_TRUE(view->listView()->selectionModel()->isSelected(view->model()->index(0, 0)));
    QTest::keyClick(view->searchField(), Qt::Key_Return);
    ASSERT_EQ(pastes.size(), 1u);
    EXPECT_EQ(pastes[0].first, "design.example.org") << "the card on screen, not the hidden selection";

    store->setQuery("");
    store->setSelectedID(meeting.id);
    store->setActiveFilter(ClipFilter::links);
    EXPECT_EQ(store->selectedID(), shown(0).id);
    EXPECT_EQ(shown(0).kind, ClipKind::link);

    // A new clip is selected before the cards show it: it keeps the selection.
    store->setActiveFilter(ClipFilter::all);
    store->addTextClip("fresh words");
    EXPECT_EQ(store->selectedID(), store->items().front().id);
    EXPECT_EQ(store->shownSelectedItem()->text, "fresh words");

    // With no card shown nothing is picked, and Return pastes nothing.
    store->setSelectedID(meeting.id);
    store->setQuery("zzzz-nothing");
    EXPECT_EQ(store->selectedID(), meeting.id);
    QTest::keyClick(view->searchField(), Qt::Key_Return);
    EXPECT_EQ(pastes.size(), 1u);
}

TEST_F(MainShelfViewTest, AClickInTheGapBetweenTwoCardsPastesNothing) {
    ClipShelfListView* list = view->listView();
    for (ShelfPlacement placement : {ShelfPlacement::bottom, ShelfPlacement::left}) {
        store->updateShelfPlacement(placement);
        QApplication::processEvents();
        pastes.clear();
        const QRect first = list->visualRect(view->model()->index(0, 0));
        const QRect second = list->visualRect(view->model()->index(1, 0));
        const bool row = placement == ShelfPlacement::bottom;
        const QPoint gap = row ? QPoint(second.left(), second.center().y()) : QPoint(second.center().x(), second.top());
        ASSERT_TRUE(first.contains(gap - (row ? QPoint(1, 0) : QPoint(0, 1))) && second.contains(gap));
        EXPECT_FALSE(list->cardAt(gap).isValid());

        const auto selected = store->selectedID();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, gap);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, gap - (row ? QPoint(2, 0) : QPoint(0, 2)));
        QTest::mouseClick(list->viewport(), Qt::RightButton, {}, gap);
        EXPECT_TRUE(pastes.empty());
        EXPECT_EQ(store->selectedID(), selected) << "no neighbour picked";

        // The card's own edge is the card.
        const int inside = ClipCardDelegate::cardMargin + 1;
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          row ? QPoint(second.left() + inside, second.center().y())
                              : QPoint(second.center().x(), second.top() + inside));
        ASSERT_EQ(pastes.size(), 1u);
        EXPECT_EQ(pastes[0].first, shown(1).title);
    }
}

TEST_F(MainShelfViewTest, AfterEveryPlacementChangeTheCardsTakeThePointerAndNoEmptyStateCoversThem) {
    ClipShelfListView* list = view->listView();
    for (ShelfPlacement placement :
         {ShelfPlacement::left, ShelfPlacement::top, ShelfPlacement::right, ShelfPlacement::bottom}) {
        store->updateShelfPlacement(placement);
        QApplication::processEvents();
        EXPECT_TRUE(view->emptyStateTitle().isEmpty());
        const QRect card = list->visualRect(view->model()->index(0, 0));
        EXPECT_EQ(view->childAt(list->viewport()->mapTo(view.get(), card.center())), list->viewport())
            << "the card is the widget under the pointer";
        pastes.clear();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, card.center());
        ASSERT_EQ(pastes.size(), 1u);
    }
    // An empty list keeps its empty state across a placement change, and the cards come back.
    store->setQuery("zzzz-nothing");
    store->updateShelfPlacement(ShelfPlacement::left);
    EXPECT_EQ(view->emptyStateTitle(), QStringLiteral("No matches"));
    EXPECT_FALSE(list->isVisibleTo(view.get()));
    store->setQuery("");
    EXPECT_TRUE(view->emptyStateTitle().isEmpty());
    EXPECT_TRUE(list->isVisibleTo(view.get()));
}

TEST_F(MainShelfViewTest, ClosingThePreviewOrEditorGivesTheKeyboardBackWhereItWas) {
    QApplication::setActiveWindow(view.get());
    view->listView()->setFocus();
    store->setPreviewItem(shown(0));
    EXPECT_TRUE(view->sheet()->isAncestorOf(view->focusWidget()));
    QTest::keyClick(view->sheet(), Qt::Key_Escape);
    EXPECT_EQ(view->focusWidget(), view->listView());

    view->focusSearch();
    store->setEditingItem(shown(0));
    EXPECT_TRUE(view->sheet()->isAncestorOf(view->focusWidget()));
    store->setEditingItem(std::nullopt);
    EXPECT_EQ(view->focusWidget(), view->searchField());
}

TEST_F(MainShelfViewTest, ThePreviewAndEditorSheetsFollowTheStoreAndWriteBack) {
    int began = 0;
    int ended = 0;
    QObject::connect(view.get(), &MainShelfView::sheetWillBegin, [&] { ++began; });
    QObject::connect(view.get(), &MainShelfView::sheetDidEnd, [&] { ++ended; });

    store->setPreviewItem(shown(0));
    EXPECT_TRUE(view->hasAttachedSheet());
    EXPECT_EQ(view->previewView()->clip()->id, shown(0).id);
    // Escape on the sheet dismisses it through the store.
    QTest::keyClick(view->sheet(), Qt::Key_Escape);
    EXPECT_FALSE(store->previewItem());
    EXPECT_FALSE(view->hasAttachedSheet());
    EXPECT_EQ(began, 1);
    EXPECT_EQ(ended, 1);

    // The new-clip button makes a favourite and opens it in the editor; saving rewrites it.
    view->newClipButton()->click();
    ASSERT_TRUE(store->editingItem());
    EXPECT_EQ(store->items().front().text, "New reusable snippet");
    EXPECT_EQ(view->presentedSheet(), MainShelfView::SheetKind::editor);
    EXPECT_EQ(view->editorView()->text(), QStringLiteral("New reusable snippet"));
    view->editorView()->setText(QStringLiteral("Kind regards,\nAda"));
    view->editorView()->findChild<QPushButton*>(QString(), Qt::FindChildrenRecursively);
    for (QPushButton* button : view->editorView()->findChildren<QPushButton*>())
        if (button->text() == QStringLiteral("Save")) button->click();
    EXPECT_FALSE(store->editingItem());
    EXPECT_EQ(store->items().front().text, "Kind regards,\nAda");
    EXPECT_FALSE(view->hasAttachedSheet());
}

// What the user typed survives whatever happens to the clip under the open editor: the editor
// never starts over, and Save keeps the text in the clip (under its new id) or as a new clip.
TEST_F(MainShelfViewTest, TheEditorKeepsTheTypingWhateverHappensToItsClip) {
    const std::vector<std::tuple<const char*, std::function<void(const Uuid&)>, bool /*gone*/>> cases{
        {"deleted here", [&](const Uuid& id) { store->deleteItem(*store->item(id)); }, true},
        {"deleted on another device", [&](const Uuid& id) { store->applySyncDelete(id); }, true},
        {"replaced by another device's edit", [&](const Uuid& id) {
             store->applySyncDelete(id);
             store->applySyncInsert(Uuid::random(), "their edit", clock.now(), std::nullopt);
         }, true},
        {"moved to a new id", [&](const Uuid& id) { store->applySyncCanonicalization(id, Uuid::random()); }, false},
        {"another sheet in between", [&](const Uuid&) { store->setShowPermissionSetup(true); }, false},
    };
    for (const auto& [name, meanwhile, gone] : cases) {
        SCOPED_TRACE(name);
        view.reset();
        store.reset();
        std::filesystem::remove_all(std::filesystem::path(temp.path().toStdString()) / "Pemberlow");
        make(false);
        store->insert(ClipBuilder("original").captured(clock.now()));
        store->setEditingItem(store->items().front());
        view->editorView()->setText(QStringLiteral("typed"));
        meanwhile(store->items().front().id);
        store->setShowPermissionSetup(false);
        EXPECT_EQ(view->editorView()->text().toStdString(), "typed");
        for (QPushButton* button : view->editorView()->findChildren<QPushButton*>())
            if (button->text() == QStringLiteral("Save")) button->click();
        EXPECT_FALSE(store->editingItem());
        std::multiset<std::string> texts;
        for (const auto& clip : store->items()) texts.insert(clip.text);
        EXPECT_TRUE(texts.count("typed") == 1 && texts.count("original") == 0);
        EXPECT_EQ(store->toastMessage(), gone ? HistoryStore::kEditedClipGoneMessage : "Clip updated");
    }
}

// The editor covers the toast line: a save the history file has no room for says so in the
// editor, which stays open on the typed text.
TEST_F(MainShelfViewTest, AnEditTheHistoryFileHasNoRoomForIsRefusedInTheEditor) {
    make(false, 64 << 10);
    store->insert(ClipBuilder("note").captured(clock.now()));
    store->setEditingItem(store->items().front());
    const QString typed(80 << 10, QLatin1Char('e'));
    view->editorView()->setText(typed);
    for (QPushButton* button : view->editorView()->findChildren<QPushButton*>())
        if (button->text() == QStringLiteral("Save")) button->click();
    EXPECT_TRUE(store->editingItem());
    EXPECT_EQ(view->editorView()->text(), typed);
    EXPECT_EQ(view->editorView()->refusal().toStdString(), HistoryStore::kEditTooLargeMessage);
    view->editorView()->setText(QStringLiteral("shorter"));
    EXPECT_EQ(view->editorView()->refusal(), QString());
}

TEST_F(MainShelfViewTest, PermissionAndUpdateSheetsComeFirstAndCloseOnlyThroughTheirButtons) {
    bool updateDue = true;
    int finished = 0;
    ShelfUpdateChoice choice;
    choice.isPresented = [&] { return updateDue; };
    choice.finish = [&] { updateDue = false; };
    view->setUpdateChoice(choice);
    QObject::connect(store.get(), &HistoryStore::permissionSetupFinished, [&] { ++finished; });
    store->updateDirectPastePermissionStatus(true, true);
    store->setPreviewItem(shown(0));
    store->setShowPermissionSetup(true);
    EXPECT_EQ(view->presentedSheet(), MainShelfView::SheetKind::permissionSetup);

    QTest::keyClick(view->sheet(), Qt::Key_Escape);
    EXPECT_TRUE(store->showPermissionSetup()) << "Escape does not close the permission sheet";
    view->permissionSetupView()->button(PermissionSetupView::kContinueTitle)->click();
    EXPECT_FALSE(store->showPermissionSetup());
    EXPECT_EQ(finished, 0) << "the finish waits for a later turn";
    QApplication::processEvents();
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(view->presentedSheet(), MainShelfView::SheetKind::updateChoice);

    QTest::keyClick(view->sheet(), Qt::Key_Escape);
    EXPECT_TRUE(updateDue) << "Escape records no update choice";
    EXPECT_EQ(view->presentedSheet(), MainShelfView::SheetKind::updateChoice);
    view->automaticUpdateSetupView()->saveButton()->click();
    view->refreshSheets();
    EXPECT_FALSE(updateDue);
    EXPECT_EQ(view->presentedSheet(), MainShelfView::SheetKind::preview);
}

TEST_F(MainShelfViewTest, DraggingACardHandsOverTheClipAndADropCountsAsAPaste) {
    const ClipItem link = shown(1);
    bool draggingDuring = false;
    QStringList formats;
    QString text;
    std::optional<bool> sessionEnded;
    QObject::connect(store.get(), &HistoryStore::clipDragSessionEnded, [&](bool dropped) { sessionEnded = dropped; });
    view->listView()->dragExecutor = [&](QDrag& drag) {
        draggingDuring = store->isDraggingClip();
        formats = drag.mimeData()->formats();
        text = drag.mimeData()->text();
        return Qt::CopyAction;
    };
    const QRect card = view->listView()->visualRect(view->model()->index(1, 0));
    QTest::mousePress(view->listView()->viewport(), Qt::LeftButton, {}, card.center());
    QMouseEvent move(QEvent::MouseMove, QPointF(card.center() + QPoint(40, 0)),
                     view->listView()->viewport()->mapToGlobal(QPointF(card.center() + QPoint(40, 0))), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->listView()->viewport(), &move);
    QTest::mouseRelease(view->listView()->viewport(), Qt::LeftButton, {}, card.center() + QPoint(40, 0));

    EXPECT_TRUE(draggingDuring);
    EXPECT_TRUE(formats.contains(QStringLiteral("text/uri-list")));
    EXPECT_EQ(text.toStdString(), link.text);
    EXPECT_FALSE(store->isDraggingClip());
    EXPECT_EQ(sessionEnded, true);
    EXPECT_TRUE(pastes.empty());  // a drag is not a click
    EXPECT_EQ(store->items().front().id, link.id);  // the drop moved it to the top

    // A drag that drops nowhere changes nothing but ends the session.
    view->listView()->dragExecutor = [](QDrag&) { return Qt::IgnoreAction; };
    const ClipItem third = shown(2);
    view->startClipDrag(2);
    EXPECT_EQ(sessionEnded, false);
    EXPECT_EQ(store->items().front().id, link.id);
    EXPECT_EQ(store->selectedID(), third.id);
}

TEST_F(MainShelfViewTest, ADragOffersWhatAPasteWouldWriteLegacyArchivesIncluded) {
    std::optional<bool> plainAsked;
    store->makeLegacyPasteboardItem = [&](const ClipItem&, const std::filesystem::path&, bool plainText) {
        plainAsked = plainText;
        auto object = PasteboardObject::item();
        object.setString("text/html", "<i>archived</i>");
        return std::optional<PasteboardObject>(object);
    };
    ClipItem legacy = shown(0);
    legacy.legacyPayloadFilename = "legacy-archive.bin";
    store->updateAlwaysPastePlainText(true);
    auto data = view->dragMimeData(legacy);
    ASSERT_TRUE(data);
    EXPECT_EQ(plainAsked, true);
    EXPECT_EQ(data->formats(), QStringList{QStringLiteral("text/html")});
}

// A long message on a 1280 px shelf is read whole: where the header leaves too little width
// the toast wraps and grows down instead of cutting the sentence.
TEST_F(MainShelfViewTest, ALongToastIsShownWholeOnAScreenWideShelf) {
    const std::string message = "Imported 1,234 clips; 2 could not be decoded";
    store->showToast(message, ToastTone::info);
    for (const QSize size : {QSize(1280, 405), QSize(820, 330)}) {
        SCOPED_TRACE(::testing::Message() << size.width());
        view->resize(size);
        view->focusSearch();  // the widest search field
        QApplication::processEvents();
        ToastLineView* toast = view->toastLine();
        ASSERT_TRUE(toast->isVisible());
        EXPECT_GE(toast->height(), toast->heightForWidth(toast->width()));
        EXPECT_TRUE(view->rect().contains(QRect(toast->mapTo(view.get(), QPoint(0, 0)), toast->size())));
    }
    // Narrow, it wraps onto more lines rather than eliding.
    ToastLineView* toast = view->toastLine();
    EXPECT_GT(toast->heightForWidth(toast->minimumSizeHint().width()), toast->heightForWidth(toast->sizeHint().width()));
    EXPECT_EQ(toast->heightForWidth(toast->sizeHint().width()), toast->sizeHint().height());
}

TEST_F(MainShelfViewTest, ToolbarButtonsAndTheToastReachTheStore) {
    int hides = 0;
    std::vector<bool> settings;
    QObject::connect(store.get(), &HistoryStore::hideRequested, [&] { ++hides; });
    QObject::connect(store.get(), &HistoryStore::settingsVisibilityAnnounced,
            [&](bool visible) { settings.push_back(visible); });
    view->closeButton()->click();
    view->settingsButton()->click();
    EXPECT_EQ(hides, 1);
    EXPECT_EQ(settings, std::vector<bool>{true});
    EXPECT_TRUE(store->showSettings());

    store->showToast("Copied to the clipboard", ToastTone::success);
    ASSERT_TRUE(view->toastLine()->toast());
    EXPECT_EQ(view->toastLine()->toast()->message, "Copied to the clipboard");
    clock.advance(std::chrono::milliseconds(2500));
    EXPECT_FALSE(view->toastLine()->toast());

    store->setMigrationStatus(std::string("Imported 12 clips"));
    EXPECT_EQ(view->migrationLabel()->text(), QStringLiteral("Imported 12 clips"));
    EXPECT_TRUE(view->migrationLabel()->isVisibleTo(view.get()));
}

}  // namespace
}  // namespace harbelle::testing
