// test_corners.cpp: the corners of the influence square.
#include <climits>

#include "support.h"

namespace {

class Corners : public StateTest {
protected:
    struct Square {
        int lb[2], lt[2], rt[2], rb[2];
    };
    Square square(int a, int b, int c, int d) {
        corners(a, 1);
        corners(b, 2);
        corners(c, 3);
        corners(d, 4);
        return {{i_lb, j_lb}, {i_lt, j_lt}, {i_rt, j_rt}, {i_rb, j_rb}};
    }
};

#define EXPECT_CELL(c, i, j) \
    do {                     \
        EXPECT_EQ((c)[0], i); \
        EXPECT_EQ((c)[1], j); \
    } while (0)

}  // namespace

TEST_F(Corners, SquaresAroundRow100Column200) {
    ip = 100;
    jp = 200;
    infl = 10;
    Square s = square(45, 135, 225, 315);  // dip towards growing columns
    EXPECT_CELL(s.lb, 90, 210);
    EXPECT_CELL(s.lt, 90, 190);
    EXPECT_CELL(s.rt, 110, 190);
    EXPECT_CELL(s.rb, 110, 210);
    s = square(135, 225, 315, 45);
    EXPECT_CELL(s.lb, 90, 190);
    EXPECT_CELL(s.lt, 110, 190);
    EXPECT_CELL(s.rt, 110, 210);
    EXPECT_CELL(s.rb, 90, 210);
    // Turned by 45 degrees: truncation makes the square lopsided.
    s = square(90, 180, 270, 360);
    EXPECT_CELL(s.lb, 85, 200);
    EXPECT_CELL(s.lt, 100, 185);
    EXPECT_CELL(s.rt, 114, 200);
    EXPECT_CELL(s.rb, 100, 214);
    s = square(105, 195, 285, 15);
    EXPECT_CELL(s.lb, 86, 196);
    EXPECT_CELL(s.lt, 103, 186);
    EXPECT_CELL(s.rt, 113, 203);
    EXPECT_CELL(s.rb, 96, 213);
}

TEST_F(Corners, TruncationTowardZeroNearRowZero) {
    jp = 200;
    infl = 10;
    ip = 13;
    corners(105, 1);  // exact row -0.66
    EXPECT_EQ(i_lb, 0);
    EXPECT_EQ(j_lb, 196);
    ip = 12;
    corners(105, 1);  // exact row -1.66
    EXPECT_EQ(i_lb, -1);
}

TEST_F(Corners, ZeroAndNegativeInfluenceZones) {
    ip = 100;
    jp = 200;
    infl = 0;
    Square s = square(45, 135, 225, 315);
    EXPECT_CELL(s.lb, 100, 200);
    EXPECT_CELL(s.rb, 100, 200);
    infl = -10;
    corners(45, 1);  // the corner opposite through the centre
    EXPECT_EQ(i_lb, 110);
    EXPECT_EQ(j_lb, 190);
}

TEST_F(Corners, FlagOutsideOneToFourWritesOnlyTheCurrentCorner) {
    ip = 100;
    jp = 200;
    infl = 10;
    i_lb = j_lb = i_lt = j_lt = i_rt = j_rt = i_rb = j_rb = -7;
    corners(45, 0);
    corners(45, 5);
    EXPECT_EQ(i_c, 90);
    EXPECT_EQ(j_c, 210);
    for (int v : {i_lb, j_lb, i_lt, j_lt, i_rt, j_rt, i_rb, j_rb}) EXPECT_EQ(v, -7);
}

TEST_F(Corners, PositionsBeyondTheIntegerRangeLieOutsideAnyRaster) {
    ip = INT_MAX;
    jp = INT_MIN;
    infl = INT_MAX;
    corners(90, 1);  // far above row 0 ... and beyond
    EXPECT_LT(i_lb, 0);
    corners(270, 1);
    EXPECT_EQ(i_lb, INT_MAX);
    corners(180, 1);
    EXPECT_EQ(j_lb, INT_MIN);
}
