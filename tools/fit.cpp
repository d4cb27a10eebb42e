// fit.cpp: the plane through a contact's points, the attitude whose exact
// intersection passes nearest them, its ranges, the treatment that stamps
// it, and how its intersection follows the contact.
#include "fit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace tools {

namespace {

const double DEG = 180.0 / 3.14159265358979323846;
// Where ground and plane slope alike, the first-order distance to their
// intersection runs away: a slope of the difference below this counts as
// this (a point is at most 50 times its height difference away).
const double FLAT = 0.02;
// The confidence of each range.
const double LEVEL = 0.99;

}  // namespace

Plane fit_plane(const Terrain &t, double k, const Contact &c) {
    Plane p;
    const std::vector<Spot> spots = c.spots();
    const size_t n = spots.size();
    if (n == 0) return p;
    // Metres east and north of the cells' centres, and elevations.
    std::vector<double> x(n), y(n), z(n);
    double mx = 0, my = 0, mz = 0;
    for (size_t k2 = 0; k2 < n; k2++) {
        x[k2] = (spots[k2].j + 0.5) * t.pix_size;
        y[k2] = -(spots[k2].i + 0.5) * t.pix_size;
        z[k2] = bilinear(t, spots[k2].i, spots[k2].j);
        mx += x[k2];
        my += y[k2];
        mz += z[k2];
    }
    mx /= n;
    my /= n;
    mz /= n;
    double sxx = 0, sxy = 0, syy = 0, sxz = 0, syz = 0;
    for (size_t k2 = 0; k2 < n; k2++) {
        const double dx = x[k2] - mx, dy = y[k2] - my, dz = z[k2] - mz;
        sxx += dx * dx;
        sxy += dx * dy;
        syy += dy * dy;
        sxz += dx * dz;
        syz += dy * dz;
    }
    // The spread of the points along and across their main direction.
    const double tr = (sxx + syy) / n, det = (sxx * syy - sxy * sxy) / (static_cast<double>(n) * n);
    const double gap = std::sqrt(std::max(0.0, tr * tr / 4 - det));
    const double l1 = tr / 2 + gap, l2 = std::max(0.0, tr / 2 - gap);
    p.along_m = std::sqrt(l1) / k;
    p.across_m = std::sqrt(l2) / k;
    p.nearly_collinear = p.across_m < 0.05 * p.along_m;
    const double d = sxx * syy - sxy * sxy;
    if (n < 3 || !(l2 > 1e-12 * l1) || d <= 0) return p;
    const double a = (syy * sxz - sxy * syz) / d, b = (sxx * syz - sxy * sxz) / d;  // dz/dx east, dz/dy north
    p.determined = true;
    p.a = a;
    p.b = b;
    p.c = mz - a * mx - b * my;
    p.dip = std::atan(std::hypot(a, b)) * DEG;
    // Down the slope: the direction of -(a, b), clockwise from north.
    p.dip_direction = std::fmod(std::atan2(-a, -b) * DEG + 360.0, 360.0);
    double ss = 0;
    for (size_t k2 = 0; k2 < n; k2++) {
        const double r = z[k2] - (mz + a * (x[k2] - mx) + b * (y[k2] - my));
        ss += r * r;
    }
    p.rms_m = std::sqrt(ss / n) / k;
    return p;
}

// ---- the data -------------------------------------------------------------------------

namespace {

// A point of the contact: metres east and north, the ground's elevation and
// its slope (rise a metre eastwards and northwards).
struct Datum {
    double e, n, z, ge, gn;
};

std::vector<Datum> data_of(const Terrain &t, const Contact &c) {
    std::vector<Datum> d;
    for (Spot s : c.spots()) {
        Datum x;
        x.e = s.j * t.pix_size;
        x.n = -s.i * t.pix_size;
        x.z = bilinear(t, s.i, s.j);
        bilinear_slope(t, s.i, s.j, x.ge, x.gn);
        d.push_back(x);
    }
    return d;
}

// A plane: falling fe a metre eastwards and fn northwards, through (e0, n0) at z0.
struct Params {
    double fe = 0, fn = 0, z0 = 0;
};

// A point's distance from the intersection (metres), and its derivatives
// by fe, fn and z0.
struct Residual {
    double r, dfe, dfn, dz0;
};
Residual residual(const Datum &x, const Params &p, double e0, double n0) {
    const double de = x.e - e0, dn = x.n - n0;
    const double f = x.z - p.z0 + p.fe * de + p.fn * dn;
    const double se = x.ge + p.fe, sn = x.gn + p.fn, s = std::hypot(se, sn);
    if (s <= FLAT) return {f / FLAT, de / FLAT, dn / FLAT, -1 / FLAT};
    return {f / s, de / s - f * se / (s * s * s), dn / s - f * sn / (s * s * s), -1 / s};
}

// The unknowns of one search: some of fe, fn, z0, or the fall and the
// direction with one of them held.
enum class Free { plane, direction, fall };

struct Problem {
    const std::vector<Datum> &data;
    double e0, n0;
    bool height_free;   // z0 an unknown, else held
    Free free;
    double held;        // the dip's tan (Free::direction) or the direction in radians (Free::fall)
    double z0;          // when held

    int unknowns() const { return (free == Free::plane ? 2 : 1) + (height_free ? 1 : 0); }
    Params params(const double *x) const {
        Params p;
        if (free == Free::plane) {
            p.fe = x[0];
            p.fn = x[1];
        } else {
            const double tn = free == Free::direction ? held : std::max(0.0, x[0]);
            const double az = free == Free::direction ? x[0] : held;
            p.fe = tn * std::sin(az);
            p.fn = tn * std::cos(az);
        }
        p.z0 = height_free ? x[unknowns() - 1] : z0;
        return p;
    }
    // The sum of squares, and its gradient and Gauss-Newton matrix.
    double evaluate(const double *x, double *grad, double (*jtj)[3]) const {
        const Params p = params(x);
        const int m = unknowns();
        for (int a = 0; a < m; a++) {
            grad[a] = 0;
            for (int b = 0; b < m; b++) jtj[a][b] = 0;
        }
        double sum = 0;
        for (const Datum &d : data) {
            const Residual r = residual(d, p, e0, n0);
            double row[3];
            if (free == Free::plane) {
                row[0] = r.dfe;
                row[1] = r.dfn;
            } else if (free == Free::direction) {
                row[0] = r.dfe * held * std::cos(x[0]) - r.dfn * held * std::sin(x[0]);
            } else {
                row[0] = r.dfe * std::sin(held) + r.dfn * std::cos(held);
            }
            if (height_free) row[m - 1] = r.dz0;
            sum += r.r * r.r;
            for (int a = 0; a < m; a++) {
                grad[a] += r.r * row[a];
                for (int b = 0; b < m; b++) jtj[a][b] += row[a] * row[b];
            }
        }
        return sum;
    }
};

// Solves a x = b for up to 3 unknowns (Gaussian elimination with pivoting).
bool solve(int m, double a[3][3], double *b, double *x) {
    for (int c = 0; c < m; c++) {
        int p = c;
        for (int r = c + 1; r < m; r++)
            if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
        if (std::fabs(a[p][c]) < 1e-300) return false;
        std::swap(a[p], a[c]);
        std::swap(b[p], b[c]);
        for (int r = c + 1; r < m; r++) {
            const double f = a[r][c] / a[c][c];
            for (int k = c; k < m; k++) a[r][k] -= f * a[c][k];
            b[r] -= f * b[c];
        }
    }
    for (int c = m - 1; c >= 0; c--) {
        double s = b[c];
        for (int k = c + 1; k < m; k++) s -= a[c][k] * x[k];
        x[c] = s / a[c][c];
    }
    return true;
}

// Levenberg-Marquardt from x; returns the least sum of squares found.
double minimise(const Problem &pb, double *x) {
    const int m = pb.unknowns();
    double grad[3], jtj[3][3];
    double sum = pb.evaluate(x, grad, jtj), lambda = 1e-3;
    for (int iter = 0; iter < 200; iter++) {
        double a[3][3], b[3], step[3], trial[3];
        for (int r = 0; r < m; r++) {
            for (int c = 0; c < m; c++) a[r][c] = jtj[r][c];
            a[r][r] += lambda * (jtj[r][r] > 0 ? jtj[r][r] : 1);
            b[r] = -grad[r];
        }
        if (!solve(m, a, b, step)) break;
        for (int r = 0; r < m; r++) trial[r] = x[r] + step[r];
        double g2[3], j2[3][3];
        const double s2 = pb.evaluate(trial, g2, j2);
        if (s2 < sum) {
            const bool done = sum - s2 <= 1e-14 * sum;
            std::copy(trial, trial + m, x);
            std::copy(g2, g2 + m, grad);
            for (int r = 0; r < m; r++) std::copy(j2[r], j2[r] + m, jtj[r]);
            sum = s2;
            lambda = std::max(lambda / 4, 1e-12);
            if (done) break;
        } else {
            lambda *= 8;
            if (lambda > 1e12) break;
        }
    }
    return sum;
}

// ---- the t distribution, for the ranges ------------------------------------------------

// The regularised incomplete beta function I_x(a, b), by its continued fraction.
double incomplete_beta(double x, double a, double b) {
    if (x <= 0) return 0;
    if (x >= 1) return 1;
    if (x > (a + 1) / (a + b + 2)) return 1 - incomplete_beta(1 - x, b, a);
    const double front = std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) + b * std::log(1 - x)) / a;
    double f = 1, c = 1, d = 0;
    for (int i = 0; i <= 300; i++) {
        const int m = i / 2;
        double num;
        if (i == 0) num = 1;
        else if (i % 2 == 0) num = (m * (b - m) * x) / ((a + 2 * m - 1) * (a + 2 * m));
        else num = -((a + m) * (a + b + m) * x) / ((a + 2 * m) * (a + 2 * m + 1));
        d = 1 + num * d;
        if (std::fabs(d) < 1e-300) d = 1e-300;
        d = 1 / d;
        c = 1 + num / c;
        if (std::fabs(c) < 1e-300) c = 1e-300;
        const double cd = c * d;
        f *= cd;
        if (std::fabs(1 - cd) < 1e-15) break;
    }
    return front * (f - 1);
}

// The t value that a two-sided range of `level` reaches with nu degrees of freedom.
double t_quantile(double level, double nu) {
    const double tail = (1 - level) / 2;
    double lo = 0, hi = 1e6;
    for (int k = 0; k < 200; k++) {
        const double t = (lo + hi) / 2;
        const double upper = 0.5 * incomplete_beta(nu / (nu + t * t), nu / 2, 0.5);
        (upper > tail ? lo : hi) = t;
    }
    return (lo + hi) / 2;
}

double wrap180(double a) { return std::fmod(std::fmod(a + 180, 360) + 360, 360) - 180; }

// The extent of a profile on one side of the best value: the first value
// at `step` multiples whose least sum of squares passes `limit`, narrowed
// by bisection. `solve_at(v)` gives the profile at v; false at the edge.
template <typename At>
double reach(double best, double sign, double edge, double limit, At solve_at, bool &bounded) {
    double inside = best, step = 0.05;
    bounded = false;
    for (;;) {
        double v = best + sign * step;
        if (sign * (v - edge) >= 0) v = edge;
        if (solve_at(v) > limit) {
            double out = v;
            for (int k = 0; k < 30 && std::fabs(out - inside) > 0.005; k++) {
                const double mid = (inside + out) / 2;
                (solve_at(mid) > limit ? out : inside) = mid;
            }
            bounded = true;
            return (inside + out) / 2;
        }
        inside = v;
        if (v == edge) return edge;
        step *= 1.6;
    }
}

}  // namespace

namespace {

// The sum of squares of a plane of fall (fe, fn) with its best height: the
// distances are linear in the height, so the best one is a weighted mean.
double sum_at(const std::vector<Datum> &data, double e0, double n0, double fe, double fn, bool height_free, double &z0) {
    if (height_free) {
        double num = 0, den = 0;
        for (const Datum &d : data) {
            const double s = std::max(FLAT, std::hypot(d.ge + fe, d.gn + fn)), w = 1 / (s * s);
            num += w * (d.z + fe * (d.e - e0) + fn * (d.n - n0));
            den += w;
        }
        z0 = num / den;
    }
    double sum = 0;
    for (const Datum &d : data) {
        const double s = std::max(FLAT, std::hypot(d.ge + fe, d.gn + fn));
        const double r = (d.z - z0 + fe * (d.e - e0) + fn * (d.n - n0)) / s;
        sum += r * r;
    }
    return sum;
}

// Every attitude on a grid (whole degrees of dip, two of direction): the
// least sum of squares of each dip over the directions, and of each
// direction over the dips.
const int DIP_STEPS = 90, DIR_STEPS = 180;
struct Grid2 {
    std::vector<double> by_dip, by_dir;
    int best_dip = 0, best_dir = 0;
    double best = std::numeric_limits<double>::infinity();
};
Grid2 scan(const std::vector<Datum> &data, double e0, double n0, bool height_free, double z0) {
    Grid2 g;
    g.by_dip.assign(DIP_STEPS, std::numeric_limits<double>::infinity());
    g.by_dir.assign(DIR_STEPS, std::numeric_limits<double>::infinity());
    for (int d = 0; d < DIP_STEPS; d++)
        for (int a = 0; a < DIR_STEPS; a++) {
            const double tn = std::tan(d / DEG), az = 2 * a / DEG;
            double z = z0;
            const double s = sum_at(data, e0, n0, tn * std::sin(az), tn * std::cos(az), height_free, z);
            g.by_dip[static_cast<size_t>(d)] = std::min(g.by_dip[static_cast<size_t>(d)], s);
            g.by_dir[static_cast<size_t>(a)] = std::min(g.by_dir[static_cast<size_t>(a)], s);
            if (s < g.best) g.best = s, g.best_dip = d, g.best_dir = a;
            if (d == 0) break;  // a flat plane has no direction
        }
    for (int a = 1; a < DIR_STEPS; a++) g.by_dir[static_cast<size_t>(a)] = std::min(g.by_dir[static_cast<size_t>(a)], g.by_dip[0]);
    return g;
}

}  // namespace

TrueFit fit_true(const Terrain &t, double k, const Contact &c, const Plane &start, const Cell *station) {
    TrueFit f;
    const std::vector<Datum> data = data_of(t, c);
    if (data.size() < 2 || (!start.determined && station == nullptr && data.size() < 3)) return f;
    // The plane is held through the station, or through the points' middle.
    double e0 = 0, n0 = 0;
    if (station != nullptr) {
        e0 = station->j * t.pix_size;
        n0 = -station->i * t.pix_size;
    } else {
        for (const Datum &d : data) e0 += d.e, n0 += d.n;
        e0 /= data.size();
        n0 /= data.size();
    }
    Problem pb{data, e0, n0, station == nullptr, Free::plane, 0, 0};
    if (station != nullptr) pb.z0 = t.elevation(station->i, station->j);

    // The best attitude: from the best of the grid and from the least-squares
    // plane, whichever ends lower.
    const Grid2 g = scan(data, e0, n0, pb.height_free, pb.z0);
    double best = std::numeric_limits<double>::infinity(), x[3] = {0, 0, 0};
    std::vector<std::array<double, 2>> starts = {{std::tan(g.best_dip / DEG) * std::sin(2 * g.best_dir / DEG),
                                                  std::tan(g.best_dip / DEG) * std::cos(2 * g.best_dir / DEG)}};
    if (start.determined) starts.push_back({-start.a, -start.b});
    for (const auto &s : starts) {
        double y[3] = {s[0], s[1], pb.z0};
        if (pb.height_free) sum_at(data, e0, n0, s[0], s[1], true, y[2]);
        const double sum = minimise(pb, y);
        if (sum < best) best = sum, std::copy(y, y + 3, x);
    }
    const Params p = pb.params(x);
    f.found = true;
    f.fall_e = p.fe;
    f.fall_n = p.fn;
    f.e0 = e0;
    f.n0 = n0;
    f.z0 = p.z0;
    f.points = static_cast<int>(data.size());
    f.unknowns = pb.unknowns();
    f.level = LEVEL;
    f.rms_m = std::sqrt(best / data.size()) / k;
    f.dip = std::atan(std::hypot(p.fe, p.fn)) * DEG;
    f.dip_direction = std::fmod(std::atan2(p.fe, p.fn) * DEG + 360, 360);

    // The ranges: where the profile's sum of squares stays under the F
    // limit, followed finely from the best and widened to every attitude of
    // the grid under it (the profile may have more than one valley).
    const int nu = f.points - f.unknowns;
    if (nu < 1) return f;
    const double tq = t_quantile(LEVEL, nu);
    const double limit = best * (1 + tq * tq / nu) + 1e-18;
    const double az = std::atan2(p.fe, p.fn), tn = std::hypot(p.fe, p.fn);
    {
        Problem q = pb;
        q.free = Free::direction;
        double y[2] = {az, p.z0};
        auto at = [&](double dip) {
            q.held = std::tan(dip / DEG);
            return minimise(q, y);
        };
        bool lo_ok, hi_ok;
        f.dip_lo = reach(f.dip, -1, 0, limit, at, lo_ok);
        y[0] = az, y[1] = p.z0;
        f.dip_hi = reach(f.dip, +1, 89.99, limit, at, hi_ok);
        // A grid dip under the limit beyond the range found: the range's
        // end lies between it and the next dip of the grid.
        for (int d = 0; d < DIP_STEPS; d++)
            if (g.by_dip[static_cast<size_t>(d)] <= limit) {
                if (d < f.dip_lo - 1) f.dip_lo = std::max(0.0, d - 1.0);
                if (d > f.dip_hi + 1) f.dip_hi = std::min(89.99, d + 1.0);
            }
        f.dip_bounded = f.dip_hi < 89.99;
    }
    {
        Problem q = pb;
        q.free = Free::fall;
        double y[2] = {tn, p.z0};
        auto at = [&](double da) {
            q.held = (f.dip_direction + da) / DEG;
            return minimise(q, y);
        };
        bool lo_ok, hi_ok;
        double lo = reach(0, -1, -180, limit, at, lo_ok);
        y[0] = tn, y[1] = p.z0;
        double hi = reach(0, +1, 180, limit, at, hi_ok);
        for (int a = 0; a < DIR_STEPS; a++)
            if (g.by_dir[static_cast<size_t>(a)] <= limit) {
                const double rel = wrap180(2.0 * a - f.dip_direction);
                if (rel < lo - 2) lo = rel - 2;
                if (rel > hi + 2) hi = rel + 2;
            }
        f.dir_bounded = lo_ok && hi_ok && hi - lo < 180;
        f.dir_lo = std::fmod(f.dip_direction + lo + 720, 360);
        f.dir_hi = std::fmod(f.dip_direction + hi + 720, 360);
    }
    return f;
}

// ---- the treatment of the attitude -----------------------------------------------------

Treatment treatment_for(const Terrain &t, double k, const Contact &c, const TrueFit &f, const Cell *station, int zone) {
    Treatment tr;
    const std::vector<Spot> spots = c.spots();
    Values &v = tr.values;
    v.dip = static_cast<int>(std::lround(f.dip));
    v.dip_direction = static_cast<int>(std::lround(f.dip_direction)) % 360;
    if (station != nullptr) {
        v.row = station->i;
        v.column = station->j;
    } else {
        // The cells of the contact's middle half, and their neighbours: the
        // one where the plane passes nearest the ground, in distance.
        double ci = 0, cj = 0;
        for (Spot s : spots) ci += s.i, cj += s.j;
        ci /= spots.size();
        cj /= spots.size();
        std::vector<double> from;
        for (Spot s : spots) from.push_back(std::hypot(s.i - ci, s.j - cj));
        std::vector<double> sorted = from;
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<ptrdiff_t>(sorted.size() / 2), sorted.end());
        const double half = sorted[sorted.size() / 2];
        // Of the cells the intersection passes within half a cell of, the
        // nearest the middle; else the nearest the intersection.
        double best = std::numeric_limits<double>::infinity();
        bool close = false;
        for (size_t n = 0; n < spots.size(); n++) {
            if (from[n] > half) continue;
            const int i0 = static_cast<int>(std::lround(spots[n].i)), j0 = static_cast<int>(std::lround(spots[n].j));
            for (int i = i0 - 1; i <= i0 + 1; i++)
                for (int j = j0 - 1; j <= j0 + 1; j++) {
                    if (!t.inside(i, j)) continue;
                    double ge, gn;
                    bilinear_slope(t, i, j, ge, gn);
                    const double off = t.elevation(i, j) - f.plane(j * t.pix_size, -i * t.pix_size);
                    const double cells = std::fabs(off) / std::max(FLAT, std::hypot(ge + f.fall_e, gn + f.fall_n)) / t.pix_size;
                    const bool near = cells <= 0.5;
                    const double score = near ? std::hypot(i - ci, j - cj) : cells;
                    if ((near && !close) || ((near == close) && score < best)) {
                        best = score;
                        close = close || near;
                        v.row = i;
                        v.column = j;
                    }
                }
        }
    }
    tr.offset_m = (f.plane(v.column * t.pix_size, -v.row * t.pix_size) - t.elevation(v.row, v.column)) / k;
    // A zone that reaches the contact, shrunk until its square fits.
    double reach_cells = 0;
    for (Spot s : spots) reach_cells = std::max(reach_cells, std::hypot(s.i - v.row, s.j - v.column));
    v.zone = zone > 0 ? zone : static_cast<int>(std::ceil(reach_cells)) + 2;
    auto fits = [&](int z) {
        const Fit q = reference_points_that_fit(t.rows, t.cols, v.dip_direction, z);
        return !q.empty() && v.row >= q.lo_i && v.row <= q.hi_i && v.column >= q.lo_j && v.column <= q.hi_j;
    };
    if (zone <= 0)
        while (v.zone > 1 && !fits(v.zone)) v.zone--;
    tr.fits = fits(v.zone);
    // Inside the square's inscribed circle is inside, whatever its turn.
    for (Spot s : spots) tr.beyond += std::hypot(s.i - v.row, s.j - v.column) > v.zone;
    return tr;
}

// ---- how an intersection follows the contact ------------------------------------------------

namespace {

struct Segment {
    double ai, aj, bi, bj;
};

double distance(double i, double j, const Segment &s) {
    const double vi = s.bi - s.ai, vj = s.bj - s.aj, len2 = vi * vi + vj * vj;
    double u = len2 > 0 ? ((i - s.ai) * vi + (j - s.aj) * vj) / len2 : 0;
    u = std::max(0.0, std::min(1.0, u));
    return std::hypot(i - (s.ai + u * vi), j - (s.aj + u * vj));
}

}  // namespace

Closeness closeness(const Terrain &t, double k, const Contact &c, const Values &v) {
    Closeness out;
    Square q;
    if (square_refusal(t, v, q) != Verdict::traced) return out;
    out.traced = true;
    // The zero line of ground minus the treatment's plane over the square's
    // box (marching squares on the bilinear surface), in buckets of 4 cells.
    Box box;
    for (Cell x : {q.lb, q.lt, q.rt, q.rb}) box.add(x);
    const double az = v.dip_direction / DEG, fall = std::tan(v.dip / DEG) * t.pix_size, z0 = t.elevation(v.row, v.column);
    auto f = [&](int i, int j) {
        return t.elevation(i, j) - (z0 - fall * ((j - v.column) * std::sin(az) - (i - v.row) * std::cos(az)));
    };
    const int B = 4, nbi = (box.i1 - box.i0) / B + 1, nbj = (box.j1 - box.j0) / B + 1;
    std::vector<std::vector<Segment>> buckets(static_cast<size_t>(nbi) * nbj);
    std::vector<double> above(static_cast<size_t>(box.j1 - box.j0 + 1)), here(above.size());
    for (int j = box.j0; j <= box.j1; j++) above[static_cast<size_t>(j - box.j0)] = f(box.i0, j);
    for (int i = box.i0; i < box.i1; i++) {
        for (int j = box.j0; j <= box.j1; j++) here[static_cast<size_t>(j - box.j0)] = f(i + 1, j);
        for (int j = box.j0; j < box.j1; j++) {
            const size_t a = static_cast<size_t>(j - box.j0);
            const double z[4] = {above[a], above[a + 1], here[a + 1], here[a]};
            const double ci[4] = {double(i), double(i), i + 1.0, i + 1.0}, cj[4] = {double(j), j + 1.0, j + 1.0, double(j)};
            double pi[4], pj[4];
            int n = 0;
            for (int e = 0; e < 4; e++) {
                const double za = z[e], zb = z[(e + 1) % 4];
                if ((za >= 0) == (zb >= 0)) continue;
                const double u = za / (za - zb);
                pi[n] = ci[e] + u * (ci[(e + 1) % 4] - ci[e]);
                pj[n] = cj[e] + u * (cj[(e + 1) % 4] - cj[e]);
                n++;
            }
            for (int e = 0; e + 1 < n; e += 2)
                buckets[static_cast<size_t>((i - box.i0) / B) * nbj + (j - box.j0) / B].push_back({pi[e], pj[e], pi[e + 1], pj[e + 1]});
        }
        std::swap(above, here);
    }
    auto nearest = [&](double i, double j) {
        double best = std::numeric_limits<double>::infinity();
        const int bi = static_cast<int>(std::floor((i - box.i0) / B)), bj = static_cast<int>(std::floor((j - box.j0) / B));
        for (int r = 0; r < std::max(nbi, nbj) + 1; r++) {
            if (best <= (r - 1) * B) break;
            for (int x = bi - r; x <= bi + r; x++)
                for (int y = bj - r; y <= bj + r; y++) {
                    if (std::max(std::abs(x - bi), std::abs(y - bj)) != r || x < 0 || y < 0 || x >= nbi || y >= nbj) continue;
                    for (const Segment &s : buckets[static_cast<size_t>(x) * nbj + y]) best = std::min(best, distance(i, j, s));
                }
        }
        return best;
    };
    // The contact's points, or places a quarter of a cell apart along its lines.
    double total = 0, one = 0, two = 0, beyond = 0, sum = 0;
    auto sample = [&](double i, double j, double weight) {
        total += weight;
        if (std::hypot(i - v.row, j - v.column) > v.zone) {
            beyond += weight;
            return;
        }
        const double d = nearest(i, j);
        one += d <= 1 ? weight : 0;
        two += d <= 2 ? weight : 0;
        sum += std::min(d, 1e6) * weight;
    };
    for (const std::vector<Spot> &l : c.lines) {
        if (l.size() == 1) sample(l[0].i, l[0].j, 1);
        for (size_t n = 1; n < l.size(); n++) {
            const double len = std::hypot(l[n].i - l[n - 1].i, l[n].j - l[n - 1].j);
            const int parts = std::max(1, static_cast<int>(std::ceil(len * 4)));
            for (int p = 0; p < parts; p++) {
                const double u = (p + 0.5) / parts;
                sample(l[n - 1].i + u * (l[n].i - l[n - 1].i), l[n - 1].j + u * (l[n].j - l[n - 1].j), len / parts);
            }
        }
    }
    if (total > 0) {
        out.within_one = one / total;
        out.within_two = two / total;
        out.beyond = beyond / total;
        out.mean_m = total > beyond ? sum / (total - beyond) * t.pix_size / k : 0;
    }
    return out;
}

}  // namespace tools
