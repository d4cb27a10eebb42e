// classify.cpp: turns the classes the rays left in mask into the trace in
// tab, in four phases run once each, in this order: unanimous gap filling,
// hole vote, contour extraction, corner clean-up. Each phase scans its
// rectangle of the interior row by row and writes in place, so a cell
// changed earlier in the pass is seen changed by the cells after it.
#include "tolmar.h"

// Side neighbours (N, E, S, W) of (i, j) whose value in g equals v.
static inline int side_count(unsigned char **g, int i, int j, unsigned char v) {
    return (g[i - 1][j] == v) + (g[i][j + 1] == v) + (g[i + 1][j] == v) + (g[i][j - 1] == v);
}

// An unclassified cell whose four side neighbours hold one and the same class
// takes it. Two side-adjacent unclassified cells are never filled.
void fill_gaps(int r0, int r1, int c0, int c1) {
    for (int i = r0; i <= r1; i++)
        for (int j = c0; j <= c1; j++) {
            if (mask[i][j] != 0) continue;
            if (side_count(mask, i, j, 1) == 4) {
                mask[i][j] = 1;
                mask_bin[i][j] = 1;
            }
            if (side_count(mask, i, j, 2) == 4) {
                mask[i][j] = 2;
                mask_bin[i][j] = 1;
            }
        }
}

// An unclassified cell with four classified side neighbours takes the
// majority class of its 3x3 window; a tie gives class 1.
void vote_holes(int r0, int r1, int c0, int c1) {
    for (int i = r0; i <= r1; i++)
        for (int j = c0; j <= c1; j++) {
            if (mask_bin[i][j] != 0 || mask[i][j] != 0) continue;
            if (side_count(mask_bin, i, j, 1) != 4) continue;
            mask_bin[i][j] = 1;
            int maj1 = 0, maj2 = 0;
            for (int k = i - 1; k <= i + 1; k++)
                for (int l = j - 1; l <= j + 1; l++) {
                    if (mask[k][l] == 1) maj1++;
                    if (mask[k][l] == 2) maj2++;
                }
            mask[i][j] = maj1 < maj2 ? 2 : 1;
        }
}

// Every class-1 cell touching a class-2 cell by a side is a trace cell: the
// trace lies on the side where the plane is at or below the terrain.
void extract_contour(int r0, int r1, int c0, int c1) {
    for (int i = r0; i <= r1; i++)
        for (int j = c0; j <= c1; j++)
            if (mask[i][j] == 1 && side_count(mask, i, j, 2) > 0) tab[i][j] = 255;
}

// Removes the corner of each right-angled elbow: a trace cell whose only
// marked neighbours are two side neighbours at a right angle (codes 10, 40,
// 160, 130 with the weights drawn in tolmar.h). Its two arms still touch
// diagonally, so the line stays 8-connected and becomes one cell thin.
void clean_corners(int r0, int r1, int c0, int c1) {
    for (int i = r0; i <= r1; i++)
        for (int j = c0; j <= c1; j++) {
            if (tab[i][j] != 255) continue;
            int code8 = (tab[i - 1][j - 1] == 255) * 1 + (tab[i - 1][j] == 255) * 2 +
                        (tab[i - 1][j + 1] == 255) * 4 + (tab[i][j + 1] == 255) * 8 +
                        (tab[i + 1][j + 1] == 255) * 16 + (tab[i + 1][j] == 255) * 32 +
                        (tab[i + 1][j - 1] == 255) * 64 + (tab[i][j - 1] == 255) * 128;
            if (code8 == 10 || code8 == 40 || code8 == 160 || code8 == 130) tab[i][j] = 0;
        }
}
