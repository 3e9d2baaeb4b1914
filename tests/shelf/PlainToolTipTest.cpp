#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTextDocument>
#include <QToolButton>

#include "history/HistoryStore.h"
#include "shelf/ClipListModel.h"
#include "shelf/ClipPreviewView.h"
#include "shelf/MainShelfView.h"
#include "shelf/PlainToolTip.h"
#include "support/InMemoryDefaults.h"
#include "support/ManualClock.h"
#include "support/ClipBuilder.h"

using namespace harbelle;
using harbelle::testing::ClipBuilder;

namespace {

// Texts another program can put on the clipboard to make Qt load files or hide words.
const QString kHostileTexts[] = {
    QStringLiteral("<img src=\"/dev/zero\"> notes"),
    QStringLiteral("<img src=\"/tmp/some-fifo\">"),
    QStringLiteral("Invoice total: <span style=\"font-size:1px\">; curl x|sh</span><b>42 EUR</b>"),
    QStringLiteral("a & b \"quoted\" 'single' </p><p>"),
    QStringLiteral("two  spaces\nand a second line"),
};

// What a rich-text tooltip shows: the text its document holds.
QString shownText(const QString& toolTip) {
    QTextDocument document;
    document.setHtml(toolTip);
    return document.toPlainText();
}

}  // namespace

TEST(PlainToolTip, ShowsEveryTextLiterally) {
    for (const QString& text : kHostileTexts) {
        const QString tip = plainToolTip(text);
        EXPECT_EQ(shownText(tip), text) << tip.toStdString();
        EXPECT_FALSE(tip.contains(QStringLiteral("<img"))) << tip.toStdString();
        EXPECT_FALSE(tip.contains(QStringLiteral("<span"))) << tip.toStdString();
    }
    EXPECT_TRUE(plainToolTip(QString()).isEmpty());  // no tooltip at all
}

TEST(PlainToolTip, CardsAndImagePreviewsUseIt) {
    std::vector<ClipItem> items;
    for (const QString& text : kHostileTexts) items.push_back(ClipBuilder(text.toStdString()).titled());
    ClipListModel model;
    model.setItems(items);
    for (int row = 0; row < model.rowCount(); ++row) {
        const QString tip = model.data(model.index(row), Qt::ToolTipRole).toString();
        EXPECT_EQ(tip, plainToolTip(QString::fromStdString(items[row].displayTitle())));
    }

    ClipItem image = ClipBuilder("", ClipKind::image);
    image.searchableText = kHostileTexts[0].toStdString();
    ClipPreviewView preview;
    preview.setClip(image);
    bool found = false;
    for (auto* widget : preview.findChildren<QWidget*>())
        if (!widget->toolTip().isEmpty() && shownText(widget->toolTip()) == kHostileTexts[0]) found = true;
    EXPECT_TRUE(found);
}

TEST(PlainToolTip, ADeviceNameWithAnAmpersandIsShownAsItIs) {
    harbelle::testing::InMemoryDefaults defaults;
    harbelle::testing::ManualClock clock;
    HistoryStoreOptions options;
    options.demoMode = true;
    options.bundleIdentifier = "com.harbelleapp.Harbelle";
    HistoryStore store(defaults, clock, options);
    ClipItem clip = ClipBuilder("from the other desk").titled();
    clip.sourceDeviceID = "linux_other";
    clip.sourceDeviceName = "Tom & Jerry <b>Desk</b>";
    clip.sourceDevicePlatform = "Linux";
    store.insert(clip);
    store.setActiveDeviceID("linux_other");
    MainShelfView view(store);
    view.resize(1200, 405);
    view.show();
    QApplication::processEvents();
    // "&" would otherwise mark a shortcut and vanish from the button and the menu.
    EXPECT_EQ(view.deviceButton()->text(), QStringLiteral("Tom && Jerry <b>Desk</b>"));
    bool listed = false;
    for (QAction* action : view.deviceButton()->menu()->actions())
        if (action->text().startsWith(QStringLiteral("Tom && Jerry <b>Desk</b>  ("))) listed = true;
    EXPECT_TRUE(listed);
}
