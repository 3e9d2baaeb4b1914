#include <gtest/gtest.h>

#include "platform/Pasteboard.h"

using namespace harbelle;

TEST(PasteboardTypes, URIListsGiveLocalFilePathsOnly) {
    const std::string list =
        "# copied\r\nfile:///home/u/a%20b.txt\r\nhttps://example.com/x\r\nfile://otherhost/etc/passwd\r\n"
        "file://localhost/tmp/%C3%A9\r\n\r\nnot a url\r\n";
    EXPECT_EQ(filePathsFromURIList(list), (std::vector<std::string>{"/home/u/a b.txt", "/tmp/\xC3\xA9"}));
    EXPECT_EQ(entriesFromURIList("a\n#b\n  c \r\n").size(), 2u);
    EXPECT_EQ(fileURLString("/tmp/a b#c"), "file:///tmp/a%20b%23c");
    EXPECT_EQ(filePathsFromURIList(fileURLString("/tmp/a b#c%d")), (std::vector<std::string>{"/tmp/a b#c%d"}));
}

TEST(PasteboardTypes, InvalidUTF8IsReplacedAndValidTextKept) {
    EXPECT_EQ(sanitizedUTF8("caf\xC3\xA9 \xF0\x9F\x98\x80"), "caf\xC3\xA9 \xF0\x9F\x98\x80");
    EXPECT_EQ(sanitizedUTF8("a\xFF" "b\xC3"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    EXPECT_EQ(sanitizedUTF8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD") << "surrogates are invalid";
}

TEST(PasteboardTypes, PlainTextAliasesAndProtocolTargets) {
    for (const char* alias : {"text/plain", "UTF8_STRING", "text/plain;charset=utf-8"})
        EXPECT_TRUE(pasteboardtype::isPlainTextAlias(alias)) << alias;
    EXPECT_FALSE(pasteboardtype::isPlainTextAlias("text/html"));
    for (const char* target : {"TARGETS", "MULTIPLE", "TIMESTAMP", "SAVE_TARGETS"})
        EXPECT_TRUE(pasteboardtype::isSelectionProtocolTarget(target)) << target;
    EXPECT_FALSE(pasteboardtype::isSelectionProtocolTarget("text/plain"));
}
