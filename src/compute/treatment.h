// treatment.h: one treatment as a computation. Given the terrain and the five
// values of a treatment as the user entered them, it finds where the inclined
// plane through the reference point cuts the terrain inside the influence
// square, and returns that trace. Nothing here prints, writes a file or
// keeps state between calls but the scratch space the caller lends it (Work).
//
// Rays run from each entry of the bottom side of the influence square to the
// entry of the same index on its top side; the left side is the first ray.
#ifndef TOLMAR_COMPUTE_TREATMENT_H
#define TOLMAR_COMPUTE_TREATMENT_H

#include <cstdint>
#include <vector>

#include "compute/classify.h"
#include "compute/corners.h"
#include "compute/geometry.h"
#include "compute/terrain.h"
#include "compute/walks.h"

// The plane's elevation along a ray into profile[1..], profile[0] unused: it
// passes through `elevation`, the reference point's, in the middle of a
// first ray of num_points cells, rising with the tangent of the dip over
// cells of pix_size metres, so that it is lowest on the bottom side. The
// rise of the plane over num_points cells is spread over the num_points - 1
// steps between the first and the last position, accumulated by repeated
// addition.
void plane_profile(double elevation, int dip, int pix_size, int num_points, std::vector<double> &profile);

// Scratch space reused from one treatment to the next, so that a session
// allocates only when a square outgrows the ones before it.
struct Work {
    std::vector<Cell> top, bottom;  // side entries, left corner first, overshoot cell last
    std::vector<double> profile;       // the plane profile, 1-based
    std::vector<int64_t> below;        // and as sample thresholds
    std::vector<RayWalk> walks;        // the rays walked in bands of rows
    Classes classes;
    std::vector<double> row_above, row_here;  // ground minus plane, two rows (true geometry)
    std::vector<uint8_t> up_above, up_here;   // and where it is at or above 0
    std::vector<int> span_lo, span_hi;        // the square's span of each row
};

enum class Verdict {
    traced,          // the square fits: the trace (maybe empty) was found
    zone_too_small,  // an influence zone below 1
    outside_raster,  // a corner of the square lies outside the raster
    no_memory,       // the treatment's scratch space could not be obtained
};

// How far the classification passes look: the cells that can change, or
// every interior cell of the raster (the reference the first is tested against).
enum class Extent { spans, whole_raster };

// The square of a treatment (into `q`), and why it cannot be traced: a zone
// below 1, or a corner outside the raster; traced when it can. Both
// geometries, and the fit's measure of a treatment, refuse by this rule.
Verdict square_refusal(const Terrain &t, const Values &v, Square &q);

struct Trace {
    Verdict verdict = Verdict::traced;
    Square square;
    std::vector<Cell> cells;  // the trace cells, interior cells only, row-major order
};
Trace trace(const Terrain &t, const Values &v, Work &w, Extent extent = Extent::spans);
// The trace in true geometry: where the plane meets the ground (exact.cpp).
Trace trace_exact(const Terrain &t, const Values &v, Work &w);
// The trace in either geometry (exact.cpp, beside the true trace, so that
// the classic trace depends on nothing of the true one).
Trace trace(const Terrain &t, const Values &v, Work &w, Geometry g);

#endif
