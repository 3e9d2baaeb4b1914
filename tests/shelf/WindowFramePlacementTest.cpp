#include <gtest/gtest.h>

#include "shelf/WindowFramePlacement.h"

using namespace harbelle;

namespace {
void expectRect(const QRectF& actual, const QRectF& expected) {
    EXPECT_DOUBLE_EQ(actual.x(), expected.x());
    EXPECT_DOUBLE_EQ(actual.y(), expected.y());
    EXPECT_DOUBLE_EQ(actual.width(), expected.width());
    EXPECT_DOUBLE_EQ(actual.height(), expected.height());
}
}  // namespace

TEST(WindowFramePlacement, FittedAndCenteredKeepsASizeThatFits) {
    const QRectF visible(100, 50, 1000, 800);
    expectRect(WindowFramePlacement::fittedAndCenteredFrame(QSizeF(400, 300), visible, 20),
               QRectF(400, 300, 400, 300));
}

TEST(WindowFramePlacement, FittedAndCenteredShrinksToTheMarginAndTreatsNegativesAsNothing) {
    const QRectF visible(0, 0, 500, 400);
    expectRect(WindowFramePlacement::fittedAndCenteredFrame(QSizeF(900, 900), visible, 20),
               QRectF(20, 20, 460, 360));
    // A negative margin counts as none.
    expectRect(WindowFramePlacement::fittedAndCenteredFrame(QSizeF(900, 100), visible, -30),
               QRectF(0, 150, 500, 100));
    // A margin wider than the frame leaves an empty frame at the centre.
    expectRect(WindowFramePlacement::fittedAndCenteredFrame(QSizeF(100, 100), visible, 300),
               QRectF(250, 200, 0, 0));
    // A negative size is no size.
    expectRect(WindowFramePlacement::fittedAndCenteredFrame(QSizeF(-40, 100), visible, 0),
               QRectF(250, 150, 0, 100));
}

TEST(WindowFramePlacement, ConstrainedFrameMovesInsideAndShrinks) {
    const QRectF visible(0, 0, 1000, 800);
    // Already inside: unchanged.
    expectRect(WindowFramePlacement::constrainedFrame(QRectF(100, 100, 300, 200), visible, 10),
               QRectF(100, 100, 300, 200));
    // Past the top-left: raised to the margin.
    expectRect(WindowFramePlacement::constrainedFrame(QRectF(-50, -80, 300, 200), visible, 10),
               QRectF(10, 10, 300, 200));
    // Past the bottom-right: lowered so the far edge sits at the margin.
    expectRect(WindowFramePlacement::constrainedFrame(QRectF(900, 700, 300, 200), visible, 10),
               QRectF(690, 590, 300, 200));
    // Too large: shrunk to the frame less the margins, then placed at the lower bound.
    expectRect(WindowFramePlacement::constrainedFrame(QRectF(500, 500, 2000, 2000), visible, 10),
               QRectF(10, 10, 980, 780));
}

TEST(WindowFramePlacement, ConstrainedFrameOnAnOffsetScreen) {
    const QRectF visible(1920, -200, 800, 600);  // a second screen above and to the right
    expectRect(WindowFramePlacement::constrainedFrame(QRectF(0, 0, 200, 100), visible, 0),
               QRectF(1920, 0, 200, 100));
    expectRect(WindowFramePlacement::constrainedFrame(QRectF(3000, -900, 200, 100), visible, 12),
               QRectF(2508, -188, 200, 100));
}
