#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

#include "history/ClipList.h"
#include "history/HistoryCodec.h"

using namespace harbelle;

namespace {

const std::string kDigest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

ClipItem roundTrip(const ClipItem& clip) { return historycodec::decode(historycodec::encode({1, {clip}})).items.at(0); }

}  // namespace

TEST(ClipCompactFields, AbsentAndEmptyStayApartThroughSaveAndLoad) {
    ClipItem absent;
    ClipItem empty;
    empty.payloadFilename = std::string();
    empty.importedFrom = "";
    empty.htmlData = Bytes{};
    empty.legacyID = 0;
    EXPECT_FALSE(absent.payloadFilename.has_value());
    EXPECT_TRUE(empty.payloadFilename.has_value());
    EXPECT_NE(absent.payloadFilename, empty.payloadFilename);

    const ClipItem absentBack = roundTrip(absent);
    const ClipItem emptyBack = roundTrip(empty);
    EXPECT_EQ(absentBack, absent);
    EXPECT_EQ(emptyBack, empty);
    EXPECT_FALSE(absentBack.importedFrom);
    ASSERT_TRUE(emptyBack.importedFrom);
    EXPECT_EQ(*emptyBack.importedFrom, "");
    ASSERT_TRUE(emptyBack.htmlData);
    EXPECT_TRUE(emptyBack.htmlData->empty());
    EXPECT_EQ(emptyBack.legacyID.value_or(-1), 0);
    EXPECT_EQ(absentBack.legacyID.value_or(-1), -1);
}

TEST(ClipCompactFields, CopiesAreDeepAndEqualityIsByValue) {
    ClipItem a;
    a.syncBlobKey = "blob";
    a.richTextData = Bytes{1, 2, 3};
    ClipItem b = a;
    EXPECT_EQ(a, b);
    *b.syncBlobKey += "-changed";
    b.richTextData->push_back(4);
    EXPECT_EQ(*a.syncBlobKey, "blob");
    EXPECT_EQ(a.richTextData->size(), 3u);
    EXPECT_NE(a, b);

    b = a;
    EXPECT_EQ(a, b);
    b.syncBlobKey = std::nullopt;
    EXPECT_NE(a, b);
    EXPECT_EQ(b.syncBlobKey, std::nullopt);
    EXPECT_THROW((void)b.syncBlobKey.value(), std::bad_optional_access);

    // Read through a std::optional, as older callers do.
    const std::optional<std::string> viewed = a.syncBlobKey;
    EXPECT_EQ(viewed, std::optional<std::string>("blob"));
    EXPECT_TRUE(a.syncBlobKey == viewed);
}

TEST(ClipCompactFields, FingerprintTextsReadBackExactly) {
    const std::string upper = "0123456789ABCDEF0123456789abcdef0123456789abcdef0123456789abcdef";
    const std::string cases[] = {kDigest, upper, kDigest.substr(1), kDigest + "0", "", "legacy-fp",
                                 std::string(64, 'g')};
    for (const auto& text : cases) {
        SCOPED_TRACE(text);
        ClipItem clip;
        clip.fingerprint = text;
        EXPECT_EQ(clip.fingerprint.str(), text);
        EXPECT_EQ(clip.fingerprint.size(), text.size());
        EXPECT_EQ(clip.fingerprint.empty(), text.empty());
        EXPECT_TRUE(clip.fingerprint == text);
        const ClipItem back = roundTrip(clip);
        EXPECT_EQ(back.fingerprint.str(), text);
        EXPECT_EQ(back, clip);
    }
    // A digest differing in case is another fingerprint, as the text was.
    EXPECT_FALSE(Fingerprint(kDigest) == Fingerprint(std::string(kDigest).replace(10, 1, "A")));
    EXPECT_FALSE(Fingerprint(kDigest) == Fingerprint(std::string(kDigest).replace(63, 1, "e")));
}

TEST(ClipCompactFields, FingerprintAssignmentsSwitchBetweenForms) {
    Fingerprint fp;
    fp = kDigest;
    fp = "short";
    EXPECT_EQ(fp.str(), "short");
    fp = kDigest;
    EXPECT_EQ(fp.str(), kDigest);
    Fingerprint moved = std::move(fp);
    EXPECT_EQ(moved.str(), kDigest);
    Fingerprint copy("other");
    copy = moved;
    EXPECT_EQ(copy, moved);
    EXPECT_EQ(copy.hash(), Fingerprint(kDigest).hash());
    std::unordered_set<std::string> seen;
    EXPECT_TRUE(seen.insert(copy).second);
    EXPECT_FALSE(seen.insert(moved).second);
}

TEST(ClipCompactFields, ListFindsClipsByEitherFingerprintForm) {
    ClipItem digest;
    digest.fingerprint = kDigest;
    ClipItem odd;
    odd.fingerprint = "imported:42";
    ClipList list{digest, odd};
    EXPECT_EQ(list.indexOfFingerprint(kDigest), 0u);
    EXPECT_EQ(list.indexOfFingerprint("imported:42"), 1u);
    EXPECT_EQ(list.indexOfFingerprint(std::string(kDigest).replace(0, 1, "1")), list.size());
    EXPECT_EQ(list.indexOfIDOrFingerprint(Uuid::random(), "imported:42"), 1u);
}
