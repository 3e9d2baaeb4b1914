#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "theme/AppMark.h"
#include "shelf/ClipEditorView.h"
#include "shelf/ClipPreviewView.h"
#include "shelf/KeyHintsView.h"
#include "shelf/ShelfSheet.h"
#include "shelf/ShelfTestClips.h"
#include "settings/SettingsSection.h"
#include "theme/SymbolGlyph.h"
#include "shelf/ToastLineView.h"
#include "theme/VisualTheme.h"

using namespace harbelle;

namespace {
QPushButton* buttonNamed(QWidget& root, const QString& text) {
    for (auto* button : root.findChildren<QPushButton*>())
        if (button->text() == text) return button;
    return nullptr;
}

int opaquePixels(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) > 0) ++count;
    return count;
}
}  // namespace

TEST(VisualTheme, SelectionColourAndBackgroundOpacity) {
    const QColor& selection = PemberlowTheme::selection();
    EXPECT_NEAR(selection.redF(), 0.12, 1e-3);
    EXPECT_NEAR(selection.greenF(), 0.55, 1e-3);
    EXPECT_NEAR(selection.blueF(), 1.0, 1e-3);
    EXPECT_EQ(selection.alpha(), 255);
    EXPECT_EQ(&selection, &PemberlowTheme::selection());  // made once

    EXPECT_DOUBLE_EQ(VisualTheme::shelfBackgroundOpacity(0.18), 0.82);
    EXPECT_DOUBLE_EQ(VisualTheme::shelfBackgroundOpacity(0), 1.0);
    EXPECT_DOUBLE_EQ(VisualTheme::shelfBackgroundOpacity(0.95), 0.15);  // a stored value past the slider
    EXPECT_DOUBLE_EQ(VisualTheme::shelfBackgroundOpacity(std::nan("")), 1.0);
}

TEST(VisualTheme, HexColoursAndContrast) {
    EXPECT_EQ(parseHexColor("#FF9400"), QColor(0xff, 0x94, 0x00));
    EXPECT_EQ(parseHexColor("  #fff\n"), QColor(255, 255, 255));
    EXPECT_EQ(parseHexColor("#11223380"), QColor(0x11, 0x22, 0x33, 0x80));  // alpha last
    for (const char* bad : {"", "#", "#12", "#1234", "FF9400", "#GG0000", "#12345", "#FF9400 x"})
        EXPECT_FALSE(parseHexColor(bad).has_value()) << bad;
    EXPECT_EQ(VisualTheme::contrastingText(QColor(Qt::white)).lightness() < 60, true);
    EXPECT_EQ(VisualTheme::contrastingText(QColor(0x10, 0x10, 0x40)), QColor(Qt::white));
}

TEST(SymbolGlyph, EveryNamedSymbolDraws) {
    std::vector<std::string> names;
    for (auto kind : clipkind::allCases) names.emplace_back(clipkind::symbol(kind));
    for (auto tone : {ToastTone::success, ToastTone::info, ToastTone::error})
        names.emplace_back(VisualTheme::toastSymbol(tone));
    for (const char* device : {"iphone", "ipad", "desktopcomputer", "laptopcomputer.and.iphone", "star.fill"})
        names.emplace_back(device);
    for (const auto& name : names) {
        EXPECT_TRUE(SymbolGlyph::isKnown(name)) << name;
        QImage image(24, 24, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        SymbolGlyph::paint(painter, QRectF(0, 0, 24, 24), name, Qt::black);
        painter.end();
        EXPECT_GT(opaquePixels(image), 20) << name;
    }
    EXPECT_FALSE(SymbolGlyph::icon("doc", Qt::red, 16).isNull());
    for (auto kind : clipkind::allCases) EXPECT_FALSE(VisualTheme::kindIcon(kind).isNull());
}

TEST(SymbolGlyph, EverySettingsSymbolDraws) {
    std::vector<std::string_view> names{"xmark.circle.fill", "folder"};
    for (auto section : kAllSettingsSections) names.push_back(settingsSectionSymbol(section));
    for (auto name : names) {
        EXPECT_TRUE(SymbolGlyph::isKnown(name)) << name;  // not the fallback circle
        EXPECT_GT(opaquePixels(SymbolGlyph::icon(name, Qt::black, 16).pixmap(16, 16).toImage()), 20) << name;
    }
}

TEST(AppMark, PaintsAtTheAskedSize) {
    for (qreal size : {36.0, 64.0, 68.0, 88.0}) {
        AppMark mark(size);
        EXPECT_EQ(mark.sizeHint(), QSize(int(size), int(size)));
        const QPixmap pixmap = AppMark::pixmap(size, 2);
        EXPECT_EQ(pixmap.size(), QSize(int(size * 2), int(size * 2)));
        const QImage image = pixmap.toImage();
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);  // rounded corner
        EXPECT_TRUE(std::abs(qBlue(image.pixel(image.width() / 2, image.height() - 8)) - 255) < 60);
    }
    EXPECT_EQ(AppMark(-5).sizeHint(), QSize(0, 0));
}

TEST(ToastLineView, ShowsOnlyWhileAToastIsSet) {
    ToastLineView toast;
    EXPECT_FALSE(toast.isVisibleTo(nullptr));
    toast.setToast(Toast{"Saved", ToastTone::success});
    EXPECT_TRUE(toast.isVisibleTo(nullptr));
    EXPECT_EQ(toast.accessibleName(), "Saved");
    const int shortWidth = toast.sizeHint().width();
    toast.setToast(Toast{"A much longer message about what happened", ToastTone::error});
    EXPECT_GT(toast.sizeHint().width(), shortWidth);
    toast.resize(toast.sizeHint());
    QImage image(toast.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    toast.render(&image);
    // The error glyph sits at the left in the tone's colour.
    bool toneFound = false;
    for (int x = 10; x < 30; ++x)
        if (image.pixelColor(x, image.height() / 2 - 2).red() > 200 && image.pixelColor(x, image.height() / 2 - 2).blue() < 80)
            toneFound = true;
    EXPECT_TRUE(toneFound);
    toast.setToast(std::nullopt);
    EXPECT_FALSE(toast.isVisibleTo(nullptr));
    toast.setToast(Toast{"", ToastTone::info});  // an empty message shows nothing
    EXPECT_FALSE(toast.isVisibleTo(nullptr));
}

TEST(KeyHintsView, ListsTheShelfKeysAndDropsWhatDoesNotFit) {
    KeyHintsView hints;
    const auto& shown = hints.hints();
    ASSERT_EQ(shown, KeyHintsView::shelfHints());
    auto has = [&](const QString& keys) {
        return std::any_of(shown.begin(), shown.end(), [&](const KeyHint& h) { return h.keys == keys; });
    };
    EXPECT_TRUE(has(QStringLiteral("\u21A9")));
    EXPECT_TRUE(has(QStringLiteral("\u21E7\u21A9")));
    EXPECT_TRUE(has(QStringLiteral("Ctrl 1\u20269")));
    EXPECT_TRUE(has(QStringLiteral("Esc")));
    const int full = hints.sizeHint().width();
    EXPECT_EQ(hints.visibleHintCount(full), static_cast<int>(shown.size()));
    EXPECT_LT(hints.visibleHintCount(full / 2), static_cast<int>(shown.size()));
    EXPECT_GT(hints.visibleHintCount(full / 2), 0);
    EXPECT_EQ(hints.visibleHintCount(0), 0);
}

TEST(ClipEditorView, SavesTrimmedlessTextAndRefusesBlank) {
    ClipEditorView editor;
    QSignalSpy saved(&editor, &ClipEditorView::saveRequested);
    QSignalSpy cancelled(&editor, &ClipEditorView::cancelRequested);
    QPushButton* save = buttonNamed(editor, "Save");
    ASSERT_NE(save, nullptr);

    editor.beginNewClip();
    EXPECT_FALSE(editor.editingClipID().has_value());
    EXPECT_FALSE(save->isEnabled());
    editor.setText("  \n\t ");
    EXPECT_FALSE(save->isEnabled());
    QTest::keyClick(editor.findChild<QPlainTextEdit*>(), Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(saved.count(), 0);

    auto clips = harbelle::testing::sampleClips();
    editor.beginEditing(clips[0]);
    EXPECT_EQ(editor.editingClipID(), clips[0].id);
    EXPECT_EQ(editor.text().toStdString(), clips[0].text);
    EXPECT_TRUE(save->isEnabled());
    editor.setText("New words");
    save->click();
    ASSERT_EQ(saved.count(), 1);
    EXPECT_EQ(saved.at(0).at(0).toString(), "New words");

    // Ctrl+Return in the text saves; Escape cancels; a plain Return is a new line.
    auto* text = editor.findChild<QPlainTextEdit*>();
    QTest::keyClick(text, Qt::Key_Return);
    EXPECT_EQ(saved.count(), 1);
    QTest::keyClick(text, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(saved.count(), 2);
    QTest::keyClick(text, Qt::Key_Escape);
    EXPECT_EQ(cancelled.count(), 1);
}

TEST(ClipPreviewView, ShowsEachKindAndEmitsItsActions) {
    ClipPreviewView preview;
    QSignalSpy paste(&preview, &ClipPreviewView::pasteRequested);
    QSignalSpy pin(&preview, &ClipPreviewView::togglePinnedRequested);
    QSignalSpy remove(&preview, &ClipPreviewView::deleteRequested);
    QSignalSpy close(&preview, &ClipPreviewView::closeRequested);
    auto clips = harbelle::testing::sampleClips();

    preview.setClip(clips[2]);  // code
    EXPECT_EQ(preview.mode(), ClipPreviewView::Mode::text);
    EXPECT_EQ(preview.shownText().toStdString(), clips[2].text);
    EXPECT_TRUE(preview.findChild<QPlainTextEdit*>()->font().fixedPitch());

    preview.setClip(clips[3]);  // image
    EXPECT_EQ(preview.mode(), ClipPreviewView::Mode::image);

    ClipItem files = clips[4];
    files.fileURLs = {"/a/one.txt", "/b/two.txt"};
    preview.setClip(files);
    EXPECT_EQ(preview.mode(), ClipPreviewView::Mode::files);
    EXPECT_EQ(preview.shownText(), "/a/one.txt\n/b/two.txt");

    // A title wider than the sheet is cut with "…" and leaves the sheet no wider than its buttons.
    ClipItem wide = clips[0];
    wide.title = std::string(200, 'w');
    preview.setClip(wide);
    preview.resize(600, 300);
    preview.show();
    EXPECT_LT(preview.minimumSizeHint().width(), 600);
    EXPECT_TRUE(preview.shownTitle().endsWith(QChar(0x2026))) << preview.shownTitle().size();

    preview.setClip(clips[0]);  // a favourite
    ASSERT_NE(buttonNamed(preview, "Remove Favorite"), nullptr);
    buttonNamed(preview, "Remove Favorite")->click();
    buttonNamed(preview, "Delete")->click();
    buttonNamed(preview, "Paste as Plain Text")->click();
    buttonNamed(preview, "Paste")->click();
    ASSERT_EQ(pin.count(), 1);
    EXPECT_EQ(pin.at(0).at(0).value<ClipItem>().id, clips[0].id);
    EXPECT_EQ(remove.count(), 1);
    ASSERT_EQ(paste.count(), 2);
    EXPECT_TRUE(paste.at(0).at(1).toBool());
    EXPECT_FALSE(paste.at(1).at(1).toBool());

    QTest::keyClick(&preview, Qt::Key_Return, Qt::ShiftModifier);
    ASSERT_EQ(paste.count(), 3);
    EXPECT_TRUE(paste.at(2).at(1).toBool());
    QTest::keyClick(&preview, Qt::Key_Escape);
    EXPECT_EQ(close.count(), 1);
}

TEST(ShelfSheet, CentresItsContentInsideTheShelf) {
    QWidget shelf;
    shelf.resize(1000, 400);
    shelf.show();
    ShelfSheet sheet(&shelf);
    ClipEditorView editor;
    sheet.present(&editor, QSize(640, 340));
    EXPECT_TRUE(sheet.isPresenting());
    EXPECT_EQ(sheet.geometry(), shelf.rect());
    EXPECT_EQ(editor.parentWidget(), &sheet);
    EXPECT_EQ(sheet.panelRect(), QRect(180, 30, 640, 340));

    // A shelf smaller than the sheet keeps the panel inside with a margin.
    shelf.resize(500, 300);
    EXPECT_EQ(sheet.geometry(), shelf.rect());
    EXPECT_EQ(sheet.panelRect(), QRect(14, 14, 472, 272));
    EXPECT_TRUE(sheet.panelRect().contains(editor.geometry()));
    EXPECT_EQ(sheet.aboveWindow(), nullptr);

    // A shelf too low for the editor's buttons: the sheet stands whole in a window in front,
    // and the corners beyond its rounded panel are no part of that window (they would show
    // black where no compositor blends them).
    shelf.resize(500, 120);
    QWidget* front = sheet.aboveWindow();
    ASSERT_TRUE(front);
    EXPECT_EQ(front->width(), 640);
    EXPECT_TRUE(QRect(QPoint(0, 0), front->size()).contains(editor.geometry()));
    const QImage picture = front->grab().toImage();
    const QRegion shape = front->mask();
    EXPECT_FALSE(shape.contains(QPoint(0, 0)));
    int paintedOutside = 0;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            paintedOutside += qAlpha(picture.pixel(x, y)) > 0 && !shape.contains(QPoint(x, y));
    EXPECT_EQ(paintedOutside, 0);

    QSignalSpy dismiss(&sheet, &ShelfSheet::dismissRequested);
    QTest::keyClick(&sheet, Qt::Key_Escape);
    EXPECT_EQ(dismiss.count(), 1);
    sheet.dismiss();
    EXPECT_FALSE(sheet.isPresenting());
    editor.setParent(nullptr);  // the test owns it
}
