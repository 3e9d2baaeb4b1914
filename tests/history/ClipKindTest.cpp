#include <gtest/gtest.h>

#include "history/ClipKind.h"
#include "history/ShelfPlacement.h"

using namespace harbelle;

TEST(ClipKind, RawValuesLabelsAndSymbolsRoundTrip) {
    const char* raws[] = {"text", "link", "image", "file", "code", "color"};
    const char* labels[] = {"Text", "Link", "Image", "File", "Code", "Color"};
    for (std::size_t i = 0; i < clipkind::allCases.size(); ++i) {
        const ClipKind kind = clipkind::allCases[i];
        EXPECT_EQ(clipkind::rawValue(kind), raws[i]);
        EXPECT_EQ(clipkind::label(kind), labels[i]);
        EXPECT_EQ(clipkind::fromRawValue(raws[i]), kind);
    }
    EXPECT_EQ(clipkind::symbol(ClipKind::code), "chevron.left.forwardslash.chevron.right");
    EXPECT_EQ(clipkind::symbol(ClipKind::color), "paintpalette");
    EXPECT_FALSE(clipkind::fromRawValue("video"));
    EXPECT_FALSE(clipkind::fromRawValue("Text"));
    EXPECT_FALSE(clipkind::fromRawValue(""));
}

struct DetectCase {
    const char* text;
    ClipKind expected;
};

TEST(ClipKind, DetectsKindsFromText) {
    const DetectCase cases[] = {
        {"", ClipKind::text},
        {"  \n\t\r\n  ", ClipKind::text},
        // links
        {"  https://example.com/path?q=1  \n", ClipKind::link},
        {"HTTPS://EXAMPLE.COM/A", ClipKind::link},
        {"http://localhost:8080", ClipKind::link},
        {"https:///path-with-empty-host", ClipKind::link},
        {"ftp://example.com/file", ClipKind::text},
        {"https://example.com\nmore text", ClipKind::text},
        {"mailto:ann@example.com", ClipKind::text},
        {"https:no-authority", ClipKind::text},
        {"https://exa mple.com", ClipKind::text},
        {"example.com", ClipKind::text},
        // colours
        {"#fff", ClipKind::color},
        {"#A1B2C3", ClipKind::color},
        {" #a1b2c3d4 ", ClipKind::color},
        {"#ffff", ClipKind::text},
        {"#fffff", ClipKind::text},
        {"A1B2C3", ClipKind::text},
        {"#ggg", ClipKind::text},
        {"#fff #fff", ClipKind::text},
        // code
        {"let x = 1", ClipKind::text},                 // one keyword but under 12 characters
        {"let value = compute()", ClipKind::text},     // one keyword, two punctuation
        {"let value = compute(x);", ClipKind::code},   // one keyword, four punctuation
        {"import Foundation\nstruct Point {}", ClipKind::code},
        {"SELECT name FROM users", ClipKind::code},
        {"select name from users where id = 1", ClipKind::text},
        {"#!/bin/sh\necho hi; exit 0", ClipKind::text},  // one keyword, one punctuation
        {"(a) => [b]; c", ClipKind::code},
        // A bracket carrying a combining mark is another character.
        {"let x = f(\u0301)\u0301;\u0301 g", ClipKind::text},
    };
    for (const auto& c : cases)
        EXPECT_EQ(clipkind::detect(c.text), c.expected) << "text: \"" << c.text << "\"";
}

TEST(ClipKind, CodeMinimumCountsCharactersNotBytes) {
    // Two keywords; the family emoji is one character of 18 bytes.
    EXPECT_EQ(clipkind::detect("let var 👩‍👩‍👧ab"), ClipKind::text);   // 11 characters
    EXPECT_EQ(clipkind::detect("let var 👩‍👩‍👧abc"), ClipKind::code);  // 12 characters
    EXPECT_EQ(clipkind::detect("let var e\u0301\u0301\u0301\u0301x"), ClipKind::text);  // 10
}

TEST(ClipKind, WebURLIsTheTrimmedAddress) {
    EXPECT_EQ(clipkind::webURL("\t https://example.com/a?b=c#d \n"), "https://example.com/a?b=c#d");
    EXPECT_FALSE(clipkind::webURL("https://example.com/a b"));
    EXPECT_FALSE(clipkind::webURL("www.example.com"));
    EXPECT_FALSE(clipkind::webURL(""));
}

TEST(ShelfPlacement, RawValuesAreExactAndOrdered) {
    std::vector<std::string_view> placements, modes;
    for (auto p : shelfplacement::allCases) placements.push_back(shelfplacement::rawValue(p));
    for (auto m : shelfsizemode::allCases) modes.push_back(shelfsizemode::rawValue(m));
    EXPECT_EQ(placements, (std::vector<std::string_view>{"bottom", "top", "left", "right"}));
    EXPECT_EQ(modes, (std::vector<std::string_view>{"compact", "medium", "full", "custom"}));

    for (auto p : shelfplacement::allCases)
        EXPECT_EQ(shelfplacement::fromRawValue(shelfplacement::rawValue(p)), p);
    for (auto m : shelfsizemode::allCases)
        EXPECT_EQ(shelfsizemode::fromRawValue(shelfsizemode::rawValue(m)), m);
    EXPECT_FALSE(shelfplacement::fromRawValue("Bottom"));
    EXPECT_FALSE(shelfplacement::fromRawValue(""));
    EXPECT_FALSE(shelfplacement::fromRawValue("custom"));
    EXPECT_EQ(shelfsizemode::fromRawValue("custom"), ShelfSizeMode::custom);
    EXPECT_FALSE(shelfsizemode::fromRawValue("Full"));
    EXPECT_TRUE(shelfplacement::isVertical(ShelfPlacement::left));
    EXPECT_FALSE(shelfplacement::isVertical(ShelfPlacement::top));
}
