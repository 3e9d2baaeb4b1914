#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/ClipItem.h"
#include "history/Toast.h"
#include "platform/Defaults.h"
#include "platform/Pasteboard.h"
#include "platform/Workspace.h"

namespace harbelle {

// What one look at the clipboard found worth keeping, before it becomes a clip.
struct PasteboardCapture {
    enum class Content { none, files, image, text };
    enum class SkipReason {
        none,
        ownApplication,    // the program itself is frontmost
        marked,            // concealed, transient or auto-generated content
        passwordManager,   // copied from a password manager
        nothingUseful,     // empty clipboard, or nothing readable
        tooLarge,          // text (or a file list) above the text limit, or an image of too many pixels
        changedWhileReading,
    };

    Content content = Content::none;
    SkipReason skipReason = SkipReason::none;
    std::optional<Toast> toast;  // to show when skipping

    std::string text;                    // text: trimmed; files: the paths, one a line
    std::vector<std::string> filePaths;  // files
    Bytes png;                           // image: the PNG encoding, as written to the payload
    std::optional<Bytes> rtf;            // text: absent when missing or over the limit
    std::optional<Bytes> html;
    std::string sourceAppName;  // already defaulted to "Unknown", whatever the kind
    std::optional<std::string> sourceBundleID;

    bool hasContent() const { return content != Content::none; }

    // The clip of a text or file capture (kind, title, fingerprint, source and dates set).
    // Image clips need their payload file first; see `makeImageClip`.
    ClipItem makeClip(Date now) const;
    // The clip of an image capture; `id` also names the payload file `payloadFilename`.
    ClipItem makeImageClip(Date now, const Uuid& id, std::optional<std::string> payloadFilename) const;
};

struct CaptureSettings {
    bool captureImages = true;
    bool skipSensitiveContent = true;
};

// Decides whether the current clipboard is worth a clip and reads it: markers and sources
// first, then file URLs, else an image, else text with its RTF and HTML.
class PasteboardCaptureReader {
public:
    static constexpr std::size_t kImageLimit = 26'214'400;  // PNG bytes
    static constexpr std::size_t kTextLimit = 10'485'760;   // UTF-8 bytes after trimming
    static constexpr std::size_t kRichTextLimit = 5'242'880;  // RTF and HTML, each
    static constexpr const char* kTooLargeToast = "Skipped a clipboard item larger than 10 MB";

    PasteboardCaptureReader(Pasteboard& pasteboard, Workspace& workspace, ProcessID ownProcessID);

    PasteboardCapture read(const CaptureSettings& settings);

    // The skip test: a marker type among `types`, or (when asked) a password manager's id.
    static bool shouldIgnorePasteboard(const std::vector<std::string>& types,
                                       const std::optional<std::string>& sourceBundleID,
                                       bool skipSensitiveContent);
    static bool isPasswordManager(std::string_view bundleID);
    // Line breaks (not spaces or tabs) off both ends.
    static std::string_view trimmingNewlines(std::string_view text);
    // The PNG encoding of an image offered in any readable format; nothing when it cannot be
    // decoded.
    static std::optional<Bytes> pngEncoding(const Bytes& data, std::string_view type);

private:
    Pasteboard& pasteboard_;
    Workspace& workspace_;
    ProcessID ownProcessID_;

    // `tooManyPixels` is set when an offered image was refused for its pixel count.
    std::optional<Bytes> readImage(bool& tooManyPixels);
    static bool hasTooManyPixels(const Bytes& data);
};

}  // namespace harbelle
