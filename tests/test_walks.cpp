// test_walks.cpp: the walk between two cells and its uses: the sides of the
// square, the length of the first ray, the classes of a ray.
#include <cmath>
#include <random>

#include "support.h"

namespace {

using Cells = std::vector<std::pair<int, int>>;

// The cells limite records from one cell to another.
Cells walked(int i0, int j0, int i1, int j1) {
    std::vector<Cell> side;
    side_cells({i0, j0}, {i1, j1}, side);
    Cells c;
    for (Cell x : side) c.push_back({x.i, x.j});
    return c;
}

}  // namespace

TEST(Walks, SideEntriesEndWithTheOvershootCell) {
    EXPECT_EQ(walked(10, 10, 10, 14), (Cells{{10, 10}, {10, 11}, {10, 12}, {10, 13}, {10, 14}, {10, 15}}));
    EXPECT_EQ(walked(5, 5, 8, 12),
              (Cells{{5, 5}, {5, 6}, {6, 7}, {6, 8}, {7, 9}, {7, 10}, {8, 11}, {8, 12}, {8, 13}}));
    EXPECT_EQ(walked(0, 0, 3, 3), (Cells{{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}}));
}

TEST(Walks, HalfPositionsRoundUpUnlessAccumulationFallsShort) {
    EXPECT_EQ(walked(0, 0, 1, 2), (Cells{{0, 0}, {1, 1}, {1, 2}, {2, 3}}));
    // 7 additions of 1/14 give just below one half: the same segment walked
    // both ways gives different cells.
    const Cells forward = walked(0, 0, 1, 14), backward = walked(1, 14, 0, 0);
    EXPECT_EQ(forward[7], std::make_pair(0, 7));
    EXPECT_EQ(forward[8], std::make_pair(1, 8));
    EXPECT_EQ(backward[7], std::make_pair(1, 7));
}

TEST(Walks, OvershootTowardsRowOrColumnZeroStaysOnIt) {
    EXPECT_EQ(walked(3, 0, 0, 0), (Cells{{3, 0}, {2, 0}, {1, 0}, {0, 0}, {0, 0}}));
    EXPECT_EQ(walked(4, 4, 1, 0), (Cells{{4, 4}, {3, 3}, {3, 2}, {2, 1}, {1, 0}, {0, 0}}));
}

TEST(Walks, CoincidentEndsGiveOneEntryCountOneAndClassifyNothing) {
    EXPECT_EQ(walked(7, 7, 7, 7), (Cells{{7, 7}}));
    EXPECT_EQ(ray_length({7, 7}, {7, 7}), 1);
    DemSamples dem;
    ASSERT_TRUE(dem.allocate(10, 10, 4));
    Classes c;
    c.reset({0, 9, 0, 9});
    classify_ray(dem.terrain(1, 30), std::vector<int64_t>(4, 1), {7, 7}, {7, 7}, c);
    for (int i = 0; i < 10; i++)
        for (int j = 0; j < 10; j++) EXPECT_EQ(c.get(i, j), 0);
}

TEST(Walks, FirstRayCountIncludesTheOvershoot) { EXPECT_EQ(ray_length({47, 47}, {53, 47}), 8); }

TEST(Walks, EndCellIsReachedExactlyOnManyRandomSegments) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pos(0, 60);
    for (int n = 0; n < 20000; n++) {
        const int i0 = pos(rng), j0 = pos(rng), i1 = pos(rng), j1 = pos(rng);
        const int r = std::max(std::abs(i1 - i0), std::abs(j1 - j0));
        const Cells c = walked(i0, j0, i1, j1);
        ASSERT_EQ(static_cast<int>(c.size()), r == 0 ? 1 : r + 2);
        ASSERT_EQ(c[static_cast<size_t>(r)], std::make_pair(i1, j1));
        ASSERT_EQ(ray_length({i0, j0}, {i1, j1}), static_cast<int>(c.size()));
    }
}

namespace {

// A 6 x 6 terrain of 32-bit samples in metres and the classes of its rays.
class Rays : public ::testing::Test {
protected:
    DemSamples dem;
    Classes c;
    std::vector<double> fonc = std::vector<double>(16, 0.0);
    void SetUp() override {
        ASSERT_TRUE(dem.allocate(6, 6, 4));
        c.reset({0, 5, 0, 5});
    }
    // The profile as thresholds, then the ray.
    void ray(int i0, int j0, int i1, int j1) {
        const Terrain t = dem.terrain(1, 30);
        std::vector<int64_t> below;
        plane_thresholds(t, fonc, below);
        classify_ray(t, below, {i0, j0}, {i1, j1}, c);
    }
};

}  // namespace

TEST_F(Rays, EachCellTakesTheComparisonOneCellFurtherUp) {
    fonc[2] = 10;
    fonc[3] = 0;
    fonc[4] = 10;
    for (int j : {1, 2, 3}) dem.set(0, j, 5);
    ray(0, 0, 0, 2);
    EXPECT_EQ(c.get(0, 0), 2);
    EXPECT_EQ(c.get(0, 1), 1);
    EXPECT_EQ(c.get(0, 2), 2);
    EXPECT_EQ(c.get(0, 3), 0);  // the overshoot cell is read, not written
}

TEST_F(Rays, EqualElevationsAndNaNGiveClassOne) {
    fonc[2] = 5;
    fonc[3] = std::nan("");
    dem.set(1, 1, 5);
    dem.set(2, 1, 5);
    ray(0, 1, 1, 1);
    EXPECT_EQ(c.get(0, 1), 1);
    EXPECT_EQ(c.get(1, 1), 1);
}

TEST_F(Rays, TheLaterRayDecides) {
    fonc[2] = 10;
    ray(1, 1, 1, 2);  // (1,1) compared at (1,2), terrain 0: class 2
    EXPECT_EQ(c.get(1, 1), 2);
    dem.set(2, 1, 50);
    ray(1, 1, 2, 1);  // (1,1) compared at (2,1): class 1
    EXPECT_EQ(c.get(1, 1), 1);
}

TEST_F(Rays, StepsLeavingTheRasterWriteNothing) {
    // Ends on the last row heading outwards: the overshoot row 6 does not
    // exist, so the end cell keeps no class from this ray.
    fonc[2] = fonc[3] = 100;
    ray(4, 2, 5, 2);
    EXPECT_EQ(c.get(4, 2), 2);
    EXPECT_EQ(c.get(5, 2), 0);
    // Starting outside (a side's overshoot entry) writes only inside cells.
    ray(2, 6, 2, 4);
    EXPECT_NE(c.get(2, 5), 0);
    EXPECT_NE(c.get(2, 4), 0);
}
