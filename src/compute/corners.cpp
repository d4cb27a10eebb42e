// corners.cpp: the influence square: the angles of its corners from the dip
// direction, each corner as a whole cell, and the reference points whose
// square fits inside a raster.
#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

#include "compute/corners.h"

const double pi = atan(1.0) * 4;
const double api = static_cast<double>((1.0L / 180.0L) * pi);

namespace {

// An angle beyond the 32-bit range (only from answers near its ends) is
// replaced by the same direction within 0..359.
int as_angle(long long a) {
    if (a > INT_MAX || a < INT_MIN) a %= 360;
    return static_cast<int>(a);
}

long long wrap_once(long long a) { return a > 360 ? a - 360 : a; }

// Truncates toward zero; a position beyond the integer range becomes the
// nearest end of the range, which no raster contains.
int truncate_cell(double x) {
    if (!(x > -2147483649.0)) return INT_MIN;
    if (!(x < 2147483648.0)) return INT_MAX;
    return static_cast<int>(x);
}

}  // namespace

// The compass direction becomes counter-clockwise from growing columns (90 -
// dir, plus 360 once if negative); each corner is 90 degrees on from the one
// before, less 360 once when above 360. 64-bit arithmetic: no answer overflows.
CornerAngles corner_angles(int dip_direction) {
    long long turned = 90LL - dip_direction;
    if (turned < 0) turned += 360;
    const long long lb = wrap_once(turned + 45);
    const long long lt = wrap_once(lb + 90);
    const long long rt = wrap_once(lt + 90);
    const long long rb = wrap_once(rt + 90);
    return {as_angle(turned), as_angle(lb), as_angle(lt), as_angle(rt), as_angle(rb)};
}

Cell corner(int row, int column, int zone, int angle) {
    const double half_diagonal = zone / cos(45 * api);  // zone * sqrt(2)
    const double a = angle;
    const double i = row - sin(a * api) * half_diagonal;  // rows grow downwards
    const double j = cos(a * api) * half_diagonal + column;
    return {truncate_cell(i), truncate_cell(j)};
}

Square square_of(const Values &v) {
    const CornerAngles a = corner_angles(v.dip_direction);
    return {corner(v.row, v.column, v.zone, a.lb), corner(v.row, v.column, v.zone, a.lt),
            corner(v.row, v.column, v.zone, a.rt), corner(v.row, v.column, v.zone, a.rb)};
}

namespace {

// The smallest x in [lo, hi] for which `ok` holds, `ok` being false then true
// along the range; hi + 1 when it never holds.
template <typename Ok>
long long first_true(long long lo, long long hi, Ok ok) {
    while (lo <= hi) {
        const long long mid = lo + (hi - lo) / 2;
        if (ok(mid)) hi = mid - 1;
        else lo = mid + 1;
    }
    return lo;
}

}  // namespace

// A corner's row only grows with the line (and its column with the column),
// so the lines whose four corner rows lie in 0..rows-1 form one range, found
// by bisection with the very function the treatment uses.
Fit reference_points_that_fit(int rows, int cols, int dip_direction, int zone) {
    const CornerAngles a = corner_angles(dip_direction);
    const int angles[4] = {a.lb, a.lt, a.rt, a.rb};
    // The smallest and the largest row (or column) of the four corners.
    auto extremes = [&](long long p, bool row) {
        int lo = INT_MAX, hi = INT_MIN;
        for (int d : angles) {
            const Cell c = row ? corner(static_cast<int>(p), 0, zone, d) : corner(0, static_cast<int>(p), zone, d);
            lo = std::min(lo, row ? c.i : c.j);
            hi = std::max(hi, row ? c.i : c.j);
        }
        return std::make_pair(lo, hi);
    };
    Fit f;
    for (bool row : {true, false}) {
        const int size = row ? rows : cols;
        const long long lo = first_true(INT_MIN, INT_MAX, [&](long long p) { return extremes(p, row).first >= 0; });
        const long long hi =
            first_true(INT_MIN, INT_MAX, [&](long long p) { return extremes(p, row).second > size - 1; }) - 1;
        (row ? f.lo_i : f.lo_j) = static_cast<int>(std::min<long long>(lo, INT_MAX));
        (row ? f.hi_i : f.hi_j) = static_cast<int>(std::max<long long>(hi, INT_MIN));
    }
    return f;
}

void square_row_span(const Square &q, int i, int &lo, int &hi) {
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
