#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "shell/ShelfPanelGeometry.h"

using namespace harbelle;

namespace {

// A 1440 × 875 visible frame below a 25-point top bar.
const QRectF kScreen(0, 25, 1440, 875);

void expectSize(QSizeF actual, QSizeF expected) {
    EXPECT_NEAR(actual.width(), expected.width(), 1e-9);
    EXPECT_NEAR(actual.height(), expected.height(), 1e-9);
}

void expectFrame(const QRectF& actual, const QRectF& expected) {
    EXPECT_NEAR(actual.x(), expected.x(), 1e-9);
    EXPECT_NEAR(actual.y(), expected.y(), 1e-9);
    expectSize(actual.size(), expected.size());
}

ShelfPanelGeometry layout(ShelfPlacement placement, ShelfSizeMode mode,
                          std::optional<QSizeF> custom = std::nullopt, QRectF screen = kScreen) {
    return preferredShelfGeometry(screen, placement, mode, custom);
}

}  // namespace

TEST(ShelfPanelGeometry, BottomFullSpansTheScreenLessTheInset) {
    const auto g = layout(ShelfPlacement::bottom, ShelfSizeMode::full);
    expectSize(g.maximumSize, QSizeF(1422, 520));
    expectSize(g.minimumSize, QSizeF(820, 330));
    // Bottom edge in Qt coordinates: 9 points above the visible frame's bottom.
    expectFrame(g.frame, QRectF(9, 25 + 875 - 405 - 9, 1422, 405));
}

TEST(ShelfPanelGeometry, HorizontalSizeModes) {
    expectFrame(layout(ShelfPlacement::bottom, ShelfSizeMode::compact).frame,
                QRectF(720 - 410, 900 - 330 - 9, 820, 330));
    // medium: max(0.70 × 1440, 1080) = 1080.
    expectFrame(layout(ShelfPlacement::bottom, ShelfSizeMode::medium).frame,
                QRectF(720 - 540, 900 - 405 - 9, 1080, 405));
    // custom without a stored size: the initial 1280 × 405.
    expectFrame(layout(ShelfPlacement::top, ShelfSizeMode::custom).frame, QRectF(80, 25 + 9, 1280, 405));
    // A stored size beyond the limits is clamped to the maximum.
    expectFrame(layout(ShelfPlacement::bottom, ShelfSizeMode::custom, QSizeF(3000, 900)).frame,
                QRectF(9, 900 - 520 - 9, 1422, 520));
    // A stored size is used only in custom mode.
    expectSize(layout(ShelfPlacement::bottom, ShelfSizeMode::full, QSizeF(900, 350)).frame.size(),
               QSizeF(1422, 405));
    expectSize(layout(ShelfPlacement::bottom, ShelfSizeMode::custom, QSizeF(900, 350)).frame.size(),
               QSizeF(900, 350));
}

TEST(ShelfPanelGeometry, VerticalSizeModes) {
    const auto medium = layout(ShelfPlacement::left, ShelfSizeMode::medium);
    expectSize(medium.maximumSize, QSizeF(540, 857));
    expectSize(medium.minimumSize, QSizeF(320, 440));
    // (370, max(0.72 × 857, 600)) = (370, 617.04), centred vertically against the left edge.
    expectFrame(medium.frame, QRectF(9, 25 + 437.5 - 617.04 / 2, 370, 617.04));

    expectFrame(layout(ShelfPlacement::right, ShelfSizeMode::compact).frame,
                QRectF(1440 - 320 - 9, 25 + 437.5 - 445.64 / 2, 320, 0.52 * 857));
    expectFrame(layout(ShelfPlacement::right, ShelfSizeMode::full).frame, QRectF(1440 - 390 - 9, 34, 390, 857));
    // custom without a stored size is the medium size.
    expectFrame(layout(ShelfPlacement::left, ShelfSizeMode::custom).frame, medium.frame);
    // A stored size below the minimum is raised to it.
    expectSize(layout(ShelfPlacement::left, ShelfSizeMode::custom, QSizeF(100, 100)).frame.size(), QSizeF(320, 440));
}

TEST(ShelfPanelGeometry, NarrowScreenUsesTheWholeWidth) {
    const QRectF narrow(0, 0, 800, 700);  // A.width = 782 < 820
    for (auto placement : {ShelfPlacement::bottom, ShelfPlacement::top}) {
        for (auto mode : shelfsizemode::allCases) {
            const auto g = layout(placement, mode, std::nullopt, narrow);
            EXPECT_DOUBLE_EQ(g.minimumSize.width(), 782);
            EXPECT_DOUBLE_EQ(g.maximumSize.width(), 782);
            EXPECT_DOUBLE_EQ(g.frame.width(), 782);
            EXPECT_DOUBLE_EQ(g.frame.x(), 9);
        }
    }
}

TEST(ShelfPanelGeometry, ShortScreenLimitsTheHeight) {
    const QRectF shortScreen(0, 0, 1280, 400);  // 0.62 × 382 = 236.84 < 330
    for (auto mode : shelfsizemode::allCases) {
        const auto g = layout(ShelfPlacement::bottom, mode, QSizeF(1000, 500), shortScreen);
        EXPECT_NEAR(g.maximumSize.height(), 236.84, 1e-9);
        EXPECT_NEAR(g.minimumSize.height(), 236.84, 1e-9);
        EXPECT_NEAR(g.frame.height(), 236.84, 1e-9);
        EXPECT_NEAR(g.frame.bottom(), 400 - 9, 1e-9);
    }
}

TEST(ShelfPanelGeometry, EveryLayoutStaysInsideTheVisibleFrame) {
    const QRectF screens[] = {kScreen, QRectF(1920, -300, 1024, 768), QRectF(0, 0, 640, 480), QRectF(0, 0, 300, 200)};
    for (const auto& screen : screens) {
        for (auto placement : shelfplacement::allCases) {
            for (auto mode : shelfsizemode::allCases) {
                const auto g = layout(placement, mode, QSizeF(5000, 5000), screen);
                SCOPED_TRACE(::testing::Message() << screen.width() << "x" << screen.height() << " "
                                                << shelfplacement::rawValue(placement) << " "
                                                << shelfsizemode::rawValue(mode));
                EXPECT_LE(g.minimumSize.width(), g.maximumSize.width());
                EXPECT_LE(g.minimumSize.height(), g.maximumSize.height());
                EXPECT_GE(g.frame.left(), screen.left() + 9 - 1e-9);
                EXPECT_GE(g.frame.top(), screen.top() + 9 - 1e-9);
                EXPECT_LE(g.frame.right(), screen.right() - 9 + 1e-9);
                EXPECT_LE(g.frame.bottom(), screen.bottom() - 9 + 1e-9);
            }
        }
    }
}

TEST(ShelfPanelGeometry, UnusableStoredSizeFallsBackToTheDefault) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    expectFrame(layout(ShelfPlacement::bottom, ShelfSizeMode::custom, QSizeF(nan, 300)).frame,
                layout(ShelfPlacement::bottom, ShelfSizeMode::custom).frame);
}
