#include <gtest/gtest.h>

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "history/ClipFilter.h"
#include "platform/linux/TesseractLibrary.h"
#include "platform/linux/TesseractTextRecognizer.h"
#include "support/TextPage.h"

using namespace harbelle;

namespace {

QImage rendered(const QString& text, QColor ink, QColor ground) {
    QImage image(520, 70, QImage::Format_RGB32);
    image.fill(ground);
    QPainter painter(&image);
    QFont font("DejaVu Sans");
    font.setPixelSize(28);
    painter.setFont(font);
    painter.setPen(ink);
    painter.drawText(QRect(10, 10, 500, 50), Qt::AlignLeft | Qt::AlignVCenter, text);
    return image;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

TEST(TesseractLibrary, OpensOnceWithEveryEntryAndRefusesWhatIsNotTheEngine) {
    const TesseractLibrary& library = tesseractLibrary();
    ASSERT_TRUE(library.loaded) << library.error;
    EXPECT_EQ(&library, &tesseractLibrary());

    struct Row {
        const char* fileName;
        const char* because;
    };
    for (const Row& row : {Row{"libharbelle-no-such-ocr.so.5", "libharbelle-no-such-ocr.so.5"},
                           Row{"libc.so.6", "has no TessBaseAPICreate"}}) {
        const TesseractLibrary refused = TesseractLibrary::open(row.fileName);
        EXPECT_FALSE(refused.loaded) << row.fileName;
        EXPECT_EQ(refused.create, nullptr) << row.fileName;
        EXPECT_NE(refused.error.find(row.because), std::string::npos) << refused.error;
    }
}

TEST(TesseractTextRecognizer, ReadsRenderedTextFromAFileOffTheMainThread) {
    QTemporaryDir dir;
    const QString file = dir.filePath("invoice.png");
    ASSERT_TRUE(rendered("INVOICE 4711 PAID", Qt::black, Qt::white).save(file));

    TesseractTextRecognizer recognizer;
    QObject context;
    std::optional<std::vector<std::string>> lines;
    Qt::HANDLE thread = nullptr;
    recognizer.recognize(std::filesystem::path(file.toStdString()), &context, [&](std::vector<std::string> result) {
        thread = QThread::currentThreadId();
        lines = std::move(result);
    });
    QTRY_VERIFY_WITH_TIMEOUT(lines.has_value(), 15000);
    EXPECT_EQ(thread, QThread::currentThreadId()) << "results arrive on the main thread";
    EXPECT_NE(foldForSearch(joined(*lines)).find("invoice"), std::string::npos) << joined(*lines);
    EXPECT_NE(joined(*lines).find("4711"), std::string::npos) << joined(*lines);
}

TEST(TesseractTextRecognizer, ReadsLightTextOnDarkAndNothingFromABlankImage) {
    TesseractTextRecognizer recognizer;
    QObject context;
    std::optional<std::vector<std::string>> dark, blank;
    recognizer.recognize(rendered("Hello clipboard 42", Qt::white, QColor(30, 30, 30)), &context,
                         [&](std::vector<std::string> r) { dark = std::move(r); });
    QImage empty(200, 80, QImage::Format_RGB32);
    empty.fill(Qt::white);
    recognizer.recognize(empty, &context, [&](std::vector<std::string> r) { blank = std::move(r); });
    QTRY_VERIFY_WITH_TIMEOUT(dark.has_value() && blank.has_value(), 15000);
    EXPECT_NE(foldForSearch(joined(*dark)).find("clipboard"), std::string::npos) << joined(*dark);
    EXPECT_TRUE(blank->empty());
}

TEST(TesseractTextRecognizer, AMissingFileGivesNoLines) {
    TesseractTextRecognizer recognizer;
    QObject context;
    std::optional<std::vector<std::string>> lines;
    recognizer.recognize(std::filesystem::path("/nonexistent/x.png"), &context,
                         [&](std::vector<std::string> r) { lines = std::move(r); });
    QTRY_VERIFY_WITH_TIMEOUT(lines.has_value(), 5000);
    EXPECT_TRUE(lines->empty());
}

// The processor time (clock ticks) the pool's worker threads have spent so far.
long pooledThreadTicks() {
    long ticks = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name, stat;
        std::getline(std::ifstream(task.path() / "comm"), name);
        if (name != "Thread (pooled)") continue;
        std::getline(std::ifstream(task.path() / "stat"), stat);
        // User and system time are the 12th and 13th fields after the name's parenthesis.
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string skipped;
        for (int i = 0; i < 11; ++i) fields >> skipped;
        long user = 0, system = 0;
        fields >> user >> system;
        ticks += user + system;
    }
    return ticks;
}

}  // namespace

TEST(TesseractTextRecognizer, AfterCancelAllNothingIsDeliveredAndNothingRuns) {
    TesseractTextRecognizer recognizer;
    QObject context;
    int delivered = 0;
    // A page of 140 lines keeps the engine busy for seconds: it is stopped between two words.
    recognizer.recognize(harbelle::testing::textPage(), &context, [&](std::vector<std::string>) { ++delivered; });
    recognizer.recognize(harbelle::testing::textPage(), &context, [&](std::vector<std::string>) { ++delivered; });
    // Past the engine's start (some 70 ms a thread): the pages are being read.
    ASSERT_TRUE(QTest::qWaitFor([] { return pooledThreadTicks() >= 40; }, 20000)) << "the recognition never started";
    recognizer.cancelAll();
    recognizer.recognize(rendered("Hello clipboard 42", Qt::black, Qt::white), &context,
                         [&](std::vector<std::string>) { ++delivered; });
    EXPECT_TRUE(recognizer.waitUntilIdle(60000));
    QCoreApplication::sendPostedEvents();  // whatever a worker handed to the main thread
    EXPECT_EQ(delivered, 0);
}
