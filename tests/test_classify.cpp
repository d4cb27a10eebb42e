// test_classify.cpp: the four phases that turn the rays' classes into the
// trace: gap filling, hole vote, contour extraction, corner clean-up.
#include "support.h"

namespace {

class Phases : public StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        grids(12, 12);
    }
    void cls(int i, int j, int c) {
        mask[i][j] = static_cast<unsigned char>(c);
        mask_bin[i][j] = c != 0;
    }
    void all() {
        fill_gaps(1, nb_lig - 2, 1, nb_col - 2);
        vote_holes(1, nb_lig - 2, 1, nb_col - 2);
        extract_contour(1, nb_lig - 2, 1, nb_col - 2);
        clean_corners(1, nb_lig - 2, 1, nb_col - 2);
    }
    // Marks trace cells and runs the corner clean-up; returns the survivors.
    std::vector<std::pair<int, int>> thin(std::vector<std::pair<int, int>> cells) {
        for (auto c : cells) tab[c.first][c.second] = 255;
        clean_corners(1, nb_lig - 2, 1, nb_col - 2);
        std::vector<std::pair<int, int>> kept;
        for (int i = 0; i < nb_lig; i++)
            for (int j = 0; j < nb_col; j++)
                if (tab[i][j] == 255) kept.push_back({i, j});
        return kept;
    }
    using Cells = std::vector<std::pair<int, int>>;
};

}  // namespace

TEST_F(Phases, FillingNeedsFourSideNeighboursOfOneClass) {
    cls(4, 5, 2);
    cls(5, 4, 2);
    cls(5, 6, 2);
    cls(6, 5, 2);
    cls(4, 4, 1);  // diagonals do not matter
    fill_gaps(1, 10, 1, 10);
    EXPECT_EQ(mask[5][5], 2);
    EXPECT_EQ(mask_bin[5][5], 1);
}

TEST_F(Phases, TwoSideAdjacentGapsStayAndBlockTheTrace) {
    // Class 1 on the left, class 2 on the right, two unclassified cells
    // (5,5) and (5,6) between them on one row.
    for (int i = 3; i <= 7; i++)
        for (int j = 3; j <= 8; j++) cls(i, j, j <= 5 ? 1 : 2);
    cls(5, 5, 0);
    cls(5, 6, 0);
    cls(5, 4, 1);
    cls(5, 7, 2);
    fill_gaps(1, 10, 1, 10);
    vote_holes(1, 10, 1, 10);
    EXPECT_EQ(mask[5][5], 0);
    EXPECT_EQ(mask[5][6], 0);
    extract_contour(1, 10, 1, 10);
    EXPECT_EQ(tab[5][4], 0);    // touches class 2 only through the gap
    EXPECT_EQ(tab[4][5], 255);  // the rows above and below meet directly
}

TEST_F(Phases, HoleVoteCountsTheWholeWindowAndATieGivesClassOne) {
    cls(4, 5, 1);  // N
    cls(5, 6, 1);  // E
    cls(6, 5, 2);  // S
    cls(5, 4, 2);  // W
    vote_holes(1, 10, 1, 10);
    EXPECT_EQ(mask[5][5], 1);
    EXPECT_EQ(mask_bin[5][5], 1);
    cls(5, 5, 0);
    cls(6, 6, 2);  // one class-2 diagonal: 2 against 3
    vote_holes(1, 10, 1, 10);
    EXPECT_EQ(mask[5][5], 2);
}

TEST_F(Phases, VotedCellCountsWithItsNewClassLaterInThePass) {
    // (5,5) is voted 2 first (2 against 3); its lower-right neighbour (6,6)
    // would tie 3 to 3 without it and takes class 2 with it.
    for (auto c : {std::make_pair(4, 4), {4, 5}, {5, 4}, {6, 7}, {7, 6}, {7, 7}}) cls(c.first, c.second, 2);
    for (auto c : {std::make_pair(5, 6), {6, 5}, {7, 5}}) cls(c.first, c.second, 1);
    vote_holes(1, 10, 1, 10);
    EXPECT_EQ(mask[5][5], 2);
    EXPECT_EQ(mask[6][6], 2);
}

TEST_F(Phases, TraceLiesOnTheClassOneSideOfSideContactsOnly) {
    cls(5, 5, 1);
    cls(5, 6, 2);
    cls(7, 7, 1);
    cls(8, 8, 2);  // diagonal contact only
    extract_contour(1, 10, 1, 10);
    EXPECT_EQ(tab[5][5], 255);
    EXPECT_EQ(tab[5][6], 0);
    EXPECT_EQ(tab[7][7], 0);
}

TEST_F(Phases, BorderClassesCountButBorderCellsNeverChange) {
    cls(0, 5, 2);   // border cell above (1,5)
    cls(1, 5, 1);
    cls(1, 4, 0);
    cls(0, 4, 1);
    cls(1, 3, 1);
    cls(2, 4, 1);
    all();
    EXPECT_EQ(tab[1][5], 255);  // its contact is with a border cell
    EXPECT_EQ(mask[1][4], 1);   // filled from a border neighbour
    for (int j = 0; j < 12; j++) EXPECT_EQ(tab[0][j], 0);
}

TEST_F(Phases, NarrowRasterHasNoInteriorAndNoTrace) {
    reset_state();
    grids(2, 5);
    cls(0, 1, 1);
    cls(1, 1, 2);
    fill_gaps(1, 0, 1, 3);
    vote_holes(1, 0, 1, 3);
    extract_contour(1, 0, 1, 3);
    clean_corners(1, 0, 1, 3);
    for (int j = 0; j < 5; j++) EXPECT_EQ(tab[0][j] + tab[1][j], 0);
}

TEST_F(Phases, ElbowCornersAreRemovedEverythingElseIsKept) {
    EXPECT_EQ(thin({{5, 5}, {5, 6}, {6, 6}}), (Cells{{5, 5}, {6, 6}}));
    reset_state();
    grids(12, 12);
    Cells l;
    for (int j = 1; j <= 5; j++) l.push_back({5, j});
    for (int i = 6; i <= 9; i++) l.push_back({i, 5});
    Cells expected = l;
    expected.erase(expected.begin() + 4);  // (5,5), code 160
    EXPECT_EQ(thin(l), expected);
}

TEST_F(Phases, StaircaseRunsBlocksAndLoneCellsAreKept) {
    Cells stairs{{5, 5}, {5, 6}, {6, 6}, {6, 7}, {7, 7}};
    EXPECT_EQ(thin(stairs), stairs);
    for (const Cells &shape : {Cells{{2, 2}, {3, 2}, {4, 2}},          // N and S: 34
                               Cells{{2, 2}, {2, 3}, {2, 4}},          // E and W: 136
                               Cells{{4, 4}},                          // lone: 0
                               Cells{{4, 5}, {4, 6}, {5, 5}, {5, 6}}}) {  // 2 x 2; (5,5) has code 14
        reset_state();
        grids(12, 12);
        EXPECT_EQ(thin(shape), shape);
    }
}
