#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <fstream>

#include "shelf/ShelfTestClips.h"
#include "shelf/ThumbnailCache.h"

using namespace harbelle;

namespace {

struct PayloadFolder {
    QTemporaryDir dir;
    std::filesystem::path root() const { return dir.path().toStdString(); }
    // Names must be plain file names here; anything else is unsafe and resolves to nothing.
    ThumbnailCache::PayloadResolver resolver(std::atomic<int>* calls = nullptr) const {
        const auto base = root();
        return [base, calls](const std::string& name) -> std::optional<std::filesystem::path> {
            if (calls) ++*calls;
            if (name.empty() || name.find('/') != std::string::npos || name == "..") return std::nullopt;
            return base / name;
        };
    }
};

}  // namespace

TEST(ThumbnailCache, LoadsAScaledThumbnailInTheBackgroundAndCachesIt) {
    PayloadFolder folder;
    ASSERT_TRUE(harbelle::testing::writeSamplePng(folder.root() / "A.png", 800, 400));
    std::atomic<int> calls{0};
    ThumbnailCache cache(folder.resolver(&calls));
    QSignalSpy ready(&cache, &ThumbnailCache::thumbnailReady);

    // The first ask only starts the load.
    EXPECT_TRUE(cache.thumbnail("A.png", QSize(200, 200)).isNull());
    EXPECT_TRUE(cache.thumbnail("A.png", QSize(200, 200)).isNull());  // no second load
    ASSERT_TRUE(ready.wait(5000));
    ASSERT_EQ(ready.count(), 1);
    EXPECT_EQ(ready.at(0).at(0).toString(), "A.png");

    const QImage thumb = cache.thumbnail("A.png", QSize(200, 200));
    ASSERT_FALSE(thumb.isNull());
    EXPECT_EQ(thumb.size(), QSize(200, 100));  // aspect kept
    EXPECT_EQ(calls.load(), 1);

    // Another size is another entry; a small picture is never enlarged.
    EXPECT_TRUE(cache.thumbnail("A.png", QSize(2000, 2000)).isNull());
    ASSERT_TRUE(ready.wait(5000));
    EXPECT_EQ(cache.thumbnail("A.png", QSize(2000, 2000)).size(), QSize(800, 400));
}

TEST(ThumbnailCache, UnsafeMissingAndBrokenPayloadsYieldNothing) {
    PayloadFolder folder;
    {
        std::ofstream broken(folder.root() / "broken.png", std::ios::binary);
        broken << "not a png at all";
    }
    ThumbnailCache cache(folder.resolver());
    QSignalSpy ready(&cache, &ThumbnailCache::thumbnailReady);

    EXPECT_TRUE(cache.thumbnail("../etc/passwd", QSize(100, 100)).isNull());
    EXPECT_TRUE(cache.hasFailed("../etc/passwd", QSize(100, 100)));
    EXPECT_TRUE(cache.thumbnail("missing.png", QSize(100, 100)).isNull());
    EXPECT_TRUE(cache.thumbnail("broken.png", QSize(100, 100)).isNull());
    EXPECT_TRUE(cache.thumbnail("", QSize(100, 100)).isNull());
    EXPECT_TRUE(cache.thumbnail("x.png", QSize(0, 0)).isNull());
    cache.waitForIdle();
    QCoreApplication::processEvents();
    EXPECT_EQ(ready.count(), 0);
    EXPECT_TRUE(cache.hasFailed("missing.png", QSize(100, 100)));
    EXPECT_TRUE(cache.hasFailed("broken.png", QSize(100, 100)));

    // A resolver that throws counts as no file.
    ThumbnailCache throwing([](const std::string&) -> std::optional<std::filesystem::path> {
        throw std::runtime_error("no store");
    });
    EXPECT_TRUE(throwing.thumbnail("A.png", QSize(10, 10)).isNull());
    EXPECT_TRUE(throwing.hasFailed("A.png", QSize(10, 10)));
}

TEST(ThumbnailCache, InvalidateLoadsTheNewFile) {
    PayloadFolder folder;
    ASSERT_TRUE(harbelle::testing::writeSamplePng(folder.root() / "A.png", 300, 300));
    ThumbnailCache cache(folder.resolver());
    QSignalSpy ready(&cache, &ThumbnailCache::thumbnailReady);
    cache.thumbnail("A.png", QSize(1000, 1000));
    ASSERT_TRUE(ready.wait(5000));
    EXPECT_EQ(cache.thumbnail("A.png", QSize(1000, 1000)).size(), QSize(300, 300));

    ASSERT_TRUE(harbelle::testing::writeSamplePng(folder.root() / "A.png", 120, 60));
    cache.invalidate("A.png");
    EXPECT_TRUE(cache.thumbnail("A.png", QSize(1000, 1000)).isNull());
    ASSERT_TRUE(ready.wait(5000));
    EXPECT_EQ(cache.thumbnail("A.png", QSize(1000, 1000)).size(), QSize(120, 60));

    // A failure is forgotten too, so a payload written later shows up.
    EXPECT_TRUE(cache.thumbnail("late.png", QSize(50, 50)).isNull());
    cache.waitForIdle();
    QCoreApplication::processEvents();
    ASSERT_TRUE(harbelle::testing::writeSamplePng(folder.root() / "late.png", 40, 40));
    cache.invalidate("late.png");
    cache.thumbnail("late.png", QSize(50, 50));
    ASSERT_TRUE(ready.wait(5000));
    EXPECT_FALSE(cache.thumbnail("late.png", QSize(50, 50)).isNull());
}

TEST(ThumbnailCache, ClearedOrDestroyedWhileLoadingIsSafe) {
    PayloadFolder folder;
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(harbelle::testing::writeSamplePng(folder.root() / ("P" + std::to_string(i) + ".png"), 1200, 900));
    {
        ThumbnailCache cache(folder.resolver());
        QSignalSpy ready(&cache, &ThumbnailCache::thumbnailReady);
        for (int i = 0; i < 6; ++i) cache.thumbnail(QStringLiteral("P%1.png").arg(i), QSize(64, 64));
        cache.clear();
        cache.waitForIdle();
        QCoreApplication::processEvents();
        EXPECT_EQ(ready.count(), 0);  // results of cleared loads are dropped
        // and the next ask loads again.
        cache.thumbnail("P0.png", QSize(64, 64));
        ASSERT_TRUE(ready.wait(5000));
    }
    {
        auto* cache = new ThumbnailCache(folder.resolver());
        for (int i = 0; i < 6; ++i) cache->thumbnail(QStringLiteral("P%1.png").arg(i), QSize(64, 64));
        delete cache;  // waits for its workers; their queued results die with it
        QCoreApplication::processEvents();
    }
}

TEST(ThumbnailCache, LoadThumbnailImageHonoursTheBound) {
    PayloadFolder folder;
    ASSERT_TRUE(harbelle::testing::writeSamplePng(folder.root() / "wide.png", 1000, 100));
    const QImage image = loadThumbnailImage(folder.root() / "wide.png", QSize(100, 100));
    EXPECT_EQ(image.size(), QSize(100, 10));
    EXPECT_TRUE(loadThumbnailImage(folder.root() / "nothing.png", QSize(100, 100)).isNull());
    EXPECT_TRUE(loadThumbnailImage(folder.root(), QSize(100, 100)).isNull());  // a folder
}

TEST(ThumbnailCache, ImagesOfTooManyPixelsAreNeverDecoded) {
    PayloadFolder folder;
    QImage mono(15000, 15000, QImage::Format_Mono);  // a small file claiming 225 megapixels
    mono.fill(0);
    ASSERT_TRUE(mono.save(QString::fromStdString((folder.root() / "bomb.png").string()), "PNG"));
    EXPECT_TRUE(loadThumbnailImage(folder.root() / "bomb.png", QSize(200, 200)).isNull());
    ASSERT_TRUE(harbelle::testing::writeSamplePng(folder.root() / "fine.png", 800, 400));
    EXPECT_FALSE(loadThumbnailImage(folder.root() / "fine.png", QSize(200, 200)).isNull());
}
