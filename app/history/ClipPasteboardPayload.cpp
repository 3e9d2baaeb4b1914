#include "history/ClipPasteboardPayload.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QMimeData>
#include <system_error>

#include "platform/ImageLimits.h"

namespace harbelle {

namespace {

Bytes toBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::optional<Bytes> pngFromJPEG(const Bytes& jpeg) {
    raiseImageAllocationLimit();
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(jpeg.data()),
                                               static_cast<qsizetype>(jpeg.size()));
    QBuffer source(&bytes);
    QImageReader reader(&source, "jpeg");
    reader.setAutoTransform(true);
    const QImage image = reader.read();
    if (image.isNull()) return std::nullopt;
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!QImageWriter(&buffer, "png").write(image)) return std::nullopt;
    return Bytes(png.begin(), png.end());
}

}  // namespace

bool ClipPasteboardPayload::defaultFileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

std::vector<PasteboardObject> ClipPasteboardPayload::stringItem(const std::string& text) {
    if (text.empty()) return {};
    auto item = PasteboardObject::item();
    item.setString(pasteboardtype::plainText, text);
    return {std::move(item)};
}

std::vector<PasteboardObject> ClipPasteboardPayload::objects(const ClipItem& item,
                                                             const std::optional<std::filesystem::path>& payloadURL,
                                                             bool plainText, bool forDrag,
                                                             const PayloadReader& readPayload,
                                                             const FileExists& fileExists) {
    switch (item.kind) {
    case ClipKind::image: {
        if (plainText) return stringItem(!item.searchableText.empty() ? item.searchableText : item.text);
        std::optional<Bytes> bytes;
        if (payloadURL && item.payloadFilename && readPayload) bytes = readPayload(*item.payloadFilename);
        if (!bytes || bytes->empty()) return stringItem(item.text);
        auto object = PasteboardObject::item();
        if (item.payloadContentType == "image/jpeg") {
            // PNG is the form every program here reads; JPEG alone is not.
            auto png = pngFromJPEG(*bytes);
            object.setData(pasteboardtype::jpeg, std::move(*bytes));
            if (png) object.setData(pasteboardtype::png, std::move(*png));
        } else {
            object.setData(pasteboardtype::png, std::move(*bytes));
        }
        // A drop can take the file itself too.
        if (forDrag) object.setString(pasteboardtype::uriList, fileURLString(payloadURL->string()) + "\r\n");
        return {std::move(object)};
    }
    case ClipKind::file: {
        if (plainText) return stringItem(item.text);
        std::vector<PasteboardObject> files;
        for (const auto& path : item.fileURLs)
            if (!path.empty() && fileExists(path)) files.push_back(PasteboardObject::fileURL(path));
        if (files.empty()) return stringItem(item.text);
        return files;
    }
    case ClipKind::text:
    case ClipKind::link:
    case ClipKind::code:
    case ClipKind::color: {
        auto objects = stringItem(item.text);
        if (objects.empty() || plainText) return objects;
        auto& object = objects.front();
        if (item.richTextData) object.setData(pasteboardtype::rtf, *item.richTextData);
        if (item.htmlData) object.setData(pasteboardtype::html, *item.htmlData);
        if (item.kind == ClipKind::link) {
            if (auto url = clipkind::webURL(item.text))
                object.setData(pasteboardtype::uriList, toBytes(*url + "\r\n"));
        }
        return objects;
    }
    }
    return {};
}

std::unique_ptr<QMimeData> ClipPasteboardPayload::mimeData(const std::vector<PasteboardObject>& objects) {
    auto mime = std::make_unique<QMimeData>();
    for (const auto& [type, bytes] : mimeRepresentations(objects))
        mime->setData(QString::fromStdString(type),
                      QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())));
    return mime;
}

}  // namespace harbelle
