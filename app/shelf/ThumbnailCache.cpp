#include "shelf/ThumbnailCache.h"

#include <QImageReader>
#include <QMetaObject>
#include <QRunnable>
#include <algorithm>

#include "platform/ImageLimits.h"

namespace harbelle {

namespace {
// Large screenshots decode past Qt's default 256 MB limit; thumbnails of them must still work.
constexpr int kAllocationLimitMegabytes = 1024;
// Bounds the largest entry well below the cache's smallest cost limit, so every loaded
// thumbnail fits and a load never repeats for want of room.
constexpr int kMaximumSide = 2048;
constexpr int kMinimumCostKilobytes = 32 * 1024;
}  // namespace

QImage loadThumbnailImage(const std::filesystem::path& file, QSize boundingSize) {
    if (boundingSize.isEmpty()) return {};
    QImageReader reader(QString::fromStdString(file.string()));
    reader.setAutoTransform(true);
    const QSize original = reader.size();
    if (exceedsImagePixelLimit(original)) return {};  // never decoded, not even scaled
    if (original.isValid() && !original.isEmpty() &&
        (original.width() > boundingSize.width() || original.height() > boundingSize.height())) {
        // Lets decoders that can (JPEG) scale while decoding.
        reader.setScaledSize(original.scaled(boundingSize, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
    }
    QImage image = reader.read();
    if (image.isNull()) return {};
    if (image.width() > boundingSize.width() || image.height() > boundingSize.height())
        image = image.scaled(boundingSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (image.format() != QImage::Format_ARGB32_Premultiplied)
        image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    return image;
}

ThumbnailCache::ThumbnailCache(PayloadResolver resolver, QObject* parent)
    : QObject(parent), resolver_(std::move(resolver)) {
    cache_.setMaxCost(64 * 1024);  // kilobytes
    pool_.setMaxThreadCount(2);
    if (QImageReader::allocationLimit() < kAllocationLimitMegabytes)
        QImageReader::setAllocationLimit(kAllocationLimitMegabytes);
}

ThumbnailCache::~ThumbnailCache() {
    work_.close();
    pool_.clear();
    pool_.waitForDone();
}

QString ThumbnailCache::keyFor(const QString& payloadName, QSize boundingSize) {
    return payloadName + QLatin1Char('@') + QString::number(boundingSize.width()) + QLatin1Char('x') +
           QString::number(boundingSize.height());
}

bool ThumbnailCache::hasFailed(const QString& payloadName, QSize boundingSize) const {
    return failed_.contains(keyFor(payloadName, boundingSize.boundedTo(QSize(kMaximumSide, kMaximumSide))));
}

QImage ThumbnailCache::thumbnail(const QString& payloadName, QSize boundingSize) {
    if (payloadName.isEmpty() || boundingSize.isEmpty()) return {};
    boundingSize = boundingSize.boundedTo(QSize(kMaximumSide, kMaximumSide));
    const QString key = keyFor(payloadName, boundingSize);
    if (const QImage* cached = cache_.object(key)) return *cached;
    if (pending_.contains(key) || failed_.contains(key)) return {};

    std::optional<std::filesystem::path> file;
    if (resolver_) {
        try {
            file = resolver_(payloadName.toStdString());
        } catch (...) {
            file.reset();
        }
    }
    if (!file) {
        failed_.insert(key);
        return {};
    }

    const quint64 token = ++nextToken_;
    pending_.insert(key, token);
    work_.run([path = *file, boundingSize] { return loadThumbnailImage(path, boundingSize); },
              [this, token, key, payloadName](QImage image) { finishLoad(token, key, payloadName, std::move(image)); },
              &pool_);
    return {};
}

void ThumbnailCache::finishLoad(quint64 token, QString key, QString payloadName, QImage image) {
    // A load whose entry was cleared or invalidated meanwhile may have read an old file.
    if (pending_.value(key) != token) return;
    pending_.remove(key);
    if (image.isNull()) {
        failed_.insert(key);
        return;
    }
    const int cost = std::max<qsizetype>(1, image.sizeInBytes() / 1024);
    cache_.insert(key, new QImage(std::move(image)), cost);
    emit thumbnailReady(payloadName);
}

void ThumbnailCache::invalidate(const QString& payloadName) {
    const QString prefix = payloadName + QLatin1Char('@');
    const auto keys = cache_.keys();
    for (const QString& key : keys)
        if (key.startsWith(prefix)) cache_.remove(key);
    for (auto it = failed_.begin(); it != failed_.end();)
        it = it->startsWith(prefix) ? failed_.erase(it) : std::next(it);
    // A load in flight may read the old file; its result is dropped and the next ask loads again.
    for (auto it = pending_.begin(); it != pending_.end();)
        it = it.key().startsWith(prefix) ? pending_.erase(it) : std::next(it);
}

void ThumbnailCache::clear() {
    cache_.clear();
    pending_.clear();
    failed_.clear();
}

void ThumbnailCache::waitForIdle() { pool_.waitForDone(); }

void ThumbnailCache::setMaximumCostKilobytes(int kilobytes) { cache_.setMaxCost(std::max(kMinimumCostKilobytes, kilobytes)); }

}  // namespace harbelle
