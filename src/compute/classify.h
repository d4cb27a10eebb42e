// classify.h: the classes of one treatment's cells, and the four phases that
// turn the classes the rays left into the trace.
#ifndef TOLMAR_COMPUTE_CLASSIFY_H
#define TOLMAR_COMPUTE_CLASSIFY_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "compute/geometry.h"

// The classes of one treatment's cells over its box, with a margin of one
// cell all round that stays 0, so that the neighbours of a box cell can
// always be read. A cell holds its class in its low bits (0 unclassified,
// 1 the plane at or below the terrain, 2 the plane above it) and TRACE once
// it is on the trace. Each row keeps the span of its classified cells: no
// cell outside it can change.
class Classes {
public:
    static constexpr uint8_t TRACE = 0x80;
    // Every cell 0 over `box`, with no spans.
    void reset(const Box &box);
    // Spans over every whole row of the box: the reference form, in which
    // every pass visits every interior cell.
    void whole_rows();
    const Box &box() const { return box_; }
    uint8_t *at(int i, int j) { return &cells_[index(i, j)]; }
    uint8_t get(int i, int j) const { return cells_[index(i, j)]; }
    ptrdiff_t stride() const { return stride_; }
    // A ray's class for (i, j), which widens the row's span.
    void mark(int i, int j, uint8_t cls) {
        cells_[index(i, j)] = cls;
        const int r = i - box_.i0;
        if (j < lo_[r]) lo_[r] = j;
        if (j > hi_[r]) hi_[r] = j;
    }
    // A class for a cell that only serves as a neighbour: the row's span
    // stays as it is, the phases never change the cell.
    void mark_beside(int i, int j, uint8_t cls) {
        cells_[index(i, j)] = cls;
        const int r = i - box_.i0;
        if (j < wlo_[r]) wlo_[r] = j;
        if (j > whi_[r]) whi_[r] = j;
    }
    // Widens row i's span to columns lo..hi, within the box: for writers
    // that know beforehand which cells they can write.
    void cover(int i, int lo, int hi) {
        const int r = i - box_.i0;
        lo_[r] = std::min(lo_[r], std::max(lo, box_.j0));
        hi_[r] = std::max(hi_[r], std::min(hi, box_.j1));
    }
    // The span of row i within `limit`'s columns; empty when lo > hi.
    void span(int i, const Box &limit, int &lo, int &hi) const;

private:
    size_t index(int i, int j) const {
        return static_cast<size_t>(i - box_.i0 + 1) * static_cast<size_t>(stride_) + static_cast<size_t>(j - box_.j0 + 1);
    }
    Box box_;
    ptrdiff_t stride_ = 0;
    std::vector<uint8_t> cells_;
    std::vector<int> lo_, hi_;    // the spans of the cells that can change
    std::vector<int> wlo_, whi_;  // and of those written beside them
};

// The four phases, each one pass in row-major order over the interior cells
// of `interior` that can change, writing in place.
void fill_gaps(Classes &c, const Box &interior);
void vote_holes(Classes &c, const Box &interior);
void extract_contour(Classes &c, const Box &interior);
void clean_corners(Classes &c, const Box &interior);
// Appends the trace cells within `interior`, in row-major order.
void trace_cells(Classes &c, const Box &interior, std::vector<Cell> &cells);

#endif
