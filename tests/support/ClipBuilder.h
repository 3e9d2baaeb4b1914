#pragma once

#include <optional>
#include <string>
#include <utility>

#include "history/ClipItem.h"

namespace harbelle::testing {

// The one way tests make clips: `ClipBuilder("hi")` is a bare text clip (kind and text only);
// each setter adds what a test relies on, and `captured(now)` makes it look like one the store
// took in itself (title, time, app, real fingerprint).
class ClipBuilder {
public:
    explicit ClipBuilder(std::string text = {}, ClipKind kind = ClipKind::text) {
        clip_.kind = kind;
        clip_.text = std::move(text);
    }

    ClipBuilder& title(std::string title) { clip_.title = std::move(title); return *this; }
    ClipBuilder& titled() { return title(clip_.text); }
    ClipBuilder& at(Date when) { clip_.createdAt = clip_.updatedAt = when; return *this; }
    ClipBuilder& app(std::string name) { clip_.sourceAppName = std::move(name); return *this; }
    ClipBuilder& fingerprint(std::string value) { clip_.fingerprint = std::move(value); return *this; }
    ClipBuilder& realFingerprint() {
        return fingerprint(ClipItem::makeFingerprint(clip_.kind, clip_.text, {}, std::nullopt, nullptr));
    }
    ClipBuilder& searchable() { clip_.searchableText = clip_.text; return *this; }
    ClipBuilder& payload(std::optional<std::string> file) { clip_.payloadFilename = std::move(file); return *this; }
    ClipBuilder& captured(Date when) { return titled().at(when).app("Editor").realFingerprint(); }

    operator ClipItem() const { return clip_; }  // NOLINT: reads as a clip where one is expected

private:
    ClipItem clip_;
};

}  // namespace harbelle::testing
