// test_corners.cpp: the corners of the influence square.
#include <climits>

#include "support.h"

namespace {

struct Corners {
    Cell lb, lt, rt, rb;
};

Corners square(int ip, int jp, int infl, int a, int b, int c, int d) {
    return {corner(ip, jp, infl, a), corner(ip, jp, infl, b), corner(ip, jp, infl, c), corner(ip, jp, infl, d)};
}

#define EXPECT_CELL(c, row, col) \
    do {                         \
        EXPECT_EQ((c).i, row);   \
        EXPECT_EQ((c).j, col);   \
    } while (0)

}  // namespace

TEST(Corners, SquaresAroundRow100Column200) {
    Corners s = square(100, 200, 10, 45, 135, 225, 315);  // dip towards growing columns
    EXPECT_CELL(s.lb, 90, 210);
    EXPECT_CELL(s.lt, 90, 190);
    EXPECT_CELL(s.rt, 110, 190);
    EXPECT_CELL(s.rb, 110, 210);
    s = square(100, 200, 10, 135, 225, 315, 45);
    EXPECT_CELL(s.lb, 90, 190);
    EXPECT_CELL(s.lt, 110, 190);
    EXPECT_CELL(s.rt, 110, 210);
    EXPECT_CELL(s.rb, 90, 210);
    // Turned by 45 degrees: truncation makes the square lopsided.
    s = square(100, 200, 10, 90, 180, 270, 360);
    EXPECT_CELL(s.lb, 85, 200);
    EXPECT_CELL(s.lt, 100, 185);
    EXPECT_CELL(s.rt, 114, 200);
    EXPECT_CELL(s.rb, 100, 214);
    s = square(100, 200, 10, 105, 195, 285, 15);
    EXPECT_CELL(s.lb, 86, 196);
    EXPECT_CELL(s.lt, 103, 186);
    EXPECT_CELL(s.rt, 113, 203);
    EXPECT_CELL(s.rb, 96, 213);
}

TEST(Corners, TruncationTowardZeroNearRowZero) {
    EXPECT_CELL(corner(13, 200, 10, 105), 0, 196);  // exact row -0.66
    EXPECT_EQ(corner(12, 200, 10, 105).i, -1);      // exact row -1.66
}

TEST(Corners, ZeroAndNegativeInfluenceZones) {
    const Corners s = square(100, 200, 0, 45, 135, 225, 315);
    EXPECT_CELL(s.lb, 100, 200);
    EXPECT_CELL(s.rb, 100, 200);
    EXPECT_CELL(corner(100, 200, -10, 45), 110, 190);  // the corner opposite through the centre
}

TEST(Corners, PositionsBeyondTheIntegerRangeLieOutsideAnyRaster) {
    EXPECT_LT(corner(INT_MAX, INT_MIN, INT_MAX, 90).i, 0);  // far above row 0 ... and beyond
    EXPECT_EQ(corner(INT_MAX, INT_MIN, INT_MAX, 270).i, INT_MAX);
    EXPECT_EQ(corner(INT_MAX, INT_MIN, INT_MAX, 180).j, INT_MIN);
}
