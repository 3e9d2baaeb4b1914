// A copied screenshot becomes findable by its words: capture through the store with the real
// recognizer.
#include <QBuffer>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QTest>

#include "history/HistoryStoreTestSupport.h"
#include "platform/linux/TesseractTextRecognizer.h"
#include "support/FakePasteboard.h"
#include "support/FakeWorkspace.h"

namespace harbelle::testing {
namespace {

Bytes renderedPNG(const QString& text) {
    QImage image(520, 70, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        QFont font("DejaVu Sans");
        font.setPixelSize(28);
        painter.setFont(font);
        painter.setPen(Qt::black);
        painter.drawText(QRect(10, 10, 500, 50), Qt::AlignLeft | Qt::AlignVCenter, text);
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return Bytes(png.begin(), png.end());
}

class RecognitionStoreFixture : public HistoryStoreFixture {};

TEST_F(RecognitionStoreFixture, ACopiedImageIsFoundByTheWordsItShows) {
    FakePasteboard pasteboard;
    FakeWorkspace workspace;
    workspace.frontmost = RunningApplication{"Viewer", "org.example.viewer", 300};
    TesseractTextRecognizer recognizer;
    HistoryStoreOptions options;
    options.pasteboard = &pasteboard;
    options.workspace = &workspace;
    options.textRecognizer = &recognizer;
    auto store = makeStore(options);

    pasteboard.setContents({{"image/png", renderedPNG("INVOICE 4711 PAID")}});
    store->startMonitoring();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store->capturesPending(); }, 10000));  // its file is written first
    ASSERT_EQ(store->items().size(), 1u);
    EXPECT_TRUE(store->items().front().searchableText.empty()) << "recognition runs in the background";

    ASSERT_TRUE(QTest::qWaitFor([&] { return !store->items().front().searchableText.empty(); }, 60000));
    EXPECT_EQ(store->items().front().searchableText, "INVOICE 4711 PAID");
    store->setQuery("invoice");
    ASSERT_EQ(store->filteredItems().size(), 1u);
    EXPECT_EQ(store->filteredItems().front().id, store->items().front().id);

    clock.advance(HistoryStore::kSaveDebounce);
    ASSERT_TRUE(store->flushHistory());
    EXPECT_EQ(readHistory().front().searchableText, "INVOICE 4711 PAID");
}

}  // namespace
}  // namespace harbelle::testing
