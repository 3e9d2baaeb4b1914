#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

class QImage;
class QObject;

namespace harbelle {

// Text recognition in images. Requests come from the main thread; the work runs elsewhere
// and its result comes back on the main thread, unless `context` was destroyed meanwhile.
class TextRecognizer {
public:
    // The recognized lines in reading order; empty when nothing was found or the image could
    // not be read.
    using Completion = std::function<void(std::vector<std::string> lines)>;
    virtual ~TextRecognizer() = default;

    virtual void recognize(const std::filesystem::path& imageFile, QObject* context, Completion completion) = 0;
    virtual void recognize(const QImage& image, QObject* context, Completion completion) = 0;
    // At quit: running recognitions stop at their next word, waiting ones never start, no
    // completion comes any more and later requests are dropped. Main thread.
    virtual void cancelAll() {}
};

}  // namespace harbelle
