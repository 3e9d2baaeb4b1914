#include <gtest/gtest.h>

#include <random>

#include "legacyimport/LegacyArchive.h"
#include "legacyimport/PropertyList.h"
#include "support/PasteNowTestDatabase.h"

namespace harbelle {
namespace {

using testing::PasteNowTestDatabase;

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// A binary property list from encoded objects: one-byte references when they fit, offsets
// wide enough for the object area.
Bytes binaryPlist(const std::vector<Bytes>& objects, std::size_t padding = 0) {
    const std::size_t refSize = objects.size() < 256 ? 1 : objects.size() < 65536 ? 2 : 3;
    Bytes out = bytes("bplist00");
    std::vector<std::uint64_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(out.size());
        out.insert(out.end(), object.begin(), object.end());
    }
    out.insert(out.end(), padding, 0);
    const std::uint64_t tableOffset = out.size();
    const int offsetSize = tableOffset < 256 ? 1 : tableOffset < 65536 ? 2 : 4;
    for (auto offset : offsets)
        for (int i = offsetSize - 1; i >= 0; --i) out.push_back(std::uint8_t(offset >> (8 * i)));
    Bytes trailer(32, 0);
    trailer[6] = std::uint8_t(offsetSize);
    trailer[7] = std::uint8_t(refSize);
    for (int i = 0; i < 8; ++i) {
        trailer[8 + i] = std::uint8_t(std::uint64_t(objects.size()) >> (8 * (7 - i)));
        trailer[24 + i] = std::uint8_t(tableOffset >> (8 * (7 - i)));
    }
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
}

// An array of `refs` with references of `refSize` bytes.
Bytes arrayObject(const std::vector<std::uint64_t>& refs, std::size_t refSize) {
    Bytes object;
    if (refs.size() < 15) {
        object.push_back(std::uint8_t(0xA0 | refs.size()));
    } else {
        object = {0xAF, 0x11, std::uint8_t(refs.size() >> 8), std::uint8_t(refs.size())};
    }
    for (auto ref : refs)
        for (int i = int(refSize) - 1; i >= 0; --i) object.push_back(std::uint8_t(ref >> (8 * i)));
    return object;
}

struct FixtureCase {
    const char* name;
    std::vector<LegacyRepresentation> expected;
};

TEST(PropertyList, FixturesGiveExactRepresentationsCompressedOrNot) {
    const std::vector<FixtureCase> cases{
        {"plist-text-binary",
         {{0, "public.utf8-plain-text", bytes("Hello from the old history \u2318")},
          {1, "public.html", bytes("<b>Hello</b> from the old history")}}},
        {"plist-text-xml", {{0, "public.utf8-plain-text", bytes("plain")}, {1, "public.rtf", bytes("{\\rtf1 plain}")}}},
        {"plist-utf16-type",
         {{0, "public.utf8-plain-text", bytes("caf\u00e9 \u2603")}, {1, "com.example.\u00fcml\u00e4ut", bytes("u")}}},
        {"plist-skiplist-binary",
         {{0, "public.utf8-plain-text", Bytes(50, 'x')},
          {1, "org.chromium.internal.source-rfh-token", Bytes{0, 1}},
          {2, "org.chromium.web-custom-data", bytes("zz")},
          {3, "com.apple.WebKit.custom-pasteboard-data", bytes("yy")},
          {4, "com.apple.is-remote-clipboard", bytes("1")},
          {5, "public.html", bytes("<p>kept</p>")}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes plain = PasteNowTestDatabase::corpusFile(std::string(c.name) + ".bin");
        EXPECT_EQ(legacyarchive::parseRepresentations(legacyarchive::decodeArchive(plain)), c.expected);
        const Bytes compressed = PasteNowTestDatabase::corpusFile(std::string(c.name) + ".lzfse");
        EXPECT_EQ(legacyarchive::parseRepresentations(legacyarchive::decodeArchive(compressed)), c.expected);
        // Every cut that loses more than a final line feed fails cleanly.
        for (std::size_t n = 0; n + 1 < plain.size(); ++n)
            EXPECT_FALSE(PropertyList::parse(std::span(plain.data(), n)).root) << n;
    }
}

TEST(PropertyList, HostileStructuresFailFast) {
    // Seven arrays of fourteen references to the next: 14^7 leaves from 279 bytes.
    std::vector<Bytes> bombObjects;
    for (std::uint64_t i = 0; i < 7; ++i) bombObjects.push_back(arrayObject(std::vector<std::uint64_t>(14, i + 1), 1));
    bombObjects.push_back(bytes("\x51x"));
    const Bytes bomb = binaryPlist(bombObjects, 124);
    ASSERT_EQ(bomb.size(), 279u);

    // 200,000 arrays, each holding the next.
    std::vector<Bytes> deepObjects;
    for (std::uint64_t i = 0; i < 200'000; ++i) deepObjects.push_back(arrayObject({i + 1}, 3));
    deepObjects.push_back(bytes("\x08"));
    std::string deepXml = "<plist>";
    for (int i = 0; i < 200'000; ++i) deepXml += "<array>";

    const std::vector<std::pair<const char*, Bytes>> cases{
        {"cycle", binaryPlist({arrayObject({1}, 1), arrayObject({0}, 1)})},
        {"self reference", binaryPlist({arrayObject({0}, 1)})},
        {"bomb", bomb},
        {"deep binary", binaryPlist(deepObjects)},
        {"deep XML", bytes(deepXml)},
        {"reference past the objects", binaryPlist({arrayObject({7}, 1)})},
        {"data longer than the file", binaryPlist({bytes("\x4F\x13\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF")})},
        {"old text format", bytes("(\n  { type = \"public.utf8-plain-text\"; data = <41>; }\n)")},
        {"not a property list", bytes("hello")},
        {"XML end tag not matching", bytes("<plist><array><string>a</string></dict></plist>")},
        {"XML \"]]>\" in text", bytes("<plist><string>a]]>b</string></plist>")},
        {"XML undeclared entity", bytes("<plist><string>&nbsp;</string></plist>")},
        {"XML reference to no character", bytes("<plist><string>&#0;</string></plist>")},
        {"XML reference to a surrogate", bytes("<plist><string>&#xD800;</string></plist>")},
        {"XML control character", bytes("<plist><string>a\x01</string></plist>")},
        {"XML attribute twice", bytes("<plist version=\"1.0\" version=\"1.0\"><true/></plist>")},
        {"XML attributes run together", bytes("<plist a=\"1\"b=\"2\"><true/></plist>")},
        {"XML \"--\" in a comment", bytes("<plist><!-- a -- b --><true/></plist>")},
        {"XML second root value", bytes("<plist><true/><false/></plist>")},
        {"XML end of the list cut", bytes("<plist><true/></plist")},
        {"XML malformed UTF-8 after the list", bytes("<plist><true/></plist>\xFF")},
        {"XML entity bomb",
         bytes("<!DOCTYPE p [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">"
               "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
               "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
               "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
               "<plist><string>&d;&d;&d;&d;&d;&d;&d;&d;</string></plist>")},
    };
    for (const auto& [name, input] : cases) {
        SCOPED_TRACE(name);
        const auto result = PropertyList::parse(input);
        EXPECT_FALSE(result.root);
        EXPECT_FALSE(result.error.empty());
    }
}

// What the quick path for plain XML reads, it reads as the general reader does; what it leaves,
// the general reader reads.
TEST(PropertyList, XmlTextReadsAsTheGeneralReaderReadsIt) {
    const auto plist = [](std::string_view inner) { return "<plist version=\"1.0\">" + std::string(inner) + "</plist>"; };
    const std::vector<std::pair<std::string, std::string>> cases{
        {plist("<string>&lt;&gt;&amp;&quot;&apos;</string>"), "<>&\"'"},
        {plist("<string>caf&#233; &#x2603;</string>"), "caf\u00e9 \u2603"},
        {plist("<string>caf\u00e9 \u2603 \U0001F600</string>"), "caf\u00e9 \u2603 \U0001F600"},
        {plist("<string>a\r\nb\rc</string>"), "a\nb\nc"},
        {plist("<string>a<!-- b -->c</string>"), "ac"},
        {plist("<string><![CDATA[<b>]]></string>"), "<b>"},
        {plist("<string/>"), ""},
        {plist("<string\n>a]b</string >"), "a]b"},
        {"\xEF\xBB\xBF<?xml version='1.0' encoding='utf-8' standalone='yes'?>\n<!-- c -->\n"
         "<!DOCTYPE plist SYSTEM \"x.dtd\">" + plist("<string>a</string>"), "a"},
        {"<!DOCTYPE plist [<!ENTITY e \"x\">]>" + plist("<string>&e;</string>"), "x"},
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" + plist("<string>caf\xE9</string>"), "caf\u00e9"},
        {plist("<string>a</string>") + " not read", "a"},
    };
    for (const auto& [document, expected] : cases) {
        SCOPED_TRACE(document);
        const auto parsed = PropertyList::parse(bytes(document));
        ASSERT_TRUE(parsed.root) << parsed.error;
        EXPECT_EQ(parsed.root->string, expected);
        EXPECT_EQ(parsed.root, PropertyList::parseWithGeneralXmlReader(bytes(document)).root);
    }
    // A value of a key not asked for is passed over whole, whatever it holds.
    static constexpr std::string_view kKeys[] = {"type"};
    const std::string skipped = plist("<dict><key>data</key><array><dict><key>type</key><string>inner</string></dict>"
                                      "<data/></array><key>type</key><string>outer</string></dict>");
    const auto parsed = PropertyList::parse(bytes(skipped), kKeys);
    ASSERT_TRUE(parsed.root) << parsed.error;
    EXPECT_EQ(parsed.root->dictionary.size(), 1u);
    EXPECT_EQ(parsed.root->value("type")->string, "outer");
}

TEST(PropertyList, SharedLeavesAreReadButRootMustBeAListOfTypedData) {
    // Keys shared by every dictionary are the normal binary layout and read fine.
    const Bytes shared = binaryPlist({arrayObject({1, 2}, 1), bytes("\xD1\x03\x04"), bytes("\xD1\x03\x04"),
                                      bytes("\x54type"), bytes("\x41z")});
    const auto parsed = PropertyList::parse(shared);
    ASSERT_TRUE(parsed.root) << parsed.error;
    EXPECT_EQ(parsed.root->array.size(), 2u);
    // A byte past ASCII in an ASCII string reads as a replacement character, the rest as it is.
    const auto ascii = PropertyList::parse(binaryPlist({bytes("\x55" "a" "\xFF" "bc" "\xFE")}));
    ASSERT_TRUE(ascii.root) << ascii.error;
    EXPECT_EQ(ascii.root->string, "a\uFFFDbc\uFFFD");

    const std::vector<std::pair<const char*, Bytes>> malformed{
        // A keyed archive has a dictionary at its root.
        {"dictionary root", bytes("<plist><dict><key>$archiver</key><string>NSKeyedArchiver</string></dict></plist>")},
        {"second element lacks data",
         PasteNowTestDatabase::representationList({{"public.utf8-plain-text", bytes("a")}})},
        {"type is not a string", bytes("<plist><array><dict><key>type</key><integer>3</integer>"
                                       "<key>data</key><data>QQ==</data></dict></array></plist>")},
        {"element is not a dictionary", bytes("<plist><array><string>x</string></array></plist>")},
    };
    for (const auto& [name, input] : malformed) {
        SCOPED_TRACE(name);
        Bytes document = input;
        if (std::string(name) == "second element lacks data") {
            const std::string text(document.begin(), document.end());
            document = bytes(text.substr(0, text.find("</array>")) +
                             "<dict><key>type</key><string>public.rtf</string></dict></array></plist>");
        }
        try {
            legacyarchive::parseRepresentations(document);
            ADD_FAILURE() << "parsed";
        } catch (const ImportError& error) {
            EXPECT_EQ(error.code(), ImportError::Code::malformedPropertyList);
        }
    }
    EXPECT_TRUE(legacyarchive::parseRepresentations(bytes("<plist><array/></plist>")).empty());
}

// The records a parsed list holds: its dictionaries reduced to the first value of each key;
// nothing for a list that is not an array of dictionaries.
std::optional<PropertyList::Records> recordsOf(const PropertyList::Result& parsed,
                                               std::span<const std::string_view> keys) {
    if (!parsed.root) return PropertyList::Records{{}, parsed.error};
    if (parsed.root->type != PropertyListValue::Type::array) return std::nullopt;
    PropertyList::Records records;
    for (const auto& element : parsed.root->array) {
        if (element.type != PropertyListValue::Type::dictionary) return std::nullopt;
        for (const auto key : keys) records.values.push_back(element.value(key) ? *element.value(key) : PropertyListValue{});
    }
    return records;
}

TEST(PropertyList, RecordsAreReadAsTheTreeHoldsThem) {
    static constexpr std::string_view kKeys[] = {"type", "data"};
    // An array of as many dictionaries as a list may hold values: with the array, one too many.
    constexpr std::uint32_t kMany = PropertyList::kMaximumNodes;
    std::vector<Bytes> manyObjects{{0xAF, 0x12, kMany >> 24, (kMany >> 16) & 0xFF, (kMany >> 8) & 0xFF, kMany & 0xFF}};
    for (std::uint32_t i = 1; i <= kMany; ++i) {
        manyObjects.push_back(bytes("\xD0"));
        manyObjects[0].insert(manyObjects[0].end(), {std::uint8_t(i >> 16), std::uint8_t(i >> 8), std::uint8_t(i)});
    }
    const std::vector<std::pair<const char*, Bytes>> cases{
        {"representations, some passed over", PasteNowTestDatabase::corpusFile("plist-skiplist-binary.bin")},
        {"a repeated key", binaryPlist({arrayObject({1}, 1), bytes("\xD3\x02\x02\x03\x04\x05\x06"), bytes("\x54type"),
                                        bytes("\x54" "data"), bytes("\x51" "a"), bytes("\x51" "b"), bytes("\x41z")})},
        {"one dictionary twice", binaryPlist({arrayObject({1, 1}, 1), bytes("\xD0")})},
        {"too many dictionaries", binaryPlist(manyObjects)},
    };
    for (const auto& [name, document] : cases) {
        SCOPED_TRACE(name);
        const auto expected = recordsOf(PropertyList::parse(document, kKeys), kKeys);
        const auto records = PropertyList::parseRecords(document, kKeys);
        ASSERT_TRUE(expected && records);
        EXPECT_EQ(records->error, expected->error);
        EXPECT_EQ(records->values, expected->values);
    }
}

// Mutations never crash; of XML, the quick path reads what the general reader reads, or leaves
// it to that reader; of binary lists, the records read straight are the tree's, or refused as
// the tree is, or left to it. XML is mutated with markup characters too, so the quick path gets
// past its first check.
TEST(PropertyList, MutatedFixturesNeverCrash) {
    static constexpr std::string_view kMarkup = "<>/&#;x!-[]?='\" \r\nabt0123456789\xC3\xA9";
    static constexpr std::string_view kKeys[] = {"type", "data"};
    const Bytes everyKind = bytes(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- c -->\n<plist version=\"1.0\">\n<array>\n\t<dict>\n"
        "\t\t<key>type</key>\n\t\t<string>a &lt;b&gt; &#233;&#x2603; caf\u00e9</string>\n\t\t<key>data</key>\n"
        "\t\t<data>QUJD\nREVG</data>\n\t\t<key>n</key><integer>0x1F</integer><key>r</key><real>1.5</real>\n\t</dict>\n"
        "\t<dict><key>type</key><string/><key>data</key><data/><key>t</key><true/>"
        "<key>d</key><date>2001-01-01T00:00:00Z</date><key>s</key><array><false/></array></dict>\n</array>\n</plist>\n");
    std::mt19937 random(20261207);
    for (const Bytes& original :
         {PasteNowTestDatabase::corpusFile("plist-text-binary.bin"), PasteNowTestDatabase::corpusFile("plist-skiplist-binary.bin"),
          PasteNowTestDatabase::corpusFile("plist-utf16-type.bin"), PasteNowTestDatabase::corpusFile("plist-text-xml.bin"),
          everyKind}) {
        const bool xml = original[0] == '<';
        for (int round = 0; round < 2000; ++round) {
            Bytes mutated = original;
            const int flips = 1 + int(random() % 4);
            for (int i = 0; i < flips; ++i) {
                const std::uint32_t r = random();
                mutated[random() % mutated.size()] =
                    xml && r % 4 != 0 ? std::uint8_t(kMarkup[(r >> 2) % kMarkup.size()]) : std::uint8_t(r);
            }
            const std::span<const std::string_view> keys = round % 2 ? std::span(kKeys) : std::span<const std::string_view>();
            const auto result = PropertyList::parse(mutated, keys);
            EXPECT_TRUE(result.root.has_value() != !result.error.empty());
            if (xml) {
                EXPECT_EQ(result.root, PropertyList::parseWithGeneralXmlReader(mutated, keys).root)
                    << std::string(mutated.begin(), mutated.end());
            } else if (!keys.empty()) {
                const auto expected = recordsOf(result, keys);
                const auto records = PropertyList::parseRecords(mutated, keys);
                if (!records) {
                    EXPECT_TRUE(!expected || !expected->error.empty());
                } else {
                    ASSERT_TRUE(expected);
                    EXPECT_EQ(records->error, expected->error);
                    EXPECT_EQ(records->values, expected->values);
                }
            }
        }
    }
}

}  // namespace
}  // namespace harbelle
