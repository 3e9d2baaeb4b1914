// Counting characters with a limit looks only at the text's start: it must agree with a walk
// over the whole text, also where a character straddles the examined prefix.
#include <gtest/gtest.h>

#include <QString>
#include <QTextBoundaryFinder>

#include "history/ClipItem.h"
#include "history/ClipKind.h"
#include "history/TextUnits.h"

using namespace harbelle;

namespace {

std::vector<qsizetype> allBoundaries(const QString& text) {
    std::vector<qsizetype> ends;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    for (qsizetype end = finder.toNextBoundary(); end != -1; end = finder.toNextBoundary()) ends.push_back(end);
    return ends;
}

std::string repeated(std::string_view piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += piece;
    return text;
}

}  // namespace

TEST(TextUnits, BoundedCountsAgreeWithTheWholeText) {
    const std::string texts[] = {
        "",
        "plain ascii text that goes on for a while",
        "e\xCC\x81" + repeated("\xCC\x81", 200) + "x",          // one letter with 201 accents, then x
        repeated("\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", 40),           // 40 flags (regional-indicator pairs)
        repeated("\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB", 30),  // woman technologist (ZWJ) sequences
        repeated("\r\n", 50) + "\n\r",
        repeated("\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", 30),       // Hangul L V T syllables
        "\xD8\x80" + repeated("a\xD8\x80", 40),                      // prepended signs
        repeated("\xE0\xA4\x95\xE0\xA5\x8D\xE0\xA4\xB7", 30),       // Devanagari conjuncts
        std::string(5000, 'x') + "\xCC\x81",
    };
    for (const auto& text : texts) {
        const QString decoded = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
        const auto ends = allBoundaries(decoded);
        for (std::size_t limit : {0, 1, 2, 3, 11, 12, 13, 39, 40, 41, 89, 91, 200, 10000}) {
            SCOPED_TRACE(::testing::Message() << "text of " << text.size() << " bytes, limit " << limit);
            const std::size_t expected = std::min(limit, ends.size());
            EXPECT_EQ(textunits::graphemeCount(text, limit), expected);
            EXPECT_EQ(textunits::graphemeCount(decoded, limit), expected);
            const auto prefix = textunits::graphemePrefix(text, limit);
            EXPECT_EQ(prefix.count, expected);
            EXPECT_EQ(prefix.text, decoded.left(expected == 0 ? 0 : ends[expected - 1]));
        }
    }
}

TEST(TextUnits, LongTextsKeepTheirKindsAndTitles) {
    const std::string filler = repeated("plain words here and there\n", 40000);  // ~1 MB
    // Keywords far apart still make code; one keyword needs three whole punctuation marks.
    EXPECT_EQ(clipkind::detect("import os\n" + filler + "return 1"), ClipKind::code);
    EXPECT_EQ(clipkind::detect(filler + "def f"), ClipKind::text);
    EXPECT_EQ(clipkind::detect(filler + "def f(x);"), ClipKind::code);
    EXPECT_EQ(clipkind::detect("def f(\xCC\x81x\xCC\x81);\xCC\x81 " + filler), ClipKind::text)
        << "punctuation carrying a combining mark is another character";
    EXPECT_EQ(clipkind::detect("def " + repeated("(\xCC\x81", 100) + filler + "();"), ClipKind::code)
        << "many doubtful marks fall back to the whole walk";
    EXPECT_EQ(clipkind::detect("\xD8\x80(\xD8\x80)\xD8\x80; def " + filler), ClipKind::text)
        << "a prepended sign joins the mark after it";

    // A one-line megabyte gets the same title as the first 91 characters would.
    const std::string line = repeated("e\xCC\x81", 600000);
    const std::string title = ClipItem::titleFor(line, ClipKind::text);
    EXPECT_EQ(title, repeated("e\xCC\x81", 89) + "\u2026");
    EXPECT_EQ(ClipItem::titleFor(repeated("e\xCC\x81", 90), ClipKind::text), repeated("e\xCC\x81", 90));
}
