// test_raster.cpp: the walk between two cells and its four uses.
#include <cmath>
#include <random>

#include "nrutil.h"

#include "support.h"

namespace {

class Walks : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        it = ivecteur(64);
        jt = ivecteur(64);
        ib = ivecteur(64);
        jb = ivecteur(64);
    }
    using Cells = std::vector<std::pair<int, int>>;
    // The cells limite_t records from one cell to another.
    Cells top(int i0, int j0, int i1, int j1) {
        limite_t(i0, j0, i1, j1);
        Cells c;
        for (int k = 1; k <= nb_t; k++) c.push_back({it[k], jt[k]});
        return c;
    }
};

}  // namespace

TEST_F(Walks, SideEntriesEndWithTheOvershootCell) {
    limite_b(10, 10, 10, 14);
    ASSERT_EQ(nb_b, 6);
    for (int k = 1; k <= 6; k++) {
        EXPECT_EQ(ib[k], 10);
        EXPECT_EQ(jb[k], 9 + k);
    }
    EXPECT_EQ(top(5, 5, 8, 12),
              (Cells{{5, 5}, {5, 6}, {6, 7}, {6, 8}, {7, 9}, {7, 10}, {8, 11}, {8, 12}, {8, 13}}));
    EXPECT_EQ(top(0, 0, 3, 3), (Cells{{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}}));
}

TEST_F(Walks, HalfPositionsRoundUpUnlessAccumulationFallsShort) {
    EXPECT_EQ(top(0, 0, 1, 2), (Cells{{0, 0}, {1, 1}, {1, 2}, {2, 3}}));
    // 7 additions of 1/14 give just below one half: the same segment walked
    // both ways gives different cells.
    Cells forward = top(0, 0, 1, 14), backward = top(1, 14, 0, 0);
    EXPECT_EQ(forward[7], std::make_pair(0, 7));
    EXPECT_EQ(forward[8], std::make_pair(1, 8));
    EXPECT_EQ(backward[7], std::make_pair(1, 7));
}

TEST_F(Walks, OvershootTowardsRowOrColumnZeroStaysOnIt) {
    EXPECT_EQ(top(3, 0, 0, 0), (Cells{{3, 0}, {2, 0}, {1, 0}, {0, 0}, {0, 0}}));
    EXPECT_EQ(top(4, 4, 1, 0), (Cells{{4, 4}, {3, 3}, {3, 2}, {2, 1}, {1, 0}, {0, 0}}));
}

TEST_F(Walks, CoincidentEndsWriteOneEntryCountOneAndClassifyNothing) {
    grids(10, 10);
    it[2] = ib[2] = -9;
    EXPECT_EQ(top(7, 7, 7, 7), (Cells{{7, 7}}));
    EXPECT_EQ(it[2], -9);
    limite_b(7, 7, 7, 7);
    EXPECT_EQ(nb_b, 1);
    trace_droite_deb(7, 7, 7, 7);
    EXPECT_EQ(num_points, 1);
    fonc = dvecteur(4);
    trace_droite(7, 7, 7, 7);
    for (int i = 0; i < 10; i++)
        for (int j = 0; j < 10; j++) EXPECT_EQ(mask_bin[i][j], 0);
}

TEST_F(Walks, FirstRayCountIncludesTheOvershoot) {
    trace_droite_deb(47, 47, 53, 47);
    EXPECT_EQ(num_points, 8);
}

TEST_F(Walks, EndCellIsReachedExactlyOnManyRandomSegments) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pos(0, 60);
    for (int n = 0; n < 20000; n++) {
        int i0 = pos(rng), j0 = pos(rng), i1 = pos(rng), j1 = pos(rng);
        int r = std::max(std::abs(i1 - i0), std::abs(j1 - j0));
        if (r > 60) continue;
        Cells c = top(i0, j0, i1, j1);
        ASSERT_EQ(static_cast<int>(c.size()), r == 0 ? 1 : r + 2);
        ASSERT_EQ(c[static_cast<size_t>(r)], std::make_pair(i1, j1));
    }
}

class Rays : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        grids(6, 6);
        fonc = dvecteur(16);
        nb_fonc = 16;
    }
};

TEST_F(Rays, EachCellTakesTheComparisonOneCellFurtherUp) {
    fonc[2] = 10;
    fonc[3] = 0;
    fonc[4] = 10;
    dtab[0][1] = dtab[0][2] = dtab[0][3] = 5;
    dtab[0][3] = 5;
    trace_droite(0, 0, 0, 2);
    EXPECT_EQ(mask[0][0], 2);
    EXPECT_EQ(mask[0][1], 1);
    EXPECT_EQ(mask[0][2], 2);
    EXPECT_EQ(mask_bin[0][0] + mask_bin[0][1] + mask_bin[0][2], 3);
    EXPECT_EQ(mask_bin[0][3], 0);  // the overshoot cell is read, not written
}

TEST_F(Rays, EqualElevationsAndNaNGiveClassOne) {
    fonc[2] = 5;
    fonc[3] = std::nan("");
    dtab[1][1] = 5;
    dtab[2][1] = 5;
    trace_droite(0, 1, 1, 1);
    EXPECT_EQ(mask[0][1], 1);
    EXPECT_EQ(mask[1][1], 1);
}

TEST_F(Rays, TheLaterRayDecides) {
    fonc[2] = 10;
    dtab[1][2] = 0;
    trace_droite(1, 1, 1, 1 + 1);  // (1,1) compared at (1,2): class 2
    EXPECT_EQ(mask[1][1], 2);
    dtab[2][1] = 50;
    trace_droite(1, 1, 2, 1);  // (1,1) compared at (2,1): class 1
    EXPECT_EQ(mask[1][1], 1);
}

TEST_F(Rays, StepsLeavingTheRasterWriteNothing) {
    // Ends on the last row heading outwards: the overshoot row 6 does not
    // exist, so the end cell keeps no class from this ray.
    fonc[2] = fonc[3] = 100;
    trace_droite(4, 2, 5, 2);
    EXPECT_EQ(mask[4][2], 2);
    EXPECT_EQ(mask_bin[5][2], 0);
    // Starting outside (a side's overshoot entry) writes only inside cells.
    trace_droite(2, 6, 2, 4);
    EXPECT_EQ(mask_bin[2][5], 1);
    EXPECT_EQ(mask_bin[2][4], 1);
}
