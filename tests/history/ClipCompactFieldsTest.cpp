#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "history/ClipList.h"
#include "history/HistoryCodec.h"

using namespace harbelle;

namespace {

const std::string kDigest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::string digestWith(std::size_t at, char c) {
    std::string text = kDigest;
    text[at] = c;
    return text;
}

ClipItem roundTrip(const ClipItem& clip) { return historycodec::decode(historycodec::encode({1, {clip}})).items.at(0); }

}  // namespace

TEST(ClipCompactFields, AbsentAndEmptyStayApartThroughSaveAndLoad) {
    ClipItem absent;
    ClipItem empty;
    empty.importedFrom = "";
    empty.htmlData = Bytes{};
    empty.legacyID = 0;
    EXPECT_NE(absent, empty);
    const ClipItem absentBack = roundTrip(absent);
    const ClipItem emptyBack = roundTrip(empty);
    EXPECT_EQ(absentBack, absent);
    EXPECT_EQ(emptyBack, empty);
    EXPECT_FALSE(absentBack.importedFrom);
    ASSERT_TRUE(emptyBack.importedFrom && emptyBack.htmlData);
    EXPECT_EQ(*emptyBack.importedFrom, "");
    EXPECT_EQ(emptyBack.legacyID.value_or(-1), 0);
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
    b.syncBlobKey = std::nullopt;
    EXPECT_NE(a, b);
    EXPECT_THROW((void)b.syncBlobKey.value(), std::bad_optional_access);
    const std::optional<std::string> viewed = a.syncBlobKey;  // as callers taking std::optional see it
    EXPECT_TRUE(a.syncBlobKey == viewed);
}

TEST(ClipCompactFields, FingerprintTextsReadBackExactlyWhicheverFormHeldThem) {
    const std::string upper = "0123456789ABCDEF0123456789abcdef0123456789abcdef0123456789abcdef";
    const std::string cases[] = {kDigest, upper, kDigest.substr(1), kDigest + "0", "", "legacy-fp",
                                 std::string(64, 'g')};
    Fingerprint reused("start");  // assigned every form in turn
    for (const auto& text : cases) {
        SCOPED_TRACE(text);
        ClipItem clip;
        clip.fingerprint = text;
        reused = text;
        EXPECT_EQ(reused.str(), text);
        EXPECT_EQ(clip.fingerprint.size(), text.size());
        EXPECT_TRUE(clip.fingerprint == text);
        EXPECT_EQ(clip.fingerprint.hash(), Fingerprint(text).hash());
        EXPECT_EQ(roundTrip(clip).fingerprint.str(), text);
    }
    EXPECT_FALSE(Fingerprint(kDigest) == Fingerprint(digestWith(10, 'A')));
    EXPECT_FALSE(Fingerprint(kDigest) == Fingerprint(digestWith(63, 'e')));
}

TEST(ClipCompactFields, ListFindsClipsByEitherFingerprintForm) {
    ClipItem digest;
    digest.fingerprint = kDigest;
    ClipItem odd;
    odd.fingerprint = "imported:42";
    ClipList list{digest, odd};
    EXPECT_EQ(list.indexOfFingerprint(kDigest), 0u);
    EXPECT_EQ(list.indexOfFingerprint("imported:42"), 1u);
    EXPECT_EQ(list.indexOfFingerprint(digestWith(0, '1')), list.size());
    EXPECT_EQ(list.indexOfIDOrFingerprint(Uuid::random(), "imported:42"), 1u);
}

TEST(ClipCompactFields, OriginTextsReadBackPerClipAndRunsOfOneDeviceShareTheirs) {
    struct Origin {
        std::optional<std::string> device, bundle;
    };
    const Origin origins[] = {{"Desk", "org.a"}, {"Desk", "org.a"}, {"Laptop", "org.a"}, {std::nullopt, "org.b"},
                              {"Desk", std::nullopt}, {"", ""}, {"Desk", "org.b"}};
    std::vector<ClipItem> clips;
    for (const auto& origin : origins) {
        ClipItem clip;
        clip.sourceDeviceName = origin.device;
        clip.sourceDeviceID = origin.device;
        clip.sourceBundleID = origin.bundle;
        clips.push_back(clip);
    }
    const auto back = historycodec::decode(historycodec::encode({1, clips})).items;
    ASSERT_EQ(back.size(), clips.size());
    for (std::size_t i = 0; i < clips.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(back[i], clips[i]);
        EXPECT_TRUE(back[i].sourceDeviceName == origins[i].device);
        EXPECT_TRUE(back[i].sourceBundleID == origins[i].bundle);
    }
    EXPECT_EQ(&*back[0].sourceDeviceName, &*back[1].sourceDeviceName);
    EXPECT_EQ(&*back[0].sourceBundleID, &*back[2].sourceBundleID);

    ClipItem copy = back[0];  // a copy given a text of its own leaves the others theirs
    copy.sourceDeviceName = "Renamed";
    EXPECT_EQ(*back[1].sourceDeviceName, "Desk");
    copy.sourceDeviceName.reset();
    EXPECT_TRUE(copy.sourceDeviceName == std::nullopt);
    EXPECT_EQ(*back[0].sourceDeviceName, "Desk");
}
