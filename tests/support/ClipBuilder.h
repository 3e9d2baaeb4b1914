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

    ClipBuilder& title(std::string title) { return set(clip_.title, std::move(title)); }
    ClipBuilder& titled() { return title(clip_.text); }
    ClipBuilder& at(Date when) {
        clip_.updatedAt = when;
        return set(clip_.createdAt, when);
    }
    ClipBuilder& app(std::string name) { return set(clip_.sourceAppName, std::move(name)); }
    ClipBuilder& fingerprint(std::string fingerprint) { return set(clip_.fingerprint, std::move(fingerprint)); }
    ClipBuilder& realFingerprint() {
        return fingerprint(ClipItem::makeFingerprint(clip_.kind, clip_.text, {}, std::nullopt, nullptr));
    }
    ClipBuilder& searchable() { return set(clip_.searchableText, clip_.text); }
    ClipBuilder& payload(std::optional<std::string> file) { return set(clip_.payloadFilename, std::move(file)); }
    ClipBuilder& captured(Date when) { return titled().at(when).app("Editor").realFingerprint(); }

    ClipItem build() const { return clip_; }
    operator ClipItem() const { return clip_; }  // NOLINT: reads as a clip where one is expected

private:
    template <typename Field, typename Value>
    ClipBuilder& set(Field& field, Value&& value) {
        field = std::forward<Value>(value);
        return *this;
    }

    ClipItem clip_;
};

}  // namespace harbelle::testing
