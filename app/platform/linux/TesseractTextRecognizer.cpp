#include "platform/linux/TesseractTextRecognizer.h"

#include <omp.h>

#include <QCoreApplication>
#include <QImage>
#include <QImageReader>
#include <QPointer>
#include <QThreadPool>
#include <memory>
#include <mutex>

#include "platform/BackgroundWork.h"
#include "platform/ImageLimits.h"
#include "platform/linux/TesseractLibrary.h"

namespace harbelle {

namespace {

struct EngineDeleter {
    void operator()(TessBaseAPI* engine) const { tesseractLibrary().destroy(engine); }
};

// One engine per worker thread: loading the English model takes ~70 ms, so it is kept.
TessBaseAPI* threadEngine() {
    thread_local std::unique_ptr<TessBaseAPI, EngineDeleter> engine;
    thread_local bool failed = false;
    if (!engine && !failed) {
        const TesseractLibrary& library = tesseractLibrary();
        if (!library.loaded) {
            static std::once_flag reported;
            std::call_once(reported, [&library] { qWarning("ocr: %s", library.error.c_str()); });
            failed = true;
            return nullptr;
        }
        // The engine's OpenMP loops would start a team per call on every core; with two
        // recognitions at once and the rest of the desktop busy that is many times slower
        // than one thread each.
        omp_set_num_threads(1);
        std::unique_ptr<TessBaseAPI, EngineDeleter> candidate(library.create());
        if (candidate && library.init(candidate.get(), nullptr, "eng", tesseract::OEM_LSTM_ONLY) == 0)
            engine = std::move(candidate);
        else failed = true;
    }
    return engine.get();
}

// Dark text on a light ground, in 8-bit grey, which is what the engine reads best.
QImage preparedImage(const QImage& source) {
    QImage rgba = source.convertToFormat(QImage::Format_ARGB32);
    // Luminance of the visible pixels decides the ground a transparent image is laid on.
    double weighted = 0, weight = 0;
    for (int y = 0; y < rgba.height(); y += std::max(1, rgba.height() / 200)) {
        const auto* line = reinterpret_cast<const QRgb*>(rgba.constScanLine(y));
        for (int x = 0; x < rgba.width(); x += std::max(1, rgba.width() / 200)) {
            const double a = qAlpha(line[x]) / 255.0;
            weighted += a * qGray(line[x]);
            weight += a;
        }
    }
    const bool lightInk = source.hasAlphaChannel() && weight > 0 && weighted / weight > 127;
    QImage flat(rgba.size(), QImage::Format_RGB32);
    flat.fill(lightInk ? Qt::black : Qt::white);
    {
        // Compose by hand: QPainter is not for worker threads on every platform.
        for (int y = 0; y < rgba.height(); ++y) {
            const auto* in = reinterpret_cast<const QRgb*>(rgba.constScanLine(y));
            auto* out = reinterpret_cast<QRgb*>(flat.scanLine(y));
            for (int x = 0; x < rgba.width(); ++x) {
                const int a = qAlpha(in[x]);
                if (a == 255) { out[x] = in[x]; continue; }
                const int g = lightInk ? 0 : 255;
                out[x] = qRgb((qRed(in[x]) * a + g * (255 - a)) / 255, (qGreen(in[x]) * a + g * (255 - a)) / 255,
                              (qBlue(in[x]) * a + g * (255 - a)) / 255);
            }
        }
    }
    QImage gray = flat.convertToFormat(QImage::Format_Grayscale8);
    long long sum = 0;
    for (int y = 0; y < gray.height(); ++y) {
        const uchar* line = gray.constScanLine(y);
        for (int x = 0; x < gray.width(); ++x) sum += line[x];
    }
    const long long pixels = static_cast<long long>(gray.width()) * gray.height();
    if (pixels > 0 && sum / pixels < 128) gray.invertPixels();  // light text on a dark ground
    return gray;
}

std::string trimmedLine(const char* text) {
    std::string line = text ? text : "";
    const auto end = line.find_last_not_of(" \t\r\n");
    line.resize(end == std::string::npos ? 0 : end + 1);
    const auto begin = line.find_first_not_of(" \t");
    return begin == std::string::npos ? std::string() : line.substr(begin);
}

// The caller's context is checked on the GUI thread, where it lives.
std::function<void(std::vector<std::string>)> deliverTo(QObject* context, TextRecognizer::Completion completion) {
    QPointer<QObject> guard(context ? context : QCoreApplication::instance());
    return [guard, completion = std::move(completion)](std::vector<std::string> lines) {
        if (guard) completion(std::move(lines));
    };
}

}  // namespace

struct TesseractTextRecognizer::Impl {
    QThreadPool pool;
    BackgroundWork work;
};

TesseractTextRecognizer::TesseractTextRecognizer() : impl_(std::make_unique<Impl>()) {
    raiseImageAllocationLimit();
    impl_->pool.setMaxThreadCount(kMaxConcurrent);
    impl_->pool.setExpiryTimeout(60'000);
}

TesseractTextRecognizer::~TesseractTextRecognizer() {
    impl_->work.close();
    impl_->pool.clear();
    impl_->pool.waitForDone();
}

std::vector<std::string> TesseractTextRecognizer::recognizeNow(const QImage& image) {
    std::vector<std::string> lines;
    if (image.isNull() || image.width() < 3 || image.height() < 3) return lines;
    TessBaseAPI* engine = threadEngine();
    if (!engine) return lines;
    const TesseractLibrary& library = tesseractLibrary();
    const QImage gray = preparedImage(image);
    library.setImage(engine, gray.constBits(), gray.width(), gray.height(), 1, static_cast<int>(gray.bytesPerLine()));
    library.setSourceResolution(engine, 96);
    if (library.recognize(engine, nullptr) != 0) {
        library.clear(engine);
        return lines;
    }
    if (TessResultIterator* it = library.iterator(engine)) {
        do {
            char* text = library.text(it, tesseract::RIL_TEXTLINE);
            std::string line = trimmedLine(text);
            library.deleteText(text);
            if (!line.empty()) lines.push_back(std::move(line));
        } while (library.next(it, tesseract::RIL_TEXTLINE));
        library.deleteIterator(it);
    }
    library.clear(engine);
    return lines;
}

void TesseractTextRecognizer::recognize(const std::filesystem::path& imageFile, QObject* context,
                                        Completion completion) {
    impl_->work.run(
        [path = QString::fromStdString(imageFile.string())] {
            QImageReader reader(path);
            reader.setAutoTransform(true);
            // Never decoded whole past the pixel limit; such an image simply has no text.
            return exceedsImagePixelLimit(reader.size()) ? std::vector<std::string>{} : recognizeNow(reader.read());
        },
        deliverTo(context, std::move(completion)), &impl_->pool);
}

void TesseractTextRecognizer::recognize(const QImage& image, QObject* context, Completion completion) {
    impl_->work.run([image] { return recognizeNow(image); }, deliverTo(context, std::move(completion)), &impl_->pool);
}

}  // namespace harbelle
