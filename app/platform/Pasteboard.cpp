#include "platform/Pasteboard.h"

#include <QString>
#include <QUrl>
#include <algorithm>
#include <cstdint>
#include <cstring>

namespace harbelle {

namespace pasteboardtype {

bool isPlainTextAlias(std::string_view type) {
    return type == plainText || type == "text/plain" || type == "UTF8_STRING" ||
           type == "text/plain;charset=UTF-8";
}

bool isSelectionProtocolTarget(std::string_view type) {
    static constexpr std::string_view targets[] = {"TARGETS", "MULTIPLE", "TIMESTAMP", "SAVE_TARGETS",
                                                   "DELETE", "INSERT_SELECTION", "INSERT_PROPERTY"};
    return std::find(std::begin(targets), std::end(targets), type) != std::end(targets);
}

}  // namespace pasteboardtype

PasteboardObject PasteboardObject::fileURL(std::string path) {
    PasteboardObject object;
    object.kind = Kind::fileURL;
    object.filePath = std::move(path);
    return object;
}

void PasteboardObject::setData(std::string_view type, Bytes data) {
    for (auto& [existing, bytes] : representations) {
        if (existing == type) {
            bytes = std::move(data);
            return;
        }
    }
    representations.emplace_back(std::string(type), std::move(data));
}

void PasteboardObject::setString(std::string_view type, std::string_view text) {
    setData(type, Bytes(text.begin(), text.end()));
}

const Bytes* PasteboardObject::data(std::string_view type) const {
    for (const auto& [existing, bytes] : representations)
        if (existing == type) return &bytes;
    return nullptr;
}

std::optional<std::string> PasteboardObject::string(std::string_view type) const {
    const Bytes* bytes = data(type);
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

std::string fileURLString(const std::string& path) {
    return QUrl::fromLocalFile(QString::fromStdString(path)).toEncoded().toStdString();
}

std::vector<std::string> entriesFromURIList(std::string_view uriList) {
    std::vector<std::string> entries;
    std::size_t start = 0;
    while (start <= uriList.size()) {
        std::size_t end = uriList.find('\n', start);
        if (end == std::string_view::npos) end = uriList.size();
        std::string_view line = uriList.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t' ||
                                 line.back() == '\0'))
            line.remove_suffix(1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        if (!line.empty() && line.front() != '#') entries.emplace_back(line);
        start = end + 1;
    }
    return entries;
}

namespace {

std::vector<std::string> localFilePaths(const std::vector<std::string>& entries) {
    std::vector<std::string> paths;
    for (const auto& entry : entries) {
        const QUrl url(QString::fromStdString(entry), QUrl::StrictMode);
        if (!url.isValid() || url.scheme() != QLatin1String("file")) continue;
        // Files on other hosts are no local files.
        if (!url.host().isEmpty() && url.host() != QLatin1String("localhost")) continue;
        const QString path = url.path(QUrl::FullyDecoded);
        if (path.isEmpty() || !path.startsWith('/')) continue;
        paths.push_back(path.toStdString());
    }
    return paths;
}

}  // namespace

std::vector<std::string> filePathsFromURIList(std::string_view uriList) {
    return localFilePaths(entriesFromURIList(uriList));
}

std::vector<std::string> filePathsFromGnomeCopiedFiles(std::string_view list) {
    auto entries = entriesFromURIList(list);
    // The first line says whether the files were copied or cut; either way they were offered.
    if (!entries.empty() && (entries.front() == "copy" || entries.front() == "cut")) entries.erase(entries.begin());
    return localFilePaths(entries);
}

std::vector<std::pair<std::string, Bytes>> mimeRepresentations(const std::vector<PasteboardObject>& objects) {
    std::vector<std::pair<std::string, Bytes>> result;
    auto add = [&result](std::string_view type, const Bytes& data) {
        for (const auto& entry : result)
            if (entry.first == type) return;
        result.emplace_back(std::string(type), data);
    };
    auto toBytes = [](const std::string& text) { return Bytes(text.begin(), text.end()); };

    std::vector<std::string> paths;
    for (const auto& object : objects) {
        if (object.kind == PasteboardObject::Kind::fileURL) {
            paths.push_back(object.filePath);
            continue;
        }
        for (const auto& [type, data] : object.representations) {
            add(type, data);
            if (type == pasteboardtype::plainText) add("text/plain", data);
        }
    }
    if (!paths.empty()) {
        std::string uriList, gnome = "copy", plain;
        for (const auto& path : paths) {
            const std::string url = fileURLString(path);
            uriList += url + "\r\n";
            gnome += "\n" + url;
            if (!plain.empty()) plain += "\n";
            plain += path;
        }
        add(pasteboardtype::uriList, toBytes(uriList));
        add(pasteboardtype::gnomeCopiedFiles, toBytes(gnome));
        add(pasteboardtype::plainText, toBytes(plain));
        add("text/plain", toBytes(plain));
    }
    return result;
}

bool Pasteboard::hasType(std::string_view type) {
    const auto offered = types();
    return std::find(offered.begin(), offered.end(), type) != offered.end();
}

std::optional<std::string> Pasteboard::string(std::string_view type) {
    auto bytes = data(type);
    if (!bytes) return std::nullopt;
    return sanitizedUTF8(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

std::vector<std::string> Pasteboard::filePaths() {
    if (hasType(pasteboardtype::uriList)) {
        auto list = string(pasteboardtype::uriList);
        return list ? filePathsFromURIList(*list) : std::vector<std::string>{};
    }
    // File managers that offer only their own list of copied files.
    if (hasType(pasteboardtype::gnomeCopiedFiles)) {
        auto list = string(pasteboardtype::gnomeCopiedFiles);
        return list ? filePathsFromGnomeCopiedFiles(*list) : std::vector<std::string>{};
    }
    return {};
}

namespace {

// Length of the valid UTF-8 sequence at `i`, or 0 when it is invalid.
std::size_t validSequenceLength(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) length = 2;
    else if (c == 0xE0) { length = 3; low = 0xA0; }
    else if (c >= 0xE1 && c <= 0xEC) length = 3;
    else if (c == 0xED) { length = 3; high = 0x9F; }
    else if (c >= 0xEE && c <= 0xEF) length = 3;
    else if (c == 0xF0) { length = 4; low = 0x90; }
    else if (c >= 0xF1 && c <= 0xF3) length = 4;
    else if (c == 0xF4) { length = 4; high = 0x8F; }
    else return 0;
    if (i + length > s.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return length;
}

}  // namespace

std::string sanitizedUTF8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        // ASCII runs, eight bytes at a time.
        while (i + 8 <= bytes.size()) {
            std::uint64_t word;
            std::memcpy(&word, bytes.data() + i, 8);
            if (word & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i >= bytes.size()) break;
        const std::size_t n = validSequenceLength(bytes, i);
        if (n == 0) break;
        i += n;
    }
    if (i == bytes.size()) return std::string(bytes);
    std::string out(bytes.substr(0, i));
    while (i < bytes.size()) {
        const std::size_t n = validSequenceLength(bytes, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}

}  // namespace harbelle
