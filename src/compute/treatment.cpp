// treatment.cpp: one treatment. Gets the influence square and checks it
// against the raster, records its sides, builds the plane profile, casts the
// rays, runs the four phases of classification and collects the trace.
//
// Only the cells the square's rays can reach are ever touched: the classes
// live over the bounding box of the side entries (every ray runs between two
// of them), and each phase visits only each row's span of classified cells,
// so a treatment costs what its square covers, whatever the raster's size.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <new>

#include "compute/treatment.h"

namespace {

long long extent(Cell a, Cell b) {
    return std::max(std::llabs(static_cast<long long>(b.i) - a.i), std::llabs(static_cast<long long>(b.j) - a.j));
}

}  // namespace

void plane_profile(double elevation, int dip, int pix_size, int num_points, std::vector<double> &profile) {
    const double cell = pix_size;
    const double half = num_points * 0.5;
    const double rise = tan(dip * api) * (half * cell);  // over half the first ray
    const double lowest = elevation - rise;
    const double step = (rise * 2) / (half * 2 - 1);
    double z = lowest;
    profile[1] = z;
    for (size_t p = 2; p < profile.size(); p++) {
        z = z + step;
        profile[p] = z;
    }
}

namespace {

// The profile is computed for every position a ray can read, also beyond
// 2*zone+1: rays whose ends were rounded apart read one or two positions
// further than the first ray.
void build_profile(const Terrain &t, const Values &v, int num_points, int rays, Work &w) {
    const long long vect = 2LL * v.zone + 1;
    long long longest = 0;
    for (int k = 0; k < rays; k++)
        longest = std::max(longest, extent(w.bottom[static_cast<size_t>(k)], w.top[static_cast<size_t>(k)]));
    const long long n = std::max(vect + 2, longest + 3);
    if (n > INT_MAX) throw std::bad_alloc();
    w.profile.assign(static_cast<size_t>(n), 0.0);
    plane_profile(t.elevation(v.row, v.column), v.dip, t.pix_size, num_points, w.profile);
    plane_thresholds(t, w.profile, w.below);
}

// The box of every side entry, clipped to the raster: every ray runs between
// a bottom and a top entry, and a walk's cells lie within its ends' box.
Box work_box(const Terrain &t, const Work &w) {
    Box b;
    for (const std::vector<Cell> *side : {&w.top, &w.bottom})
        for (Cell c : *side) b.add(c);
    return {std::max(b.i0, 0), std::min(b.i1, t.rows - 1), std::max(b.j0, 0), std::min(b.j1, t.cols - 1)};
}


// Makes every row's span cover the cells the rays can write. A ray's cells
// lie within half a cell of the segment between its two entries, and an
// entry within a cell and a half of the square's quadrilateral (the sides'
// walks round to the nearest cell, the overshoot entry is one step further),
// so the quadrilateral widened by three cells covers them all. A wider span
// changes nothing: a cell no ray wrote stays 0, and a 0 cell at the end of
// the written cells of its row has a 0 side neighbour, which no phase fills.
void cover_square(const Square &q, Classes &c) {
    constexpr int MARGIN = 3;
    const Box &b = c.box();
    // The quadrilateral's span of every row within MARGIN rows of the box.
    std::vector<int> lo(static_cast<size_t>(b.i1 - b.i0 + 1 + 2 * MARGIN)), hi(lo.size());
    for (size_t r = 0; r < lo.size(); r++) square_row_span(q, b.i0 - MARGIN + static_cast<int>(r), lo[r], hi[r]);
    for (int i = b.i0; i <= b.i1; i++) {
        int a = INT_MAX, z = INT_MIN;
        for (size_t r = static_cast<size_t>(i - b.i0); r <= static_cast<size_t>(i - b.i0 + 2 * MARGIN); r++)
            if (lo[r] <= hi[r]) {
                a = std::min(a, lo[r]);
                z = std::max(z, hi[r]);
            }
        if (a <= z) c.cover(i, a - MARGIN, z + MARGIN);
    }
}

}  // namespace

Verdict square_refusal(const Terrain &t, const Values &v, Square &q) {
    q = square_of(v);
    if (v.zone < 1) return Verdict::zone_too_small;
    for (Cell c : {q.lt, q.rt, q.lb, q.rb})
        if (!t.inside(c.i, c.j)) return Verdict::outside_raster;
    return Verdict::traced;
}

Trace trace(const Terrain &t, const Values &v, Work &w, Extent extent_wanted) {
    Trace r;
    r.verdict = square_refusal(t, v, r.square);
    if (r.verdict != Verdict::traced) return r;
    const Square &q = r.square;
    try {
        side_cells(q.lt, q.rt, w.top);
        side_cells(q.lb, q.rb, w.bottom);
        const int num_points = ray_length(w.bottom[0], w.top[0]);
        // A ray is cast only between two written entries.
        const int rays = std::min(num_points, static_cast<int>(std::min(w.top.size(), w.bottom.size())));
        build_profile(t, v, num_points, rays, w);

        const bool whole = extent_wanted == Extent::whole_raster;
        w.classes.reset(whole ? Box{0, t.rows - 1, 0, t.cols - 1} : work_box(t, w));
        if (whole) w.classes.whole_rows();
        else cover_square(q, w.classes);
        classify_rays(t, w.below, w.bottom, w.top, rays, w.classes, w.walks);

        // The phases look at interior cells only: every neighbour they read
        // lies inside the raster, and border cells never change.
        const Box interior{1, t.rows - 2, 1, t.cols - 2};
        fill_gaps(w.classes, interior);
        vote_holes(w.classes, interior);
        extract_contour(w.classes, interior);
        clean_corners(w.classes, interior);

        trace_cells(w.classes, interior, r.cells);
    } catch (const std::bad_alloc &) {
        r.cells.clear();
        r.verdict = Verdict::no_memory;
    }
    return r;
}
