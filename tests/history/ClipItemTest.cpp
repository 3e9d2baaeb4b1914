#include <gtest/gtest.h>

#include <QString>

#include <functional>

#include "history/ClipItem.h"

using namespace harbelle;
using namespace std::chrono_literals;

namespace {

std::string repeat(std::string_view unit, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += unit;
    return out;
}

bool isValidUtf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())).toStdString() == s;
}

ClipItem fullClip() {
    ClipItem c;
    c.createdAt = Date{1'800'000'000s};
    c.updatedAt = Date{1'800'000'100s};
    c.lastReplayedAt = Date{1'800'000'200s};
    c.kind = ClipKind::text;
    c.title = "t";
    c.text = "x";
    c.searchableText = "s";
    c.sourceAppName = "App";
    c.sourceBundleID = "b";
    c.sourceDeviceID = "d";
    c.sourceDeviceName = "n";
    c.sourceDevicePlatform = "p";
    c.payloadFilename = "f.png";
    c.payloadContentType = "image/png";
    c.syncPayloadFilename = "s.jpg";
    c.syncPayloadDigest = "dg";
    c.syncPayloadByteCount = 1;
    c.syncPayloadPixelWidth = 2;
    c.syncPayloadPixelHeight = 3;
    c.syncBlobKey = "k";
    c.fileURLs = {"/a"};
    c.richTextData = Bytes{1};
    c.htmlData = Bytes{2};
    c.isPinned = true;
    c.fingerprint = "fp";
    c.importedFrom = "src";
    c.isSensitive = true;
    c.legacyPayloadFilename = "l";
    c.legacyID = 4;
    c.copyCount = 5;
    return c;
}

}  // namespace

TEST(ClipTitle, FirstNonEmptyLineTrimmedOrLabel) {
    struct Case {
        std::string text;
        ClipKind kind;
        std::string expected;
    } cases[] = {
        {"hello", ClipKind::text, "hello"},
        {"\n   word   \nsecond", ClipKind::text, "word"},
        {"\r\n\r\n\tword\r\nnext", ClipKind::text, "word"},
        {"\u2028\u2029\u0085\v\fword\u2028next", ClipKind::text, "word"},
        {"   \nsecond", ClipKind::text, "Text"},  // the first non-empty line holds only blanks
        {"", ClipKind::code, "Code"},
        {"\n\n", ClipKind::color, "Color"},
        {"\u00a0nbsp trimmed\u3000", ClipKind::text, "nbsp trimmed"},
        {"a\tb", ClipKind::text, "a\tb"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ClipItem::titleFor(c.text, c.kind), c.expected) << "text: \"" << c.text << "\"";
}

TEST(ClipTitle, LongLinesAreCutByCharacters) {
    EXPECT_EQ(ClipItem::titleFor(repeat("a", 200), ClipKind::text), repeat("a", 89) + "…");
    EXPECT_EQ(ClipItem::titleFor(repeat("a", 90), ClipKind::text), repeat("a", 90));
    EXPECT_EQ(ClipItem::titleFor(repeat("a", 91), ClipKind::text), repeat("a", 89) + "…");
    EXPECT_EQ(ClipItem::titleFor(repeat("a", 100) + "\nrest", ClipKind::code), repeat("a", 89) + "…");

    // Multi-byte characters are never split and count once each.
    const char* units[] = {"👩‍👩‍👧", "🇫🇷", "e\u0301", "é", "👍🏽", "\u0915\u094d\u0937"};
    for (const char* unit : units) {
        SCOPED_TRACE(unit);
        const std::string cut = ClipItem::titleFor(repeat(unit, 91), ClipKind::text);
        EXPECT_EQ(cut, repeat(unit, 89) + "…");
        EXPECT_TRUE(isValidUtf8(cut));
        EXPECT_EQ(ClipItem::titleFor(repeat(unit, 90), ClipKind::text), repeat(unit, 90));
    }
    // A byte-length cut would land inside these flags; the title keeps 89 whole ones.
    const std::string flags = ClipItem::titleFor(repeat("🇯🇵", 150) + " tail", ClipKind::text);
    EXPECT_EQ(flags, repeat("🇯🇵", 89) + "…");
}

TEST(ClipTitle, LinkTitleIsHostWithoutLeadingWww) {
    const std::string longPath = "https://www.example.com/" + repeat("segment/", 40);
    EXPECT_EQ(ClipItem::titleFor(longPath, ClipKind::link), "example.com");
    EXPECT_EQ(ClipItem::titleFor("  https://docs.example.org/a?b  \n", ClipKind::link), "docs.example.org");
    // Only a leading "www." label goes; one inside the host is part of its name.
    EXPECT_EQ(ClipItem::titleFor("https://mywww.example.com/", ClipKind::link), "mywww.example.com");
    EXPECT_EQ(ClipItem::titleFor("https://shop.www.example.com", ClipKind::link), "shop.www.example.com");
    EXPECT_EQ(ClipItem::titleFor("https://www.www.example.com", ClipKind::link), "www.example.com");
    // No host: titled by the first line.
    EXPECT_EQ(ClipItem::titleFor("not a url\nsecond", ClipKind::link), "not a url");
    EXPECT_EQ(ClipItem::titleFor("", ClipKind::link), "Link");
    // Only link clips are titled by host.
    EXPECT_EQ(ClipItem::titleFor("https://www.example.com", ClipKind::text), "https://www.example.com");
}

TEST(ClipTitle, InvalidUtf8NeverLeaksIntoTitle) {
    const std::string bad = std::string("ab\xff\xfe") + repeat("c", 100);
    EXPECT_TRUE(isValidUtf8(ClipItem::titleFor(bad, ClipKind::text)));
    EXPECT_TRUE(isValidUtf8(ClipItem::titleFor("x\xc3", ClipKind::text)));
}

TEST(ClipItem, DisplayTitleFallbacks) {
    ClipItem c;
    c.title = "   ";
    c.kind = ClipKind::image;
    EXPECT_EQ(c.displayTitle(), "Copied image");
    c.kind = ClipKind::file;
    c.title = "";
    c.fileURLs = {"/tmp/a.txt", "/tmp/b"};
    EXPECT_EQ(c.displayTitle(), "a.txt");
    c.fileURLs = {"/tmp/folder/"};
    EXPECT_EQ(c.displayTitle(), "folder");
    c.fileURLs = {};
    EXPECT_EQ(c.displayTitle(), "Copied file");
    c.kind = ClipKind::code;
    EXPECT_EQ(c.displayTitle(), "Untitled clip");
    c.kind = ClipKind::text;
    c.title = "\n  Shown  \t";
    EXPECT_EQ(c.displayTitle(), "Shown");
}

TEST(ClipItem, RecencyDateIgnoresReplayBeforeCreation) {
    ClipItem c;
    c.createdAt = Date{1000s};
    EXPECT_EQ(c.recencyDate(), Date{1000s});
    c.lastReplayedAt = Date{999s};
    EXPECT_EQ(c.recencyDate(), Date{1000s});
    c.lastReplayedAt = Date{1000s};
    EXPECT_EQ(c.recencyDate(), Date{1000s});
    c.lastReplayedAt = Date{2000s};
    EXPECT_EQ(c.recencyDate(), Date{2000s});
}

TEST(ClipItem, FingerprintVectors) {
    // SHA-256 of "textabc".
    EXPECT_EQ(ClipItem::makeFingerprint(ClipKind::text, "abc", {}, std::nullopt, nullptr),
              "079c78de91949fcda96e4e0c8427e71e4dc90fe78da365a3340a247df7053ff8");
    EXPECT_EQ(ClipItem::makeFingerprint(ClipKind::link, "abc", {}, std::nullopt, nullptr),
              "637e387b1536df8ffd3d7995ba42860be9df2ded42efddc53ae0d4963278f540");
    // "file", "/a\n/b", "/a", U+001F, "/b".
    EXPECT_EQ(ClipItem::makeFingerprint(ClipKind::file, "/a\n/b", {"/a", "/b"}, std::nullopt, nullptr),
              "aa6569bcadf7241b3d58274afdec033a4650bfbacf185568086ac0a182b1459c");
    // "image" followed by the payload bytes; the payload name takes no part.
    const Bytes png{0x89, 'P', 'N', 'G'};
    const auto image = ClipItem::makeFingerprint(ClipKind::image, "", {}, std::string("a.png"), &png);
    EXPECT_EQ(image, "09a545dae083fe51059bf5688b2421b8b06991258823fd457897571351a138fb");
    EXPECT_EQ(ClipItem::makeFingerprint(ClipKind::image, "", {}, std::string("other.png"), &png), image);
    EXPECT_EQ(ClipItem::makeFingerprint(ClipKind::image, "", {}, std::nullopt, &png), image);
    EXPECT_EQ(ClipItem::makeFingerprint(ClipKind::image, "", {}, std::string("a.png"), nullptr),
              "6105d6cc76af400325e94d588ce511be5bfdbb73b437dc51eca43917d7a43e3d");
}

TEST(ClipItem, EqualityCoversEveryStoredField) {
    const ClipItem base = fullClip();
    ClipItem copy = base;
    EXPECT_EQ(copy, base);

    const std::vector<std::function<void(ClipItem&)>> changes = {
        [](ClipItem& c) { c.id = Uuid::random(); },
        [](ClipItem& c) { c.createdAt += 1ns; },
        [](ClipItem& c) { c.updatedAt += 1s; },
        [](ClipItem& c) { c.lastReplayedAt.reset(); },
        [](ClipItem& c) { c.kind = ClipKind::code; },
        [](ClipItem& c) { c.title += "!"; },
        [](ClipItem& c) { c.text += "!"; },
        [](ClipItem& c) { c.searchableText += "!"; },
        [](ClipItem& c) { c.sourceAppName += "!"; },
        [](ClipItem& c) { c.sourceBundleID.reset(); },
        [](ClipItem& c) { c.sourceDeviceID = "other"; },
        [](ClipItem& c) { c.sourceDeviceName = "other"; },
        [](ClipItem& c) { c.sourceDevicePlatform = "other"; },
        [](ClipItem& c) { c.payloadFilename = "other"; },
        [](ClipItem& c) { c.payloadContentType = "other"; },
        [](ClipItem& c) { c.syncPayloadFilename = "other"; },
        [](ClipItem& c) { c.syncPayloadDigest = "other"; },
        [](ClipItem& c) { c.syncPayloadByteCount = 99; },
        [](ClipItem& c) { c.syncPayloadPixelWidth = 99; },
        [](ClipItem& c) { c.syncPayloadPixelHeight = 99; },
        [](ClipItem& c) { c.syncBlobKey = "other"; },
        [](ClipItem& c) { c.fileURLs.push_back("/b"); },
        [](ClipItem& c) { c.richTextData = Bytes{}; },
        [](ClipItem& c) { c.htmlData.reset(); },
        [](ClipItem& c) { c.isPinned = false; },
        [](ClipItem& c) { c.fingerprint = "other"; },
        [](ClipItem& c) { c.importedFrom = "other"; },
        [](ClipItem& c) { c.isSensitive = false; },
        [](ClipItem& c) { c.legacyPayloadFilename = "other"; },
        [](ClipItem& c) { c.legacyID = 5; },
        [](ClipItem& c) { c.copyCount = 6; },
    };
    ASSERT_EQ(changes.size(), 31u);
    for (std::size_t i = 0; i < changes.size(); ++i) {
        ClipItem changed = base;
        changes[i](changed);
        EXPECT_FALSE(changed == base) << "field #" << i + 1 << " is not compared";
    }
}
