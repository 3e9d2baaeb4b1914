#include "legacyimport/LegacyPasteboardItem.h"

#include <QUrl>

#include <algorithm>

#include "history/HistoryPersistence.h"

namespace harbelle::legacypasteboard {

namespace {

std::string_view trimmedURLText(std::string_view text) {
    auto junk = [](char c) { return c == '\0' || c == '\n' || c == '\r' || c == ' '; };
    while (!text.empty() && junk(text.front())) text.remove_prefix(1);
    while (!text.empty() && junk(text.back())) text.remove_suffix(1);
    return text;
}

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Puts a type on the item unless an earlier representation already gave it.
bool offer(PasteboardObject& item, std::string_view type, Bytes data) {
    if (item.data(type)) return false;
    item.setData(type, std::move(data));
    return true;
}

bool offerFileURL(PasteboardObject& item, const Bytes& data) {
    const std::string text = sanitizedUTF8(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    const std::string_view trimmed = trimmedURLText(text);
    std::string path;
    const QUrl url(QString::fromUtf8(trimmed.data(), qsizetype(trimmed.size())), QUrl::StrictMode);
    if (url.isValid() && url.isLocalFile()) {
        path = url.toLocalFile().toStdString();
    } else if (!trimmed.empty() && trimmed.front() == '/') {
        path = std::string(trimmed);
    }
    if (path.empty()) return false;
    const std::string uri = fileURLString(path);
    bool accepted = offer(item, pasteboardtype::uriList, bytesOf(uri + "\r\n"));
    accepted = offer(item, pasteboardtype::gnomeCopiedFiles, bytesOf("copy\n" + uri)) || accepted;
    return accepted;
}

}  // namespace

bool isSkippedType(std::string_view type) {
    return type == "com.apple.is-remote-clipboard" || type.starts_with("org.chromium.internal.") ||
           type == "org.chromium.web-custom-data" || type == "com.apple.WebKit.custom-pasteboard-data";
}

std::optional<PasteboardObject> itemFromRepresentations(std::vector<LegacyRepresentation> representations) {
    std::stable_sort(representations.begin(), representations.end(),
                     [](const auto& a, const auto& b) { return a.ordinal < b.ordinal; });
    PasteboardObject item = PasteboardObject::item();
    bool accepted = false;
    for (auto& representation : representations) {
        const std::string_view type = representation.type;
        if (isSkippedType(type)) continue;
        if (type == "public.utf8-plain-text") {
            accepted = offer(item, pasteboardtype::plainText, std::move(representation.data)) || accepted;
        } else if (type == "public.rtf") {
            accepted = offer(item, pasteboardtype::rtf, std::move(representation.data)) || accepted;
        } else if (type == "public.html") {
            accepted = offer(item, pasteboardtype::html, std::move(representation.data)) || accepted;
        } else if (type == "public.png") {
            accepted = offer(item, pasteboardtype::png, std::move(representation.data)) || accepted;
        } else if (type == "public.jpeg") {
            accepted = offer(item, pasteboardtype::jpeg, std::move(representation.data)) || accepted;
        } else if (type == "public.url") {
            accepted = offer(item, pasteboardtype::uriList, std::move(representation.data)) || accepted;
        } else if (type == "public.file-url") {
            accepted = offerFileURL(item, representation.data) || accepted;
        } else if (type == pasteboardtype::concealed) {
            // Password managers here look for KDE's hint; the marker itself travels too.
            accepted = offer(item, pasteboardtype::concealed, std::move(representation.data)) || accepted;
            offer(item, pasteboardtype::kdePasswordManagerHint, bytesOf("secret"));
        }
    }
    if (!accepted) return std::nullopt;
    return item;
}

std::optional<PasteboardObject> makeLegacyPasteboardItem(const ClipItem& clip, const std::filesystem::path& payloadsURL,
                                                        bool plainText) {
    if (!clip.legacyPayloadFilename) return std::nullopt;
    auto textItem = [](const std::string& text) {
        PasteboardObject item = PasteboardObject::item();
        item.setString(pasteboardtype::plainText, text);
        return item;
    };
    if (plainText) {
        const std::string& text = !clip.text.empty() ? clip.text : clip.searchableText;
        if (text.empty()) return std::nullopt;
        return textItem(text);
    }
    if (!HistoryPersistence::isSafePayloadName(*clip.legacyPayloadFilename)) return std::nullopt;
    try {
        const Bytes archive =
            legacyarchive::readBoundedFile(payloadsURL / *clip.legacyPayloadFilename, legacyarchive::kMaximumFileBytes);
        auto item = itemFromRepresentations(legacyarchive::parseRepresentations(legacyarchive::decodeArchive(archive)));
        if (item) return item;
        if (!clip.text.empty()) return textItem(clip.text);
        return std::nullopt;
    } catch (...) {
        // Missing, unreadable or malformed archives give nothing, silently.
        return std::nullopt;
    }
}

}  // namespace harbelle::legacypasteboard
