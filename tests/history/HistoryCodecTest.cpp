#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

#include "history/HistoryCodec.h"

using namespace harbelle;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

std::string readGolden() {
    std::ifstream in(std::string(HARBELLE_TESTDATA_DIR) + "/history-golden.json", std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

json validRecord() {
    return json{{"id", "3F2504E0-4F89-41D3-9A0C-0305E82C3301"},
                {"createdAt", "2026-12-07T08:00:00Z"},
                {"updatedAt", "2026-12-07T08:00:00Z"},
                {"kind", "text"},
                {"title", "t"},
                {"text", "t"},
                {"searchableText", ""},
                {"sourceAppName", "Unknown"},
                {"fileURLs", json::array()},
                {"isPinned", false},
                {"fingerprint", "f"},
                {"isSensitive", false},
                {"copyCount", 1}};
}

std::string fileWith(const json& record) {
    return json{{"version", 1}, {"items", json::array({validRecord(), record})}}.dump();
}

}  // namespace

TEST(HistoryCodecGolden, DecodesEveryField) {
    const PersistedHistory h = historycodec::decode(readGolden());
    EXPECT_EQ(h.version, 1);
    ASSERT_EQ(h.items.size(), 3u);

    const ClipItem& a = h.items[0];
    EXPECT_EQ(a.id.uppercaseString(), "3F2504E0-4F89-41D3-9A0C-0305E82C3301");
    EXPECT_EQ(a.createdAt, historycodec::parseDate("2026-12-07T08:00:00Z"));
    EXPECT_EQ(historycodec::formatDate(*a.lastReplayedAt), "2026-12-07T09:15:59Z");
    EXPECT_EQ(a.kind, ClipKind::text);
    EXPECT_EQ(a.title, "Café 👩‍👩‍👧 notes");
    EXPECT_EQ(a.text, "Café 👩‍👩‍👧 notes\nSecond line with 🇫🇷 and e\u0301 / slashes");
    EXPECT_EQ(a.richTextData, bytes("{\\rtf1 caf\\u233 ?}"));
    EXPECT_EQ(a.htmlData, bytes("<p>Hello <b>world</b> / café</p>"));
    EXPECT_EQ(a.syncPayloadByteCount, 48213);
    EXPECT_EQ(a.syncPayloadPixelHeight, 1080);
    EXPECT_EQ(a.legacyID, 9007199254740993LL);  // not representable as a double
    EXPECT_EQ(a.importedFrom, "PasteNow");
    EXPECT_TRUE(a.isPinned);
    EXPECT_TRUE(a.isSensitive);
    EXPECT_EQ(a.copyCount, 7);

    const ClipItem& b = h.items[1];
    EXPECT_EQ(b.id.uppercaseString(), "9B2E8F3C-1D4A-4E5B-8C6D-7E8F9A0B1C2D");  // read lower-case
    EXPECT_EQ(b.createdAt, b.updatedAt);  // "+02:00" offset read as the same instant
    EXPECT_FALSE(b.lastReplayedAt);       // null
    EXPECT_FALSE(b.sourceBundleID);       // null
    EXPECT_FALSE(b.sourceDeviceID);       // missing
    EXPECT_EQ(b.fileURLs, (std::vector<std::string>{"/home/ann/Reports/Q4 summary.pdf",
                                                    "/home/ann/Pictures/été.png"}));
    EXPECT_EQ(b.displayTitle(), "Q4 summary.pdf");
    EXPECT_EQ(b.richTextData, bytes("A"));  // Base64 padded by two characters
    EXPECT_EQ(b.htmlData, bytes("AB"));     // and by one

    const ClipItem& c = h.items[2];
    EXPECT_EQ(c.createdAt, Date{});
    EXPECT_EQ(c.richTextData, Bytes{});  // present but empty
    EXPECT_FALSE(c.htmlData);
    EXPECT_EQ(c.legacyID, -5);
    EXPECT_EQ(c.copyCount, 0);
}

TEST(HistoryCodecGolden, RoundTripsAndWritesTheFileForm) {
    const PersistedHistory decoded = historycodec::decode(readGolden());
    const std::string written = historycodec::encode(decoded);
    const PersistedHistory again = historycodec::decode(written);
    EXPECT_EQ(again.version, decoded.version);
    EXPECT_EQ(again.items, decoded.items);
    EXPECT_EQ(historycodec::encode(again), written);  // stable
    // The size the store budgets with is the size written, escapes and all.
    std::uint64_t itemBytes = 0;
    for (const auto& item : decoded.items) itemBytes += historycodec::encodedSize(item);
    EXPECT_EQ(historycodec::encodedSize(decoded.version, decoded.items.size(), itemBytes), written.size());

    EXPECT_NE(written.find("9007199254740993"), std::string::npos);
    EXPECT_NE(written.find("\"9B2E8F3C-1D4A-4E5B-8C6D-7E8F9A0B1C2D\""), std::string::npos);
    EXPECT_NE(written.find("\"/home/ann/Reports/Q4 summary.pdf\""), std::string::npos);
    EXPECT_NE(written.find("👩‍👩‍👧"), std::string::npos);  // UTF-8, not \u escapes
    EXPECT_EQ(written.find("\\/"), std::string::npos);
    EXPECT_EQ(written.find("null"), std::string::npos);
    EXPECT_EQ(written.find("someFutureField"), std::string::npos);
    EXPECT_EQ(written.find('\n'), std::string::npos);  // not pretty-printed
    EXPECT_NE(written.find("\"createdAt\":\"2026-12-06T21:59:59Z\""), std::string::npos);

    // Keys in field order; absent optionals leave no key.
    const auto root = nlohmann::ordered_json::parse(written);
    std::vector<std::string> rootKeys, keys;
    for (const auto& [key, value] : root.items()) rootKeys.push_back(key);
    EXPECT_EQ(rootKeys, (std::vector<std::string>{"version", "items"}));
    for (const auto& [key, value] : root["items"][0].items()) keys.push_back(key);
    const std::vector<std::string> fieldOrder = {
        "id", "createdAt", "updatedAt", "lastReplayedAt", "kind", "title", "text", "searchableText",
        "sourceAppName", "sourceBundleID", "sourceDeviceID", "sourceDeviceName",
        "sourceDevicePlatform", "payloadFilename", "payloadContentType", "syncPayloadFilename",
        "syncPayloadDigest", "syncPayloadByteCount", "syncPayloadPixelWidth", "syncPayloadPixelHeight",
        "syncBlobKey", "fileURLs", "richTextData", "htmlData", "isPinned", "fingerprint",
        "importedFrom", "isSensitive", "legacyPayloadFilename", "legacyID", "copyCount"};
    EXPECT_EQ(keys, fieldOrder);
    keys.clear();
    for (const auto& [key, value] : root["items"][1].items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "createdAt", "updatedAt", "kind", "title", "text",
                                              "searchableText", "sourceAppName", "fileURLs", "richTextData",
                                              "htmlData", "isPinned", "fingerprint", "isSensitive", "copyCount"}));
}

TEST(HistoryCodecGolden, InMemoryClipsRoundTripExceptSubSeconds) {
    ClipItem clip;
    clip.createdAt = Date{1'780'000'000s + 999ms};
    clip.updatedAt = Date{1'780'000'000s};
    clip.text = "<a href=\"https://example.com/x\">x</a> \"quotes\" \\ tab\t \x01 nul";
    clip.text.push_back('\0');
    clip.legacyID = std::numeric_limits<std::int64_t>::min();
    clip.syncPayloadByteCount = std::numeric_limits<std::int64_t>::max();
    clip.htmlData = Bytes{0, 255, 128, 10};
    const PersistedHistory h{1, {clip}};
    const ClipItem back = historycodec::decode(historycodec::encode(h)).items.at(0);
    EXPECT_FALSE(back == clip);  // the fraction of a second is lost
    EXPECT_EQ(back.createdAt, Date{1'780'000'000s});
    ClipItem whole = clip;
    whole.createdAt = Date{1'780'000'000s};
    EXPECT_EQ(back, whole);
}

TEST(HistoryCodecGolden, EncodingOddStringsNeverThrows) {
    ClipItem clip;
    clip.text = std::string("broken \xff\xfe utf-8 \xc3");
    clip.sourceBundleID = std::string("\xed\xa0\x80");  // an encoded surrogate
    std::string written;
    ASSERT_NO_THROW(written = historycodec::encode({1, {clip}}));
    const ClipItem back = historycodec::decode(written).items.at(0);
    EXPECT_EQ(back.text, "broken \uFFFD\uFFFD utf-8 \uFFFD");
}

TEST(HistoryCodecOptionals, NullAndMissingBothDecodeToAbsent) {
    const char* optionalKeys[] = {"lastReplayedAt", "sourceBundleID", "syncPayloadByteCount",
                                  "richTextData", "htmlData", "legacyID", "importedFrom"};
    for (const char* key : optionalKeys) {
        SCOPED_TRACE(key);
        json record = validRecord();
        record[key] = nullptr;
        const auto withNull = historycodec::decode(fileWith(record)).items.at(1);
        const auto missing = historycodec::decode(fileWith(validRecord())).items.at(1);
        EXPECT_EQ(withNull, missing);
        EXPECT_EQ(historycodec::encode({1, {withNull}}).find(key), std::string::npos);
    }
    json wrongType = validRecord();
    wrongType["sourceBundleID"] = 5;
    EXPECT_THROW(historycodec::decode(fileWith(wrongType)), HistoryDecodeError);
}

TEST(HistoryCodecOptionals, UnknownKeysAreSkippedWhateverTheyHold) {
    // Ignored values may hold keys that look like fields; none of them may leak into the clip.
    const json decoy = json::parse(R"({"copyCount":"bad","items":5,"kind":null,"fileURLs":[1],
                                       "version":[],"nested":[[{"id":3}]]})");
    json record = validRecord();
    record["futureObject"] = decoy;
    record["futureArray"] = json::array({decoy, nullptr, 1.5, -3});
    record["futureNull"] = nullptr;
    record["futureHuge"] = 18446744073709551615ULL;
    json root{{"before", decoy}, {"version", 1}, {"items", json::array({record})}, {"after", 2.5}};
    const auto h = historycodec::decode(root.dump());
    ASSERT_EQ(h.items.size(), 1u);
    EXPECT_EQ(h.items[0], historycodec::decode(fileWith(validRecord())).items.at(1));

    // Nested ignored values are skipped up to the depth limit; deeper nesting makes the file
    // unreadable, as a damaged one.
    const auto nested = [](int depth) {
        return R"({"version":1,"x":)" + std::string(depth, '[') + std::string(depth, ']') + R"(,"items":[]})";
    };
    EXPECT_TRUE(historycodec::decode(nested(63)).items.empty());
    EXPECT_THROW(historycodec::decode(nested(64)), HistoryDecodeError);
    EXPECT_THROW(historycodec::decode(nested(100000)), HistoryDecodeError);
}

TEST(HistoryCodecGolden, WriterEscapesOnlyWhatJsonNeeds) {
    ClipItem clip;
    clip.title = std::string("q\" b\\ s/ \x01 \x1f \x7f \t\n\r\b\f é");
    clip.text = std::string("\xed\xa0\x80|\xf4\x90\x80\x80|\xe2\x82|\xc0\xaf");
    const std::string written = historycodec::encode({1, {clip}});
    EXPECT_NE(written.find(R"("title":"q\" b\\ s/ \u0001 \u001f )" "\x7f" R"( \t\n\r\b\f é")"),
              std::string::npos) << written;
    // One U+FFFD per maximal ill-formed subsequence.
    EXPECT_EQ(historycodec::decode(written).items.at(0).text,
              "\uFFFD\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD\uFFFD|\uFFFD|\uFFFD\uFFFD");
}

// Whatever mix of plain text, escapes and UTF-8 a string holds, and wherever the writer's
// pieces end, each character is written as JSON escapes it and reads back unchanged.
TEST(HistoryCodecGolden, EveryStringIsWrittenAsItsJsonEscapeAndReadsBack) {
    std::string everyControl;
    for (int c = 0; c < 0x20; ++c) everyControl += char(c);
    everyControl += "\x7f\"\\/";
    std::string eachPlaceInAWord;
    for (int k = 0; k <= 16; ++k) eachPlaceInAWord += std::string(k, 'a') + "\"" + std::string(16 - k, 'b') + "\n";
    std::string controlHeavy;
    for (int i = 0; i < 5000; ++i) controlHeavy += std::string(1, char(1 + i % 31)) + (i % 7 ? "x" : "€");
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"every control character", everyControl},
        {"an escape at each place of an eight-byte word", eachPlaceInAWord},
        {"control-heavy text", controlHeavy},
        {"UTF-8 between escapes", "\x01é\x02€\x1f𝄞\t\"z"},
        {"a long plain run, then an escape", std::string(1000, 'p') + "\x1f"},
    };
    for (const auto& [name, text] : cases) {
        ClipItem clip;
        clip.text = text;
        for (const std::size_t piece : {std::size_t{64}, std::size_t{8} << 20}) {
            std::string written;
            historycodec::encode({1, {clip}}, [&](std::string_view part) {
                written.append(part);
                return true;
            }, piece);
            EXPECT_NE(written.find("\"text\":" + json(text).dump() + ","), std::string::npos) << name << ", " << piece;
            EXPECT_EQ(written.size(), historycodec::encodedSize(1, 1, historycodec::encodedSize(clip))) << name;
            EXPECT_EQ(historycodec::decode(written).items.at(0).text, text) << name << ", " << piece;
        }
    }
}

TEST(HistoryCodecBadFiles, EachFailsAsAWholeWithAReason) {
    auto item = [](std::function<void(json&)> change) {
        json record = validRecord();
        change(record);
        return fileWith(record);
    };
    struct Case {
        const char* name;
        std::string file;
        std::vector<std::string> reason;  // fragments the message must hold
    } cases[] = {
        {"missing copyCount", item([](json& r) { r.erase("copyCount"); }), {"item 1", "missing key \"copyCount\""}},
        {"missing id", item([](json& r) { r.erase("id"); }), {"item 1", "\"id\""}},
        {"null kind", item([](json& r) { r["kind"] = nullptr; }), {"item 1", "\"kind\"", "null"}},
        {"unknown kind", item([](json& r) { r["kind"] = "video"; }), {"\"kind\"", "video"}},
        {"fractional date", item([](json& r) { r["createdAt"] = "2026-12-07T08:00:00.5Z"; }), {"\"createdAt\""}},
        {"date without zone", item([](json& r) { r["updatedAt"] = "2026-12-07T08:00:00"; }), {"\"updatedAt\""}},
        {"date as number", item([](json& r) { r["createdAt"] = 1780000000; }), {"\"createdAt\""}},
        {"Boolean as 1", item([](json& r) { r["isPinned"] = 1; }), {"\"isPinned\"", "Boolean"}},
        {"integer as 1.0", item([](json& r) { r["copyCount"] = 1.0; }), {"\"copyCount\"", "integer"}},
        {"integer as \"1\"", item([](json& r) { r["copyCount"] = "1"; }), {"\"copyCount\"", "integer"}},
        {"integer as true", item([](json& r) { r["legacyID"] = true; }), {"\"legacyID\"", "integer"}},
        {"integer too large", item([](json& r) { r["legacyID"] = 9223372036854775808ULL; }), {"\"legacyID\""}},
        {"bad Base64", item([](json& r) { r["richTextData"] = "not base64!"; }), {"\"richTextData\"", "Base64"}},
        {"bad id", item([](json& r) { r["id"] = "not-a-uuid"; }), {"\"id\""}},
        {"fileURLs with a number", item([](json& r) { r["fileURLs"] = json::array({"/a", 2}); }), {"\"fileURLs\""}},
        {"record not an object", json{{"version", 1}, {"items", json::array({validRecord(), 5})}}.dump(), {"item 1"}},
        {"missing version", json{{"items", json::array()}}.dump(), {"missing key \"version\""}},
        {"version not integer", json{{"version", "1"}, {"items", json::array()}}.dump(), {"\"version\"", "integer"}},
        {"version fractional", json{{"version", 1.5}, {"items", json::array()}}.dump(), {"\"version\""}},
        {"missing items", json{{"version", 1}}.dump(), {"missing key \"items\""}},
        {"items not an array", json{{"version", 1}, {"items", json::object()}}.dump(), {"\"items\"", "array"}},
        {"root not an object", "[1,2]", {"object"}},
        {"truncated JSON", historycodec::encode({1, {ClipItem{}}}).substr(0, 60), {"invalid JSON"}},
        {"empty input", "", {"invalid JSON"}},
        {"invalid UTF-8", "{\"version\":1,\"items\":[],\"x\":\"\xff\xfe\"}", {"invalid JSON"}},
        {"overlong UTF-8", "{\"version\":1,\"items\":[],\"x\":\"\xc0\xaf\"}", {"invalid JSON"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            historycodec::decode(c.file);
            ADD_FAILURE() << "decoded";
        } catch (const HistoryDecodeError& e) {
            for (const auto& fragment : c.reason)
                EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
        }
    }
}

TEST(HistoryCodecBadFiles, VersionValueIsNotExamined) {
    EXPECT_EQ(historycodec::decode(R"({"version":42,"items":[]})").version, 42);
    EXPECT_TRUE(historycodec::decode(R"({"items":[],"version":-1})").items.empty());
}

TEST(HistoryCodecDates, WholeSecondUtcForm) {
    EXPECT_EQ(historycodec::formatDate(Date{}), "1970-01-01T00:00:00Z");
    EXPECT_EQ(historycodec::formatDate(Date{1'796'630'400s + 999'999'999ns}), "2026-12-07T08:00:00Z");
    EXPECT_EQ(historycodec::formatDate(Date{-1ms}), "1969-12-31T23:59:59Z");  // truncated downwards
    EXPECT_EQ(historycodec::formatDate(Date{951'782'400s}), "2000-02-29T00:00:00Z");

    EXPECT_EQ(historycodec::parseDate("2026-12-07T08:00:00Z"), Date{1'796'630'400s});
    EXPECT_EQ(historycodec::parseDate("2026-12-07T10:30:00+02:30"), Date{1'796'630'400s});
    EXPECT_EQ(historycodec::parseDate("2026-12-06T23:00:00-09:00"), Date{1'796'630'400s});
    EXPECT_EQ(historycodec::parseDate("1969-12-31T23:59:59Z"), Date{-1s});

    const char* rejected[] = {
        "2026-12-07T08:00:00.000Z", "2026-12-07T08:00:00,5Z", "2026-12-07T08:00:00",
        "2026-12-07 08:00:00Z",     "2026-12-07t08:00:00z",   "2026-12-07T08:00Z",
        "2026-13-07T08:00:00Z",     "2026-02-29T08:00:00Z",   "2026-12-07T24:00:00Z",
        "2026-12-07T08:60:00Z",     "2026-12-07T08:00:60Z",   "2026-12-07T08:00:00+0200",
        "2026-12-07T08:00:00+24:00", "20261207T080000Z",      "+2026-12-07T08:00:00Z",
        "9999-12-31T23:59:59Z",  // beyond the clock's range
        "2026-12-07T08:00:00Z ",    "",
    };
    for (const char* text : rejected) EXPECT_FALSE(historycodec::parseDate(text)) << text;
}

TEST(HistoryCodecBase64, StandardPaddedAndStrict) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="}, {"\xfb\xff", "+/8="}};
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(historycodec::base64Encode(bytes(plain)), encoded);
        EXPECT_EQ(historycodec::base64Decode(encoded), bytes(plain)) << encoded;
    }
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(historycodec::base64Decode(historycodec::base64Encode(all)), all);

    const char* rejected[] = {"Zg", "Zg=", "Z===", "Zm9v\n", " Zm9v", "Zm=v", "Zm9-", "Zm9_",
                              "=Zm9", "Zg==Zg==", "Zm9vYg==="};
    for (const char* text : rejected) EXPECT_FALSE(historycodec::base64Decode(text)) << text;
}

TEST(HistoryCodecBadFiles, WholeFileIsCheckedEvenWhereNothingIsRead) {
    // Damage inside values the reader ignores still makes the file unreadable, as it would a
    // strict parser; odd but valid JSON there is skipped.
    const auto withIgnored = [](const std::string& value) {
        return R"({"version":1,"x":)" + value + R"(,"items":[]})";
    };
    const std::pair<std::string, bool> cases[] = {
        {withIgnored("tru"), false},
        {withIgnored("01"), false},
        {withIgnored("[1,2"), false},
        {withIgnored("{\"a\" 1}"), false},
        {withIgnored("NaN"), false},
        {withIgnored("\"tab\there\""), false},  // control characters must be escaped
        {withIgnored("\"\\ud800\""), false},    // lone surrogate
        {withIgnored("\"\\x41\""), false},
        {withIgnored("1e400"), false},
        {R"({"version":1,"items":[]} {})", false},  // something after the document
        {R"({"version":1,"items":[]},)", false},
        {withIgnored("123456789012345678901234567890"), true},
        {withIgnored("-9223372036854775809"), true},
        {withIgnored("\"\\ud83d\\ude42 \\u00e9 \\/\""), true},
        {withIgnored("-0.0e-2"), true},
        {" \n\t" + withIgnored("[]") + "\n ", true},
    };
    for (const auto& [file, readable] : cases) {
        SCOPED_TRACE(file);
        if (readable) {
            EXPECT_NO_THROW(historycodec::decode(file));
        } else {
            EXPECT_THROW(historycodec::decode(file), HistoryDecodeError);
        }
    }
}

TEST(HistoryCodecBadFiles, ReadInPlaceStopsAtTheEnd) {
    // The buffer past the text holds the rest of a valid file: a truncated read must not see it.
    const std::string whole = fileWith(validRecord());
    for (const std::size_t cut : {whole.size() - 1, whole.size() - 2, whole.size() / 2}) {
        SCOPED_TRACE(cut);
        std::string buffer = whole;
        buffer.reserve(whole.size() + 128);
        EXPECT_THROW(historycodec::decode(std::string_view(buffer).substr(0, cut), buffer.capacity() - cut),
                     HistoryDecodeError);
    }
    std::string buffer = whole;
    buffer.reserve(whole.size() + 64);
    EXPECT_EQ(historycodec::decode(buffer, buffer.capacity() - buffer.size()).items,
              historycodec::decode(whole).items);
}

TEST(HistoryCodecDecoding, NumbersEscapesAndRepeatedKeys) {
    json record = validRecord();
    record["title"] = "tab\t nul";
    record["title"].get_ref<std::string&>().push_back('\0');
    record["text"] = "\xF0\x9F\x99\x82 caf\xC3\xA9 \"q\" \\ /";
    std::string file = fileWith(record);
    // Escaped forms a writer other than ours may use.
    const std::string plain = R"("searchableText":"")";
    file.replace(file.rfind(plain), plain.size(), R"("searchableText":"\ud83d\ude42\u00e9\/\n")");
    const ClipItem clip = historycodec::decode(file).items.at(1);
    EXPECT_EQ(clip.title, std::string("tab\t nul") + '\0');
    EXPECT_EQ(clip.text, "\xF0\x9F\x99\x82 caf\xC3\xA9 \"q\" \\ /");
    EXPECT_EQ(clip.searchableText, "\xF0\x9F\x99\x82\xC3\xA9/\n");

    const std::pair<std::string, std::optional<std::int64_t>> numbers[] = {
        {"0", 0}, {"-0", 0}, {"-1", -1}, {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"9223372036854775808", std::nullopt}, {"18446744073709551616", std::nullopt},
        {"1e2", std::nullopt}, {"2.0", std::nullopt}, {"-9223372036854775809", std::nullopt},
    };
    for (const auto& [text, expected] : numbers) {
        SCOPED_TRACE(text);
        std::string withNumber = fileWith(validRecord());
        const std::string count = R"("copyCount":1)";
        withNumber.replace(withNumber.rfind(count), count.size(), "\"copyCount\":" + text);
        if (expected) {
            EXPECT_EQ(historycodec::decode(withNumber).items.at(1).copyCount, *expected);
        } else {
            EXPECT_THROW(historycodec::decode(withNumber), HistoryDecodeError);
        }
    }

    // A repeated key: the last value counts; a null after a value still refuses a required one.
    std::string twice = fileWith(validRecord());
    const std::string count = R"("copyCount":1)";
    twice.replace(twice.rfind(count), count.size(), R"("copyCount":1,"copyCount":5)");
    EXPECT_EQ(historycodec::decode(twice).items.at(1).copyCount, 5);
    std::string nulled = fileWith(validRecord());
    nulled.replace(nulled.rfind(count), count.size(), R"("copyCount":1,"copyCount":null)");
    EXPECT_THROW(historycodec::decode(nulled), HistoryDecodeError);
}

TEST(HistoryCodecDecoding, LargeListsKeepFileOrderAndReportTheFirstBadRecord) {
    // Large enough to be read in parts.
    constexpr int kCount = 20'000;
    json items = json::array();
    for (int i = 0; i < kCount; ++i) {
        json record = validRecord();
        record["id"] = Uuid().uppercaseString();
        record["copyCount"] = i;
        items.push_back(record);
    }
    const auto decoded = historycodec::decode(json{{"version", 1}, {"items", items}}.dump());
    ASSERT_EQ(decoded.items.size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(decoded.items[i].copyCount, i);
        ASSERT_EQ(decoded.items[i].id.uppercaseString(), items[i]["id"].get<std::string>());
    }

    // Bad records in several parts: the message names the first in file order.
    const std::pair<std::vector<int>, std::string> cases[] = {
        {{19'999, 12'000, 7'000}, "item 7000: "},
        {{15'000, 10'001}, "item 10001: "},
        {{19'999}, "item 19999: "},
        {{0, 19'999}, "item 0: "},
    };
    for (const auto& [bad, message] : cases) {
        SCOPED_TRACE(message);
        json damaged = items;
        for (const int index : bad) damaged[index].erase("fingerprint");
        try {
            historycodec::decode(json{{"version", 1}, {"items", damaged}}.dump());
            ADD_FAILURE() << "decoded";
        } catch (const HistoryDecodeError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(message, 0), 0u) << e.what();
        }
    }
    // Indices go on across a repeated "items" key.
    const std::string twice = R"({"version":1,"items":[)" + validRecord().dump() + R"(],"items":[)" +
                              validRecord().dump() + "," + json::object().dump() + "]}";
    EXPECT_THROW(
        {
            try {
                historycodec::decode(twice);
            } catch (const HistoryDecodeError& e) {
                EXPECT_EQ(std::string(e.what()).rfind("item 2: ", 0), 0u) << e.what();
                throw;
            }
        },
        HistoryDecodeError);
}

// A large history is encoded on several threads: the file is the one a single thread writes,
// byte for byte, and a sink that stops the write stops it.
TEST(HistoryCodecEncoding, SeveralThreadsWriteTheFileOneThreadWrites) {
    PersistedHistory history{1, {}};
    for (int i = 0; i < 20'000; ++i) {
        ClipItem clip;
        clip.text = std::to_string(i) + std::string(std::size_t(i % 97), char(i % 128)) + "\xC3\xA9\xFF";
        clip.title = clip.text.substr(0, 8);
        if (i % 1000 == 0) clip.richTextData = bytes(std::string(std::size_t(i) * 7, 'r'));
        if (i == 9'000 || i == 9'001 || i == 19'999) clip.text = std::string(std::size_t{3} << 20, char(i % 32));
        history.items.push_back(std::move(clip));
    }
    const auto encoded = [&](std::size_t threads, std::size_t stopAfter = 0) {
        std::string out;
        std::size_t pieces = 0;
        historycodec::encode(history, [&](std::string_view piece) {
            out.append(piece);
            return stopAfter == 0 || ++pieces < stopAfter;
        }, std::size_t{1} << 20, threads);
        return out;
    };
    const std::string single = encoded(1);
    EXPECT_EQ(encoded(4), single);
    EXPECT_EQ(encoded(0), single);
    EXPECT_EQ(historycodec::decode(single).items.size(), history.items.size());
    EXPECT_THROW(encoded(4, 3), historycodec::EncodingStopped);
}
