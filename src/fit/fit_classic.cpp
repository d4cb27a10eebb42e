// fit_classic.cpp: the classic fit, kept for those who keep classic result
// sets: traces computed exactly as the classic treatment stamps them,
// compared with the contact by the distances between them, and the whole
// dip and direction whose classic trace follows the contact best.
#include "fit/fit_classic.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <map>
#include <tuple>
#include <nlohmann/json.hpp>
#include <sstream>

#include "files/formats.h"

namespace tools {

namespace {

// The DEM's elevation at a fractional cell, bilinear between cell centres.
double elevation_at(const Terrain &t, Spot s) { return bilinear(t, s.i, s.j); }

}  // namespace

// ---- distances ------------------------------------------------------------------------

namespace {

// A piece of the contact; a_end and b_end mark the ends of a mapped line.
struct Segment {
    Spot a, b;
    bool a_end = false, b_end = false;
};

// The nearest place of a segment to p: its distance, and whether it is a
// line's end.
struct Near {
    double d = std::numeric_limits<double>::infinity();
    bool at_end = false;
};

Near distance(Spot p, const Segment &s) {
    const double vx = s.b.j - s.a.j, vy = s.b.i - s.a.i;
    const double len2 = vx * vx + vy * vy;
    double u = len2 > 0 ? ((p.j - s.a.j) * vx + (p.i - s.a.i) * vy) / len2 : 0;
    u = std::min(1.0, std::max(0.0, u));
    return {std::hypot(p.j - (s.a.j + u * vx), p.i - (s.a.i + u * vy)), (u == 0 && s.a_end) || (u == 1 && s.b_end)};
}

}  // namespace

// Segments in square buckets of `size` cells, for the nearest one to a
// point: rings of buckets outwards until no farther bucket can be nearer.
class Comparison::Index {
public:
    Index(const std::vector<Segment> &segments, double size) : size_(size) {
        if (segments.empty()) return;
        double i0 = 1e300, j0 = 1e300, i1 = -1e300, j1 = -1e300;
        for (const Segment &s : segments) {
            i0 = std::min({i0, s.a.i, s.b.i});
            j0 = std::min({j0, s.a.j, s.b.j});
            i1 = std::max({i1, s.a.i, s.b.i});
            j1 = std::max({j1, s.a.j, s.b.j});
        }
        oi_ = i0;
        oj_ = j0;
        ni_ = static_cast<int>((i1 - i0) / size_) + 1;
        nj_ = static_cast<int>((j1 - j0) / size_) + 1;
        buckets_.resize(static_cast<size_t>(ni_) * static_cast<size_t>(nj_));
        for (const Segment &s : segments) {
            const int bi0 = bucket(std::min(s.a.i, s.b.i) - oi_), bi1 = bucket(std::max(s.a.i, s.b.i) - oi_);
            const int bj0 = bucket(std::min(s.a.j, s.b.j) - oj_), bj1 = bucket(std::max(s.a.j, s.b.j) - oj_);
            for (int bi = bi0; bi <= bi1 && bi < ni_; bi++)
                for (int bj = bj0; bj <= bj1 && bj < nj_; bj++) buckets_[static_cast<size_t>(bi) * static_cast<size_t>(nj_) + static_cast<size_t>(bj)].push_back(s);
        }
    }
    Near nearest(Spot p) const {
        Near best;
        if (buckets_.empty()) return best;
        const int pi = bucket(p.i - oi_), pj = bucket(p.j - oj_);
        const int reach = std::max({std::abs(pi), std::abs(pi - ni_), std::abs(pj), std::abs(pj - nj_)}) + 1;
        for (int r = 0; r <= reach; r++) {
            // Any bucket of ring r lies at least (r - 1) buckets away.
            if (best.d <= (r - 1) * size_) break;
            for (int bi = pi - r; bi <= pi + r; bi++)
                for (int bj = pj - r; bj <= pj + r; bj++) {
                    if (std::max(std::abs(bi - pi), std::abs(bj - pj)) != r || bi < 0 || bj < 0 || bi >= ni_ || bj >= nj_) continue;
                    for (const Segment &s : buckets_[static_cast<size_t>(bi) * static_cast<size_t>(nj_) + static_cast<size_t>(bj)]) {
                        const Near n = distance(p, s);
                        if (n.d < best.d || (n.d == best.d && !n.at_end)) best = n;
                    }
                }
        }
        return best;
    }

private:
    int bucket(double d) const { return static_cast<int>(std::floor(d / size_)); }
    double size_;
    double oi_ = 0, oj_ = 0;
    int ni_ = 0, nj_ = 0;
    std::vector<std::vector<Segment>> buckets_;
};

namespace {

// The contact's segments, none longer than `size` cells, so that each
// stands in few buckets; a line of one spot is a segment of length 0.
std::vector<Segment> segments_of(const Contact &c, double size) {
    std::vector<Segment> out;
    for (const std::vector<Spot> &l : c.lines) {
        if (l.size() == 1) out.push_back({l[0], l[0], true, true});
        for (size_t k = 1; k < l.size(); k++) {
            const Spot a = l[k - 1], b = l[k];
            const int pieces = std::max(1, static_cast<int>(std::ceil(std::hypot(b.i - a.i, b.j - a.j) / size)));
            for (int p = 0; p < pieces; p++) {
                const double u0 = static_cast<double>(p) / pieces, u1 = static_cast<double>(p + 1) / pieces;
                out.push_back({{a.i + u0 * (b.i - a.i), a.j + u0 * (b.j - a.j)},
                               {a.i + u1 * (b.i - a.i), a.j + u1 * (b.j - a.j)},
                               k == 1 && p == 0,
                               k + 1 == l.size() && p + 1 == pieces});
            }
        }
    }
    return out;
}

const double BUCKET = 8;  // cells
// A trace cell nearest a mapped line's end, and farther from it than this,
// lies beyond where the contact was mapped: going on beyond is no misfit.
const double BEYOND = 3;  // cells

// The convex hull of a set of spots, counter-clockwise (Andrew's monotone chain).
std::vector<Spot> hull_of(std::vector<Spot> p) {
    std::sort(p.begin(), p.end(), [](Spot a, Spot b) { return a.j < b.j || (a.j == b.j && a.i < b.i); });
    if (p.size() < 3) return p;
    auto cross = [](Spot o, Spot a, Spot b) { return (a.j - o.j) * (b.i - o.i) - (a.i - o.i) * (b.j - o.j); };
    std::vector<Spot> h(2 * p.size());
    size_t k = 0;
    for (size_t n = 0; n < p.size(); n++) {
        while (k >= 2 && cross(h[k - 2], h[k - 1], p[n]) <= 0) k--;
        h[k++] = p[n];
    }
    for (size_t n = p.size() - 1, t = k + 1; n-- > 0;) {
        while (k >= t && cross(h[k - 2], h[k - 1], p[n]) <= 0) k--;
        h[k++] = p[n];
    }
    h.resize(k - 1);
    return h;
}

}  // namespace

Comparison::Comparison(const Terrain &t, double k, const Contact &c, const std::vector<uint8_t> &filled)
    : t_(t), k_(k), c_(c), filled_(filled), contact_(std::make_unique<Index>(segments_of(c, BUCKET), BUCKET)) {
    bool points = true;
    for (const std::vector<Spot> &l : c.lines) points = points && l.size() == 1;
    if (!points) return;
    // A set of points maps the area of its hull: a trace is held against it
    // there, and a little beyond.
    const std::vector<Spot> h = hull_of(c.spots());
    Contact ring;
    ring.lines.push_back(h);
    if (!h.empty()) ring.lines[0].push_back(h[0]);
    hull_ = h;
    hull_edges_ = std::make_unique<Index>(segments_of(ring, BUCKET), BUCKET);
}

bool Comparison::in_mapped_area(Spot s, double d, bool at_end) const {
    if (!hull_edges_) return !(at_end && d > BEYOND);
    if (hull_edges_->nearest(s).d <= BEYOND) return true;
    if (hull_.size() < 3) return false;
    for (size_t n = 0; n < hull_.size(); n++) {
        const Spot a = hull_[n], b = hull_[(n + 1) % hull_.size()];
        if ((b.j - a.j) * (s.i - a.i) - (b.i - a.i) * (s.j - a.j) < 0) return false;
    }
    return true;
}

Comparison::~Comparison() = default;

Misfit Comparison::misfit(const Values &v) {
    Misfit m;
    trace_ = trace(t_, v, work_);
    m.verdict = trace_.verdict;
    if (trace_.verdict != Verdict::traced) return m;
    // The trace cells held against the contact: not over filled ground,
    // not beyond the ends of the lines mapped.
    std::vector<Segment> cells;
    const double metres = t_.pix_size / k_;
    for (Cell c : trace_.cells) {
        if (!filled_.empty() && filled_[static_cast<size_t>(c.i) * static_cast<size_t>(t_.cols) + static_cast<size_t>(c.j)]) {
            m.over_filled++;
            continue;
        }
        const Spot s{static_cast<double>(c.i), static_cast<double>(c.j)};
        const Near n = contact_->nearest(s);
        if (!in_mapped_area(s, n.d, n.at_end)) continue;
        cells.push_back({s, s});
        m.trace_mean += n.d * metres;
        m.trace_max = std::max(m.trace_max, n.d * metres);
    }
    m.cells = cells.size();
    if (cells.empty()) return m;
    m.traced = true;
    m.trace_mean /= static_cast<double>(cells.size());
    const Index trace_index(cells, BUCKET);
    const std::vector<Spot> spots = c_.spots();
    for (Spot s : spots) {
        const double d = trace_index.nearest(s).d * metres;
        m.points_mean += d;
        m.points_max = std::max(m.points_max, d);
    }
    m.points_mean /= static_cast<double>(spots.size());
    m.misfit_m = (m.points_mean + m.trace_mean) / 2;
    return m;
}

bool default_square(const Terrain &t, const Contact &c, const Plane &plane, int &ip, int &jp, int &infl,
                    std::string &err) {
    const std::vector<Spot> spots = c.spots();
    double ci = 0, cj = 0;
    for (Spot s : spots) {
        ci += s.i;
        cj += s.j;
    }
    ci /= static_cast<double>(spots.size());
    cj /= static_cast<double>(spots.size());
    std::vector<double> from_centre;
    for (Spot s : spots) from_centre.push_back(std::hypot(s.i - ci, s.j - cj));
    std::vector<double> sorted = from_centre;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<ptrdiff_t>(sorted.size() / 2), sorted.end());
    const double half = sorted[sorted.size() / 2];
    auto off_plane = [&](Spot s) {
        if (!plane.determined) return 0.0;
        const Spot r{std::round(s.i), std::round(s.j)};
        const double x = (r.j + 0.5) * t.pix_size, y = -(r.i + 0.5) * t.pix_size;
        return std::fabs(elevation_at(t, r) - (plane.a * x + plane.b * y + plane.c));
    };
    size_t chosen = 0;
    for (size_t k = 0; k < spots.size(); k++) {
        if (from_centre[k] > half) continue;
        if (from_centre[chosen] > half || off_plane(spots[k]) < off_plane(spots[chosen]) ||
            (off_plane(spots[k]) == off_plane(spots[chosen]) && from_centre[k] < from_centre[chosen]))
            chosen = k;
    }
    ip = static_cast<int>(std::lround(spots[chosen].i));
    jp = static_cast<int>(std::lround(spots[chosen].j));
    double reach = 0;
    for (Spot s : spots) reach = std::max(reach, std::hypot(s.i - ip, s.j - jp));
    // The square's inscribed circle, of radius infl, holds the contact
    // whatever the square's turn.
    infl = static_cast<int>(std::ceil(reach)) + 2;
    // A square that would leave the DEM shrinks until it fits, whatever its turn.
    auto fits = [&](int z) {
        for (int dir : {0, 45}) {
            const Fit f = reference_points_that_fit(t.rows, t.cols, dir, z);
            if (f.empty() || ip < f.lo_i || ip > f.hi_i || jp < f.lo_j || jp > f.hi_j) return false;
        }
        return true;
    };
    while (infl > 1 && !fits(infl)) infl--;
    if (!fits(infl)) {
        err = "no square around (" + std::to_string(ip) + ", " + std::to_string(jp) + ") fits inside the DEM: give --point and --zone";
        return false;
    }
    return true;
}

Search search(Comparison &cmp, const Contact &contact, int ip, int jp, int infl, double start_dip, double start_dir,
              bool start_known, bool move_point) {
    const std::vector<Spot> spots = contact.spots();
    // The misfit of each point and attitude tried, kept.
    std::map<std::tuple<int, int, int, int>, double> seen;
    auto wrap = [](int a) { return ((a % 360) + 360) % 360; };
    auto cost = [&](int i, int j, int dip, int dir) {
        dip = std::min(89, std::max(0, dip));
        dir = wrap(dir);
        const auto key = std::make_tuple(i, j, dip, dir);
        const auto it = seen.find(key);
        if (it != seen.end()) return it->second;
        const Misfit m = cmp.misfit({i, j, dip, dir, infl});
        const double c = m.traced ? m.misfit_m : std::numeric_limits<double>::infinity();
        seen[key] = c;
        return c;
    };
    int bd = 0, ba = 0;
    double best = std::numeric_limits<double>::infinity();
    auto consider = [&](int i, int j, int dip, int dir) {
        const double c = cost(i, j, dip, dir);
        if (c >= best) return false;
        best = c;
        ip = i;
        jp = j;
        bd = std::min(89, std::max(0, dip));
        ba = wrap(dir);
        return true;
    };
    if (start_known) {
        const int d0 = static_cast<int>(std::lround(start_dip)), a0 = static_cast<int>(std::lround(start_dir));
        consider(ip, jp, d0, a0);
        for (int dd = -8; dd <= 8; dd += 2)
            for (int da = -30; da <= 30; da += 6) consider(ip, jp, d0 + dd, a0 + da);
    } else {
        for (int dip = 5; dip <= 85; dip += 10)
            for (int dir = 0; dir < 360; dir += 15) consider(ip, jp, dip, dir);
    }
    for (bool moved = true; moved;) {
        // Whole degrees: the steps halve until a step of one improves nothing.
        for (int step : {4, 2, 1})
            for (bool better = true; better;) {
                better = false;
                const int d = bd, a = ba;
                for (int dd = -step; dd <= step; dd += step)
                    for (int da = -step; da <= step; da += step)
                        if ((dd || da) && consider(ip, jp, d + dd, a + da)) better = true;
            }
        // Every dip at the best direction, for a valley the steps cannot
        // climb out of; and, unless the point was given, other points: the
        // neighbouring cells and the contact's cells nearby. A cell of the
        // contact lies up to a cell off the plane, and the plane of a
        // treatment passes through its point's elevation: another cell of
        // the contact may lie nearer the plane.
        moved = false;
        const int ci = ip, cj = jp, a = ba, d = bd;
        for (int dip = 0; dip <= 85; dip += 5)
            if (consider(ci, cj, dip, a)) moved = true;
        if (!move_point) continue;
        std::vector<Cell> near;
        for (int di = -1; di <= 1; di++)
            for (int dj = -1; dj <= 1; dj++)
                if (di || dj) near.push_back({ci + di, cj + dj});
        for (Spot s : spots)
            if (std::hypot(s.i - ci, s.j - cj) <= 4) near.push_back({static_cast<int>(std::lround(s.i)), static_cast<int>(std::lround(s.j))});
        for (Cell p : near)
            for (int dd = -3; dd <= 3; dd++)
                if (consider(p.i, p.j, d + dd, a)) moved = true;
    }
    Search s;
    s.ip = ip;
    s.jp = jp;
    s.dip = bd;
    s.dip_direction = ba;
    s.best = cmp.misfit({ip, jp, bd, ba, infl});
    // Outwards from the best, one degree at a time, while within 10 %.
    const double limit = best * 1.1 + 1e-9;
    s.dip_lo = s.dip_hi = bd;
    while (s.dip_lo > 0 && cost(ip, jp, s.dip_lo - 1, ba) <= limit) s.dip_lo--;
    while (s.dip_hi < 89 && cost(ip, jp, s.dip_hi + 1, ba) <= limit) s.dip_hi++;
    int lo = 0, hi = 0;
    while (lo > -179 && cost(ip, jp, bd, ba + lo - 1) <= limit) lo--;
    while (hi < 179 && cost(ip, jp, bd, ba + hi + 1) <= limit) hi++;
    s.dir_lo = wrap(ba + lo);
    s.dir_hi = wrap(ba + hi);
    s.evaluated = static_cast<int>(seen.size());
    // So that trace_cells() is the best trace's.
    cmp.misfit({ip, jp, bd, ba, infl});
    return s;
}

}  // namespace tools
