#include "platform/TextInsertion.h"

#include <QString>
#include <algorithm>

namespace harbelle {

TextLengthUnit insertionLengthUnit(std::string_view toolkitName) {
    const QString name = QString::fromUtf8(toolkitName.data(), qsizetype(toolkitName.size()));
    return name.startsWith(QLatin1String("qt"), Qt::CaseInsensitive) ? TextLengthUnit::utf16Units
                                                                      : TextLengthUnit::utf8Bytes;
}

int textLength(std::string_view utf8, TextLengthUnit unit) {
    if (unit == TextLengthUnit::utf8Bytes) return int(utf8.size());
    return int(QString::fromUtf8(utf8.data(), qsizetype(utf8.size())).size());
}

InsertionPlan planInsertion(std::optional<TextRange> selection, std::optional<int> caret,
                            std::string_view text, TextLengthUnit unit) {
    InsertionPlan plan;
    plan.length = textLength(text, unit);
    if (selection) {
        TextRange range{std::min(selection->start, selection->end),
                        std::max(selection->start, selection->end)};
        range.start = std::max(range.start, 0);
        if (!range.empty() && range.end > 0) {
            plan.deleteRange = range;
            plan.position = range.start;
            return plan;
        }
    }
    plan.position = std::max(caret.value_or(0), 0);
    return plan;
}

std::string withEmbeddedObjectsExpanded(std::string_view text,
                                        const std::function<std::optional<std::string>(int offset)>& objectText) {
    if (!holdsEmbeddedObjects(text)) return std::string(text);
    std::string expanded;
    expanded.reserve(text.size());
    int offset = 0;
    for (std::size_t at = 0; at < text.size(); ++offset) {
        // Offsets count characters: a lead byte tells how many bytes its character takes.
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        const std::string_view character = text.substr(at, length);
        std::optional<std::string> object;
        if (character == kEmbeddedObject) object = objectText(offset);
        if (object)
            expanded += *object;
        else
            expanded += character;
        at += character.size();
    }
    return expanded;
}

}  // namespace harbelle
