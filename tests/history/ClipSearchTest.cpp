#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <atomic>
#include <chrono>
#include <random>

#include "history/ChunkRunner.h"
#include "history/ClipFilter.h"
#include "history/ClipItemSearchFolder.h"
#include "support/ClipBuilder.h"

using namespace harbelle;
using harbelle::testing::ClipBuilder;

namespace {

ClipItem clip(const std::string& text, ClipKind kind = ClipKind::text, std::string title = {}) {
    return ClipBuilder(text, kind).title(std::move(title)).fingerprint("fp-" + text);
}

std::vector<std::string> texts(const std::vector<ClipItem>& items) {
    std::vector<std::string> out;
    for (const auto& item : items) out.push_back(item.text);
    return out;
}

std::vector<std::string> search(const std::vector<ClipItem>& items, std::string_view query,
                                ClipFilter filter = ClipFilter::all,
                                std::optional<std::string> device = std::nullopt) {
    return texts(filterItems(items, filter, device, query));
}

}  // namespace

TEST(ClipFilterCases, RawValuesRoundTripAndTextAdmitsCodeAndColour) {
    for (ClipFilter filter : clipfilter::allCases)
        EXPECT_EQ(clipfilter::fromRawValue(clipfilter::rawValue(filter)), filter);
    EXPECT_EQ(clipfilter::rawValue(ClipFilter::favorites), "favorites");
    EXPECT_FALSE(clipfilter::fromRawValue("Text").has_value());
    EXPECT_FALSE(clipfilter::fromRawValue("code").has_value());

    std::vector<ClipItem> items{clip("plain"), clip("let x = 1;", ClipKind::code),
                                clip("#ff8800", ClipKind::color), clip("https://a.example", ClipKind::link),
                                clip("", ClipKind::image)};
    items[3].isPinned = true;
    EXPECT_EQ(search(items, "", ClipFilter::text),
              (std::vector<std::string>{"plain", "let x = 1;", "#ff8800"}));
    EXPECT_EQ(countFor(items, ClipFilter::text, std::nullopt), 3);
    EXPECT_EQ(countFor(items, ClipFilter::links, std::nullopt), 1);
    EXPECT_EQ(countFor(items, ClipFilter::images, std::nullopt), 1);
    EXPECT_EQ(countFor(items, ClipFilter::files, std::nullopt), 0);
    EXPECT_EQ(countFor(items, ClipFilter::favorites, std::nullopt), 1);
    EXPECT_EQ(countFor(items, ClipFilter::all, std::nullopt), 5);
}

TEST(SearchFolding, IgnoresCaseAndDiacriticsBothWays) {
    EXPECT_EQ(foldForSearch("CAFÉ"), "cafe");
    EXPECT_EQ(foldForSearch("Cafe\u0301"), "cafe");  // decomposed input folds the same
    EXPECT_EQ(foldForSearch("ÅNGSTRÖM Ñandú"), "angstrom nandu");
    // Hangul decomposes into letters, not marks: it must survive folding whole.
    EXPECT_EQ(foldForSearch("한국어"), "한국어");
    // Non-ASCII runs inside ASCII text, and letters that fold to ASCII or to another form.
    EXPECT_EQ(foldForSearch("xÉCOLEx \u212A ΣΊΣΥΦΟΣ σίσυφος"), "xecolex k σισυφοσ σισυφοσ");

    std::vector<ClipItem> items{clip("un café noir"), clip("Cafe au lait"), clip("tea")};
    EXPECT_EQ(search(items, "CAFE"), (std::vector<std::string>{"un café noir", "Cafe au lait"}));
    EXPECT_EQ(search(items, "café"), (std::vector<std::string>{"un café noir", "Cafe au lait"}));
}

TEST(SearchTokens, SplitAtAnyWhiteSpaceAndDropEmptyTokens) {
    EXPECT_EQ(searchTokens("  Red\tBLUE\n\r\ngreen\u00A0cyan\u3000mauve\u2028x  "),
              (std::vector<std::string>{"red", "blue", "green", "cyan", "mauve", "x"}));
    EXPECT_TRUE(searchTokens(" \n\t ").empty());
    EXPECT_TRUE(searchTokens("").empty());

    std::vector<ClipItem> items{clip("one"), clip("two", ClipKind::link)};
    EXPECT_EQ(search(items, " \n "), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(search(items, "\n", ClipFilter::links), (std::vector<std::string>{"two"}));
}

TEST(SearchMatching, EveryTokenMustOccurInAnyOrderAndInsideWords) {
    std::vector<ClipItem> items{clip("blue and red"), clip("only red here"), clip("Redundant bluebird")};
    EXPECT_EQ(search(items, "red blue"),
              (std::vector<std::string>{"blue and red", "Redundant bluebird"}));
    EXPECT_EQ(search(items, "red red"), (std::vector<std::string>{"blue and red", "only red here",
                                                                  "Redundant bluebird"}));
    EXPECT_TRUE(search(items, "red purple").empty());
}

TEST(SearchBlob, JoinsEightFieldsWithBlanksAndLeavesOutTheBundleID) {
    ClipItem item = clip("", ClipKind::file, "Report");
    item.sourceAppName = "Files";
    item.sourceBundleID = "org.gnome.Nautilus";
    item.fileURLs = {"/tmp/a.txt", "/tmp/B.pdf"};
    // Empty text, searchable text and device fields still contribute their blanks.
    EXPECT_EQ(item.searchBlob(), "report   files   file /tmp/a.txt /tmp/b.pdf");

    item.sourceDeviceName = "Zoë's iPhone";
    item.sourceDevicePlatform = "iOS";
    item.searchableText = "Scanned";
    EXPECT_EQ(item.searchBlob(), "report  scanned files zoe's iphone ios file /tmp/a.txt /tmp/b.pdf");

    std::vector<ClipItem> items{item};
    EXPECT_TRUE(search(items, "nautilus").empty());
    EXPECT_EQ(search(items, "ZOE IOS b.pdf").size(), 1u);
}

TEST(SearchMatching, TokensMayMatchAcrossFieldsAndTheJoiningBlank) {
    std::vector<ClipItem> items{clip("world peace", ClipKind::text, "Hello")};
    EXPECT_EQ(items[0].foldedSearchBlob().rfind("hello world", 0), 0u);
    EXPECT_EQ(search(items, "hello world").size(), 1u);
    EXPECT_EQ(search(items, "lo wor").size(), 1u);
}

TEST(SearchMatching, KindLabelsAreSearchable) {
    std::vector<ClipItem> items{clip("", ClipKind::image, "Screenshot"), clip("x = 1", ClipKind::code),
                                clip("holiday photo")};
    EXPECT_EQ(search(items, "image").size(), 1u);
    EXPECT_EQ(search(items, "image")[0], "");
    EXPECT_EQ(search(items, "CODE"), (std::vector<std::string>{"x = 1"}));
    EXPECT_EQ(search(items, "text"), (std::vector<std::string>{"holiday photo"}));
}

TEST(SearchDeviceFilter, LegacyKeysAndTheEmptyIdentifierAreDistinct) {
    ClipItem local = clip("local");
    ClipItem synced = clip("synced");
    synced.sourceAppName = "Synced";
    ClipItem emptyID = clip("empty id");
    emptyID.sourceDeviceID = "";
    ClipItem phone = clip("phone");
    phone.sourceDeviceID = "ios_1";
    phone.sourceAppName = "Synced";
    std::vector<ClipItem> items{local, synced, emptyID, phone};

    EXPECT_EQ(search(items, "", ClipFilter::all, "legacy_local_mac"), (std::vector<std::string>{"local"}));
    EXPECT_EQ(search(items, "", ClipFilter::all, "legacy_synced_device"),
              (std::vector<std::string>{"synced"}));
    EXPECT_EQ(search(items, "", ClipFilter::all, ""), (std::vector<std::string>{"empty id"}));
    EXPECT_EQ(search(items, "", ClipFilter::all, "ios_1"), (std::vector<std::string>{"phone"}));
    EXPECT_TRUE(search(items, "", ClipFilter::all, "IOS_1").empty());
}

TEST(SearchCounts, IgnoreTheQueryButHonourTheDeviceFilter) {
    ClipItem a = clip("apple");
    ClipItem b = clip("banana");
    b.sourceDeviceID = "mac_other";
    ClipItem c = clip("cherry", ClipKind::code);
    std::vector<ClipItem> items{a, b, c};

    EXPECT_EQ(search(items, "apple").size(), 1u);
    EXPECT_EQ(countFor(items, ClipFilter::text, std::nullopt), 3);
    EXPECT_EQ(countFor(items, ClipFilter::text, std::string("legacy_local_mac")), 2);
    EXPECT_EQ(countFor(items, ClipFilter::text, std::string("mac_other")), 1);
    EXPECT_EQ(countFor(items, ClipFilter::links, std::string("mac_other")), 0);
    EXPECT_EQ(filterIndices(items, ClipFilter::all, std::nullopt, "an"), (std::vector<std::size_t>{1}));

    // All chips' counts in one pass agree with each filter counted alone.
    items[2].isPinned = true;
    items.push_back(clip("https://a.example", ClipKind::link));
    for (const auto& device : {std::optional<std::string>(), std::optional<std::string>("mac_other"),
                               std::optional<std::string>("legacy_local_mac")}) {
        const FilterCounts counts = countsFor(items, device);
        for (std::size_t i = 0; i < clipfilter::allCases.size(); ++i)
            EXPECT_EQ(counts[i], countFor(items, clipfilter::allCases[i], device)) << i;
    }
    EXPECT_EQ(countsFor(items, std::nullopt), (FilterCounts{4, 1, 3, 1, 0, 0}));
}

TEST(SearchCache, RefoldsWhenTheClipChanges) {
    ClipItem item = clip("first words");
    EXPECT_NE(item.foldedSearchBlob().find("first"), std::string::npos);

    // A copy shares the folded text until one of them changes.
    ClipItem copy = item;
    copy.text = "other words";
    copy.fingerprint = "fp-other";
    EXPECT_NE(copy.foldedSearchBlob().find("other"), std::string::npos);
    EXPECT_NE(item.foldedSearchBlob().find("first"), std::string::npos);

    // Recognised text arrives without a new fingerprint.
    item.searchableText = "Invoice";
    EXPECT_NE(item.foldedSearchBlob().find("invoice"), std::string::npos);

    // A copy arriving again from another application of the same name length.
    item.sourceAppName = "Safari";
    EXPECT_NE(item.foldedSearchBlob().find("safari"), std::string::npos);
    item.sourceAppName = "Chrome";
    EXPECT_NE(item.foldedSearchBlob().find("chrome"), std::string::npos);
    EXPECT_EQ(item.foldedSearchBlob().find("safari"), std::string::npos);

    item.kind = ClipKind::code;
    EXPECT_NE(item.foldedSearchBlob().find("code"), std::string::npos);
    item.fileURLs = {"/x"};
    EXPECT_NE(item.foldedSearchBlob().find("/x"), std::string::npos);
    item.sourceDeviceName = "Desk";
    EXPECT_NE(item.foldedSearchBlob().find("desk"), std::string::npos);

    // Unchanged clips hand back the very same folded text.
    const std::string* before = &item.foldedSearchBlob();
    EXPECT_EQ(before, &item.foldedSearchBlob());
}

TEST(SearchMatching, AgreesWithAPlainSubstringSearchAtEveryPosition) {
    // Blobs of many lengths, tokens at every offset: catches slips at block and tail edges.
    // Text in both cases, searched where it is (nothing folded is kept for ASCII).
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> letter(0, 3);
    for (int round = 0; round < 300; ++round) {
        std::string text;
        const int length = round % 90;
        for (int i = 0; i < length; ++i) text += static_cast<char>((i % 3 == 0 ? 'A' : 'a') + letter(rng));
        ClipItem item = clip(text);
        const std::string blob = item.searchBlob();
        for (int tokenLength = 1; tokenLength <= 5; ++tokenLength) {
            std::string token;
            for (int i = 0; i < tokenLength; ++i) token += static_cast<char>('a' + letter(rng));
            const bool expected = blob.find(token) != std::string::npos;
            EXPECT_EQ(matchesFilter(item, ClipFilter::all, std::nullopt, {token}), expected)
                << "blob \"" << blob << "\" token \"" << token << "\"";
        }
        // The very end of the blob (the kind label) and a token longer than the blob.
        EXPECT_TRUE(matchesFilter(item, ClipFilter::all, std::nullopt, {"text "}));
        EXPECT_FALSE(matchesFilter(item, ClipFilter::all, std::nullopt, {blob + "x"}));
        EXPECT_TRUE(matchesFilter(item, ClipFilter::all, std::nullopt, {blob}));
    }
}

TEST(SearchLargeHistory, SharedScanFindsWhatOneThreadFindsInListOrder) {
    // Large enough for the scan to be shared; matches fall at chunk edges and the very ends.
    std::vector<ClipItem> values;
    for (int i = 0; i < 20'011; ++i)
        values.push_back(clip((i % 7 == 0 ? "alpha " : "beta ") + std::to_string(i) + (i % 641 == 0 ? " edge" : "")));
    const ClipList items(values);
    const std::vector<std::string> queries{"alpha", "edge", "beta 1", "alpha edge", "20010", "nothing here"};
    for (int round = 0; round < 3; ++round)  // again with every folded text cached
        for (const auto& query : queries) {
            std::vector<std::size_t> expected;
            const auto tokens = searchTokens(query);
            for (std::size_t i = 0; i < items.size(); ++i)
                if (matchesFilter(items[i], ClipFilter::all, std::nullopt, tokens)) expected.push_back(i);
            EXPECT_EQ(filterIndices(items, ClipFilter::all, std::nullopt, query), expected) << query;
            const ClipList found = filterItems(items, ClipFilter::all, std::nullopt, query);
            ASSERT_EQ(found.size(), expected.size()) << query;
            for (std::size_t i = 0; i < expected.size(); ++i)
                ASSERT_EQ(found.shared(i), items.shared(expected[i])) << query << " at " << i;
        }
}

TEST(SearchLargeHistory, ACallerPastItsShareGetsEveryRangeDoneWhileTheHelpersAreBusy) {
    // Each outer range runs an inner scan that leaves everything to the helpers, from threads
    // that are those very helpers: only the caller's own rescue can finish it.
    std::atomic<int> innerRanges{0};
    runInChunks(4, 4, 4, [&](std::size_t, std::size_t, std::size_t) {
        runInChunks(
            8, 4, 8, [&](std::size_t, std::size_t, std::size_t) { ++innerRanges; }, std::chrono::microseconds(0));
    });
    EXPECT_EQ(innerRanges.load(), 32);
}

TEST(SearchBackgroundFold, FindsFoldedTextBeforeAndAfterTheWorkerFoldedIt) {
    // The last folds to itself but for case: it is searched where it is, with nothing kept.
    const std::vector<ClipItem> values{clip("Crème brûlée"), clip("ÉCOLE Ñandú"), clip("Plain words"),
                                       clip("Σίσυφος"), clip("Notes 한국어…", ClipKind::text, "Notes…")};
    const std::vector<std::pair<std::string, std::vector<std::size_t>>> cases{
        {"creme BRULEE", {0}}, {"ecole", {1}}, {"nandu", {1}}, {"plain", {2}}, {"ΣΙΣΥΦΟΣ", {3}},
        {"brûlée ecole", {}},  {"NOTES 한국어…", {4}}, {"s…", {4}}};
    ClipList list(values);
    ClipItemSearchFolder folder([&] { return list; }, nullptr);
    const auto waitIdle = [&] {
        QDeadlineTimer deadline(30'000);
        while (!folder.idle() && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    };
    // Before the worker ran (each search folds what it meets), on a copy of its own.
    const ClipList early(values);
    for (const auto& [query, expected] : cases)
        EXPECT_EQ(filterIndices(early, ClipFilter::all, std::nullopt, query), expected) << query;

    folder.listChanged();
    waitIdle();
    for (const auto& item : list) EXPECT_TRUE(item.searchIsReady()) << item.text;
    for (const auto& [query, expected] : cases)
        EXPECT_EQ(filterIndices(list, ClipFilter::all, std::nullopt, query), expected) << query;

    // A clip added later, and one edited, are folded too.
    list.insert(list.begin(), clip("Über"));
    list.mutableAt(1).text = "Crème fraîche";
    list.mutableAt(1).fingerprint = "fp-fraiche";
    folder.listChanged();
    waitIdle();
    EXPECT_TRUE(list[0].searchIsReady());
    EXPECT_TRUE(list[1].searchIsReady());
    EXPECT_EQ(filterIndices(list, ClipFilter::all, std::nullopt, "uber"), (std::vector<std::size_t>{0}));
    EXPECT_EQ(filterIndices(list, ClipFilter::all, std::nullopt, "fraiche"), (std::vector<std::size_t>{1}));
}
