#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "history/ClipItem.h"
#include "history/ClipList.h"
#include "platform/TextRecognizer.h"

class QObject;

namespace harbelle {

// Makes the words shown in a newly captured image searchable. Only image capture starts it,
// for a new payload file: repeated images, images from other devices and imported images are
// never recognized.
class ImageTextRecognition {
public:
    // Called on the main thread with the clip's id and its non-empty recognized text.
    using TextFound = std::function<void(const Uuid& itemID, const std::string& text)>;

    // Recognizes the file in the background; `found` runs only when text was found and
    // `context` still exists. Returns at once.
    static void recognizeText(TextRecognizer& recognizer, const std::filesystem::path& imageFile,
                              const Uuid& itemID, QObject* context, TextFound found);

    // The lines as stored: joined by line feeds.
    static std::string joinedText(const std::vector<std::string>& lines);

    // Puts the text into the clip with that id (found by id: the list may have changed).
    // False when no such clip is left; the caller saves only on true.
    static bool applyRecognizedText(ClipList& items, const Uuid& itemID, const std::string& text);
};

}  // namespace harbelle
