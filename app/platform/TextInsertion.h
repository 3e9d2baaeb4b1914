#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Accessibility.h"

namespace harbelle {

// Toolkits disagree on the length argument of an accessible text insertion: GTK and the
// at-spi2 bridges take UTF-8 bytes, Qt truncates (or pads) the text to that many UTF-16 units.
enum class TextLengthUnit { utf8Bytes, utf16Units };
TextLengthUnit insertionLengthUnit(std::string_view toolkitName);
// Length of UTF-8 text in the given unit; invalid bytes count as one U+FFFD each.
int textLength(std::string_view utf8, TextLengthUnit unit);

// The edits that put `text` in place of the selection: delete the selected range (when one is
// selected), then insert at its start, else at the caret.
struct InsertionPlan {
    std::optional<TextRange> deleteRange;
    int position = 0;
    int length = 0;
    bool operator==(const InsertionPlan&) const = default;
};
InsertionPlan planInsertion(std::optional<TextRange> selection, std::optional<int> caret,
                            std::string_view text, TextLengthUnit unit);

// A rich field (a browser's editable block, a document) gives each paragraph, link or styled run
// inside it as one embedded-object character, U+FFFC, in its own text.
inline constexpr std::string_view kEmbeddedObject = "\xEF\xBF\xBC";
inline bool holdsEmbeddedObjects(std::string_view text) {
    return text.find(kEmbeddedObject) != std::string_view::npos;
}
// The text as the user reads it: each embedded-object character replaced by what `objectText`
// gives for its character offset; one it gives nothing for stays as it is.
std::string withEmbeddedObjectsExpanded(std::string_view text,
                                        const std::function<std::optional<std::string>(int offset)>& objectText);

}  // namespace harbelle
