#include <gtest/gtest.h>

#include <QObject>

#include "history/ImageTextRecognition.h"
#include "support/FakeTextRecognizer.h"

using namespace harbelle;
using harbelle::testing::FakeTextRecognizer;

namespace {

TEST(ImageTextRecognition, StoresTheLinesJoinedInTheClipFoundById) {
    FakeTextRecognizer recognizer;
    recognizer.linesForFile["/p/A.png"] = {"INVOICE 4711", "PAID", "thanks"};
    std::vector<ClipItem> values(3);
    values[1].kind = ClipKind::image;
    ClipList items(values);
    const Uuid id = items[1].id;
    QObject context;
    int saves = 0;
    ImageTextRecognition::recognizeText(recognizer, "/p/A.png", id, &context,
                                        [&](const Uuid& found, const std::string& text) {
                                            if (ImageTextRecognition::applyRecognizedText(items, found, text)) ++saves;
                                        });
    // The list changes while recognition runs; the clip is found by id.
    items.insert(items.begin(), ClipItem{});
    EXPECT_EQ(recognizer.finishAll(), 1);
    EXPECT_EQ(items[2].searchableText, "INVOICE 4711\nPAID\nthanks");
    EXPECT_EQ(saves, 1);
}

TEST(ImageTextRecognition, NoTextOrNoClipChangesNothing) {
    FakeTextRecognizer recognizer;
    ClipList items(std::vector<ClipItem>(1));
    QObject context;
    int calls = 0, saves = 0;
    auto apply = [&](const Uuid& found, const std::string& text) {
        ++calls;
        if (ImageTextRecognition::applyRecognizedText(items, found, text)) ++saves;
    };
    ImageTextRecognition::recognizeText(recognizer, "/p/blank.png", items[0].id, &context, apply);
    recognizer.finishAll();
    EXPECT_EQ(calls, 0) << "an image without text is left alone";

    recognizer.linesForFile["/p/deleted.png"] = {"words"};
    ImageTextRecognition::recognizeText(recognizer, "/p/deleted.png", Uuid::random(), &context, apply);
    recognizer.finishAll();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(saves, 0) << "a clip deleted meanwhile is not saved for";
    EXPECT_TRUE(items[0].searchableText.empty());
}

TEST(ImageTextRecognition, AGoneContextDropsTheResult) {
    FakeTextRecognizer recognizer;
    recognizer.linesForFile["/p/A.png"] = {"words"};
    int calls = 0;
    {
        QObject context;
        ImageTextRecognition::recognizeText(recognizer, "/p/A.png", Uuid::random(), &context,
                                            [&](const Uuid&, const std::string&) { ++calls; });
    }
    EXPECT_EQ(recognizer.finishAll(), 0);
    EXPECT_EQ(calls, 0);
}

}  // namespace
