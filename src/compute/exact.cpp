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
#include <cstring>
#include <new>

#include "compute/treatment.h"

namespace {

// Ground minus plane for the n cells of a row from column a: the elevation
// as Terrain::elevation gives it, less the plane's height there, and 1
// where the difference is at or above 0 (a plain loop over the row, which
// the compiler turns into vector instructions).
template <typename Sample>
void ground_minus_plane(const Sample *row, double divisor, int a, size_t n, double row_plane, double per_column, int column,
                        double *f, uint8_t *up) {
    for (size_t k = 0; k < n; k++) {
        const int j = a + static_cast<int>(k);
        const double d = static_cast<double>(row[j]) / divisor - (row_plane + per_column * (j - column));
        f[k] = d;
        up[k] = d >= 0;
    }
}

// Runs at(k) for every k < n where x[k] differs from y[k], in order; eight
// bytes at a time where none does.
template <typename At>
void for_changes(const uint8_t *x, const uint8_t *y, size_t n, At at) {
    size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        uint64_t a, b;
        memcpy(&a, x + k, 8);
        memcpy(&b, y + k, 8);
        if (a == b) continue;
        for (size_t l = k; l < k + 8; l++)
            if (x[l] != y[l]) at(l);
    }
    for (; k < n; k++)
        if (x[k] != y[k]) at(k);
}

}  // namespace

Trace trace_exact(const Terrain &t, const Values &v, Work &w) {
    Trace r;
    r.verdict = square_refusal(t, v, r.square);
    if (r.verdict != Verdict::traced) return r;
    const Square &q = r.square;
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
        // The square's span of every box row and the rows either side
        // (lo > hi when the row misses it; an empty span is lo 1, hi 0).
        const size_t rows = static_cast<size_t>(box.i1 - box.i0 + 1);
        std::vector<int> &qlo = w.span_lo, &qhi = w.span_hi;
        qlo.resize(rows + 2);
        qhi.resize(rows + 2);
        for (size_t r = 0; r < rows + 2; r++) square_row_span(q, box.i0 - 1 + static_cast<int>(r), qlo[r], qhi[r]);
        // A trace cell: inside the square's span of its row and in the interior.
        auto mark = [&](int i, int j) {
            const size_t r = static_cast<size_t>(i - box.i0) + 1;
            const int lo = std::max(qlo[r], interior.j0);
            const int hi = i < interior.i0 || i > interior.i1 ? qlo[r] - 1 : std::min(qhi[r], interior.j1);
            if (j >= lo && j <= hi) w.classes.mark(i, j, Classes::TRACE);
        };
        // The nearer of two side neighbours to the zero crossing between
        // them, when they lie on either side of the plane.
        auto pair = [&](int i1, int j1, double f1, int i2, int j2, double f2) {
            if (f1 < 0) {
                std::swap(i1, i2);
                std::swap(j1, j2);
                std::swap(f1, f2);
            }
            if (f1 / (f1 - f2) <= 0.5) mark(i1, j1);
            else mark(i2, j2);
        };
        // Ground minus plane, a row at a time over the square's span and a
        // cell around it, with whether each value is at or above 0; the
        // side of the plane changes between two cells only near the trace,
        // so eight cells at a time are passed over when none changes.
        const size_t width = static_cast<size_t>(box.j1 - box.j0 + 1);
        std::vector<double> &above = w.row_above, &here = w.row_here;
        std::vector<uint8_t> &up_above = w.up_above, &up_here = w.up_here;
        above.resize(width);
        here.resize(width);
        up_above.assign(width + 8, 0);
        up_here.assign(width + 8, 0);
        int pa = 1, pb = 0;  // the columns computed in the row above
        for (int i = box.i0; i <= box.i1; i++) {
            const size_t r = static_cast<size_t>(i - box.i0) + 1;
            const int a = std::max(box.j0, std::min({qlo[r], qlo[r - 1], qlo[r + 1]}) - 1);
            const int b = std::min(box.j1, std::max({qhi[r], qhi[r - 1], qhi[r + 1]}) + 1);
            const double row_plane = z0 + per_row * (i - v.row);
            const size_t ka = static_cast<size_t>(a - box.j0), n = a <= b ? static_cast<size_t>(b - a + 1) : 0;
            if (t.s16 != nullptr) ground_minus_plane(t.s16 + static_cast<size_t>(i) * static_cast<size_t>(t.cols), t.divisor, a, n, row_plane, per_column, v.column, &here[ka], &up_here[ka]);
            else ground_minus_plane(t.s32 + static_cast<size_t>(i) * static_cast<size_t>(t.cols), t.divisor, a, n, row_plane, per_column, v.column, &here[ka], &up_here[ka]);
            // Along the row: (i, j-1) and (i, j) for j in a+1..b.
            for_changes(&up_here[ka], &up_here[ka + 1], n == 0 ? 0 : n - 1, [&](size_t k) {
                const size_t c = ka + k + 1;
                const int j = box.j0 + static_cast<int>(c);
                pair(i, j - 1, here[c - 1], i, j, here[c]);
            });
            // Across rows: (i-1, j) and (i, j) where both were computed.
            const int ca = std::max(a, pa), cb = std::min(b, pb);
            if (ca <= cb) {
                const size_t kc = static_cast<size_t>(ca - box.j0);
                for_changes(&up_above[kc], &up_here[kc], static_cast<size_t>(cb - ca + 1), [&](size_t k) {
                    const size_t c = kc + k;
                    const int j = box.j0 + static_cast<int>(c);
                    pair(i - 1, j, above[c], i, j, here[c]);
                });
            }
            std::swap(above, here);
            std::swap(up_above, up_here);
            pa = a;
            pb = b;
        }
        clean_corners(w.classes, interior);
        trace_cells(w.classes, interior, r.cells);
    } catch (const std::bad_alloc &) {
        r.cells.clear();
        r.verdict = Verdict::no_memory;
    }
    return r;
}

Trace trace(const Terrain &t, const Values &v, Work &w, Geometry g) {
    return g == Geometry::exact ? trace_exact(t, v, w) : trace(t, v, w);
}
