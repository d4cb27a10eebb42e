// walks.cpp: the walk from one cell to another (a floating-point digital
// differential analyser) and its uses: the cells of a side of the square, the
// length of the first ray, and the classes of the cells of a ray.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

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

void plane_thresholds(const Terrain &t, const std::vector<double> &profile, std::vector<int64_t> &below) {
    const int64_t lo = t.s16 != nullptr ? 0 : INT32_MIN, hi = t.s16 != nullptr ? UINT16_MAX : INT32_MAX;
    auto elevation = [&](int64_t sample) { return static_cast<double>(sample) / t.divisor; };
    const double lowest = elevation(lo), highest = elevation(hi);
    below.resize(profile.size());
    for (size_t p = 0; p < profile.size(); p++) {
        const double z = profile[p];
        if (!(z > lowest)) {  // no sample lies below the plane (or z is NaN)
            below[p] = lo;
            continue;
        }
        if (z > highest) {  // every sample does
            below[p] = hi + 1;
            continue;
        }
        // A guess within a sample or two, then the exact smallest sample
        // whose elevation is not below z (elevation(hi) is not).
        const double guess = std::min(std::max(std::ceil(z * t.divisor), static_cast<double>(lo + 1)), static_cast<double>(hi));
        int64_t s = static_cast<int64_t>(guess);
        while (s > lo + 1 && elevation(s - 1) >= z) s--;
        while (elevation(s) < z) s++;
        below[p] = s;
    }
}

namespace {

// Each step compares the plane with the terrain at the cell it reaches and
// writes the class to the cell it came from: the class of a cell is the
// comparison one cell further up the ray. The overshoot cell is read but
// never written. A step whose cell or compared cell lies outside the raster
// writes nothing. This is the walk as it is, with every check: the rays
// that run along the raster's border take it.
void classify_walk(const Terrain &t, const std::vector<int64_t> &below, Cell from, Cell to, Classes &c) {
    size_t ico = 1;
    walk(from, to, [&](int iprov, int jprov, int icrrnt, int jcrrnt) {
        ico++;
        if (!t.inside(iprov, jprov) || !t.inside(icrrnt, jcrrnt)) return;
        c.mark(iprov, jprov, t.sample(icrrnt, jcrrnt) < below[ico] ? 2 : 1);
    });
}

}  // namespace

RayWalk::RayWalk(Cell from, Cell to) : to_(to), ip_(from.i), jp_(from.j) {
    const int di = to.i - from.i, dj = to.j - from.j;
    steps_ = std::max(std::abs(di), std::abs(dj));
    along_rows_ = std::abs(di) < std::abs(dj);
    sign_ = (along_rows_ ? dj : di) > 0 ? 1 : -1;
    minor_ = along_rows_ ? from.i : from.j;
    minor_step_ = steps_ == 0 ? 0.0 : static_cast<double>(along_rows_ ? di : dj) / steps_;
    if (steps_ == 0) n_ = 2;  // nothing to walk
}

namespace {

// 2 when the sample lies below the threshold, else 1, by the sign of the
// difference (samples and thresholds are within 33 bits): a branch here
// would be mispredicted wherever the trace is near.
inline uint8_t ray_class(int64_t sample, int64_t below) {
    return static_cast<uint8_t>(1 + (static_cast<uint64_t>(sample - below) >> 63));
}

}  // namespace

// Along the longer axis a position is the start plus the step count (adding
// 1.0 is exact), so only the other axis accumulates, by the same repeated
// addition; rounding by truncation is then the walk's own, as every
// position is positive. A step writes the cell it comes from; the step from
// the end cell to the overshoot cell is taken only once the end cell is
// reached, else the walk has gone astray. The rows' spans are left as they
// are: the caller has made them cover the square.
template <typename Sample>
bool RayWalk::advance(const Sample *z, size_t cols, const int64_t *below, Classes &c, int stop, bool falling, int ahead,
                      ptrdiff_t ahead_rows) {
    const int i0 = c.box().i0, j0 = c.box().j0;
    uint8_t *const cells = c.at(i0, j0);
    const ptrdiff_t stride = c.stride();
    // The walk's state in locals: the cells are bytes, which may alias
    // anything, so members would be stored back at every step.
    int n = n_, ip = ip_, jp = jp_;
    double minor = minor_;
    const int steps = steps_, sign = sign_;
    const double minor_step = minor_step_;
    const ptrdiff_t width = static_cast<ptrdiff_t>(cols);
    if (!along_rows_) {
        // A new row at every step: the steps to take are counted beforehand.
        const long long rows_left = falling ? static_cast<long long>(ip) - stop : static_cast<long long>(stop) - ip;
        const int last = static_cast<int>(std::min<long long>(steps + 1, n + rows_left - 1));
        const int plain = std::min(last, steps);
        ptrdiff_t in = (ip + sign) * width, out = (ip - i0) * stride - j0;
        const ptrdiff_t in_step = sign * width, out_step = sign * stride;
        for (; n <= plain; n++) {
            minor += minor_step;
            const int jc = static_cast<int>(minor + 0.5);
            const Sample *const here = z + in + jc;
            __builtin_prefetch(here + ahead, 0, 1);
            cells[out + jp] = ray_class(*here, below[n + 1]);
            jp = jc;
            in += in_step;
            out += out_step;
        }
        ip += sign * (n - n_);
        if (n <= last) {
            if (ip != to_.i || jp != to_.j) return false;
            minor += minor_step;
            const int jc = static_cast<int>(minor + 0.5);
            cells[out + jp] = ray_class(z[in + jc], below[n + 1]);
            jp = jc;
            ip += sign;
            n++;
        }
    } else if (stop == INT32_MAX || stop == INT32_MIN) {
        // Along a row, to the end.
        for (; n <= steps; n++) {
            minor += minor_step;
            const int ic = static_cast<int>(minor + 0.5);
            const Sample *const here = z + ic * width + (jp + sign);
            __builtin_prefetch(here + ahead_rows, 0, 1);
            cells[(ip - i0) * stride + (jp - j0)] = ray_class(*here, below[n + 1]);
            ip = ic;
            jp += sign;
        }
        if (ip != to_.i || jp != to_.j) return false;
        minor += minor_step;
        const int ic = static_cast<int>(minor + 0.5);
        cells[(ip - i0) * stride + (jp - j0)] = ray_class(z[ic * width + (jp + sign)], below[n + 1]);
        ip = ic;
        jp += sign;
        n++;
    } else {
        // Along a row, up to a row.
        for (; n <= steps + 1 && (falling ? ip > stop : ip < stop); n++) {
            if (n == steps + 1 && (ip != to_.i || jp != to_.j)) return false;
            minor += minor_step;
            const int ic = static_cast<int>(minor + 0.5);
            const Sample *const here = z + ic * width + (jp + sign);
            __builtin_prefetch(here + ahead_rows, 0, 1);
            cells[(ip - i0) * stride + (jp - j0)] = ray_class(*here, below[n + 1]);
            ip = ic;
            jp += sign;
        }
    }
    n_ = n;
    ip_ = ip;
    jp_ = jp;
    minor_ = minor;
    return true;
}

namespace {

bool inside_by_one(const Terrain &t, Cell a, Cell b) {
    return std::min(a.i, b.i) >= 1 && std::max(a.i, b.i) <= t.rows - 2 && std::min(a.j, b.j) >= 1 &&
           std::max(a.j, b.j) <= t.cols - 2;
}

// Rows at a time in which every ray walks on before the next rows begin.
constexpr int BAND = 16;
constexpr int AHEAD = 32;
constexpr int AHEAD_ROWS = 8;

// All rays, in bands of rows when every ray's rows run the same way. A cell
// takes the class of the last ray that writes it, so what matters is the
// order of the rays that write one cell, and all writes to a row happen in
// its band, ray after ray. Walking ray by ray instead, a steep ray reads a
// new raster row at every step and the next ray finds the rows gone from
// the caches; in a band, the rays share the rows they read.
template <typename Sample>
bool classify_banded(const Sample *z, const Terrain &t, const std::vector<int64_t> &below, const std::vector<Cell> &bottom,
                     const std::vector<Cell> &top, int rays, Classes &c, std::vector<RayWalk> &walks) {
    bool rising = false, falling = false, steep = false;
    int first_row = INT32_MAX, last_row = INT32_MIN;
    for (int k = 0; k < rays; k++) {
        const Cell a = bottom[static_cast<size_t>(k)], b = top[static_cast<size_t>(k)];
        rising |= b.i > a.i;
        falling |= b.i < a.i;
        steep |= std::abs(b.i - a.i) >= std::abs(b.j - a.j);
        first_row = std::min({first_row, a.i, b.i});
        last_row = std::max({last_row, a.i, b.i});
    }
    walks.clear();
    for (int k = 0; k < rays; k++) walks.emplace_back(bottom[static_cast<size_t>(k)], top[static_cast<size_t>(k)]);
    const size_t cols = static_cast<size_t>(t.cols);
    const int across = bottom[static_cast<size_t>(rays - 1)].j - bottom[0].j;
    const int ahead = across > 0 ? AHEAD : across < 0 ? -AHEAD : 0;
    const int across_rows = bottom[static_cast<size_t>(rays - 1)].i - bottom[0].i;
    const ptrdiff_t ahead_rows = (across_rows > 0 ? AHEAD_ROWS : across_rows < 0 ? -AHEAD_ROWS : 0) * static_cast<ptrdiff_t>(cols);
    auto run = [&](int stop) {
        for (RayWalk &w : walks)
            if (!w.finished() && !w.advance(z, cols, below.data(), c, stop, falling, ahead, ahead_rows)) return false;
        return true;
    };
    // Rays along rows read their rows whole, one after the other, and need
    // no bands.
    if (steep && !(rising && falling)) {
        if (falling) {
            for (int stop = last_row - BAND; stop >= first_row; stop -= BAND)
                if (!run(stop)) return false;
        } else {
            for (int stop = first_row + BAND; stop <= last_row; stop += BAND)
                if (!run(stop)) return false;
        }
    }
    // The rows left, or every ray whole, one after the other.
    return run(falling ? INT32_MIN : INT32_MAX);
}

}  // namespace

void classify_rays(const Terrain &t, const std::vector<int64_t> &below, const std::vector<Cell> &bottom,
                   const std::vector<Cell> &top, int rays, Classes &c, std::vector<RayWalk> &walks) {
    bool inside = true;
    for (int k = 0; k < rays && inside; k++) inside = inside_by_one(t, bottom[static_cast<size_t>(k)], top[static_cast<size_t>(k)]);
    if (inside) {
        const bool done = t.s16 != nullptr ? classify_banded(t.s16, t, below, bottom, top, rays, c, walks)
                                           : classify_banded(t.s32, t, below, bottom, top, rays, c, walks);
        // Else walked again with every check: the same cells in the same
        // order, so whatever was written is written over, and the rows'
        // spans widened as the walk goes.
        if (done) return;
    }
    for (int k = 0; k < rays; k++) classify_ray(t, below, bottom[static_cast<size_t>(k)], top[static_cast<size_t>(k)], c);
}

void classify_ray(const Terrain &t, const std::vector<int64_t> &below, Cell from, Cell to, Classes &c) {
    classify_walk(t, below, from, to, c);
}
