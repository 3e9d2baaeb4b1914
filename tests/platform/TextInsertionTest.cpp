#include <gtest/gtest.h>

#include "platform/TextInsertion.h"

using namespace harbelle;

TEST(TextInsertion, LengthUnitFollowsTheToolkit) {
    EXPECT_EQ(insertionLengthUnit("Qt"), TextLengthUnit::utf16Units);
    EXPECT_EQ(insertionLengthUnit("QT"), TextLengthUnit::utf16Units);
    EXPECT_EQ(insertionLengthUnit("GTK"), TextLengthUnit::utf8Bytes);
    EXPECT_EQ(insertionLengthUnit("gtk"), TextLengthUnit::utf8Bytes);
    EXPECT_EQ(insertionLengthUnit(""), TextLengthUnit::utf8Bytes);

    const std::string text = "a\u00e9\u2713\U0001F600";  // 1 + 2 + 3 + 4 bytes
    EXPECT_EQ(textLength(text, TextLengthUnit::utf8Bytes), 10);
    EXPECT_EQ(textLength(text, TextLengthUnit::utf16Units), 5);  // the emoji is a surrogate pair
    EXPECT_EQ(textLength("", TextLengthUnit::utf16Units), 0);
}

TEST(TextInsertion, ReplacesOnlyTheSelection) {
    const auto plan = planInsertion(TextRange{6, 11}, 11, "Harbelle \u2713", TextLengthUnit::utf8Bytes);
    EXPECT_EQ(plan, (InsertionPlan{TextRange{6, 11}, 6, 12}));
    // A selection made backwards is the same range.
    EXPECT_EQ(planInsertion(TextRange{11, 6}, 6, "x", TextLengthUnit::utf8Bytes),
              (InsertionPlan{TextRange{6, 11}, 6, 1}));
}

TEST(TextInsertion, InsertsAtTheCaretWithoutSelection) {
    EXPECT_EQ(planInsertion(std::nullopt, 4, "ab", TextLengthUnit::utf8Bytes), (InsertionPlan{std::nullopt, 4, 2}));
    EXPECT_EQ(planInsertion(TextRange{3, 3}, 3, "ab", TextLengthUnit::utf8Bytes),
              (InsertionPlan{std::nullopt, 3, 2}));
    // No caret reported (or a negative one): the start of the field, never a negative offset.
    EXPECT_EQ(planInsertion(std::nullopt, std::nullopt, "ab", TextLengthUnit::utf8Bytes).position, 0);
    EXPECT_EQ(planInsertion(std::nullopt, -1, "ab", TextLengthUnit::utf8Bytes).position, 0);
}

// A rich field's paragraphs come as U+FFFC each, found by their character offset.
TEST(TextInsertion, EmbeddedObjectsReadAsTheirOwnText) {
    const std::string object = "\uFFFC";
    const auto paragraphs = [](int offset) -> std::optional<std::string> {
        if (offset == 0) return "A first line";
        if (offset == 3) return "abc\u2713";
        return std::nullopt;  // an object that cannot be read stays as it is
    };
    EXPECT_EQ(withEmbeddedObjectsExpanded(object + "\u00e9x" + object + object, paragraphs),
              "A first line\u00e9xabc\u2713" + object);
    EXPECT_EQ(withEmbeddedObjectsExpanded("plain \u2713", paragraphs), "plain \u2713");
    EXPECT_FALSE(holdsEmbeddedObjects("plain \u2713"));
    EXPECT_TRUE(holdsEmbeddedObjects("a" + object));
}
