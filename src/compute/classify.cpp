// classify.cpp: the classes of a treatment's cells, and the four phases that
// turn the classes the rays left into the trace, run once each in this order:
// unanimous gap filling, hole vote, contour extraction, corner clean-up. Each
// phase scans row by row and writes in place, so a cell changed earlier in
// the pass is seen changed by the cells after it.
//
// Neighbours of a cell and their weights in the corner clean-up's code:
//
//      NW  N  NE        1   2   4
//       W  .  E       128   .   8
//      SW  S  SE       64  32  16
//
// A cell outside its row's span of classified cells cannot change in any
// phase: phases 1 and 2 fill only cells whose west and east neighbours are
// classified, phases 3 and 4 look only at classified cells. So each phase
// visits each row's span alone.
#include <algorithm>

#include "compute/classify.h"

// ---- the classes of a treatment ---------------------------------------------

void Classes::reset(const Box &box) {
    // Only the spans of the last treatment were ever written.
    for (size_t r = 0; r < lo_.size(); r++) {
        const int lo = std::min(lo_[r], wlo_[r]), hi = std::max(hi_[r], whi_[r]);
        if (lo <= hi) {
            const int i = box_.i0 + static_cast<int>(r);
            std::fill(cells_.begin() + static_cast<ptrdiff_t>(index(i, lo)),
                      cells_.begin() + static_cast<ptrdiff_t>(index(i, hi)) + 1, 0);
        }
    }
    box_ = box;
    const int rows = box.empty() ? 0 : box.i1 - box.i0 + 1;
    stride_ = box.empty() ? 0 : box.j1 - box.j0 + 3;
    const size_t need = static_cast<size_t>(rows + 2) * static_cast<size_t>(stride_);
    if (cells_.size() < need) cells_.resize(need, 0);
    lo_.assign(static_cast<size_t>(rows), box.j1 + 1);
    hi_.assign(static_cast<size_t>(rows), box.j0 - 1);
    wlo_ = lo_;
    whi_ = hi_;
}

void Classes::whole_rows() {
    std::fill(lo_.begin(), lo_.end(), box_.j0);
    std::fill(hi_.begin(), hi_.end(), box_.j1);
}

void Classes::span(int i, const Box &limit, int &lo, int &hi) const {
    const size_t r = static_cast<size_t>(i - box_.i0);
    lo = std::max(lo_[r], limit.j0);
    hi = std::min(hi_[r], limit.j1);
}

// ---- the phases ---------------------------------------------------------------

namespace {

// Runs visit(p) over the cells of each row's span within `interior`, p
// pointing at the cell, in row-major order.
template <typename Visit>
void each_cell(Classes &c, const Box &interior, Visit visit) {
    const int r0 = std::max(c.box().i0, interior.i0), r1 = std::min(c.box().i1, interior.i1);
    for (int i = r0; i <= r1; i++) {
        int lo, hi;
        c.span(i, interior, lo, hi);
        if (lo > hi) continue;
        uint8_t *p = c.at(i, lo);
        for (int j = lo; j <= hi; j++, p++) visit(p);
    }
}

// Side neighbours (N, E, S, W) of *p equal to v.
inline int side_count(const uint8_t *p, ptrdiff_t stride, uint8_t v) {
    return (p[-stride] == v) + (p[1] == v) + (p[stride] == v) + (p[-1] == v);
}

}  // namespace

// An unclassified cell whose four side neighbours hold one and the same class
// takes it. Two side-adjacent unclassified cells are never filled.
void fill_gaps(Classes &c, const Box &interior) {
    const ptrdiff_t s = c.stride();
    each_cell(c, interior, [s](uint8_t *p) {
        if (*p != 0) return;
        if (side_count(p, s, 1) == 4) *p = 1;
        if (side_count(p, s, 2) == 4) *p = 2;
    });
}

// An unclassified cell with four classified side neighbours takes the
// majority class of its 3x3 window; a tie gives class 1. A cell voted earlier
// in the pass counts with its new class.
void vote_holes(Classes &c, const Box &interior) {
    const ptrdiff_t s = c.stride();
    each_cell(c, interior, [s](uint8_t *p) {
        if (*p != 0) return;
        if ((p[-s] != 0) + (p[1] != 0) + (p[s] != 0) + (p[-1] != 0) != 4) return;
        int maj1 = 0, maj2 = 0;
        for (const uint8_t *q : {p - s - 1, p - 1, p + s - 1})
            for (int l = 0; l < 3; l++) {
                maj1 += q[l] == 1;
                maj2 += q[l] == 2;
            }
        *p = maj1 < maj2 ? 2 : 1;
    });
}

// Every class-1 cell touching a class-2 cell by a side is a trace cell: the
// trace lies on the side where the plane is at or below the terrain. Class-2
// cells are never marked, so a neighbour marked earlier in the pass still
// reads as not class 2.
void extract_contour(Classes &c, const Box &interior) {
    const ptrdiff_t s = c.stride();
    each_cell(c, interior, [s](uint8_t *p) {
        if (*p == 1 && side_count(p, s, 2) > 0) *p |= Classes::TRACE;
    });
}

// Removes the corner of each right-angled elbow: a trace cell whose only
// marked neighbours are two side neighbours at a right angle (codes 10, 40,
// 160, 130). Its two arms still touch diagonally, so the line stays
// 8-connected and becomes one cell thin.
void clean_corners(Classes &c, const Box &interior) {
    const ptrdiff_t s = c.stride();
    each_cell(c, interior, [s](uint8_t *p) {
        if (!(*p & Classes::TRACE)) return;
        auto on = [](uint8_t v) { return (v & Classes::TRACE) != 0; };
        const int code8 = on(p[-s - 1]) * 1 + on(p[-s]) * 2 + on(p[-s + 1]) * 4 + on(p[1]) * 8 +
                          on(p[s + 1]) * 16 + on(p[s]) * 32 + on(p[s - 1]) * 64 + on(p[-1]) * 128;
        if (code8 == 10 || code8 == 40 || code8 == 160 || code8 == 130) *p &= static_cast<uint8_t>(~Classes::TRACE);
    });
}
