// test_classify.cpp: the four phases that turn the rays' classes into the
// trace: gap filling, hole vote, contour extraction, corner clean-up.
#include "support.h"

namespace {

// A 12 x 12 raster's classes, every row open to the phases.
class Phases : public ::testing::Test {
protected:
    Classes c;
    Box interior{1, 10, 1, 10};
    void SetUp() override { size(12, 12); }
    void size(int rows, int cols) {
        c.reset({0, rows - 1, 0, cols - 1});
        c.whole_rows();
        interior = {1, rows - 2, 1, cols - 2};
    }
    void cls(int i, int j, int v) { *c.at(i, j) = static_cast<uint8_t>(v); }
    int mask(int i, int j) const { return c.get(i, j) & 3; }
    bool traced(int i, int j) const { return (c.get(i, j) & Classes::TRACE) != 0; }
    void all() {
        fill_gaps(c, interior);
        vote_holes(c, interior);
        extract_contour(c, interior);
        clean_corners(c, interior);
    }
    using Cells = std::vector<std::pair<int, int>>;
    // Marks trace cells and runs the corner clean-up; returns the survivors.
    Cells thin(const Cells &cells) {
        size(12, 12);
        for (auto x : cells) *c.at(x.first, x.second) |= Classes::TRACE;
        clean_corners(c, interior);
        Cells kept;
        for (int i = 0; i < 12; i++)
            for (int j = 0; j < 12; j++)
                if (traced(i, j)) kept.push_back({i, j});
        return kept;
    }
};

}  // namespace

TEST_F(Phases, FillingNeedsFourSideNeighboursOfOneClass) {
    cls(4, 5, 2);
    cls(5, 4, 2);
    cls(5, 6, 2);
    cls(6, 5, 2);
    cls(4, 4, 1);  // diagonals do not matter
    fill_gaps(c, interior);
    EXPECT_EQ(mask(5, 5), 2);
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
    fill_gaps(c, interior);
    vote_holes(c, interior);
    EXPECT_EQ(mask(5, 5), 0);
    EXPECT_EQ(mask(5, 6), 0);
    extract_contour(c, interior);
    EXPECT_FALSE(traced(5, 4));  // touches class 2 only through the gap
    EXPECT_TRUE(traced(4, 5));   // the rows above and below meet directly
}

TEST_F(Phases, HoleVoteCountsTheWholeWindowAndATieGivesClassOne) {
    cls(4, 5, 1);  // N
    cls(5, 6, 1);  // E
    cls(6, 5, 2);  // S
    cls(5, 4, 2);  // W
    vote_holes(c, interior);
    EXPECT_EQ(mask(5, 5), 1);
    cls(5, 5, 0);
    cls(6, 6, 2);  // one class-2 diagonal: 2 against 3
    vote_holes(c, interior);
    EXPECT_EQ(mask(5, 5), 2);
}

TEST_F(Phases, VotedCellCountsWithItsNewClassLaterInThePass) {
    // (5,5) is voted 2 first (2 against 3); its lower-right neighbour (6,6)
    // would tie 3 to 3 without it and takes class 2 with it.
    for (auto c : {std::make_pair(4, 4), {4, 5}, {5, 4}, {6, 7}, {7, 6}, {7, 7}}) cls(c.first, c.second, 2);
    for (auto c : {std::make_pair(5, 6), {6, 5}, {7, 5}}) cls(c.first, c.second, 1);
    vote_holes(c, interior);
    EXPECT_EQ(mask(5, 5), 2);
    EXPECT_EQ(mask(6, 6), 2);
}

TEST_F(Phases, TraceLiesOnTheClassOneSideOfSideContactsOnly) {
    cls(5, 5, 1);
    cls(5, 6, 2);
    cls(7, 7, 1);
    cls(8, 8, 2);  // diagonal contact only
    extract_contour(c, interior);
    EXPECT_TRUE(traced(5, 5));
    EXPECT_FALSE(traced(5, 6));
    EXPECT_FALSE(traced(7, 7));
}

TEST_F(Phases, BorderClassesCountButBorderCellsNeverChange) {
    cls(0, 5, 2);   // border cell above (1,5)
    cls(1, 5, 1);
    cls(1, 4, 0);
    cls(0, 4, 1);
    cls(1, 3, 1);
    cls(2, 4, 1);
    all();
    EXPECT_TRUE(traced(1, 5));  // its contact is with a border cell
    EXPECT_EQ(mask(1, 4), 1);   // filled from a border neighbour
    for (int j = 0; j < 12; j++) EXPECT_FALSE(traced(0, j));
}

TEST_F(Phases, NarrowRasterHasNoInteriorAndNoTrace) {
    size(2, 5);
    cls(0, 1, 1);
    cls(1, 1, 2);
    all();
    for (int j = 0; j < 5; j++) EXPECT_EQ(c.get(0, j) + c.get(1, j), j == 1 ? 3 : 0);
}

TEST_F(Phases, ElbowCornersAreRemovedEverythingElseIsKept) {
    EXPECT_EQ(thin({{5, 5}, {5, 6}, {6, 6}}), (Cells{{5, 5}, {6, 6}}));
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
        EXPECT_EQ(thin(shape), shape);
    }
}
