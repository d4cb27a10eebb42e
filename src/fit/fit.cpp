// fit.cpp: the plane through a contact's points, the attitude whose exact
// intersection follows them, its region of confidence (or why the contact
// does not decide it), the treatment that stamps it, and how a treatment's
// intersection follows the contact.
#include "fit/fit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>

namespace tools {

namespace {

const double DEG = 180.0 / 3.14159265358979323846;
// Where ground and plane slope alike, the first-order distance to their
// intersection runs away: a slope of the difference below this counts as
// this, where a treatment's point is chosen.
const double FLAT = 0.02;

std::string format1(double v) {
    char b[32];
    snprintf(b, sizeof b, "%.1f", v);
    return b;
}

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

// ---- the contact on the ground --------------------------------------------------------

Pole pole_of(double dip, double dip_direction) {
    const double d = dip / DEG, a = dip_direction / DEG;
    return {std::sin(d) * std::sin(a), std::sin(d) * std::cos(a), std::cos(d)};
}

void attitude_of(const Pole &p0, double &dip, double &dip_direction) {
    Pole p = p0;
    if (p.z < 0) p = {-p.x, -p.y, -p.z};
    const double h = std::hypot(p.x, p.y);
    dip = std::atan2(h, p.z) * DEG;
    dip_direction = h > 0 ? std::fmod(std::atan2(p.x, p.y) * DEG + 360.0, 360.0) : 0;
}

namespace {

// The contact's points in metres east and north of cell (0, 0)'s centre,
// with the ground's elevation and slope there, and where each stands: its
// line (-1 for a lone point) and its place along it.
struct Datum {
    double e, n, z, ge, gn;
    int line;
};

std::vector<Datum> data_of(const Terrain &t, const Contact &c) {
    std::vector<Datum> d;
    int line = 0;
    for (const std::vector<Spot> &l : c.lines) {
        for (Spot s : l) {
            Datum x;
            x.e = s.j * t.pix_size;
            x.n = -s.i * t.pix_size;
            x.z = bilinear(t, s.i, s.j);
            bilinear_slope(t, s.i, s.j, x.ge, x.gn);
            x.line = l.size() > 1 ? line : -1;
            d.push_back(x);
        }
        line++;
    }
    return d;
}

// A plane as its normal and offset: f = p . (e, n, z) - offset, above zero
// where the ground stands over the plane (for a plane that is not vertical).
struct Flat {
    Pole p;
    double d = 0;
};

// The ground minus the plane at (e, n) metres, and its gradient.
inline double field(const Terrain &t, const Flat &f, double e, double n, double &fe, double &fn) {
    double z, ge, gn;
    surface(t, -n / t.pix_size, e / t.pix_size, z, ge, gn);
    fe = f.p.x + f.p.z * ge;
    fn = f.p.y + f.p.z * gn;
    return f.p.x * e + f.p.y * n + f.p.z * z - f.d;
}

inline double length(double a, double b) { return std::sqrt(a * a + b * b); }

// Points farther than this many cells from the intersection count as this
// far: a lone stray point must not decide the attitude.
const double CAP = 10;
// How far points are moved to tell a plane's own intersection from one that
// runs everywhere, cells.
const double SHIFT = 3;
// A contact is never placed better than this, cells: the least scatter the
// ranges allow for.
const double LEAST_SCATTER = 0.02;
// The most a mapped line strays from vertex to vertex, cells.
const double ROUGHEST = 1.0;
// A mapped line's points err alike over this many cells at least.
const double OWN_ERROR_EVERY = 2;
// A plane meeting the ground at less than this (degrees) at the contact
// lies along it.
const double LEAST_ANGLE = 2;

// The signed distance (metres) of a contact point from the plane's
// intersection with the ground: Newton's steps from the point towards the
// zero of ground minus plane, at most two cells a step. `weight` is how it
// moves as the plane's offset does (the inverse of the gradient there).
double distance(const Terrain &t, const Flat &f, const Datum &x, double &weight) {
    const double cap = CAP * t.pix_size, step_cap = 2.0 * t.pix_size;
    double fe = f.p.x + f.p.z * x.ge, fn = f.p.y + f.p.z * x.gn;
    const double f0 = f.p.x * x.e + f.p.y * x.n + f.p.z * x.z - f.d;
    double g2 = fe * fe + fn * fn;
    weight = g2 > 0 ? 1 / std::sqrt(g2) : 0;
    if (f0 == 0) return 0;
    double e = x.e, n = x.n, v = f0;
    for (int k = 0; k < 6; k++) {
        if (!(g2 > 1e-18)) return f0 > 0 ? cap : -cap;
        double se = -v * fe / g2, sn = -v * fn / g2;
        const double len = length(se, sn);
        if (len > step_cap) se *= step_cap / len, sn *= step_cap / len;
        e += se;
        n += sn;
        const double moved = length(e - x.e, n - x.n);
        if (moved > cap) return f0 > 0 ? cap : -cap;
        v = field(t, f, e, n, fe, fn);
        g2 = fe * fe + fn * fn;
        if (std::fabs(v) < 1e-6 * t.pix_size * std::sqrt(g2) || len < 1e-4 * t.pix_size) break;
    }
    // Where the steps stopped short of the zero, the first-order rest.
    const double rest = g2 > 0 ? std::fabs(v) / std::sqrt(g2) : cap;
    const double d = std::min(cap, length(e - x.e, n - x.n) + rest);
    if (g2 > 0) weight = 1 / std::sqrt(g2);
    return f0 > 0 ? d : -d;
}

// The sum of squares of a plane of normal p, its offset the best one (free)
// or `fixed`; the offset found and the residuals are given back.
struct Sum {
    double s = 0, d = 0;
};
Sum sum_of(const Terrain &t, const std::vector<Datum> &data, const Pole &p, bool free, double d, std::vector<double> *res = nullptr) {
    Flat f{p, d};
    const size_t n = data.size();
    std::vector<double> r(n), w(n), r2(n), w2(n);
    auto pass = [&](const Flat &g, std::vector<double> &rr, std::vector<double> &ww) {
        double s = 0;
        for (size_t k = 0; k < n; k++) {
            rr[k] = distance(t, g, data[k], ww[k]);
            s += rr[k] * rr[k];
        }
        return s;
    };
    double s = pass(f, r, w);
    // The best offset by Gauss-Newton steps, halved where a step rises.
    for (int iter = 0; free && iter < 8; iter++) {
        double num = 0, den = 0;
        for (size_t k = 0; k < n; k++) num += r[k] * w[k], den += w[k] * w[k];
        if (den <= 0) break;
        // The distances shrink by w a metre the offset grows.
        double step = num / den;
        bool moved = false;
        for (int half = 0; half < 5 && std::fabs(step) > 1e-6 * t.pix_size; half++, step /= 2) {
            const Flat trial{p, f.d + step};
            const double s2 = pass(trial, r2, w2);
            if (s2 < s) {
                f = trial;
                r.swap(r2);
                w.swap(w2);
                moved = s - s2 > 1e-12 * s;
                s = s2;
                break;
            }
        }
        if (!moved) break;
    }
    if (res != nullptr) *res = r;
    return {s, f.d};
}

// The offset of the plane of normal p through the contact's points by the
// first-order distances: a start for the exact one.
double first_offset(const std::vector<Datum> &data, const Pole &p) {
    double num = 0, den = 0;
    for (const Datum &x : data) {
        const double fe = p.x + p.z * x.ge, fn = p.y + p.z * x.gn, g2 = std::max(fe * fe + fn * fn, 1e-6);
        num += (p.x * x.e + p.y * x.n + p.z * x.z) / g2;
        den += 1 / g2;
    }
    return num / den;
}

// The sum of squares at the best offset, searched from the first-order one
// and a few around it (the sum need not have one valley in the offset).
double refine_offset(const Terrain &t, const std::vector<Datum> &data, const Pole &p) {
    const double d0 = first_offset(data, p);
    double best = std::numeric_limits<double>::infinity();
    for (int k = -4; k <= 4; k++) best = std::min(best, sum_of(t, data, p, true, d0 + k * 0.5 * t.pix_size * std::max(0.05, p.z)).s);
    return best;
}

// The first-order sum of squares, for the search of every attitude.
double first_sum(const std::vector<Datum> &data, const Pole &p, double d, double cap) {
    double s = 0;
    for (const Datum &x : data) {
        const double fe = p.x + p.z * x.ge, fn = p.y + p.z * x.gn;
        const double v = p.x * x.e + p.y * x.n + p.z * x.z - d;
        const double r = std::min(cap, std::fabs(v) / std::max(std::sqrt(fe * fe + fn * fn), 1e-9));
        s += r * r;
    }
    return s;
}

// ---- normals near a normal ------------------------------------------------------------

// Two directions across a normal: the normal n(u, v) = n + u a + v b, made
// unit, moves by the angles u and v about it.
struct Across {
    Pole n, a, b;
    explicit Across(const Pole &p) : n(p) {
        // a: horizontal, b: up the plane's fall line.
        const double h = std::hypot(p.x, p.y);
        a = h > 1e-9 ? Pole{p.y / h, -p.x / h, 0} : Pole{1, 0, 0};
        b = {n.y * a.z - n.z * a.y, n.z * a.x - n.x * a.z, n.x * a.y - n.y * a.x};
    }
    Pole at(double u, double v) const {
        Pole p{n.x + u * a.x + v * b.x, n.y + u * a.y + v * b.y, n.z + u * a.z + v * b.z};
        const double l = std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z);
        return {p.x / l, p.y / l, p.z / l};
    }
};

// Levenberg-Marquardt over the normal (and the offset when free, else
// through `pivot` itself: east, north, up), from `p`, the plane turning
// about `pivot`; the least sum found, and the curvature of the sum in u and v there.
struct Best {
    Pole p;
    double d = 0, s = 0;
    double h[2][2] = {{0, 0}, {0, 0}};  // half the second derivatives of the sum in u, v (offset at its best)
};
Best refine(const Terrain &t, const std::vector<Datum> &data, Pole p, bool free, double d, const double *pivot) {
    Best b;
    // As the normal turns, the plane turns about the pivot (the station, or
    // the contact's middle): the offset keeps its height there.
    double h = d - (p.x * pivot[0] + p.y * pivot[1] + p.z * pivot[2]);
    auto off = [&](const Pole &q, double height) { return q.x * pivot[0] + q.y * pivot[1] + q.z * pivot[2] + height; };
    Sum cur = sum_of(t, data, p, free, off(p, h));
    h = cur.d - off(p, 0);
    double lambda = 1e-3;
    const size_t n = data.size();
    std::vector<double> r0, r1, r2;
    double jtj[2][2] = {{0, 0}, {0, 0}};
    for (int iter = 0; iter < 40; iter++) {
        const Across x(p);
        const double hstep = 1e-5;
        sum_of(t, data, p, false, off(p, h), &r0);
        sum_of(t, data, x.at(hstep, 0), false, off(x.at(hstep, 0), h), &r1);
        sum_of(t, data, x.at(0, hstep), false, off(x.at(0, hstep), h), &r2);
        double g[2] = {0, 0};
        jtj[0][0] = jtj[0][1] = jtj[1][0] = jtj[1][1] = 0;
        // The offset's own column, projected out when it is free.
        std::vector<double> jd(n, 0.0);
        if (free) {
            std::vector<double> rd;
            sum_of(t, data, p, false, off(p, h) + 1e-3 * t.pix_size, &rd);
            for (size_t k = 0; k < n; k++) jd[k] = (rd[k] - r0[k]) / (1e-3 * t.pix_size);
        }
        double dd = 0;
        for (size_t k = 0; k < n; k++) dd += jd[k] * jd[k];
        std::vector<double> ju(n), jv(n);
        double ud = 0, vd = 0, rd0 = 0;
        for (size_t k = 0; k < n; k++) {
            ju[k] = (r1[k] - r0[k]) / hstep;
            jv[k] = (r2[k] - r0[k]) / hstep;
            ud += ju[k] * jd[k];
            vd += jv[k] * jd[k];
            rd0 += r0[k] * jd[k];
        }
        for (size_t k = 0; k < n; k++) {
            double a = ju[k], c = jv[k], r = r0[k];
            if (free && dd > 0) a -= jd[k] * ud / dd, c -= jd[k] * vd / dd, r -= jd[k] * rd0 / dd;
            jtj[0][0] += a * a;
            jtj[0][1] += a * c;
            jtj[1][1] += c * c;
            g[0] += a * r;
            g[1] += c * r;
        }
        jtj[1][0] = jtj[0][1];
        bool moved = false;
        for (int tries = 0; tries < 12; tries++) {
            const double m00 = jtj[0][0] * (1 + lambda), m11 = jtj[1][1] * (1 + lambda), m01 = jtj[0][1];
            const double det = m00 * m11 - m01 * m01;
            if (!(std::fabs(det) > 1e-300)) break;
            double du = -(m11 * g[0] - m01 * g[1]) / det, dv = -(m00 * g[1] - m01 * g[0]) / det;
            const double len = std::hypot(du, dv);
            if (len > 0.3) du *= 0.3 / len, dv *= 0.3 / len;
            const Pole q = x.at(du, dv);
            const Sum trial = sum_of(t, data, q, free, off(q, h));
            if (trial.s < cur.s) {
                const bool done = cur.s - trial.s <= 1e-12 * cur.s + 1e-18 || len < 1e-10;
                p = q;
                cur = trial;
                h = cur.d - off(p, 0);
                lambda = std::max(lambda / 4, 1e-9);
                moved = !done;
                break;
            }
            lambda *= 8;
        }
        if (!moved) break;
    }
    b.p = p;
    b.d = cur.d;
    b.s = cur.s;
    for (int a = 0; a < 2; a++)
        for (int c = 0; c < 2; c++) b.h[a][c] = jtj[a][c];
    return b;
}

// ---- what the contact says of itself ---------------------------------------------------

// How far a mapped line's vertices stray from one to the next: each
// interior vertex's distance from the chord of its two neighbours, whose
// square is one and a half times a point's own scatter across the line when
// the scatter is the vertices' own. Only vertices less than three cells
// from both neighbours count: farther apart, the chord cuts the line's own
// bends. Cells; 0 when too few count (`counted` says how many did).
double jitter(const Contact &c, int &counted) {
    double s = 0;
    int n = 0;
    for (const std::vector<Spot> &l : c.lines)
        for (size_t k = 1; k + 1 < l.size(); k++) {
            const double ai = l[k + 1].i - l[k - 1].i, aj = l[k + 1].j - l[k - 1].j, len = std::hypot(ai, aj);
            if (len <= 0 || std::hypot(l[k].i - l[k - 1].i, l[k].j - l[k - 1].j) > 3 ||
                std::hypot(l[k + 1].i - l[k].i, l[k + 1].j - l[k].j) > 3)
                continue;
            const double off = ((l[k].i - l[k - 1].i) * aj - (l[k].j - l[k - 1].j) * ai) / len;
            s += off * off;
            n++;
        }
    counted = n;
    return n >= 3 ? std::sqrt(s / n / 1.5) : 0;
}

// The contact's length in cells: its lines, or a path through its points in
// order along their main direction.
double length_of(const Contact &c) {
    double len = 0;
    std::vector<Spot> lone;
    for (const std::vector<Spot> &l : c.lines) {
        if (l.size() == 1) lone.push_back(l[0]);
        for (size_t k = 1; k < l.size(); k++) len += std::hypot(l[k].i - l[k - 1].i, l[k].j - l[k - 1].j);
    }
    if (lone.size() > 1) {
        double mi = 0, mj = 0, sii = 0, sjj = 0, sij = 0;
        for (Spot x : lone) mi += x.i / lone.size(), mj += x.j / lone.size();
        for (Spot x : lone) sii += (x.i - mi) * (x.i - mi), sjj += (x.j - mj) * (x.j - mj), sij += (x.i - mi) * (x.j - mj);
        const double axis = 0.5 * std::atan2(2 * sij, sii - sjj), ca = std::cos(axis), sa = std::sin(axis);
        std::sort(lone.begin(), lone.end(), [&](Spot a, Spot b) { return a.i * ca + a.j * sa < b.i * ca + b.j * sa; });
        for (size_t k = 1; k < lone.size(); k++) len += std::hypot(lone[k].i - lone[k - 1].i, lone[k].j - lone[k - 1].j);
    }
    return len;
}

// Whether the plane's intersection is the contact's own: points moved
// `shift` metres across the intersection, each way, lie about that far from
// it. A plane lying along the ground meets it all around the contact, and
// the moved points lie as near its intersection as the contact does. The
// share of the shift they keep, on average.
double specificity(const Terrain &t, const std::vector<Datum> &data, const Flat &f, double shift) {
    double sum = 0;
    int n = 0;
    for (const Datum &x : data) {
        const double fe = f.p.x + f.p.z * x.ge, fn = f.p.y + f.p.z * x.gn, g = std::hypot(fe, fn);
        if (!(g > 0)) continue;
        for (double sign : {-1.0, 1.0}) {
            Datum y;
            y.e = x.e + sign * shift * fe / g;
            y.n = x.n + sign * shift * fn / g;
            const double i = -y.n / t.pix_size, j = y.e / t.pix_size;
            if (i < 0 || j < 0 || i > t.rows - 1 || j > t.cols - 1) continue;
            y.z = bilinear(t, i, j);
            bilinear_slope(t, i, j, y.ge, y.gn);
            double w;
            sum += std::min(1.0, std::fabs(distance(t, f, y, w)) / shift);
            n++;
        }
    }
    return n > 0 ? sum / n : 1;
}

// The angle (degrees) at which the plane meets the ground at the contact's
// points, the median: a plane that only touches the ground, or lies along
// it, meets it at next to none, and its intersection then follows the
// ground's shape rather than its own attitude.
double meeting_angle(const std::vector<Datum> &data, const Pole &p) {
    std::vector<double> a;
    for (const Datum &x : data) {
        const double l = std::sqrt(1 + x.ge * x.ge + x.gn * x.gn);
        const double m[3] = {-x.ge / l, -x.gn / l, 1 / l};
        const double c[3] = {p.y * m[2] - p.z * m[1], p.z * m[0] - p.x * m[2], p.x * m[1] - p.y * m[0]};
        a.push_back(std::asin(std::min(1.0, std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]))) * DEG);
    }
    std::nth_element(a.begin(), a.begin() + static_cast<long>(a.size() / 2), a.end());
    return a[a.size() / 2];
}

// The two-sided quantile of an F distribution of 2 and nu degrees of
// freedom at `level`, times 2: the bound of the sum of squares' rise over a
// region of two unknowns.
double rise_bound(double level, double nu) { return nu * (std::pow(1 - level, -2 / nu) - 1); }

// The straight line that best holds the contact's points in space: its
// trend (degrees, downwards) and plunge, and how far the points stray from
// it across, against their spread along it.
struct Line3 {
    double trend = 0, plunge = 0, across = 0, along = 0;
};
Line3 line_of(const std::vector<Datum> &data) {
    Line3 out;
    double m[3] = {0, 0, 0};
    for (const Datum &x : data) m[0] += x.e, m[1] += x.n, m[2] += x.z;
    for (double &v : m) v /= data.size();
    double c[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    for (const Datum &x : data) {
        const double d[3] = {x.e - m[0], x.n - m[1], x.z - m[2]};
        for (int a = 0; a < 3; a++)
            for (int b = 0; b < 3; b++) c[a][b] += d[a] * d[b] / data.size();
    }
    // The main axis by power iteration; the spread across it from the rest.
    double v[3] = {1, 0.5, 0.1};
    for (int k = 0; k < 200; k++) {
        double w[3] = {0, 0, 0};
        for (int a = 0; a < 3; a++)
            for (int b = 0; b < 3; b++) w[a] += c[a][b] * v[b];
        const double l = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
        if (l <= 0) break;
        for (int a = 0; a < 3; a++) v[a] = w[a] / l;
    }
    if (v[2] > 0) v[0] = -v[0], v[1] = -v[1], v[2] = -v[2];
    double along = 0;
    for (int a = 0; a < 3; a++)
        for (int b = 0; b < 3; b++) along += v[a] * c[a][b] * v[b];
    const double total = c[0][0] + c[1][1] + c[2][2];
    out.along = std::sqrt(std::max(0.0, along));
    out.across = std::sqrt(std::max(0.0, total - along));
    out.plunge = std::atan2(-v[2], std::hypot(v[0], v[1])) * DEG;
    out.trend = std::fmod(std::atan2(v[0], v[1]) * DEG + 360, 360);
    return out;
}

// The smallest arc holding every direction of `a` (degrees): its start and
// its end clockwise.
void arc_of(std::vector<double> a, double &lo, double &hi) {
    std::sort(a.begin(), a.end());
    double gap = -1;
    size_t at = 0;
    for (size_t k = 0; k < a.size(); k++) {
        const double g = (k + 1 < a.size() ? a[k + 1] : a[0] + 360) - a[k];
        if (g > gap) gap = g, at = k;
    }
    lo = a[(at + 1) % a.size()];
    hi = a[at];
}

bool in_arc(double lo, double hi, double x) {
    const double span = std::fmod(hi - lo + 720, 360), off = std::fmod(x - lo + 720, 360);
    return off <= span + 1e-9 || off >= 360 - 1e-9;
}

// How much wider than the F ratio's bound the region must be for its
// stated confidence to hold, on the calibration's training contacts
// (fit_calibration, seed 7; the README's table is measured on others): at
// 90 % the bound of a linear least squares holds as it is; at 99 % its
// tail falls short, the distances depending on the plane far from
// linearly. Between the two by the logarithm of the share left out.
double calibrated(double level) {
    const double k90 = 1.0, k99 = 1.5;
    const double x = (std::log(1 - level) - std::log(0.1)) / (std::log(0.01) - std::log(0.1));
    return k90 + (k99 - k90) * std::min(1.0, std::max(0.0, x));
}

}  // namespace

double sum_of_squares(const Terrain &t, const Contact &c, double dip, double dip_direction, const Cell *station) {
    const std::vector<Datum> data = data_of(t, c);
    const Pole p = pole_of(dip, dip_direction);
    if (station != nullptr) {
        const double d = p.x * station->j * t.pix_size - p.y * station->i * t.pix_size + p.z * t.elevation(station->i, station->j);
        return sum_of(t, data, p, false, d).s;
    }
    return refine_offset(t, data, p);
}

std::vector<uint8_t> band_cells(const Terrain &t, const TrueFit &f, const Box &box) {
    std::vector<uint8_t> out;
    if (box.empty() || !f.found) return out;
    const int w = box.j1 - box.j0 + 1, h = box.i1 - box.i0 + 1;
    out.assign(static_cast<size_t>(w) * h, 0);
    std::vector<Pole> poles = {f.pole};
    const size_t every = std::max<size_t>(1, f.region.size() / 48);
    for (size_t k = 0; k < f.region.size(); k += every) poles.push_back(f.region[k]);
    std::vector<double> lo(out.size(), std::numeric_limits<double>::infinity()), hi(out.size(), -std::numeric_limits<double>::infinity());
    for (const Pole &p : poles) {
        const double d = p.x * f.pivot[0] + p.y * f.pivot[1] + p.z * f.pivot[2] + f.height;
        for (int i = box.i0; i <= box.i1; i++)
            for (int j = box.j0; j <= box.j1; j++) {
                if (!t.inside(i, j)) continue;
                const size_t k = static_cast<size_t>(i - box.i0) * w + (j - box.j0);
                const double v = p.x * j * t.pix_size - p.y * i * t.pix_size + p.z * t.elevation(i, j) - d;
                lo[k] = std::min(lo[k], v);
                hi[k] = std::max(hi[k], v);
            }
    }
    // A cell is in the band where some plane passes above its centre and
    // some below, or where one of them passes through it: then one
    // neighbour lies on the other side.
    for (size_t k = 0; k < out.size(); k++) out[k] = lo[k] <= 0 && hi[k] >= 0;
    std::vector<uint8_t> edge(out.size(), 0);
    for (int a = 0; a < h; a++)
        for (int b = 0; b < w; b++) {
            const size_t k = static_cast<size_t>(a) * w + b;
            if (!std::isfinite(lo[k])) continue;
            for (const auto &dv : {std::make_pair(0, 1), std::make_pair(1, 0)}) {
                const int a2 = a + dv.first, b2 = b + dv.second;
                if (a2 >= h || b2 >= w) continue;
                const size_t k2 = static_cast<size_t>(a2) * w + b2;
                if (!std::isfinite(lo[k2])) continue;
                // The answer's own intersection crosses between them.
                if ((lo[k] > 0 && hi[k2] < 0) || (hi[k] < 0 && lo[k2] > 0)) edge[k] = edge[k2] = 1;
            }
        }
    for (size_t k = 0; k < out.size(); k++) out[k] = out[k] || edge[k];
    return out;
}

bool ranges_hold(const TrueFit &f, double dip, double dip_direction) {
    if (!f.determined()) return false;
    if (dip < f.dip_lo - 1e-9 || dip > f.dip_hi + 1e-9) return false;
    if (f.direction_any || dip < 1e-9) return true;
    if (in_arc(f.dir_lo, f.dir_hi, dip_direction)) return true;
    return f.vertical && dip > 90 - 1e-6 && in_arc(f.dir_lo, f.dir_hi, std::fmod(dip_direction + 180, 360));
}

namespace {

// What every step of the fit works on: the contact's points, whether the
// plane's height is free or held through the station, and the point the
// planes turn about (the station, or the contact's middle).
struct Frame {
    Frame(const Terrain &t_, const std::vector<Datum> &data_, const Cell *station)
        : t(t_), data(data_), free(station == nullptr), pix(t_.pix_size > 0 ? t_.pix_size : 1) {
        if (station != nullptr) {
            es = station->j * pix;
            ns = -station->i * pix;
            zs = t.elevation(station->i, station->j);
        }
        through[0] = es, through[1] = ns, through[2] = zs;
        for (const Datum &x : data) centre[0] += x.e / data.size(), centre[1] += x.n / data.size(), centre[2] += x.z / data.size();
        pivot = free ? centre : through;
    }
    Frame(const Frame &) = delete;
    Frame &operator=(const Frame &) = delete;
    // A normal's offset: the points' own when the height is free, else through the station.
    double offset_for(const Pole &p) const { return free ? first_offset(data, p) : p.x * es + p.y * ns + p.z * zs; }
    double at_pivot(const Pole &q) const { return q.x * pivot[0] + q.y * pivot[1] + q.z * pivot[2]; }

    const Terrain &t;
    const std::vector<Datum> &data;
    const bool free;
    const double pix;
    double es = 0, ns = 0, zs = 0;
    double through[3] = {0, 0, 0}, centre[3] = {0, 0, 0};
    const double *pivot = nullptr;
};

// Radians: a region wider than this is a family of planes, not an answer.
constexpr double WIDEST = 0.55;

// Every attitude on a grid, by the first-order distances: its lowest
// valleys, and the plane through the points, are where the search starts.
std::vector<std::pair<double, Pole>> starts_of(const Frame &fr, const Plane &start) {
    const int DIPS = 46, DIRS = 90;
    std::vector<double> grid(static_cast<size_t>(DIPS) * DIRS);
    for (int a = 0; a < DIPS; a++)
        for (int b = 0; b < DIRS; b++) {
            const Pole p = pole_of(a * 2.0, b * 4.0);
            grid[static_cast<size_t>(a) * DIRS + b] = first_sum(fr.data, p, fr.offset_for(p), CAP * fr.pix);
        }
    std::vector<std::pair<double, Pole>> starts;
    for (int a = 0; a < DIPS; a++)
        for (int b = 0; b < DIRS; b++) {
            const double v = grid[static_cast<size_t>(a) * DIRS + b];
            bool lowest = true;
            for (int da = -1; da <= 1 && lowest; da++)
                for (int db = -1; db <= 1 && lowest; db++) {
                    const int x = a + da, y = (b + db + DIRS) % DIRS;
                    if ((da || db) && x >= 0 && x < DIPS) lowest = grid[static_cast<size_t>(x) * DIRS + y] >= v;
                }
            if (lowest && (a > 0 || b == 0)) starts.push_back({v, pole_of(a * 2.0, b * 4.0)});
        }
    std::sort(starts.begin(), starts.end(), [](const std::pair<double, Pole> &x, const std::pair<double, Pole> &y) { return x.first < y.first; });
    if (starts.size() > 10) starts.resize(10);
    if (start.determined) {
        const double h = std::hypot(start.a, start.b);
        const Pole p{-start.a / std::sqrt(1 + h * h), -start.b / std::sqrt(1 + h * h), 1 / std::sqrt(1 + h * h)};
        starts.push_back({0, p});
    }
    return starts;
}

// Each start refined; the best whose intersection follows the contact (near
// the contact, it runs not much longer than the contact itself) into
// `best`, every such plane into `fits`. False, with the reason in `f`, when
// none does.
bool choose_best(const Frame &fr, const std::vector<std::pair<double, Pole>> &starts, Best &best, double &best_ratio,
                 std::vector<Best> &fits, TrueFit &f) {
    best.s = std::numeric_limits<double>::infinity();
    best_ratio = 0;
    double along_ground = 1;
    int shallow = 0;
    for (const auto &s0 : starts) {
        const Best b = refine(fr.t, fr.data, s0.second, fr.free, fr.offset_for(s0.second), fr.pivot);
        const double spec = specificity(fr.t, fr.data, {b.p, b.d}, SHIFT * fr.pix);
        if (spec < 0.5) {
            along_ground = std::min(along_ground, spec);
            continue;
        }
        if (meeting_angle(fr.data, b.p) < LEAST_ANGLE) {
            shallow++;
            continue;
        }
        fits.push_back(b);
        if (b.s < best.s) best = b, best_ratio = spec;
    }
    if (!std::isfinite(best.s) && shallow > 0) {
        f.outcome = TrueFit::Outcome::wide;
        f.why = "the planes that pass near the contact's points lie along the ground there, meeting it at less than " +
                format1(LEAST_ANGLE) + " degrees: the ground's slope, not the contact, would decide their attitude";
        return false;
    }
    if (!std::isfinite(best.s)) {
        f.outcome = TrueFit::Outcome::no_plane;
        f.why = "no plane fits: every plane that passes near the contact's points lies along the ground there (its "
                "intersection runs so near everywhere around them that points moved " + format1(SHIFT) +
                " cells away lie within " + format1(along_ground * SHIFT) + " cells of it)";
        return false;
    }
    return true;
}

// The best plane into `f` (its normal turned up, the same plane): its
// attitude, its distances from the points (into `res`) and the plane as
// heights, for a treatment's point, through the points' middle (or the
// station).
void take_best(const Frame &fr, double k, Best &best, double ratio, TrueFit &f, std::vector<double> &res) {
    f.found = true;
    for (int a = 0; a < 3; a++) f.pivot[a] = fr.pivot[a];
    if (best.p.z < 0) {
        best.p = {-best.p.x, -best.p.y, -best.p.z};
        best.d = -best.d;
        std::swap(best.h[0][1], best.h[1][0]);
    }
    f.pole = best.p;
    f.offset = best.d;
    f.height = best.d - fr.at_pivot(best.p);
    f.trace_ratio = ratio;
    attitude_of(best.p, f.dip, f.dip_direction);
    const std::vector<Datum> &data = fr.data;
    sum_of(fr.t, data, best.p, false, best.d, &res);
    f.rms_m = std::sqrt(best.s / data.size()) / k;
    f.rms_cells = std::sqrt(best.s / data.size()) / fr.pix;
    if (best.p.z > 1e-12) {
        f.fall_e = best.p.x / best.p.z;
        f.fall_n = best.p.y / best.p.z;
        f.e0 = fr.free ? 0 : fr.es;
        f.n0 = fr.free ? 0 : fr.ns;
        if (fr.free) {
            for (const Datum &x : data) f.e0 += x.e / data.size(), f.n0 += x.n / data.size();
        }
        f.z0 = (best.d - best.p.x * f.e0 - best.p.y * f.n0) / best.p.z;
    }
}

// Whether no plane fits the contact (then `f` says why, with the figures):
// one that strays from the best intersection far more than from itself, or
// by more than a mapped contact strays, or swings away from it and back, or
// runs across it.
bool follows_no_plane(const Terrain &t, const Contact &c, const std::vector<double> &res, const Best &best, double pix, double noise,
                      int jittered, TrueFit &f) {
    // A line that swings away from the best intersection and back over
    // long stretches (a random walk, a folded surface, two contacts in
    // one) is followed by no plane: its distances from the intersection
    // stay alike over ten cells and more, where a mapped line's errors do
    // not.
    {
        const double lag = std::max(10.0, 3 * f.rms_cells);
        double cross = 0, a2 = 0, b2 = 0;
        int pairs = 0;
        size_t at = 0;
        for (const std::vector<Spot> &l : c.lines) {
            std::vector<double> along(l.size(), 0);
            for (size_t k2 = 1; k2 < l.size(); k2++)
                along[k2] = along[k2 - 1] + std::hypot(l[k2].i - l[k2 - 1].i, l[k2].j - l[k2 - 1].j);
            for (size_t k2 = 0; k2 < l.size(); k2++)
                for (size_t m = k2 + 1; m < l.size() && along[m] - along[k2] <= 1.2 * lag; m++)
                    if (along[m] - along[k2] >= 0.8 * lag) {
                        cross += res[at + k2] * res[at + m];
                        a2 += res[at + k2] * res[at + k2];
                        b2 += res[at + m] * res[at + m];
                        pairs++;
                    }
            at += l.size();
        }
        const double swing = pairs >= 20 && a2 > 0 && b2 > 0 ? cross / std::sqrt(a2 * b2) : 0;
        if (swing > 0.5 && f.rms_cells > 0.75) {
            f.outcome = TrueFit::Outcome::no_plane;
            f.why = "no plane fits: the contact swings away from the best plane's intersection and back, its points " +
                    format1(f.rms_cells) + " cells from it (RMS) and their distances alike over " + format1(lag) +
                    " cells of its length (correlation " + format1(swing) + "), where a mapped line's own errors are not";
            return true;
        }
    }
    // A line that runs across the best intersection rather than along it
    // (a random walk wandering about it) follows no plane: its direction,
    // taken over a stretch long against its distances from the
    // intersection, crosses the intersection's at a wide angle on average.
    {
        const double window = std::max(10.0, 5 * f.rms_cells);
        double crossing = 0, weight = 0;
        const Flat flat{best.p, best.d};
        for (const std::vector<Spot> &l : c.lines) {
            if (l.size() < 3) continue;
            std::vector<double> along(l.size(), 0);
            for (size_t k2 = 1; k2 < l.size(); k2++)
                along[k2] = along[k2 - 1] + std::hypot(l[k2].i - l[k2 - 1].i, l[k2].j - l[k2 - 1].j);
            if (along.back() < 3 * window) continue;
            auto at = [&](double a, double &i, double &j) {
                size_t k2 = 1;
                while (k2 + 1 < along.size() && along[k2] < a) k2++;
                const double w = along[k2] > along[k2 - 1] ? (a - along[k2 - 1]) / (along[k2] - along[k2 - 1]) : 0;
                i = l[k2 - 1].i + w * (l[k2].i - l[k2 - 1].i);
                j = l[k2 - 1].j + w * (l[k2].j - l[k2 - 1].j);
            };
            for (double a = window / 2; a + window / 2 <= along.back(); a += window / 4) {
                double i0, j0, i1, j1, im, jm;
                at(a - window / 2, i0, j0);
                at(a + window / 2, i1, j1);
                at(a, im, jm);
                double fe, fn;
                field(t, flat, jm * pix, -im * pix, fe, fn);
                // Directions east and north: the line's, and the intersection's (across the gradient).
                const double de = j1 - j0, dn = -(i1 - i0), dl = std::hypot(de, dn), g = std::hypot(fe, fn);
                if (dl <= 0 || g <= 0) continue;
                crossing += std::fabs(de * fe + dn * fn) / (dl * g);  // the sine of the angle between them
                weight += 1;
            }
        }
        if (weight >= 8 && crossing / weight > 0.5) {
            f.outcome = TrueFit::Outcome::no_plane;
            f.why = "no plane fits: taken over " + format1(window) + " cells, the contact runs across the best plane's intersection "
                    "at " + format1(std::asin(std::min(1.0, crossing / weight)) * DEG) +
                    " degrees on average rather than along it, its points " + format1(f.rms_cells) + " cells from it (RMS)";
            return true;
        }
    }
    // A line that strays more than a cell from vertex to vertex (a
    // scribble, a random walk) is no mapped line of a surface.
    if (jittered >= 10 && noise > ROUGHEST) {
        f.outcome = TrueFit::Outcome::no_plane;
        f.why = "no plane fits: the contact strays " + format1(noise) + " cells from one vertex to the next, more than the " +
                format1(ROUGHEST) + " a mapped line does, and the best plane's intersection runs " + format1(f.rms_cells) +
                " cells from its points (RMS)";
        return true;
    }
    if (f.rms_cells > std::max(2.5, 3 * noise)) {
        f.outcome = TrueFit::Outcome::no_plane;
        f.why = "no plane fits: the best plane's intersection runs " + format1(f.rms_cells) + " cells from the contact's points (RMS)" +
                (noise > 0 ? ", where the contact's own scatter from vertex to vertex implies " + format1(noise) + " cells"
                           : std::string(", more than a mapped contact strays"));
        return true;
    }
    return false;
}

// The region: the normals about the best whose sum of squares rises by
// less than the bound. It is filled on a grid of normals around the best
// (steps a third of its narrowest width as the sum's curvature predicts),
// so that a long or bent valley of the sum is followed wherever it goes;
// where it crosses the bound between two nodes is found along their edge.
class Region {
public:
    Region(const Frame &fr, const Best &best, double limit) : fr_(fr), best_(best), limit_(limit), across_(best.p) { axes(); }

    // Fills the region from the best; false when it reaches further than
    // WIDEST from it (or over too many nodes): no bounded region.
    bool fill() {
        std::vector<std::pair<int, int>> queue = {{0, 0}};
        inside_ = {{0, 0}};
        seen_[{0, 0}] = Node{best_.s, best_.d - fr_.at_pivot(best_.p)};
        const size_t MAX_NODES = 6000;
        while (!queue.empty()) {
            const std::pair<int, int> at = queue.back();
            queue.pop_back();
            const Node here = seen_[at];
            for (const auto &dv : {std::make_pair(1, 0), std::make_pair(-1, 0), std::make_pair(0, 1), std::make_pair(0, -1)}) {
                const int a = at.first + dv.first, b = at.second + dv.second;
                if (seen_.count({a, b})) continue;
                double u, v;
                uv(a, b, u, v);
                if (std::sqrt(u * u + v * v) > WIDEST || seen_.size() > MAX_NODES) return false;
                if (eval(a, b, here.d).s <= limit_) {
                    inside_.push_back({a, b});
                    queue.push_back({a, b});
                }
            }
        }
        return true;
    }
    // Whether a normal (either way up) lies in the region: near a node inside.
    bool holds(const Pole &o) const {
        const double on = o.x * across_.n.x + o.y * across_.n.y + o.z * across_.n.z;
        if (std::fabs(on) < 0.5) return false;
        const Pole q = on < 0 ? Pole{-o.x, -o.y, -o.z} : o;
        const double qn = std::fabs(on);
        double fa, fb;
        node_of((q.x * across_.a.x + q.y * across_.a.y + q.z * across_.a.z) / qn,
                (q.x * across_.b.x + q.y * across_.b.y + q.z * across_.b.z) / qn, fa, fb);
        const int a = static_cast<int>(std::lround(fa)), b = static_cast<int>(std::lround(fb));
        for (int da = -1; da <= 1; da++)
            for (int db = -1; db <= 1; db++) {
                const auto it = seen_.find({a + da, b + db});
                if (it != seen_.end() && it->second.s <= limit_) return true;
            }
        return false;
    }
    // Where the bound lies between each inside node and an outside
    // neighbour: the normals, and their places (u, v) about the best.
    void boundary(std::vector<Pole> &poles, std::vector<std::pair<double, double>> &edge) const {
        for (const auto &at : inside_) {
            const Node here = seen_.at(at);
            for (const auto &dv : {std::make_pair(1, 0), std::make_pair(-1, 0), std::make_pair(0, 1), std::make_pair(0, -1)}) {
                const auto nb = std::make_pair(at.first + dv.first, at.second + dv.second);
                const Node there = seen_.at(nb);
                if (there.s <= limit_) continue;
                const double w = there.s > here.s ? (limit_ - here.s) / (there.s - here.s) : 0.5;
                double u, v;
                uv(at.first + w * dv.first, at.second + w * dv.second, u, v);
                edge.push_back({u, v});
                poles.push_back(across_.at(u, v));
            }
        }
    }

private:
    struct Node {
        double s, d;
    };
    // The grid's axes: the sum's stiffest direction and the softest, steps
    // a third of the region's half-widths there as its curvature predicts
    // (along a valley with no rise, a tenth of the widest region taken).
    // The curvature is the sum's own, from its values around the best.
    void axes() {
        const Terrain &t = fr_.t;
        double h00 = 0, h01 = 0, h11 = 0;
        {
            auto at = [&](double u, double v) {
                const Pole q = across_.at(u, v);
                return sum_of(t, fr_.data, q, fr_.free, fr_.at_pivot(q) + best_.d - fr_.at_pivot(best_.p)).s;
            };
            const double rise0 = limit_ - best_.s;
            double delta = 0.002;
            for (int tries = 0; tries < 6; tries++) {
                const double su = at(delta, 0), sm = at(-delta, 0), sv = at(0, delta), sn = at(0, -delta);
                const double sd = at(delta, delta), se = at(-delta, -delta);
                h00 = (su + sm - 2 * best_.s) / (delta * delta);
                h11 = (sv + sn - 2 * best_.s) / (delta * delta);
                h01 = (sd + se - 2 * best_.s - (h00 + h11) * delta * delta) / (2 * delta * delta);
                const double most = std::max({su, sm, sv, sn, sd, se}) - best_.s;
                if (most > rise0 && delta > 1e-6) delta /= 4;
                else if (most < rise0 / 50 && delta < 0.05) delta *= 4;
                else break;
            }
            // As half the second derivatives: the rise is x' h x.
            h00 /= 2;
            h01 /= 2;
            h11 /= 2;
        }
        const double mid = (h00 + h11) / 2, spread = std::sqrt(std::max(0.0, (h00 - h11) * (h00 - h11) / 4 + h01 * h01));
        const double l1 = mid + spread, l2 = mid - spread;
        if (spread > 0) {
            e1u_ = h01;
            e1v_ = l1 - h00;
            if (std::fabs(e1u_) + std::fabs(e1v_) < 1e-300) e1u_ = h00 >= h11 ? 1 : 0, e1v_ = h00 >= h11 ? 0 : 1;
            const double len = std::sqrt(e1u_ * e1u_ + e1v_ * e1v_);
            e1u_ /= len;
            e1v_ /= len;
        }
        const double rise = limit_ - best_.s;
        s1_ = std::min(WIDEST / 10, std::max(1e-6, l1 > 0 ? std::sqrt(rise / l1) / 3 : WIDEST / 10));
        s2_ = std::min(WIDEST / 10, std::max(s1_, l2 > 0 ? std::sqrt(rise / l2) / 3 : WIDEST / 10));
    }
    // Node (a, b) is the normal a steps along the stiff axis, b along the soft.
    void uv(double a, double b, double &u, double &v) const {
        u = a * s1_ * e1u_ - b * s2_ * e1v_;
        v = a * s1_ * e1v_ + b * s2_ * e1u_;
    }
    void node_of(double u, double v, double &a, double &b) const {
        a = (u * e1u_ + v * e1v_) / s1_;
        b = (-u * e1v_ + v * e1u_) / s2_;
    }
    Node eval(int a, int b, double h_near) {
        const auto key = std::make_pair(a, b);
        const auto it = seen_.find(key);
        if (it != seen_.end()) return it->second;
        double u, v;
        uv(a, b, u, v);
        const Pole q = across_.at(u, v);
        const Sum sq = sum_of(fr_.t, fr_.data, q, fr_.free, fr_.at_pivot(q) + h_near);
        return seen_[key] = Node{sq.s, sq.d - fr_.at_pivot(q)};
    }

    const Frame &fr_;
    const Best &best_;
    const double limit_;
    const Across across_;
    double e1u_ = 1, e1v_ = 0, s1_ = 0, s2_ = 0;
    std::map<std::pair<int, int>, Node> seen_;
    std::vector<std::pair<int, int>> inside_;
};

// The planes that fit reach far from the best: along one line's family,
// when the contact's points lie on a line in space (then the poles of the
// planes through it that fit, an arc, into the region), else too wide.
void family_of(const Frame &fr, double limit, TrueFit &f) {
    const std::vector<Datum> &data = fr.data;
    const Line3 l = line_of(data);
    f.trend = l.trend;
    f.plunge = l.plunge;
    const bool line = l.across < 0.1 * l.along;
    f.outcome = line ? TrueFit::Outcome::line : TrueFit::Outcome::wide;
    if (!line) {
        f.why = "the planes that fit the contact about as well as the best spread more than " + format1(WIDEST * DEG) +
                " degrees from it: the contact does not decide the attitude";
        return;
    }
    const Pole dir = pole_of(90 + l.plunge, l.trend);  // the line as a unit vector, downwards
    Pole u{-dir.y, dir.x, 0};
    const double ul = std::hypot(u.x, u.y);
    u = ul > 1e-9 ? Pole{u.x / ul, u.y / ul, 0} : Pole{1, 0, 0};
    const Pole w{dir.y * u.z - dir.z * u.y, dir.z * u.x - dir.x * u.z, dir.x * u.y - dir.y * u.x};
    double lo_dip = 90;
    // Through the points' middle, which the line holds.
    double me = 0, mn = 0, mz = 0;
    for (const Datum &x : data) me += x.e / data.size(), mn += x.n / data.size(), mz += x.z / data.size();
    for (int s2 = 0; s2 < 180; s2++) {
        const double th = s2 * 3.14159265358979323846 / 180;
        Pole p{std::cos(th) * u.x + std::sin(th) * w.x, std::cos(th) * u.y + std::sin(th) * w.y, std::cos(th) * u.z + std::sin(th) * w.z};
        if (p.z < 0) p = {-p.x, -p.y, -p.z};
        if (sum_of(fr.t, data, p, fr.free, fr.free ? p.x * me + p.y * mn + p.z * mz : fr.offset_for(p)).s <= limit) {
            double dd, da;
            attitude_of(p, dd, da);
            lo_dip = std::min(lo_dip, dd);
            f.region.push_back(p);
        }
    }
    f.dip_lo = std::min(std::max(l.plunge, lo_dip), 90.0);
    f.dip_hi = 90;
    f.why = "the contact's points lie on one line in space (trend " + format1(l.trend) + ", plunge " + format1(l.plunge) +
            "): the planes through it dipping from " + format1(f.dip_lo) +
            " to 90 fit about as well, so the contact fixes the line, not a plane";
}

// Other valleys of the sum under the bound, away from the region, found by
// a search of every attitude: the contact does not decide between them
// (then `f` says so). The starts' own valleys first, then a grid of the
// first-order sums, each one low enough tried in full.
bool another_valley(const Frame &fr, const std::vector<Best> &fits, const Region &region, double limit, TrueFit &f) {
    auto distinct = [&](const Pole &o) {
        double od, oa;
        attitude_of(o, od, oa);
        f.outcome = TrueFit::Outcome::wide;
        f.why = "planes of distinct attitudes fit the contact about as well: dip " + format1(f.dip) + " towards " +
                format1(f.dip_direction) + ", and dip " + format1(od) + " towards " + format1(oa) +
                ": the contact does not decide between them";
        return true;
    };
    for (const Best &o : fits)
        if (o.s <= limit && !region.holds(o.p)) return distinct(o.p);
    // Every attitude on a coarser grid, by the exact sums of at most 60 of
    // the points (evenly taken, the sum scaled to all): those under one and
    // a half bounds and away from the region, lowest first and ten degrees
    // apart, are fitted in full.
    const std::vector<Datum> &data = fr.data;
    std::vector<Datum> few;
    const size_t every = std::max<size_t>(1, (data.size() + 59) / 60);
    for (size_t k2 = 0; k2 < data.size(); k2 += every) few.push_back(data[k2]);
    const double scale = static_cast<double>(data.size()) / few.size();
    std::vector<std::pair<double, Pole>> low;
    for (int a = 0; a <= 30; a++)
        for (int b = 0; b < 60; b++) {
            const Pole p = pole_of(a * 3.0, b * 6.0);
            if (a == 0 && b > 0) break;
            if (region.holds(p)) continue;
            const double v = scale * sum_of(fr.t, few, p, fr.free, fr.free ? first_offset(few, p) : fr.offset_for(p)).s;
            if (v <= 1.5 * limit) low.push_back({v, p});
        }
    std::sort(low.begin(), low.end(), [](const std::pair<double, Pole> &x, const std::pair<double, Pole> &y) { return x.first < y.first; });
    std::vector<Pole> tried;
    for (const auto &c2 : low) {
        bool near = false;
        for (const Pole &q : tried) near = near || q.x * c2.second.x + q.y * c2.second.y + q.z * c2.second.z > std::cos(10 / DEG);
        if (near) continue;
        tried.push_back(c2.second);
        if (tried.size() > 8) break;
        const Best o = refine(fr.t, data, c2.second, fr.free, fr.offset_for(c2.second), fr.pivot);
        if (o.s <= limit && !region.holds(o.p) && specificity(fr.t, data, {o.p, o.d}, SHIFT * fr.pix) >= 0.5 &&
            meeting_angle(data, o.p) >= LEAST_ANGLE)
            return distinct(o.p);
    }
    return false;
}

// The ranges of a determined answer: the dips and directions of the
// region's boundary, and of the level plane or the vertical planes when it
// holds them; the boundary in order around the best, for the pictures.
void ranges_of(const Region &region, const Best &best, TrueFit &f) {
    std::vector<Pole> boundary;
    std::vector<std::pair<double, double>> edge;  // in u, v
    region.boundary(boundary, edge);
    std::vector<size_t> order(boundary.size());
    for (size_t k2 = 0; k2 < order.size(); k2++) order[k2] = k2;
    std::sort(order.begin(), order.end(), [&](size_t x, size_t y) {
        return std::atan2(edge[x].second, edge[x].first) < std::atan2(edge[y].second, edge[y].first);
    });
    for (size_t k2 : order) f.region.push_back(boundary[k2]);
    std::vector<double> dirs = {f.dip_direction};
    f.dip_lo = f.dip_hi = f.dip;
    bool crosses = false;
    for (const Pole &p : boundary) {
        double d, a;
        attitude_of(p, d, a);
        f.dip_lo = std::min(f.dip_lo, d);
        f.dip_hi = std::max(f.dip_hi, d);
        if (p.z < 0) crosses = true;
        // Directions as the normal leans, across the vertical too: the
        // normal's own azimuth.
        dirs.push_back(std::fmod(std::atan2(p.x, p.y) * DEG + 360, 360));
    }
    if (region.holds(Pole{0, 0, 1})) f.direction_any = true, f.dip_lo = 0;
    if (crosses || best.p.z < 1e-9) {
        f.vertical = true;
        f.dip_hi = 90;
    }
    if (!f.direction_any) arc_of(dirs, f.dir_lo, f.dir_hi);
}

}  // namespace

TrueFit fit_true(const Terrain &t, double k, const Contact &c, const Plane &start, const Cell *station, double level) {
    TrueFit f;
    f.level = level;
    const std::vector<Datum> data = data_of(t, c);
    const bool free = station == nullptr;
    f.points = static_cast<int>(data.size());
    f.unknowns = free ? 3 : 2;
    if (f.points < f.unknowns + 1) {
        f.why = "the contact has " + std::to_string(f.points) + " point" + (f.points == 1 ? "" : "s") +
                ": too few to fit a plane";
        return f;
    }
    const Frame fr(t, data, station);
    const double pix = fr.pix;
    const std::vector<std::pair<double, Pole>> starts = starts_of(fr, start);
    const double contact_cells = length_of(c);
    int jittered = 0;
    const double noise = jitter(c, jittered);
    f.jitter_cells = noise;
    Best best;
    double best_ratio;
    std::vector<Best> fits;  // every start's plane that follows the contact
    if (!choose_best(fr, starts, best, best_ratio, fits, f)) return f;
    std::vector<double> res;
    take_best(fr, k, best, best_ratio, f, res);

    // Neighbouring points of a mapped line err alike: their distances'
    // correlation thins the points the ranges may count.
    double num = 0, den = 0;
    for (size_t k2 = 0; k2 < data.size(); k2++) {
        den += res[k2] * res[k2];
        if (k2 + 1 < data.size() && data[k2].line == data[k2 + 1].line) num += res[k2] * res[k2 + 1];
    }
    // (Distances within the least scatter are the fit's own rounding: their
    // correlation tells nothing of the contact.)
    const double rho = den > 0 && best.s / data.size() > 4 * LEAST_SCATTER * LEAST_SCATTER * pix * pix
                           ? std::min(0.95, std::max(0.0, num / den)) : 0;
    f.correlation = rho;
    // A mapped line carries one error of its own every few cells at most
    // (the hand that drew it, the step of a walk): its points count as
    // that many, however closely it was digitised.
    f.effective = std::min(data.size() * (1 - rho) / (1 + rho), 1 + contact_cells / OWN_ERROR_EVERY);
    const double inflation = data.size() / f.effective;
    const double nu = f.effective - f.unknowns;
    if (nu < 0.5) {
        f.outcome = TrueFit::Outcome::wide;
        f.why = "the contact's " + std::to_string(f.points) + " points count as " + format1(f.effective) +
                " once their correlation along it is allowed for: too few to bound " + std::to_string(f.unknowns) + " unknowns";
        return f;
    }
    // The points' scatter: from their distances to the intersection (which
    // the fit itself shrinks by its unknowns' share), but never below what
    // the contact's own jitter shows, nor below the least.
    const double sigma2 = std::max({best.s / data.size() / std::max(0.1, 1 - f.unknowns / f.effective),
                                    noise * noise * pix * pix, LEAST_SCATTER * LEAST_SCATTER * pix * pix});
    if (follows_no_plane(t, c, res, best, pix, noise, jittered, f)) return f;

    const double limit = best.s + sigma2 * inflation * rise_bound(level, std::max(nu, 0.5)) * calibrated(level);
    f.sum = best.s;
    f.bound = limit;
    Region region(fr, best, limit);
    if (!region.fill()) {
        family_of(fr, limit, f);
        return f;
    }
    if (another_valley(fr, fits, region, limit, f)) return f;
    f.outcome = TrueFit::Outcome::determined;
    ranges_of(region, best, f);
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
    // The whole degrees: of the dips and directions next to the answer,
    // those whose trace follows the contact best (within one cell, then
    // two, then nearest on average).
    if (tr.fits) {
        Closeness best = closeness(t, k, c, v);
        const Values rounded = v;
        for (int d : {static_cast<int>(std::floor(f.dip)), static_cast<int>(std::ceil(f.dip))})
            for (int a : {static_cast<int>(std::floor(f.dip_direction)), static_cast<int>(std::ceil(f.dip_direction))}) {
                Values w = rounded;
                w.dip = std::max(0, std::min(90, d));
                w.dip_direction = ((a % 360) + 360) % 360;
                if (w == v || (w.dip == 0 && v.dip == 0) || !fits(w.zone)) continue;
                const Closeness x = closeness(t, k, c, w);
                const bool better = x.within_one > best.within_one + 1e-12 ||
                                    (std::fabs(x.within_one - best.within_one) <= 1e-12 &&
                                     (x.within_two > best.within_two + 1e-12 ||
                                      (std::fabs(x.within_two - best.within_two) <= 1e-12 && x.mean_m < best.mean_m)));
                if (x.traced && better) best = x, v = w;
            }
    }
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
    double total = 0, one = 0, two = 0, beyond = 0, sum = 0, squares = 0;
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
        squares += std::min(d, 1e6) * std::min(d, 1e6) * weight;
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
        out.rms_m = total > beyond ? std::sqrt(squares / (total - beyond)) * t.pix_size / k : 0;
    }
    return out;
}

}  // namespace tools
