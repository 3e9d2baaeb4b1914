#include "platform/linux/TesseractTextRecognizer.h"

#include <omp.h>

#include <QCoreApplication>
#include <QImage>
#include <QImageReader>
#include <QPointer>
#include <QThreadPool>
#include <atomic>
#include <memory>
#include <mutex>

#include "platform/BackgroundWork.h"
#include "platform/FreedMemory.h"
#include "platform/ImageLimits.h"
#include "platform/linux/TesseractLibrary.h"

namespace harbelle {

namespace {

struct EngineDeleter {
    void operator()(TessBaseAPI* engine) const {
        tesseractLibrary().destroy(engine);
        // A worker that sat idle lets its engine go: its model goes back to the system.
        returnFreedHeapToSystem();
    }
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
        // The engine's parallel loops name their own team size, so asking for one thread does
        // not cap them, and the environment's limit was read when Qt loaded the OpenMP runtime,
        // long before main. No active parallel level caps every loop this thread starts: a team
        // per loop on every core made a page cost six times the CPU of one thread.
        omp_set_max_active_levels(0);
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

using CancelFlag = std::atomic<bool>;

bool cancelRequested(void* flag, int) { return static_cast<const CancelFlag*>(flag)->load(std::memory_order_relaxed); }

bool isCancelled(const CancelFlag* flag) { return flag && flag->load(std::memory_order_relaxed); }

std::vector<std::string> recognizeCancellably(const QImage& image, CancelFlag* cancelled) {
    std::vector<std::string> lines;
    if (image.isNull() || image.width() < 3 || image.height() < 3 || isCancelled(cancelled)) return lines;
    TessBaseAPI* engine = threadEngine();
    if (!engine) return lines;
    const TesseractLibrary& library = tesseractLibrary();
    const QImage gray = preparedImage(image);
    if (isCancelled(cancelled)) return lines;
    library.setImage(engine, gray.constBits(), gray.width(), gray.height(), 1, static_cast<int>(gray.bytesPerLine()));
    library.setSourceResolution(engine, 96);
    // The engine asks the monitor after every word, so a quit never waits for a whole page.
    std::unique_ptr<ETEXT_DESC, decltype(library.monitorDelete)> monitor(library.monitorCreate(), library.monitorDelete);
    if (monitor && cancelled) {
        library.monitorSetCancelFunc(monitor.get(), &cancelRequested);
        library.monitorSetCancelThis(monitor.get(), cancelled);
    }
    if (library.recognize(engine, monitor.get()) != 0 || isCancelled(cancelled)) {
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

}  // namespace

struct TesseractTextRecognizer::Impl {
    QThreadPool pool;
    BackgroundWork work;
    // Shared with the jobs, which may still be finishing after this object is gone.
    std::shared_ptr<CancelFlag> cancelled = std::make_shared<CancelFlag>(false);
    std::shared_ptr<std::atomic<int>> pending = std::make_shared<std::atomic<int>>(0);

    // `read` on a worker; the heap that a burst of pictures used goes back when the last one ends.
    template <typename Read>
    void run(Read read, QObject* context, Completion completion) {
        if (cancelled->load()) return;
        pending->fetch_add(1);
        work.run(
            [read = std::move(read), cancelled = cancelled, pending = pending] {
                std::vector<std::string> lines = read(cancelled.get());
                if (pending->fetch_sub(1) == 1) returnFreedHeapToSystem();
                return lines;
            },
            deliverTo(context, std::move(completion)), &pool);
    }
};

TesseractTextRecognizer::TesseractTextRecognizer() : impl_(std::make_unique<Impl>()) {
    raiseImageAllocationLimit();
    impl_->pool.setMaxThreadCount(kMaxConcurrent);
    impl_->pool.setExpiryTimeout(60'000);
}

TesseractTextRecognizer::~TesseractTextRecognizer() {
    cancelAll();
    impl_->pool.waitForDone();
}

void TesseractTextRecognizer::cancelAll() {
    impl_->cancelled->store(true);
    impl_->work.close();
    impl_->pool.clear();
}

bool TesseractTextRecognizer::waitUntilIdle(int milliseconds) { return impl_->pool.waitForDone(milliseconds); }

std::vector<std::string> TesseractTextRecognizer::recognizeNow(const QImage& image) {
    return recognizeCancellably(image, nullptr);
}

void TesseractTextRecognizer::recognize(const std::filesystem::path& imageFile, QObject* context,
                                        Completion completion) {
    impl_->run(
        [path = QString::fromStdString(imageFile.string())](CancelFlag* cancelled) {
            QImageReader reader(path);
            reader.setAutoTransform(true);
            // Never decoded whole past the pixel limit; such an image simply has no text.
            if (exceedsImagePixelLimit(reader.size()) || isCancelled(cancelled)) return std::vector<std::string>{};
            return recognizeCancellably(reader.read(), cancelled);
        },
        context, std::move(completion));
}

void TesseractTextRecognizer::recognize(const QImage& image, QObject* context, Completion completion) {
    impl_->run([image](CancelFlag* cancelled) { return recognizeCancellably(image, cancelled); }, context,
               std::move(completion));
}

}  // namespace harbelle
