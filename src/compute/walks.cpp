// walks.cpp: the walk from one cell to another (a floating-point digital
// differential analyser) and its uses: the cells of a side of the square, the
// length of the first ray, and the classes of the cells of a ray.
#include <algorithm>
#include <cmath>

#include "compute/walks.h"

namespace {

// Walks from `from` to `to`: along the longer axis one cell per step, along
// the other a fraction, each position rounded by adding 0.5 and truncating.
// The loop tests the cell that was current when the step began, so the walk
// goes one step past the end cell (the overshoot cell). Positions are
// accumulated by repeated addition, never recomputed from the step count: a
// position that is a half in exact arithmetic may round either way.
// on_step(ilast, jlast, icrrnt, jcrrnt) runs after each step. Returns false,
// without a step, when start and end coincide. Both ends must be 0 or more,
// or the rounding would never reach the end.
template <typename OnStep>
bool walk(Cell from, Cell to, OnStep on_step) {
    const double b = to.i - from.i;
    const double a = to.j - from.j;
    const double rmax = fabs(a) > fabs(b) ? fabs(a) : fabs(b);
    if (rmax == 0) return false;
    const double dinext = b / rmax, djnext = a / rmax;
    int icrrnt = from.i, jcrrnt = from.j, ilast = from.i, jlast = from.j;
    double icrrnt_d = from.i, jcrrnt_d = from.j;
    while (ilast != to.i || jlast != to.j) {
        ilast = icrrnt;
        jlast = jcrrnt;
        icrrnt_d += dinext;
        jcrrnt_d += djnext;
        icrrnt = static_cast<int>(icrrnt_d + 0.5);
        jcrrnt = static_cast<int>(jcrrnt_d + 0.5);
        on_step(ilast, jlast, icrrnt, jcrrnt);
    }
    return true;
}

}  // namespace

void side_cells(Cell from, Cell to, std::vector<Cell> &side) {
    side.clear();
    side.push_back(from);
    walk(from, to, [&](int, int, int i, int j) { side.push_back({i, j}); });
}

int ray_length(Cell from, Cell to) {
    int num_points = 1;
    walk(from, to, [&](int, int, int, int) { num_points++; });
    return num_points;
}

// Each step compares the plane (profile) with the terrain at the cell it reaches
// and writes the class to the cell it came from: the class of a cell is the
// comparison one cell further up the ray. The overshoot cell is read but
// never written. A step whose cell or compared cell lies outside the raster
// writes nothing.
void classify_ray(const Terrain &t, const std::vector<double> &profile, Cell from, Cell to, Classes &c) {
    int ico = 1;
    walk(from, to, [&](int iprov, int jprov, int icrrnt, int jcrrnt) {
        ico++;
        if (!t.inside(iprov, jprov) || !t.inside(icrrnt, jcrrnt)) return;
        // Not greater (equal, or a comparison with a NaN) is class 1.
        c.mark(iprov, jprov, profile[static_cast<size_t>(ico)] > t.elevation(icrrnt, jcrrnt) ? 2 : 1);
    });
}
