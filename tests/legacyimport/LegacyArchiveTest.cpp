#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "legacyimport/LegacyArchive.h"
#include "legacyimport/LegacyPasteboardItem.h"
#include "support/PasteNowTestDatabase.h"

namespace harbelle {
namespace {

namespace fs = std::filesystem;
using testing::PasteNowTestDatabase;
using Code = ImportError::Code;

constexpr const char* kUUID = "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::optional<Code> errorOf(const std::function<void()>& step) {
    try {
        step();
    } catch (const ImportError& error) {
        return error.code();
    }
    return std::nullopt;
}

TEST(LegacyArchive, BlobStorageIsResolvedWithinBounds) {
    QTemporaryDir temp;
    const fs::path folder = temp.path().toStdString();
    std::ofstream(folder / kUUID) << "outside";
    fs::create_symlink(folder / kUUID, folder / "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8EA");
    ::mkfifo((folder / "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8EB").c_str(), 0600);
    fs::create_directory(folder / "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8EC");
    {
        std::ofstream big(folder / "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8ED");
    }
    fs::resize_file(folder / "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8ED", legacyarchive::kMaximumFileBytes + 1);

    auto external = [](std::string name) { return PasteNowTestDatabase::externalBlob(name); };
    Bytes unterminated = external(kUUID);
    unterminated.back() = 'x';

    EXPECT_EQ(legacyarchive::materializeCoreDataBlob(Bytes{1}, folder), Bytes{});
    EXPECT_EQ(legacyarchive::materializeCoreDataBlob(Bytes{1, 7, 8}, folder), (Bytes{7, 8}));
    EXPECT_EQ(legacyarchive::materializeCoreDataBlob(external(kUUID), folder), bytes("outside"));

    const std::vector<std::tuple<const char*, Bytes, Code>> failures{
        {"empty", Bytes{}, Code::malformedBlob},
        {"tag 2 alone", Bytes{2}, Code::malformedBlob},
        {"tag 3", Bytes{3}, Code::unknownStorageTag},
        {"no final NUL", unterminated, Code::malformedBlob},
        {"not a UUID", external("0A1B2C3D-4E5F-4061-8273-94A5B6C7D8/."), Code::malformedBlob},
        {"path in place of a UUID", external("../../../../../../../../etc/passwd\0\0"), Code::malformedBlob},
        {"missing file", external("0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E0"), Code::missingExternalData},
        {"symbolic link", external("0A1B2C3D-4E5F-4061-8273-94A5B6C7D8EA"), Code::unreadableFile},
        {"FIFO", external("0A1B2C3D-4E5F-4061-8273-94A5B6C7D8EB"), Code::unreadableFile},
        {"folder", external("0A1B2C3D-4E5F-4061-8273-94A5B6C7D8EC"), Code::unreadableFile},
        {"over 128 MiB", external("0A1B2C3D-4E5F-4061-8273-94A5B6C7D8ED"), Code::unreadableFile},
    };
    for (const auto& [name, blob, code] : failures) {
        SCOPED_TRACE(name);
        EXPECT_EQ(errorOf([&] { legacyarchive::materializeCoreDataBlob(blob, folder); }), code);
    }
}

TEST(LegacyArchive, OnlyLzfseDataIsDecompressed) {
    // A plain property list never goes through the decoder.
    const Bytes plain = PasteNowTestDatabase::corpusFile("plist-text-xml.bin");
    EXPECT_EQ(legacyarchive::decodeArchive(plain), plain);
    // A block magic followed by garbage fails as decompression, not as a property list.
    EXPECT_EQ(errorOf([] { legacyarchive::decodeArchive(bytes("bvx2 garbage that is no block")); }),
              Code::decompressionFailed);
    EXPECT_EQ(errorOf([] { legacyarchive::decodeArchive(Bytes(legacyarchive::kMaximumFileBytes + 1, 'b')); }),
              Code::decompressionFailed);
}

TEST(LegacyPasteboardItem, KnownTypesBecomeMimeTypesAndTheSkipListIsLeftOut) {
    using Reps = std::vector<LegacyRepresentation>;
    const Reps all{
        {5, "public.html", bytes("<b>x</b>")},
        {0, "public.utf8-plain-text", bytes("x")},
        {1, "public.rtf", bytes("{\\rtf1 x}")},
        {2, "org.chromium.internal.source-rfh-token", bytes("t")},
        {3, "org.chromium.web-custom-data", bytes("c")},
        {4, "com.apple.WebKit.custom-pasteboard-data", bytes("w")},
        {6, "com.apple.is-remote-clipboard", bytes("1")},
        {7, "public.png", bytes("png")},
        {8, "public.jpeg", bytes("jpg")},
        {9, "public.url", bytes("https://example.com/")},
        {10, "public.file-url", bytes(std::string("file:///tmp/a%20b\0\n", 19))},
        {11, "com.apple.traditional-mac-plain-text", bytes("old")},
        {12, "org.nspasteboard.ConcealedType", bytes("")},
    };
    const auto item = legacypasteboard::itemFromRepresentations(all);
    ASSERT_TRUE(item);
    std::vector<std::string> types;
    for (const auto& [type, data] : item->representations) types.push_back(type);
    EXPECT_EQ(types, (std::vector<std::string>{"text/plain;charset=utf-8", "text/rtf", "text/html", "image/png",
                                               "image/jpeg", "text/uri-list", "x-special/gnome-copied-files",
                                               "org.nspasteboard.ConcealedType", "x-kde-passwordManagerHint"}));
    EXPECT_EQ(item->string("text/html"), "<b>x</b>");
    EXPECT_EQ(item->string("text/uri-list"), "https://example.com/");  // the first URL wins
    EXPECT_EQ(item->string("x-special/gnome-copied-files"), "copy\nfile:///tmp/a%20b");

    // Only the exact chromium custom-data type is skipped; longer names go on.
    const auto suffixed = legacypasteboard::itemFromRepresentations(
        {{0, "org.chromium.web-custom-data", bytes("c")}, {1, "org.chromium.web-custom-data.more", bytes("d")}});
    EXPECT_FALSE(suffixed);  // neither is a type this clipboard knows
    EXPECT_TRUE(legacypasteboard::isSkippedType("org.chromium.internal.anything"));
    EXPECT_FALSE(legacypasteboard::isSkippedType("org.chromium.web-custom-data.more"));
    EXPECT_FALSE(legacypasteboard::itemFromRepresentations({{0, "com.apple.is-remote-clipboard", bytes("1")}}));
}

TEST(LegacyPasteboardItem, ClipsRebuildFromTheirArchives) {
    QTemporaryDir temp;
    const fs::path payloads = temp.path().toStdString();
    fs::create_directories(payloads / "Legacy");
    auto writeArchive = [&](const std::string& name, const Bytes& content) {
        std::ofstream out(payloads / "Legacy" / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
        return "Legacy/" + name;
    };
    ClipItem clip;
    clip.text = "fallback";
    const std::string lzfse = writeArchive("pastenow-1.lzfse", PasteNowTestDatabase::corpusFile("plist-text-binary.lzfse"));
    const std::string plain = writeArchive("pastenow-2.lzfse", PasteNowTestDatabase::corpusFile("plist-text-xml.bin"));
    const std::string skipped = writeArchive(
        "pastenow-3.lzfse", PasteNowTestDatabase::representationList({{"com.apple.is-remote-clipboard", bytes("1")}}));
    const std::string broken = writeArchive("pastenow-4.lzfse", bytes("garbage"));

    auto build = [&](std::optional<std::string> name, const std::string& text, bool plainText) {
        ClipItem c = clip;
        c.legacyPayloadFilename = std::move(name);
        c.text = text;
        return legacypasteboard::makeLegacyPasteboardItem(c, payloads, plainText);
    };
    auto html = build(lzfse, "fallback", false);
    ASSERT_TRUE(html);
    EXPECT_EQ(html->string("text/plain;charset=utf-8"), "Hello from the old history \u2318");
    EXPECT_EQ(html->string("text/html"), "<b>Hello</b> from the old history");
    // An archive stored uncompressed pastes too.
    auto rtf = build(plain, "fallback", false);
    ASSERT_TRUE(rtf);
    EXPECT_EQ(rtf->string("text/rtf"), "{\\rtf1 plain}");
    // Only skipped types: the clip's own text.
    EXPECT_EQ(build(skipped, "fallback", false)->string("text/plain;charset=utf-8"), "fallback");
    EXPECT_FALSE(build(skipped, "", false));
    EXPECT_FALSE(build(broken, "fallback", false));
    EXPECT_FALSE(build("Legacy/pastenow-9.lzfse", "fallback", false));  // deleted archive
    EXPECT_FALSE(build("../../etc/passwd", "fallback", false));
    EXPECT_FALSE(build(std::nullopt, "fallback", false));
    // Plain text never reads the archive.
    EXPECT_EQ(build("Legacy/pastenow-9.lzfse", "typed", true)->string("text/plain;charset=utf-8"), "typed");
    EXPECT_FALSE(build(lzfse, "", true));
}

}  // namespace
}  // namespace harbelle
