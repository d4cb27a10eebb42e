// test_geometry.cpp: the trace in true geometry against the exact
// intersection of the plane and the ground, computed here on its own: a
// straight line on planar ramps, the zero contour of ground minus plane
// (marching squares over the cell centres) on real terrain. Every true
// trace must lie within half a cell of it at the median and a cell and a
// half at most, and cover it wherever it runs a cell or more inside the
// square; the classic trace, measured the same way, does not. On random
// treatments it is its definition cell for cell up to the square's edge. Then whole
// sessions: a set made in true geometry says so, replays byte for byte, and
// classic stays the default.
#include <algorithm>
#include <cmath>
#include <set>

#include "support.h"

namespace {

const double PI = 3.14159265358979323846;

struct Point {
    double i, j;
};
struct Segment {
    Point a, b;
};

double distance(Point p, const Segment &s) {
    const double vi = s.b.i - s.a.i, vj = s.b.j - s.a.j, len2 = vi * vi + vj * vj;
    double u = len2 > 0 ? ((p.i - s.a.i) * vi + (p.j - s.a.j) * vj) / len2 : 0;
    u = std::max(0.0, std::min(1.0, u));
    return std::hypot(p.i - (s.a.i + u * vi), p.j - (s.a.j + u * vj));
}

// The plane of a treatment, written out here: through the reference cell's
// centre at its elevation, falling tan(dip) metres a metre along the dip
// direction (compass, rows growing southwards).
double plane(const Terrain &t, const Values &v, int i, int j) {
    const double az = v.dip_direction * PI / 180, fall = std::tan(v.dip * PI / 180) * t.pix_size;
    return t.elevation(v.row, v.column) - fall * ((j - v.column) * std::sin(az) - (i - v.row) * std::cos(az));
}

// The zero contour of ground minus plane over the cells around the
// treatment's point, as segments (marching squares on the bilinear surface).
std::vector<Segment> contour(const Terrain &t, const Values &v, int reach) {
    std::vector<Segment> out;
    auto f = [&](int i, int j) { return t.elevation(i, j) - plane(t, v, i, j); };
    const int i0 = std::max(0, v.row - reach), i1 = std::min(t.rows - 2, v.row + reach);
    const int j0 = std::max(0, v.column - reach), j1 = std::min(t.cols - 2, v.column + reach);
    for (int i = i0; i <= i1; i++)
        for (int j = j0; j <= j1; j++) {
            const Point c[4] = {{double(i), double(j)}, {double(i), j + 1.0}, {i + 1.0, j + 1.0}, {i + 1.0, double(j)}};
            const double z[4] = {f(i, j), f(i, j + 1), f(i + 1, j + 1), f(i + 1, j)};
            std::vector<Point> cross;
            for (int k = 0; k < 4; k++) {
                const double a = z[k], b = z[(k + 1) % 4];
                if ((a >= 0) == (b >= 0)) continue;
                const double u = a / (a - b);
                cross.push_back({c[k].i + u * (c[(k + 1) % 4].i - c[k].i), c[k].j + u * (c[(k + 1) % 4].j - c[k].j)});
            }
            for (size_t k = 0; k + 1 < cross.size(); k += 2) out.push_back({cross[k], cross[k + 1]});
        }
    return out;
}

// How far inside the square's quadrilateral a point lies (negative outside).
double inside_by(const Square &q, Point p) {
    const Cell c[4] = {q.lb, q.lt, q.rt, q.rb};
    double turn = 0;
    for (int k = 0; k < 4; k++) turn += double(c[k].j) * c[(k + 1) % 4].i - double(c[(k + 1) % 4].j) * c[k].i;
    double best = 1e300;
    for (int k = 0; k < 4; k++) {
        const Cell a = c[k], b = c[(k + 1) % 4];
        const double ei = b.i - a.i, ej = b.j - a.j;
        best = std::min(best, (turn >= 0 ? 1 : -1) * (ej * (p.i - a.i) - ei * (p.j - a.j)) / std::hypot(ei, ej));
    }
    return best;
}

struct Closeness {
    double median = 0, largest = 0, covered = 1;
    int samples = 0;  // points of the intersection a cell or more inside the square
};

// The trace cells' distances from the intersection, and the share of the
// intersection (a cell or more inside the square) with a trace cell within
// a cell and a half.
Closeness measure(const std::vector<Cell> &cells, const Square &q, const std::vector<Segment> &line) {
    Closeness m;
    std::vector<double> d;
    for (Cell c : cells) {
        double best = 1e300;
        for (const Segment &s : line) best = std::min(best, distance({double(c.i), double(c.j)}, s));
        d.push_back(best);
    }
    if (!d.empty()) {
        std::sort(d.begin(), d.end());
        m.median = d[d.size() / 2];
        m.largest = d.back();
    }
    int samples = 0, near = 0;
    for (const Segment &s : line)
        for (double u = 0; u <= 1; u += 0.25) {
            const Point p{s.a.i + u * (s.b.i - s.a.i), s.a.j + u * (s.b.j - s.a.j)};
            if (inside_by(q, p) < 1) continue;
            samples++;
            bool ok = false;
            for (Cell c : cells) ok = ok || std::hypot(c.i - p.i, c.j - p.j) <= 1.5;
            near += ok;
        }
    if (samples > 0) m.covered = double(near) / samples;
    m.samples = samples;
    return m;
}

// A planar ramp: z = 1000 + ge east + gn north metres, in millimetres.
void ramp(DemSamples &dem, int side, int pix, double ge, double gn) {
    dem.allocate(side, side, 4);
    for (int i = 0; i < side; i++)
        for (int j = 0; j < side; j++) dem.set(i, j, static_cast<int32_t>(std::lround(1000 * (1000 + ge * j * pix - gn * i * pix))));
}

void load(DemSamples &dem, const std::string &name, int rows, int cols, int width) {
    const std::string raw = read_file(std::string(TOLMAR_EXAMPLES) + "/" + name);
    dem.allocate(rows, cols, width);
    for (int k = 0; k < rows * cols; k++) {
        uint32_t v = 0;
        for (int b = 0; b < width; b++) v |= static_cast<uint32_t>(static_cast<unsigned char>(raw[size_t(k) * width + b])) << (8 * b);
        dem.set(k / cols, k % cols, width == 2 ? static_cast<int32_t>(v) : static_cast<int32_t>(v));
    }
}

}  // namespace

TEST(TrueGeometry, TracesLieOnTheExactIntersectionOfPlanarRamps) {
    struct Ramp {
        int pix;
        double ge, gn;
    } ramps[] = {{83, 0.25, 0.10}, {30, -0.3, 0.2}};
    Work w;
    int classic_off = 0, cases = 0;
    for (const Ramp &r : ramps) {
        DemSamples dem;
        ramp(dem, 200, r.pix, r.ge, r.gn);
        const Terrain t = dem.terrain(1000, r.pix);
        for (int dip : {15, 40, 65})
            for (int dir = 0; dir < 360; dir += 30) {
                const Values v{100, 100, dip, dir, 60};
                const std::vector<Segment> line = contour(t, v, 90);
                if (line.empty()) continue;
                cases++;
                const Trace exact = trace(t, v, w, Geometry::exact);
                ASSERT_EQ(exact.verdict, Verdict::traced);
                const Closeness m = measure(exact.cells, exact.square, line);
                const std::string what = "ramp " + std::to_string(r.pix) + ", " + std::to_string(dip) + "/" + std::to_string(dir);
                EXPECT_LE(m.median, 0.5) << what;
                EXPECT_LE(m.largest, 1.5) << what;
                EXPECT_EQ(m.covered, 1.0) << what;
                EXPECT_GT(m.samples, 20) << what;
                const Trace classic = trace(t, v, w, Geometry::classic);
                const Closeness c = measure(classic.cells, classic.square, line);
                classic_off += c.median > 0.5 || c.largest > 1.5 || c.covered < 1;
            }
    }
    EXPECT_GE(cases, 60);
    EXPECT_GE(classic_off, cases / 2);  // the measure tells the two geometries apart
}

TEST(TrueGeometry, TracesFollowTheContourOfGroundMinusPlaneOnRealTerrain) {
    DemSamples jacksboro, salish;
    load(jacksboro, "jacksboro/jacksboro_m2.raw", 344, 403, 2);
    load(salish, "salish/salish_m4.raw", 91, 120, 4);
    const struct {
        const DemSamples *dem;
        double divisor;
        int pix;
        Values v;
    } cases[] = {
        {&jacksboro, 1, 83, {110, 300, 20, 150, 40}}, {&jacksboro, 1, 83, {110, 300, 5, 330, 40}},
        {&jacksboro, 1, 83, {250, 100, 2, 135, 50}},  {&jacksboro, 1, 83, {200, 250, 70, 315, 30}},
        {&jacksboro, 1, 83, {140, 170, 35, 45, 40}},  {&jacksboro, 1, 83, {180, 200, 10, 210, 60}},
        {&jacksboro, 1, 83, {120, 330, 40, 300, 25}}, {&salish, 100, 2425, {45, 60, 1, 75, 20}},
    };
    Work w;
    for (const auto &c : cases) {
        const Terrain t = c.dem->terrain(c.divisor, c.pix);
        const Trace tr = trace(t, c.v, w, Geometry::exact);
        ASSERT_EQ(tr.verdict, Verdict::traced);
        ASSERT_GT(tr.cells.size(), 10u);
        const Closeness m = measure(tr.cells, tr.square, contour(t, c.v, 2 * c.v.zone));
        const std::string what = std::to_string(c.v.row) + "," + std::to_string(c.v.column) + " " +
                                 std::to_string(c.v.dip) + "/" + std::to_string(c.v.dip_direction);
        EXPECT_LE(m.median, 0.5) << what;
        EXPECT_LE(m.largest, 1.5) << what;
        EXPECT_EQ(m.covered, 1.0) << what;
        EXPECT_GT(m.samples, 20) << what;
    }
}

// Right up to the square's edge, the trace worked out here by its
// definition: wherever two side neighbours lie on either side of the plane
// (ground minus plane, worked out here), the one nearer the crossing is
// marked when it lies in the square and inside the raster's border; then,
// row by row, a marked cell whose only marked neighbours are two side
// neighbours at a right angle (an elbow) is unmarked. Treatments with a
// near-tie (a value within rounding of 0, a crossing half way) are passed over.
TEST(TrueGeometry, TheTraceIsItsDefinitionUpToTheSquaresEdge) {
    DemSamples jacksboro, salish, slope;
    load(jacksboro, "jacksboro/jacksboro_m2.raw", 344, 403, 2);
    load(salish, "salish/salish_m4.raw", 91, 120, 4);
    ramp(slope, 120, 30, -0.3, 0.2);
    const struct {
        const DemSamples *dem;
        double divisor;
        int pix;
    } grounds[] = {{&jacksboro, 1, 83}, {&salish, 100, 2425}, {&slope, 1000, 30}};
    Work w;
    uint64_t seed = 2026;
    auto next = [&](int n) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<int>((seed >> 33) % static_cast<uint64_t>(n));
    };
    int checked = 0, edge_cells = 0;
    for (int n = 0; n < 1500; n++) {
        const auto &g = grounds[n % 3];
        const Terrain t = g.dem->terrain(g.divisor, g.pix);
        const Values v{next(t.rows), next(t.cols), next(91), next(360), 1 + next(std::min(t.rows, t.cols) / 3)};
        const Trace tr = trace(t, v, w, Geometry::exact);
        if (tr.verdict != Verdict::traced) continue;
        auto in_square = [&](int i, int j) {
            int lo, hi;
            square_row_span(tr.square, i, lo, hi);
            return i >= 1 && i <= t.rows - 2 && j >= 1 && j <= t.cols - 2 && j >= lo && j <= hi;
        };
        auto f = [&](int i, int j) { return t.elevation(i, j) - plane(t, v, i, j); };
        std::set<std::pair<int, int>> marked;
        bool tie = false;
        const int reach = v.zone * 3 / 2 + 2;
        for (int i = std::max(0, v.row - reach); i <= std::min(t.rows - 1, v.row + reach); i++)
            for (int j = std::max(0, v.column - reach); j <= std::min(t.cols - 1, v.column + reach); j++)
                for (const auto &d : {std::make_pair(0, 1), std::make_pair(1, 0)}) {
                    const int i2 = i + d.first, j2 = j + d.second;
                    if (i2 >= t.rows || j2 >= t.cols || (!in_square(i, j) && !in_square(i2, j2))) continue;
                    const double a = f(i, j), b = f(i2, j2), close = 1e-7 * (std::fabs(a) + std::fabs(b) + 1);
                    // A value of exactly 0 (the point's own cell) is above.
                    const bool sure = (a == 0 || std::fabs(a) > close) && (b == 0 || std::fabs(b) > close);
                    if (sure && (a >= 0) == (b >= 0)) continue;
                    tie = tie || !sure || std::fabs(std::fabs(a) - std::fabs(b)) <= close;
                    const bool first = a >= 0 ? std::fabs(a) <= std::fabs(b) : std::fabs(a) < std::fabs(b);
                    const std::pair<int, int> nearer = first ? std::make_pair(i, j) : std::make_pair(i2, j2);
                    if (in_square(nearer.first, nearer.second)) marked.insert(nearer);
                }
        if (tie) continue;
        checked++;
        auto on = [&](int i, int j) { return marked.count({i, j}) > 0; };
        for (int i = 0; i < t.rows; i++)
            for (int j = 0; j < t.cols; j++) {
                if (!on(i, j)) continue;
                const int sides = on(i - 1, j) + on(i + 1, j) + on(i, j - 1) + on(i, j + 1);
                const int corners = on(i - 1, j - 1) + on(i - 1, j + 1) + on(i + 1, j - 1) + on(i + 1, j + 1);
                if (sides == 2 && corners == 0 && on(i - 1, j) != on(i + 1, j)) marked.erase({i, j});
            }
        std::set<std::pair<int, int>> got;
        for (Cell c : tr.cells) got.insert({c.i, c.j});
        const std::string what = std::to_string(v.row) + "," + std::to_string(v.column) + " " + std::to_string(v.dip) + "/" +
                                 std::to_string(v.dip_direction) + " zone " + std::to_string(v.zone);
        for (const auto &c : marked) {
            ASSERT_TRUE(got.count(c)) << what << ": cell " << c.first << "," << c.second << " is not traced";
            int lo, hi;
            square_row_span(tr.square, c.first, lo, hi);
            edge_cells += c.second == lo || c.second == hi;
        }
        for (const auto &c : got) ASSERT_TRUE(marked.count(c)) << what << ": cell " << c.first << "," << c.second << " is traced";
    }
    EXPECT_GE(checked, 200);
    EXPECT_GE(edge_cells, 200);  // the square's edge, where its rows end
}

TEST(TrueGeometry, ASetMadeInTrueGeometrySaysSoAndReplaysByteForByte) {
    TempDir d;
    for (const char *f : {"jacksboro_m2.raw", "jacksboro_m2.txt"})
        write_file(d / (std::string("images/j/") + f), read_file(std::string(TOLMAR_EXAMPLES) + "/jacksboro/" + f));
    const std::string answers = "j\njacksboro\n0\n0\n0\n0\n110 300 20 150 40\n0\n200 250 70 315 30\n5\n";
    const std::string tolmar = std::string("'") + TOLMAR_EXE + "'";
    RunResult r = run_command(d.path, tolmar + " --geometry true", answers);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string log = read_file(d / "images/j/jacksboro_tolmar.txt"), raster = read_file(d / "images/j/jacksboro_tolmar.raw");
    EXPECT_EQ(log, header_text(344, 403, 83) + "geometry true\n" + record_text(1, 110, 300, 20, 150, 40) +
                       record_text(2, 200, 250, 70, 315, 30));

    // Replay tells, and its answers, which say so after Exit, rebuild the
    // set through tolmar --geometry true.
    r = run_command(d.path, std::string("'") + TOLMAR_REPLAY + "' --unit m images/j/jacksboro_tolmar.txt");
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("was made in true geometry: rebuild it with tolmar-replay images/j/jacksboro_tolmar.txt | tolmar "
                         "--geometry true"),
              std::string::npos) << r.out;
    const std::string replayed = r.out.substr(r.out.find("j\njacksboro"));
    EXPECT_NE(replayed.find("5\n\nThese answers are for tolmar --geometry true"), std::string::npos) << replayed;
    ASSERT_EQ(run_command(d.path, tolmar + " --geometry true", replayed).status, 0);
    EXPECT_EQ(read_file(d / "images/j/jacksboro_tolmar.txt"), log);
    EXPECT_EQ(read_file(d / "images/j/jacksboro_tolmar.raw"), raster);

    // Export says so. A classic run does not replace the true set: it names
    // both geometries and asks for another name (the replay piped into a
    // plain tolmar stops there); the classic set, with or without the
    // option, is its own.
    r = run_command(d.path, std::string("'") + TOLMAR_EXPORT + "' images/j/jacksboro_tolmar.raw");
    EXPECT_NE(r.out.find("\"tolmar_geometry\": \"true\""), std::string::npos);
    r = run_command(d.path, tolmar + " --geometry classic", answers);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("The result set images/j/jacksboro_tolmar.raw and images/j/jacksboro_tolmar.txt from an earlier run is in "
                         "true geometry, and this run traces in classic geometry (tolmar --geometry true traces in its own): "
                         "choose another result name"),
              std::string::npos) << r.out;
    EXPECT_EQ(read_file(d / "images/j/jacksboro_tolmar.raw"), raster);
    const std::string named = "j\njacksboro\n0\n1\nc\n0\n0\n110 300 20 150 40\n0\n200 250 70 315 30\n5\n";
    ASSERT_EQ(run_command(d.path, tolmar + " --geometry classic", named).status, 0);
    const std::string classic = read_file(d / "images/j/c_tolmar.raw");
    EXPECT_NE(classic, raster);
    ASSERT_EQ(run_tolmar(d.path, named).status, 0);
    EXPECT_EQ(read_file(d / "images/j/c_tolmar.raw"), classic);
    EXPECT_EQ(read_file(d / "images/j/c_tolmar.txt").find("geometry"), std::string::npos);
    r = run_command(d.path, tolmar + " --geometry flat", "");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("--geometry takes classic or true, not flat"), std::string::npos);
}
