#include "history/ImageTextRecognition.h"

#include <algorithm>

namespace harbelle {

void ImageTextRecognition::recognizeText(TextRecognizer& recognizer, const std::filesystem::path& imageFile,
                                         const Uuid& itemID, QObject* context, TextFound found) {
    recognizer.recognize(imageFile, context, [itemID, found = std::move(found)](std::vector<std::string> lines) {
        const std::string text = joinedText(lines);
        if (text.empty() || !found) return;
        found(itemID, text);
    });
}

std::string ImageTextRecognition::joinedText(const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) text += '\n';
        text += lines[i];
    }
    return text;
}

bool ImageTextRecognition::applyRecognizedText(ClipList& items, const Uuid& itemID,
                                               const std::string& text) {
    const std::size_t index = items.indexOf(itemID);
    if (index == items.size()) return false;
    items.mutableAt(index).searchableText = text;
    return true;
}

}  // namespace harbelle
