#include <gtest/gtest.h>

#include <QBuffer>
#include <QCryptographicHash>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QRandomGenerator>
#include <QThreadPool>

#include <sys/stat.h>

#include "history/HistoryStoreTestSupport.h"
#include "syncbridge/SyncDerivativeMaker.h"
#include "syncbridge/SyncImageCompressor.h"

namespace harbelle::testing {
namespace {

Bytes encoded(const QImage& image, const char* format, int quality = -1) {
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    EXPECT_TRUE(writer.write(image));
    return Bytes(data.begin(), data.end());
}

QImage flat(int width, int height, QImage::Format format = QImage::Format_RGB32) {
    QImage image(width, height, format);
    image.fill(QColor(40, 120, 200));
    return image;
}

// A photograph-like picture: smooth gradients with a little grain, so JPEG sizes are realistic.
QImage photo(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int grain = static_cast<int>(random.bounded(24));
            row[x] = qRgb((x * 255 / width + grain) & 255, (y * 255 / height + grain) & 255, (x + y + grain) & 255);
        }
    }
    return image;
}

std::uint32_t crc32(const char* data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= static_cast<std::uint8_t>(data[i]);
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// Pads a PNG to exactly `size` bytes with a private ancillary chunk before IEND.
Bytes paddedPNG(Bytes png, std::size_t size) {
    const std::size_t padding = size - png.size() - 12;
    QByteArray chunk("prVt");
    chunk.append(QByteArray(static_cast<qsizetype>(padding), 'x'));
    const std::uint32_t crc = crc32(chunk.constData(), static_cast<std::size_t>(chunk.size()));
    Bytes block;
    for (int shift : {24, 16, 8, 0}) block.push_back(static_cast<std::uint8_t>(padding >> shift));
    block.insert(block.end(), chunk.begin(), chunk.end());
    for (int shift : {24, 16, 8, 0}) block.push_back(static_cast<std::uint8_t>(crc >> shift));
    png.insert(png.end() - 12, block.begin(), block.end());  // IEND is the last 12 bytes
    return png;
}

std::string independentDigest(const Bytes& data) {
    return QCryptographicHash::hash(QByteArray(reinterpret_cast<const char*>(data.data()), qsizetype(data.size())),
                                    QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

TEST(SyncImageCompressor, PassesSmallImagesUnchangedAndReencodesPastEachBound) {
    const Bytes atBound = paddedPNG(encoded(flat(1600, 1600), "png"), 204'800);
    ASSERT_EQ(atBound.size(), 204'800u);
    const auto passed = SyncImageCompressor::derivative(atBound);
    ASSERT_TRUE(passed);
    EXPECT_EQ(passed->data, atBound);
    EXPECT_EQ(passed->contentType, "image/png");
    EXPECT_EQ(passed->pixelWidth, 1600);
    EXPECT_EQ(passed->digest, independentDigest(atBound));

    // One byte more: re-encoded, and a small image is never scaled up.
    const auto overBytes = SyncImageCompressor::derivative(paddedPNG(encoded(flat(100, 80), "png"), 204'801));
    ASSERT_TRUE(overBytes);
    EXPECT_EQ(overBytes->contentType, "image/jpeg");
    EXPECT_EQ(overBytes->pixelWidth, 100);
    EXPECT_EQ(overBytes->pixelHeight, 80);

    for (const auto& [width, height] : {std::pair{1601, 10}, std::pair{10, 1601}}) {
        const auto wide = SyncImageCompressor::derivative(encoded(flat(width, height), "png"));
        ASSERT_TRUE(wide);
        EXPECT_EQ(std::max(wide->pixelWidth, wide->pixelHeight), 1600);
        EXPECT_EQ(wide->digest, independentDigest(wide->data));
    }
}

TEST(SyncImageCompressor, OneTransparentPixelAnywhereKeepsPNG) {
    QImage image = flat(3000, 100, QImage::Format_ARGB32);
    EXPECT_EQ(SyncImageCompressor::derivative(encoded(image, "png"))->contentType, "image/jpeg");
    image.setPixel(2999, 57, qRgba(0, 0, 0, 0));
    const auto derivative = SyncImageCompressor::derivative(encoded(image, "png"));
    ASSERT_TRUE(derivative);
    EXPECT_EQ(derivative->contentType, "image/png");
    EXPECT_EQ(derivative->pixelWidth, 1600);
}

TEST(SyncImageCompressor, LargePhotoBecomesJpegWithinBoundAndNonImagesGiveNothing) {
    const auto derivative = SyncImageCompressor::derivative(encoded(photo(4000, 3000), "png"));
    ASSERT_TRUE(derivative);
    EXPECT_EQ(derivative->contentType, "image/jpeg");
    EXPECT_LE(derivative->data.size(), SyncImageCompressor::kMaxDerivativeByteCount);
    EXPECT_TRUE(derivative->pixelWidth == 1600 || derivative->pixelWidth == 1280) << derivative->pixelWidth;
    EXPECT_EQ(derivative->pixelHeight * 4, derivative->pixelWidth * 3);
    QImage decoded;
    EXPECT_TRUE(decoded.loadFromData(derivative->data.data(), int(derivative->data.size()), "JPEG"));

    const std::string text = "not an image at all";
    EXPECT_FALSE(SyncImageCompressor::derivative(Bytes(text.begin(), text.end())));
    EXPECT_FALSE(SyncImageCompressor::derivative({}));
}

TEST(SyncImageCompressor, OrientationIsAppliedBeforeScaling) {
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    if (!writer.supportsOption(QImageIOHandler::ImageTransformation)) GTEST_SKIP() << "no orientation writer";
    writer.setTransformation(QImageIOHandler::TransformationRotate90);
    ASSERT_TRUE(writer.write(photo(3200, 1600)));
    const auto derivative = SyncImageCompressor::derivative(Bytes(data.begin(), data.end()));
    ASSERT_TRUE(derivative);
    EXPECT_EQ(derivative->pixelWidth, 800);
    EXPECT_EQ(derivative->pixelHeight, 1600);
}

class SyncDerivativeStoreTest : public HistoryStoreFixture {};

TEST_F(SyncDerivativeStoreTest, WritesPrivateFileFillsFieldsAndRetiresForGoneClips) {
    auto store = makeStore();
    ClipItem clip = makeClip("", ClipKind::image);
    clip.payloadFilename = clip.id.uppercaseString() + ".png";
    store->importItems({clip}, "Test");
    std::vector<Uuid> told;
    store->onSyncableImageCaptured = [&](const Uuid& id, const SyncableImagePayload& image, Date,
                                         const ClipSourceDeviceOrigin&) {
        told.push_back(id);
        EXPECT_EQ(image.contentType, "image/jpeg");
    };

    SyncImageDerivative made;
    const auto name =
        SyncDerivativeMaker::makeAndWrite(encoded(photo(2000, 1000), "png"), clip.id, payloads(), made);
    ASSERT_TRUE(name);
    EXPECT_EQ(*name, clip.id.uppercaseString() + ".sync.jpg");
    struct stat info {};
    ASSERT_EQ(::stat((payloads() / *name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    SyncableImagePayload payload{made.data, made.contentType, made.digest, made.pixelWidth, made.pixelHeight};
    store->applySyncDerivative(clip.id, *name, payload);
    const ClipItem& stored = store->items().front();
    EXPECT_EQ(stored.syncPayloadFilename, *name);
    EXPECT_EQ(stored.syncPayloadDigest, made.digest);
    EXPECT_EQ(stored.syncPayloadByteCount, std::int64_t(made.data.size()));
    EXPECT_EQ(stored.syncPayloadPixelWidth, 1600);
    EXPECT_EQ(stored.syncPayloadPixelHeight, 800);
    EXPECT_EQ(told, std::vector<Uuid>{clip.id});

    const Uuid gone = Uuid::random();
    store->applySyncDerivative(gone, gone.uppercaseString() + ".sync.png", payload);
    EXPECT_TRUE(store->retiredPayloadFilenames().count(gone.uppercaseString() + ".sync.png"));
}

// The installed hook makes the copy off the GUI thread and hands it to a live store only.
TEST_F(SyncDerivativeStoreTest, InstalledHookHandsBackToALiveStoreOnly) {
    const Bytes png = encoded(photo(2000, 1000), "png");
    for (const bool storeGoes : {false, true}) {
        auto store = makeStore();
        const ClipItem clip = makeClip("", ClipKind::image);
        store->importItems({clip}, "Test");
        SyncDerivativeMaker::install(*store);
        store->onEncodeSyncDerivative(png, clip.id);
        if (storeGoes) store.reset();
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        const std::string name = clip.id.uppercaseString() + ".sync.jpg";
        EXPECT_TRUE(fs::exists(payloads() / name));
        if (store) {
            EXPECT_EQ(store->items().front().syncPayloadFilename, name);
        }
    }
}

}  // namespace
}  // namespace harbelle::testing
