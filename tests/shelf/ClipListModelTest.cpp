#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QItemSelectionModel>
#include <QSignalSpy>
#include <algorithm>

#include "history/ClipFilter.h"
#include "shelf/ClipListModel.h"
#include "support/ClipBuilder.h"

using namespace harbelle;
using harbelle::testing::ClipBuilder;

namespace {

ClipItem clip(const std::string& text, ClipKind kind = ClipKind::text) { return ClipBuilder(text, kind).titled(); }

std::vector<ClipItem> clips(int count) {
    std::vector<ClipItem> items;
    for (int i = 0; i < count; ++i) items.push_back(clip("clip " + std::to_string(i)));
    return items;
}

std::vector<std::string> titles(const ClipListModel& model) {
    std::vector<std::string> result;
    for (int row = 0; row < model.rowCount(); ++row)
        result.push_back(model.data(model.index(row), ClipListModel::TitleRole).toString().toStdString());
    return result;
}

std::vector<std::string> titles(const std::vector<ClipItem>& items) {
    std::vector<std::string> result;
    for (const auto& item : items) result.push_back(item.displayTitle());
    return result;
}

struct Spies {
    explicit Spies(ClipListModel& model)
        : reset(&model, &QAbstractItemModel::modelReset),
          inserted(&model, &QAbstractItemModel::rowsInserted),
          removed(&model, &QAbstractItemModel::rowsRemoved),
          moved(&model, &QAbstractItemModel::rowsMoved),
          changed(&model, &QAbstractItemModel::dataChanged) {}
    QSignalSpy reset, inserted, removed, moved, changed;
};

}  // namespace

TEST(ClipListModel, ExposesClipValuesByRole) {
    ClipListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    ClipItem file = clip("", ClipKind::file);
    file.title = "";
    file.fileURLs = {"/tmp/a.txt", "/tmp/b"};
    file.isPinned = true;
    file.sourceAppName = "Files";
    file.payloadFilename = "x.png";
    model.setItems({file});

    ASSERT_EQ(model.rowCount(), 1);
    const QModelIndex index = model.index(0);
    EXPECT_EQ(model.data(index).toString(), "a.txt");
    EXPECT_EQ(model.data(index, ClipListModel::KindRole).toInt(), static_cast<int>(ClipKind::file));
    EXPECT_TRUE(model.data(index, ClipListModel::PinnedRole).toBool());
    EXPECT_EQ(model.data(index, ClipListModel::SourceAppRole).toString(), "Files");
    EXPECT_EQ(model.data(index, ClipListModel::DeviceNameRole).toString(), "This computer");
    EXPECT_EQ(model.data(index, ClipListModel::PayloadFilenameRole).toString(), "x.png");
    EXPECT_EQ(model.data(index, ClipListModel::FileURLsRole).toStringList(), QStringList({"/tmp/a.txt", "/tmp/b"}));
    EXPECT_EQ(model.data(index, ClipListModel::IdRole).toString().toStdString(), file.id.uppercaseString());
    EXPECT_EQ(model.data(index, ClipListModel::ClipRole).value<ClipItem>(), file);
    EXPECT_EQ(model.clipAt(0)->id, file.id);
    EXPECT_EQ(model.clipAt(1), nullptr);
    EXPECT_EQ(model.clipAt(-1), nullptr);
    EXPECT_FALSE(model.data(model.index(0).sibling(5, 0)).isValid());
    EXPECT_EQ(model.indexOf(file.id).row(), 0);
    EXPECT_FALSE(model.indexOf(Uuid()).isValid());
}

TEST(ClipListModel, UpdatesWithoutResettingForCommonChanges) {
    ClipListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    auto items = clips(6);
    model.setItems(items);
    Spies spies(model);

    // A new copy at the top.
    items.insert(items.begin(), clip("new"));
    model.setItems(items);
    EXPECT_EQ(spies.inserted.count(), 1);
    EXPECT_EQ(titles(model), titles(items));

    // An older clip copied again moves to the top.
    std::rotate(items.begin(), items.begin() + 4, items.begin() + 5);
    model.setItems(items);
    EXPECT_EQ(spies.moved.count(), 1);
    EXPECT_EQ(titles(model), titles(items));

    // A narrowed search drops scattered rows.
    std::vector<ClipItem> narrowed{items[1], items[3], items[6]};
    model.setItems(narrowed);
    EXPECT_EQ(titles(model), titles(narrowed));
    EXPECT_GE(spies.removed.count(), 2);

    // Widening it again inserts them back.
    model.setItems(items);
    EXPECT_EQ(titles(model), titles(items));

    // A pinned clip: one row repainted.
    spies.changed.clear();
    items[2].isPinned = true;
    model.setItems(items);
    ASSERT_EQ(spies.changed.count(), 1);
    EXPECT_EQ(spies.changed.at(0).at(0).value<QModelIndex>().row(), 2);
    EXPECT_EQ(spies.changed.at(0).at(1).value<QModelIndex>().row(), 2);
    EXPECT_TRUE(model.clipAt(2)->isPinned);

    // The same list again: nothing at all.
    spies.changed.clear();
    model.setItems(items);
    EXPECT_EQ(spies.changed.count(), 0);
    EXPECT_EQ(spies.reset.count(), 0);
}

TEST(ClipListModel, ChangedValuesOfKeptRowsAreRepaintedAfterInsertsAndRemovals) {
    ClipListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    auto items = clips(3);
    model.setItems(items);
    Spies spies(model);

    items[1].title = "edited";
    items.erase(items.begin());
    model.setItems(items);
    EXPECT_EQ(titles(model), (std::vector<std::string>{"edited", "clip 2"}));
    EXPECT_EQ(spies.changed.count(), 1);

    spies.changed.clear();
    items[1].title = "edited too";
    items.push_back(clip("tail"));
    model.setItems(items);
    EXPECT_EQ(titles(model), (std::vector<std::string>{"edited", "edited too", "tail"}));
    EXPECT_EQ(spies.changed.count(), 1);
}

TEST(ClipListModel, UnrelatedListsAndDuplicateIdsReset) {
    ClipListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setItems(clips(4));
    Spies spies(model);
    auto other = clips(3);
    model.setItems(other);
    EXPECT_EQ(spies.reset.count(), 1);
    EXPECT_EQ(titles(model), titles(other));

    other.push_back(other.front());  // the same id twice
    model.setItems(other);
    EXPECT_EQ(model.rowCount(), 4);
    model.setItems({});
    EXPECT_EQ(model.rowCount(), 0);
}

TEST(ClipListModel, ReorderingsAgreeWithTheList) {
    // Every permutation of four rows lands in the given order, whatever path the diff takes.
    auto base = clips(4);
    std::vector<int> order{0, 1, 2, 3};
    do {
        ClipListModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
        model.setItems(base);
        std::vector<ClipItem> next;
        for (int i : order) next.push_back(base[static_cast<std::size_t>(i)]);
        model.setItems(next);
        EXPECT_EQ(titles(model), titles(next));
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(ClipListModel, PayloadChangeRepaintsTheRowsShowingIt) {
    ClipListModel model;
    auto items = clips(3);
    items[1].kind = ClipKind::image;
    items[1].payloadFilename = "A.png";
    model.setItems(items);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.payloadChanged("A.png");
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.at(0).at(0).value<QModelIndex>().row(), 1);
    model.payloadChanged("B.png");
    EXPECT_EQ(changed.count(), 1);
}

TEST(ClipListModel, SearchSequencesEndLikeAFreshList) {
    // Typing, erasing and replacing queries over scattered matches: after each step the
    // incrementally updated model holds the rows a fresh model would, in the same order, with
    // the same values, and the current row stays on its clip while that clip is shown.
    const std::vector<std::string> words{"alpha", "beta", "gamma", "delta", "omega"};
    std::vector<ClipItem> all;
    for (int i = 0; i < 120; ++i)
        all.push_back(clip(words[static_cast<std::size_t>(i) % 5] + " " + words[static_cast<std::size_t>(i / 5) % 5] +
                           " " + std::to_string(i)));
    const std::vector<std::vector<std::string>> sequences{
        {"a", "al", "alp", "alph", "alpha", "alph", "alp", "al", "a", ""},
        {"b", "be", "", "g", "gam", "gamma d", "gamma", ""},
        {"omega", "delta", "1", "11", "119", "zzz", "", "9"},
        {"alpha beta", "alpha", "alpha be", "alpha beta 3", ""},
    };
    for (const auto& queries : sequences) {
        auto items = all;
        ClipListModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
        QItemSelectionModel selection(&model);
        model.setItems(items);
        int step = 0;
        for (const auto& query : queries) {
            SCOPED_TRACE("query \"" + query + "\"");
            // Now and then a kept clip changes too (pinned, retitled).
            if (++step % 3 == 0) {
                items[static_cast<std::size_t>(step * 7) % items.size()].isPinned ^= true;
                items[static_cast<std::size_t>(step * 11) % items.size()].title = "edited " + std::to_string(step);
            }
            const auto shown = filterItems(items, ClipFilter::all, std::nullopt, query);
            const ClipItem* current = model.clipAt(selection.currentIndex());
            const std::optional<Uuid> currentID = current ? std::optional<Uuid>(current->id) : std::nullopt;

            model.setItems(shown);
            ClipListModel fresh;
            fresh.setItems(shown);
            ASSERT_EQ(model.rowCount(), fresh.rowCount());
            for (int row = 0; row < model.rowCount(); ++row) EXPECT_TRUE(*model.clipAt(row) == *fresh.clipAt(row));
            EXPECT_EQ(titles(model), titles(shown));

            const bool stillShown = currentID && fresh.rowOf(*currentID).has_value();
            if (stillShown) {
                EXPECT_EQ(selection.currentIndex().row(), *fresh.rowOf(*currentID));
            }
            if (model.rowCount() > 0)
                selection.setCurrentIndex(model.index(model.rowCount() / 2), QItemSelectionModel::ClearAndSelect);
        }
    }
}

TEST(ClipListModel, ARepeatedIdIsNeverTakenForAnIncrementalChange) {
    // Rows taken from a list with each id once need no check; every other path must still see
    // a repeated id and fall back to a reset that shows the list as given.
    const auto base = clips(6);
    struct Case {
        const char* name;
        std::vector<ClipItem> from;
        std::vector<ClipItem> to;
    };
    const std::vector<Case> cases{
        {"widened with a repeat", {base[0], base[2]}, {base[0], base[1], base[2], base[0]}},
        {"narrowed from a list with a repeat", {base[0], base[1], base[0], base[3]}, {base[0], base[0]}},
        {"same length from a list with a repeat", {base[0], base[0], base[1]}, {base[0], base[0], base[2]}},
        {"narrowed without a repeat", base, {base[1], base[4]}},
    };
    for (const auto& c : cases) {
        ClipListModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
        model.setItems(c.from);
        model.setItems(c.to);
        EXPECT_EQ(titles(model), titles(c.to)) << c.name;
        for (int row = 0; row < model.rowCount(); ++row)
            EXPECT_EQ(model.clipAt(model.index(row))->id, c.to[static_cast<std::size_t>(row)].id) << c.name;
    }
}
