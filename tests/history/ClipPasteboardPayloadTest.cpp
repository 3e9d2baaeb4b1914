#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>
#include <QMimeData>
#include <QUrl>
#include <set>
#include <map>

#include "history/ClipPasteboardPayload.h"
#include "support/FakePasteboard.h"
#include "support/ClipBuilder.h"

using namespace harbelle;
using harbelle::testing::ClipBuilder;

namespace {

Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::vector<std::string> typesOf(const PasteboardObject& object) {
    std::vector<std::string> types;
    for (const auto& [type, data] : object.representations) types.push_back(type);
    return types;
}

Bytes encoded(const char* format) {
    QImage image(6, 6, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return Bytes(out.begin(), out.end());
}

struct PayloadFixture : ::testing::Test {
    std::map<std::string, Bytes> payloads;
    std::set<std::string> existingFiles;

    std::vector<PasteboardObject> objects(const ClipItem& item, bool plainText, bool forDrag = false) {
        std::optional<std::filesystem::path> url;
        if (item.payloadFilename && payloads.count(*item.payloadFilename))
            url = std::filesystem::path("/payloads") / *item.payloadFilename;
        return ClipPasteboardPayload::objects(
            item, url, plainText, forDrag,
            [this](const std::string& name) -> std::optional<Bytes> {
                auto it = payloads.find(name);
                if (it == payloads.end()) return std::nullopt;
                return it->second;
            },
            [this](const std::string& path) { return existingFiles.count(path) > 0; });
    }
};

ClipItem textClip(ClipKind kind, std::string text) { return ClipBuilder(std::move(text), kind); }

TEST_F(PayloadFixture, LinkCarriesEveryFormUnlessPlainText) {
    ClipItem link = textClip(ClipKind::link, "https://example.com/path");
    link.richTextData = bytesOf("{\\rtf1 x}");
    link.htmlData = bytesOf("<a href=\"https://example.com/path\">x</a>");
    auto full = objects(link, false);
    ASSERT_EQ(full.size(), 1u);
    EXPECT_EQ(typesOf(full[0]),
              (std::vector<std::string>{"text/plain;charset=utf-8", "text/rtf", "text/html", "text/uri-list"}));
    EXPECT_EQ(full[0].string("text/uri-list"), "https://example.com/path\r\n");

    auto plain = objects(link, true);
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_EQ(typesOf(plain[0]), (std::vector<std::string>{"text/plain;charset=utf-8"}));
}

TEST_F(PayloadFixture, ColourAndCodeNeverCarryAnAddress) {
    for (auto kind : {ClipKind::color, ClipKind::code, ClipKind::text}) {
        auto result = objects(textClip(kind, "https://example.com"), false);
        ASSERT_EQ(result.size(), 1u);
        EXPECT_FALSE(result[0].data("text/uri-list"));
    }
    EXPECT_TRUE(objects(textClip(ClipKind::text, ""), false).empty());
}

TEST_F(PayloadFixture, ImageClipsOfferThePayloadOrTheirRecognizedText) {
    ClipItem image = ClipBuilder("", ClipKind::image).payload("A.png");
    payloads["A.png"] = encoded("PNG");

    auto pasted = objects(image, false);
    ASSERT_EQ(pasted.size(), 1u);
    EXPECT_EQ(typesOf(pasted[0]), (std::vector<std::string>{"image/png"}));
    EXPECT_EQ(*pasted[0].data("image/png"), payloads["A.png"]);

    auto dragged = objects(image, false, true);
    ASSERT_EQ(dragged.size(), 1u);
    EXPECT_EQ(dragged[0].string("text/uri-list"), "file:///payloads/A.png\r\n");

    EXPECT_TRUE(objects(image, true).empty()) << "no recognized text: nothing in plain-text mode";
    image.searchableText = "INVOICE 4711";
    auto plain = objects(image, true);
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_EQ(plain[0].string("text/plain;charset=utf-8"), "INVOICE 4711");

    payloads.clear();  // the file was deleted
    EXPECT_TRUE(objects(image, false).empty());
}

TEST_F(PayloadFixture, JPEGPayloadsAreOfferedAsJPEGAndPNG) {
    ClipItem image = ClipBuilder("", ClipKind::image).payload("B.jpg");
    image.payloadContentType = "image/jpeg";
    payloads["B.jpg"] = encoded("JPEG");
    auto result = objects(image, false);
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(*result[0].data("image/jpeg"), payloads["B.jpg"]);
    ASSERT_TRUE(result[0].data("image/png"));
    EXPECT_EQ(result[0].data("image/png")->at(1), 'P');
}

TEST_F(PayloadFixture, FileClipsOfferTheFilesThatStillExist) {
    ClipItem files = ClipBuilder("/home/u/a b.txt\n/home/u/gone.txt", ClipKind::file);
    files.fileURLs = {"/home/u/a b.txt", "/home/u/gone.txt"};
    existingFiles = {"/home/u/a b.txt"};
    auto result = objects(files, false);
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].kind, PasteboardObject::Kind::fileURL);

    existingFiles.insert("/home/u/gone.txt");
    auto mime = mimeRepresentations(objects(files, false));
    std::map<std::string, std::string> byType;
    for (const auto& [type, data] : mime) byType[type] = std::string(data.begin(), data.end());
    EXPECT_EQ(byType["text/uri-list"], "file:///home/u/a%20b.txt\r\nfile:///home/u/gone.txt\r\n");
    EXPECT_EQ(byType["x-special/gnome-copied-files"], "copy\nfile:///home/u/a%20b.txt\nfile:///home/u/gone.txt");
    EXPECT_EQ(byType["text/plain"], files.text);

    existingFiles.clear();
    auto degraded = objects(files, false);
    ASSERT_EQ(degraded.size(), 1u);
    EXPECT_EQ(degraded[0].string("text/plain;charset=utf-8"), files.text);
}

TEST_F(PayloadFixture, DragDataMatchesTheClipboardForms) {
    ClipItem link = textClip(ClipKind::link, "https://example.com");
    link.htmlData = bytesOf("<a>");
    auto mime = ClipPasteboardPayload::mimeData(objects(link, false));
    EXPECT_EQ(mime->text(), "https://example.com");
    EXPECT_EQ(mime->data("text/html"), QByteArray("<a>"));
    ASSERT_EQ(mime->urls().size(), 1);
    EXPECT_EQ(mime->urls().front().toString(), "https://example.com");
}

TEST(PasteboardWrite, WritingMovesTheChangeCountBeforeReturning) {
    harbelle::testing::FakePasteboard pasteboard;
    const auto before = pasteboard.changeCount();
    auto item = PasteboardObject::item();
    item.setString(pasteboardtype::plainText, "x");
    ASSERT_TRUE(pasteboard.write({item}));
    EXPECT_EQ(pasteboard.changeCount(), before + 1);
    EXPECT_EQ(pasteboard.string(pasteboardtype::plainText), "x");
}

}  // namespace
