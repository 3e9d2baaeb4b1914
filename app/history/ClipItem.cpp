#include "history/ClipItem.h"

#include <QString>
#include <QTextBoundaryFinder>
#include <QUrl>

#include "history/TextUnits.h"
#include "sync/SyncCrypto.h"

namespace harbelle {
namespace {

constexpr std::size_t kTitleCutThreshold = 91;  // lines this long or longer are cut
constexpr std::size_t kTitleKeptCharacters = 89;

// Byte length of a line separator starting at `pos`, or 0. Every separator scalar starts its
// own grapheme, so splitting at scalars equals splitting at characters once empty pieces are
// dropped (CR LF then counts as one break).
std::size_t separatorLength(std::string_view s, std::size_t pos) {
    const auto b = static_cast<unsigned char>(s[pos]);
    if (b >= 0x0A && b <= 0x0D) return 1;
    if (b == 0xC2 && pos + 1 < s.size() && static_cast<unsigned char>(s[pos + 1]) == 0x85) return 2;
    if (b == 0xE2 && pos + 2 < s.size() && static_cast<unsigned char>(s[pos + 1]) == 0x80) {
        const auto b2 = static_cast<unsigned char>(s[pos + 2]);
        if (b2 == 0xA8 || b2 == 0xA9) return 3;
    }
    return 0;
}

std::string_view firstNonEmptyLine(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t len = separatorLength(text, pos);
        if (len != 0) {
            pos += len;
            continue;
        }
        const std::size_t start = pos;
        while (pos < text.size() && separatorLength(text, pos) == 0) ++pos;
        return text.substr(start, pos - start);
    }
    return {};
}

std::string lastPathComponent(std::string_view path) {
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    path = path.substr(0, end);
    if (path == "/") return "/";
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::optional<std::string> linkTitle(std::string_view text) {
    const std::string_view trimmed = textunits::trimmedWhitespaceAndNewlines(text);
    if (trimmed.empty()) return std::nullopt;
    const QUrl url(QString::fromUtf8(trimmed.data(), static_cast<qsizetype>(trimmed.size())),
                   QUrl::StrictMode);
    if (!url.isValid()) return std::nullopt;
    QString host = url.host();
    if (host.isEmpty()) return std::nullopt;
    // Only the leading label: "www." inside a host ("mywww.example") is part of its name.
    if (host.startsWith(QLatin1String("www."))) host.remove(0, 4);
    return host.toStdString();
}

}  // namespace

bool ClipItem::operator==(const ClipItem& o) const {
    return id == o.id && createdAt == o.createdAt && updatedAt == o.updatedAt &&
           lastReplayedAt == o.lastReplayedAt && kind == o.kind && title == o.title &&
           text == o.text && searchableText == o.searchableText &&
           sourceAppName == o.sourceAppName && sourceBundleID == o.sourceBundleID &&
           sourceDeviceID == o.sourceDeviceID && sourceDeviceName == o.sourceDeviceName &&
           sourceDevicePlatform == o.sourceDevicePlatform &&
           payloadFilename == o.payloadFilename && payloadContentType == o.payloadContentType &&
           syncPayloadFilename == o.syncPayloadFilename &&
           syncPayloadDigest == o.syncPayloadDigest &&
           syncPayloadByteCount == o.syncPayloadByteCount &&
           syncPayloadPixelWidth == o.syncPayloadPixelWidth &&
           syncPayloadPixelHeight == o.syncPayloadPixelHeight && syncBlobKey == o.syncBlobKey &&
           fileURLs == o.fileURLs && richTextData == o.richTextData && htmlData == o.htmlData &&
           isPinned == o.isPinned && fingerprint == o.fingerprint &&
           importedFrom == o.importedFrom && isSensitive == o.isSensitive &&
           legacyPayloadFilename == o.legacyPayloadFilename && legacyID == o.legacyID &&
           copyCount == o.copyCount;
}

std::string ClipItem::displayTitle() const {
    const std::string_view trimmed = textunits::trimmedWhitespaceAndNewlines(title);
    if (!trimmed.empty()) return std::string(trimmed);
    switch (kind) {
    case ClipKind::image:
        return "Copied image";
    case ClipKind::file:
        if (!fileURLs.empty()) {
            std::string name = lastPathComponent(fileURLs.front());
            if (!name.empty()) return name;
        }
        return "Copied file";
    default:
        return "Untitled clip";
    }
}

Date ClipItem::recencyDate() const {
    if (lastReplayedAt && *lastReplayedAt >= createdAt) return *lastReplayedAt;
    return createdAt;
}

namespace {

sync::Sha256Digest fingerprintDigest(ClipKind kind, std::string_view text, const std::vector<std::string>& fileURLs,
                                     const Bytes* payloadData) {
    sync::Sha256 hash;
    hash.update(clipkind::rawValue(kind));
    hash.update(text);
    for (std::size_t i = 0; i < fileURLs.size(); ++i) {
        if (i > 0) hash.update("\x1f", 1);
        hash.update(fileURLs[i]);
    }
    if (payloadData) hash.update(payloadData->data(), payloadData->size());
    return hash.finish();
}

}  // namespace

std::string ClipItem::makeFingerprint(ClipKind kind, std::string_view text,
                                      const std::vector<std::string>& fileURLs,
                                      const std::optional<std::string>& /*payloadFilename*/,
                                      const Bytes* payloadData) {
    const auto digest = fingerprintDigest(kind, text, fileURLs, payloadData);
    return sync::hexLower(digest.data(), digest.size());
}

Fingerprint ClipItem::fingerprintOf(ClipKind kind, std::string_view text, const std::vector<std::string>& fileURLs,
                                    const Bytes* payloadData) {
    return Fingerprint::ofDigest(fingerprintDigest(kind, text, fileURLs, payloadData));
}

std::string ClipItem::titleFor(std::string_view text, ClipKind kind) {
    if (kind == ClipKind::link) {
        if (auto host = linkTitle(text)) return *host;
    }
    const std::string_view line = textunits::trimmedWhitespaceAndNewlines(firstNonEmptyLine(text));
    if (line.empty()) return std::string(clipkind::label(kind));

    // Fewer bytes than the threshold means fewer characters; otherwise only the line's start is
    // examined, however long the line.
    if (line.size() < kTitleCutThreshold || textunits::graphemeCount(line, kTitleCutThreshold) < kTitleCutThreshold)
        return QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())).toStdString();
    return textunits::graphemePrefix(line, kTitleKeptCharacters).text.toStdString() + "\u2026";
}

}  // namespace harbelle
