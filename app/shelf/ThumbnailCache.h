#pragma once

#include <QCache>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QSize>
#include <QString>
#include <QThreadPool>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/BackgroundWork.h"

namespace harbelle {

// Image thumbnails for the shelf's cards, decoded from payload files on worker threads and
// kept in memory by payload name and size. A card asks for its thumbnail while painting; the
// first ask starts a load and returns nothing, and `thumbnailReady` tells the view to repaint.
class ThumbnailCache : public QObject {
    Q_OBJECT
public:
    // Maps a payload name to its file; nothing for an unsafe or unknown name.
    using PayloadResolver = std::function<std::optional<std::filesystem::path>(const std::string& payloadName)>;

    explicit ThumbnailCache(PayloadResolver resolver, QObject* parent = nullptr);
    ~ThumbnailCache() override;  // waits for running loads

    // The cached thumbnail, scaled to fit `boundingSize` (device pixels, at most 2048 a side)
    // keeping its aspect; a null image while it loads or when the payload has no readable image.
    QImage thumbnail(const QString& payloadName, QSize boundingSize);
    bool hasFailed(const QString& payloadName, QSize boundingSize) const;

    // Forgets one payload (its file changed or was removed), or everything.
    void invalidate(const QString& payloadName);
    void clear();

    // Waits until no load is running (tests and shutdown).
    void waitForIdle();

    void setMaximumCostKilobytes(int kilobytes);

signals:
    void thumbnailReady(const QString& payloadName);

private:
    static QString keyFor(const QString& payloadName, QSize boundingSize);
    void finishLoad(quint64 token, QString key, QString payloadName, QImage image);

    PayloadResolver resolver_;
    QCache<QString, QImage> cache_;
    QHash<QString, quint64> pending_;  // key -> token of the load in flight
    QSet<QString> failed_;
    quint64 nextToken_ = 0;
    QThreadPool pool_;
    BackgroundWork work_{this};
};

// Reads an image file scaled to fit `boundingSize`, honouring its orientation; a null image
// when the file is missing, unreadable or not an image.
QImage loadThumbnailImage(const std::filesystem::path& file, QSize boundingSize);

}  // namespace harbelle
