#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/TextRecognizer.h"

class QImage;

namespace harbelle {

// Tesseract 5, English, on a pool of at most two threads with one engine per thread.
class TesseractTextRecognizer final : public TextRecognizer {
public:
    static constexpr int kMaxConcurrent = 2;

    TesseractTextRecognizer();
    ~TesseractTextRecognizer() override;  // cancels, then waits for the recognitions to stop

    void recognize(const std::filesystem::path& imageFile, QObject* context, Completion completion) override;
    void recognize(const QImage& image, QObject* context, Completion completion) override;
    void cancelAll() override;
    // True when no recognition runs any more; waits at most that long for it.
    bool waitUntilIdle(int milliseconds);

    // Synchronous recognition on the calling thread (never the GUI thread): its lines.
    static std::vector<std::string> recognizeNow(const QImage& image);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace harbelle
