#include "history/PasteboardCaptureReader.h"

namespace harbelle {

namespace {

std::string lastPathComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path == "/") return path;
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

ClipItem baseClip(const PasteboardCapture& capture, Date now) {
    ClipItem clip;
    clip.createdAt = now;
    clip.updatedAt = now;
    clip.sourceAppName = capture.sourceAppName;
    clip.sourceBundleID = capture.sourceBundleID;
    clip.copyCount = 1;
    return clip;
}

}  // namespace

ClipItem PasteboardCapture::makeClip(Date now) const {
    ClipItem clip = baseClip(*this, now);
    clip.text = text;
    if (content == Content::files) {
        clip.kind = ClipKind::file;
        clip.title = filePaths.size() == 1 ? lastPathComponent(filePaths.front())
                                           : std::to_string(filePaths.size()) + " files";
        clip.fileURLs = filePaths;
        clip.fingerprint = ClipItem::makeFingerprint(ClipKind::file, text, filePaths, std::nullopt, nullptr);
        return clip;
    }
    clip.kind = clipkind::detect(text);
    clip.title = ClipItem::titleFor(text, clip.kind);
    clip.richTextData = rtf;
    clip.htmlData = html;
    clip.fingerprint = ClipItem::makeFingerprint(clip.kind, text, {}, std::nullopt, nullptr);
    return clip;
}

ClipItem PasteboardCapture::makeImageClip(Date now, const Uuid& id, std::optional<std::string> payloadFilename) const {
    ClipItem clip = baseClip(*this, now);
    clip.id = id;
    clip.kind = ClipKind::image;
    clip.title = "Copied image";
    clip.payloadFilename = std::move(payloadFilename);
    clip.fingerprint = ClipItem::makeFingerprint(ClipKind::image, "", {}, std::nullopt, &png);
    return clip;
}

}  // namespace harbelle
