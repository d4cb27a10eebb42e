// test_nrutil.cpp: the grid and vector module.
#include <gtest/gtest.h>

#include "nrutil.h"

namespace {

// Allocates a grid of every element type through `make`, checks it is zero
// everywhere and addressable by [row][column], then releases it.
template <typename T, typename Make, typename Free>
void check_grid(Make make, Free release) {
    T **g = make(3, 2);  // 3 columns, 2 rows
    ASSERT_NE(g, nullptr);
    for (int i = 0; i < 2; i++)
        for (int j = 0; j < 3; j++) EXPECT_EQ(g[i][j], T(0));
    g[1][2] = T(7);  // last element of the second row
    EXPECT_EQ(g[1][2], T(7));
    EXPECT_EQ(g[0][2], T(0));
    EXPECT_EQ(make(0, 2), nullptr);
    EXPECT_EQ(make(3, 0), nullptr);
    EXPECT_EQ(make(-1, 2), nullptr);
    EXPECT_EQ(make(3, -5), nullptr);
    release(g, 2);
}

template <typename T, typename Make, typename Free>
void check_vector(Make make, Free release) {
    T *v = make(5);
    ASSERT_NE(v, nullptr);
    for (int k = 0; k < 5; k++) EXPECT_EQ(v[k], T(0));  // element 0 included
    v[0] = T(3);
    v[4] = T(4);
    EXPECT_EQ(v[0] + v[4], T(7));
    EXPECT_EQ(make(0), nullptr);
    EXPECT_EQ(make(-3), nullptr);
    release(v);
}

}  // namespace

TEST(Grid, EveryTypeIsZeroFilledAndAddressedRowThenColumn) {
    check_grid<float>(fmatrice, frfmatrice);
    check_grid<unsigned char>(ucmatrice, frucmatrice);
    check_grid<unsigned short>(usmatrice, frusmatrice);
    check_grid<short>(smatrice, frsmatrice);
    check_grid<int>(imatrice, frimatrice);
    check_grid<double>(dmatrice, frdmatrice);
    check_grid<long double>(ldmatrice, frldmatrice);
}

TEST(Grid, RowsAreSeparateContiguousBlocks) {
    int **g = imatrice(4, 3);
    ASSERT_NE(g, nullptr);
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 4; j++) EXPECT_EQ(&g[i][j], g[i] + j);
    EXPECT_NE(g[0], g[1]);
    frimatrice(g, 3);
}

TEST(Grid, ReleasingWithoutRowsOrNullIsHarmless) {
    frucmatrice(nullptr, 5);
    unsigned char **g = ucmatrice(2, 2);
    frucmatrice(g, 2);
}

TEST(Vector, EveryTypeIsZeroFilledFromElementZero) {
    check_vector<float>(fvecteur, frfvecteur);
    check_vector<unsigned char>(ucvecteur, frucvecteur);
    check_vector<unsigned short>(usvecteur, frusvecteur);
    check_vector<short>(svecteur, frsvecteur);
    check_vector<int>(ivecteur, frivecteur);
    check_vector<double>(dvecteur, frdvecteur);
}
