// exact.cpp: the trace in true geometry. Inside the same influence square as
// the classic trace, each cell's centre is held against the plane through
// the reference point's centre at its elevation, horizontal distances taken
// from the pixel size along both axes:
//
//   plane(i, j) = z0 - tan(dip) * pix_size * ((j - column) sin(az) - (i - row) cos(az))
//
// az the dip direction clockwise from the top of the raster (rows grow
// southwards). Where two side neighbours lie on either side of the plane
// (one at or above it, the other below), the zero line of the bilinear
// surface through the cell centres crosses the segment between them, at the
// point where the difference ground minus plane falls to zero; the one of
// the two cells nearer that point is a trace cell (at a tie, the one at or
// above the plane). So every trace cell lies within half a cell of the
// intersection along a row or a column. Right-angled elbows are then
// thinned as in the classic trace, so that the line is one cell wide and
// 8-connected. Only cells of the square's interior rows and columns are
// traced; the cells around the square serve as neighbours.
#include <algorithm>
#include <cmath>
#include <new>

#include "compute/treatment.h"

namespace {

// The columns of row i whose centres lie in the convex quadrilateral q
// (its edges included): lo > hi when none.
void row_span(const Square &q, int i, int &lo, int &hi) {
    const Cell c[4] = {q.lb, q.lt, q.rt, q.rb};
    double a = 1e300, b = -1e300;
    for (int k = 0; k < 4; k++) {
        const Cell p = c[k], r = c[(k + 1) % 4];
        if ((i < std::min(p.i, r.i)) || (i > std::max(p.i, r.i))) continue;
        if (p.i == r.i) {
            a = std::min(a, static_cast<double>(std::min(p.j, r.j)));
            b = std::max(b, static_cast<double>(std::max(p.j, r.j)));
            continue;
        }
        const double j = p.j + static_cast<double>(r.j - p.j) * (i - p.i) / (r.i - p.i);
        a = std::min(a, j);
        b = std::max(b, j);
    }
    if (a > b) {  // the row misses the square
        lo = 1;
        hi = 0;
        return;
    }
    lo = static_cast<int>(std::ceil(a - 1e-9));
    hi = static_cast<int>(std::floor(b + 1e-9));
}

}  // namespace

Trace trace_exact(const Terrain &t, const Values &v, Work &w) {
    Trace r;
    r.square = square_of(v);
    if (v.zone < 1) {
        r.verdict = Verdict::zone_too_small;
        return r;
    }
    const Square &q = r.square;
    for (Cell c : {q.lt, q.rt, q.lb, q.rb})
        if (!t.inside(c.i, c.j)) {
            r.verdict = Verdict::outside_raster;
            return r;
        }
    try {
        // The square's box with a margin of a cell for the neighbours,
        // clipped to the raster.
        Box box;
        for (Cell c : {q.lt, q.rt, q.lb, q.rb}) box.add(c);
        box = {std::max(box.i0 - 1, 0), std::min(box.i1 + 1, t.rows - 1), std::max(box.j0 - 1, 0),
               std::min(box.j1 + 1, t.cols - 1)};
        w.classes.reset(box);
        const Box interior{1, t.rows - 2, 1, t.cols - 2};

        const double az = v.dip_direction * api;
        const double fall = tan(v.dip * api) * t.pix_size;  // metres a cell along the dip direction
        const double per_column = -fall * sin(az), per_row = fall * cos(az);
        const double z0 = t.elevation(v.row, v.column);
        // A trace cell: inside the square's span of its row and in the interior.
        std::vector<int> span_lo(static_cast<size_t>(box.i1 - box.i0 + 1)), span_hi(span_lo.size());
        for (int i = box.i0; i <= box.i1; i++) {
            int lo, hi;
            row_span(q, i, lo, hi);
            span_lo[static_cast<size_t>(i - box.i0)] = std::max(lo, interior.j0);
            span_hi[static_cast<size_t>(i - box.i0)] = i < interior.i0 || i > interior.i1 ? lo - 1 : std::min(hi, interior.j1);
        }
        auto mark = [&](int i, int j) {
            const size_t r = static_cast<size_t>(i - box.i0);
            if (j >= span_lo[r] && j <= span_hi[r]) w.classes.mark(i, j, Classes::TRACE);
        };
        // The nearer of two side neighbours to the zero crossing between them.
        auto pair = [&](int i1, int j1, double f1, int i2, int j2, double f2) {
            if ((f1 >= 0) == (f2 >= 0)) return;
            if (f1 < 0) {
                std::swap(i1, i2);
                std::swap(j1, j2);
                std::swap(f1, f2);
            }
            if (f1 / (f1 - f2) <= 0.5) mark(i1, j1);
            else mark(i2, j2);
        };
        // Ground minus plane, a row at a time over the square's span and a
        // cell around it; NaN where not computed.
        const size_t width = static_cast<size_t>(box.j1 - box.j0 + 1);
        std::vector<double> &above = w.row_above, &here = w.row_here;
        above.assign(width, NAN);
        here.assign(width, NAN);
        for (int i = box.i0; i <= box.i1; i++) {
            int lo, hi, plo, phi, nlo, nhi;
            row_span(q, i, lo, hi);
            row_span(q, i - 1, plo, phi);
            row_span(q, i + 1, nlo, nhi);
            const int a = std::max(box.j0, std::min({lo, plo, nlo}) - 1);
            const int b = std::min(box.j1, std::max({hi, phi, nhi}) + 1);
            std::fill(here.begin(), here.end(), NAN);
            const double row_plane = z0 + per_row * (i - v.row);
            for (int j = a; j <= b; j++) {
                const size_t k = static_cast<size_t>(j - box.j0);
                const double f = t.elevation(i, j) - (row_plane + per_column * (j - v.column));
                here[k] = f;
                if (j > a) pair(i, j - 1, here[k - 1], i, j, f);
                if (above[k] == above[k]) pair(i - 1, j, above[k], i, j, f);
            }
            std::swap(above, here);
        }
        clean_corners(w.classes, interior);
        const int r0 = std::max(box.i0, interior.i0), r1 = std::min(box.i1, interior.i1);
        for (int i = r0; i <= r1; i++) {
            int lo, hi;
            w.classes.span(i, interior, lo, hi);
            for (int j = lo; j <= hi; j++)
                if (w.classes.get(i, j) & Classes::TRACE) r.cells.push_back({i, j});
        }
    } catch (const std::bad_alloc &) {
        r.cells.clear();
        r.verdict = Verdict::no_memory;
    }
    return r;
}
