#include "syncbridge/SyncImageCompressor.h"

#include <algorithm>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>

#include "sync/SyncCrypto.h"

namespace harbelle::SyncImageCompressor {

namespace {

QByteArray view(const Bytes& bytes) {
    return QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

}  // namespace

std::string sha256Hex(const Bytes& bytes) {
    return sync::sha256Hex(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool containsTransparentPixel(const QImage& image) {
    if (image.width() <= 0 || image.height() <= 0) return true;
    if (!image.hasAlphaChannel()) return false;
    // Every pixel is looked at: a probe of a scaled-down copy averages a lone transparent pixel
    // away, and a JPEG would then paint it black.
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < argb.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x)
            if (qAlpha(row[x]) != 255) return true;
    }
    return false;
}

std::optional<SyncImageDerivative> encode(const QImage& upright, int maxPixelSize, double quality, bool usePNG) {
    if (upright.isNull() || maxPixelSize <= 0) return std::nullopt;
    QImage scaled = upright;
    if (upright.width() > maxPixelSize || upright.height() > maxPixelSize)
        scaled = upright.scaled(maxPixelSize, maxPixelSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (scaled.isNull()) return std::nullopt;
    if (!usePNG) scaled = scaled.convertToFormat(QImage::Format_RGB888);

    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, usePNG ? "png" : "jpeg");
    if (!usePNG) writer.setQuality(qBound(0, qRound(quality * 100.0), 100));
    if (!writer.write(scaled) || encoded.isEmpty()) return std::nullopt;

    SyncImageDerivative result;
    result.data.assign(encoded.begin(), encoded.end());
    result.contentType = usePNG ? "image/png" : "image/jpeg";
    result.pixelWidth = scaled.width();
    result.pixelHeight = scaled.height();
    result.digest = sha256Hex(result.data);
    return result;
}

std::optional<SyncImageDerivative> derivative(const Bytes& bytes) {
    if (bytes.empty()) return std::nullopt;
    QByteArray data = view(bytes);
    QBuffer source(&data);
    source.open(QIODevice::ReadOnly);
    QImageReader reader(&source);
    if (!reader.canRead()) return std::nullopt;

    // The stored size, before any orientation is applied; unknown counts as 0.
    const QSize stored = reader.size();
    const std::int64_t width = stored.isValid() ? stored.width() : 0;
    const std::int64_t height = stored.isValid() ? stored.height() : 0;
    if (width <= kPassThroughPixelSize && height <= kPassThroughPixelSize && bytes.size() <= kPassThroughByteCount) {
        return SyncImageDerivative{bytes, "image/png", width, height, sha256Hex(bytes)};
    }
    if (width * height > kMaxSourcePixels) return std::nullopt;

    reader.setAutoTransform(true);
    const QImage upright = reader.read();
    if (upright.isNull()) return std::nullopt;
    const bool transparent = containsTransparentPixel(upright);

    for (const auto& [maxPixelSize, quality] : {std::pair{1600, 0.6}, std::pair{1280, 0.45}}) {
        auto result = encode(upright, maxPixelSize, quality, transparent);
        if (result && result->data.size() <= kMaxDerivativeByteCount) return result;
    }
    return std::nullopt;
}

bool isAcceptableReceivedImage(const Bytes& data, const std::string& contentType, const std::string& digest) {
    if (data.empty() || sha256Hex(data) != digest) return false;
    const char* format = contentType == "image/png" ? "png" : contentType == "image/jpeg" ? "jpeg" : nullptr;
    if (!format) return false;
    // The declared type must be the real one; the reader would otherwise guess another.
    static const Bytes pngMagic{0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};
    static const Bytes jpegMagic{0xff, 0xd8, 0xff};
    const Bytes& magic = contentType == "image/png" ? pngMagic : jpegMagic;
    if (data.size() < magic.size() || !std::equal(magic.begin(), magic.end(), data.begin())) return false;
    QByteArray bytes = view(data);
    QBuffer source(&bytes);
    source.open(QIODevice::ReadOnly);
    QImageReader reader(&source, format);
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty()) return false;
    if (static_cast<std::int64_t>(size.width()) * size.height() > kMaxReceivedPixels) return false;
    // Decoded whole: a header alone can hide a truncated or corrupt body.
    const QImage image = reader.read();
    return !image.isNull();
}

}  // namespace harbelle::SyncImageCompressor
