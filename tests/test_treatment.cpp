// test_treatment.cpp: whole treatments: the corner angles, the square and its
// sides, the profile, the refusals, the traces stamped on hand-made terrains,
// the limit of 250 stamped treatments, and the bounded passes against the
// whole-raster passes on random sessions.
#include <climits>
#include <cmath>
#include <random>
#include <set>

#include "support.h"

namespace {

using Cells = std::set<std::pair<int, int>>;

// A treatment traced and, when it fits, counted and stamped with its code
// into `raster`, as a session does.
struct Outcome {
    Verdict verdict = Verdict::traced;
    int code = 0;         // the treatment's code when traced, else the code before it
    long long cells = 0;  // cells stamped
    Box box;              // of the stamped cells
    Square square;
};
Outcome stamp(const Terrain &t, Grid<uint8_t> &raster, int code, const Values &v, Work &w,
              Extent extent = Extent::spans) {
    const Trace tr = trace(t, v, w, extent);
    Outcome o{tr.verdict, code, 0, Box(), tr.square};
    if (tr.verdict != Verdict::traced) return o;
    o.code = code + 1;
    for (Cell c : tr.cells) {
        raster.at(c.i, c.j) = static_cast<uint8_t>(o.code);
        o.box.add(c);
    }
    o.cells = static_cast<long long>(tr.cells.size());
    return o;
}

// A terrain of 32-bit samples in millimetres, a result raster, and the
// treatments stamped on it one after another.
class Treatment : public ::testing::Test {
protected:
    DemSamples dem;
    Grid<uint8_t> tab_out;
    Work work;
    int code = 0;
    int pix = 30;

    void terrain(int rows, int cols, double z = 100, int pix_size = 30) {
        ASSERT_TRUE(dem.allocate(rows, cols, 4));
        ASSERT_TRUE(tab_out.allocate(rows, cols));
        for (int i = 0; i < rows; i++)
            for (int j = 0; j < cols; j++) set(i, j, z);
        pix = pix_size;
        code = 0;
    }
    void set(int i, int j, double z) { dem.set(i, j, static_cast<int32_t>(std::llround(z * 1000))); }
    Terrain view() const { return dem.terrain(1000.0, pix); }
    Outcome treat(int i, int j, int s, int d, int z) {
        Outcome o = stamp(view(), tab_out, code, {i, j, s, d, z}, work);
        code = o.code;
        return o;
    }
    Cells stamped(int value) {
        Cells c;
        for (int i = 0; i < tab_out.rows(); i++)
            for (int j = 0; j < tab_out.cols(); j++)
                if (tab_out.at(i, j) == value) c.insert({i, j});
        return c;
    }
    static Cells column(int j, int i0, int i1) {
        Cells c;
        for (int i = i0; i <= i1; i++) c.insert({i, j});
        return c;
    }
};

std::vector<Cell> side(Cell a, Cell b) {
    std::vector<Cell> s;
    side_cells(a, b, s);
    return s;
}

}  // namespace

TEST(Square, CornerAnglesFromTheEnteredDirection) {
    const int table[][6] = {{0, 90, 135, 225, 315, 45},     {90, 0, 45, 135, 225, 315},
                            {180, 270, 315, 45, 135, 225},  {270, 180, 225, 315, 45, 135},
                            {45, 45, 90, 180, 270, 360},    {135, 315, 360, 90, 180, 270},
                            {30, 60, 105, 195, 285, 15},    {400, 50, 95, 185, 275, 5},
                            {-400, 490, 175, 265, 355, 85}, {1000, -550, -505, -415, -325, -235}};
    for (const auto &t : table) {
        const CornerAngles a = corner_angles(t[0]);
        EXPECT_EQ(a.dir, t[1]) << t[0];
        EXPECT_EQ(a.lb, t[2]) << t[0];
        EXPECT_EQ(a.lt, t[3]) << t[0];
        EXPECT_EQ(a.rt, t[4]) << t[0];
        EXPECT_EQ(a.rb, t[5]) << t[0];
    }
}

TEST(Square, ExtremeDirectionsStayWithinTheIntegerRange) {
    for (int d : {INT_MIN, INT_MIN + 1, INT_MIN + 400, INT_MAX, INT_MAX - 100}) {
        const CornerAngles a = corner_angles(d);
        // The same direction as exact arithmetic gives, whatever its form.
        const long long exact = 90LL - d + (90LL - d < 0 ? 360 : 0);
        EXPECT_EQ(((a.dir - exact) % 360 + 360) % 360, 0) << d;
        EXPECT_EQ(((a.lb - (exact + 45)) % 360 + 360) % 360, 0) << d;
        EXPECT_EQ(((a.rb - a.lb) % 360 + 360) % 360, 270) << d;
    }
}

TEST(Square, DippingEastwardsItsSidesAndRays) {
    const Square q = square_of({100, 200, 10, 90, 10});
    EXPECT_EQ(q.lb, (Cell{90, 210}));
    EXPECT_EQ(q.lt, (Cell{90, 190}));
    EXPECT_EQ(q.rt, (Cell{110, 190}));
    EXPECT_EQ(q.rb, (Cell{110, 210}));
    const std::vector<Cell> top = side(q.lt, q.rt), bottom = side(q.lb, q.rb);
    EXPECT_EQ(ray_length(bottom[0], top[0]), 22);
    ASSERT_EQ(top.size(), 22u);
    ASSERT_EQ(bottom.size(), 22u);
    for (int k = 0; k < 22; k++) {  // ray k + 1 runs along row 90 + k, the last one outside the square
        EXPECT_EQ(bottom[static_cast<size_t>(k)], (Cell{90 + k, 210}));
        EXPECT_EQ(top[static_cast<size_t>(k)], (Cell{90 + k, 190}));
    }
}

TEST(Square, DiagonalSidesLongerThanTheFirstRay) {
    const Square q = square_of({500, 500, 10, 225, 10});
    EXPECT_EQ(q.lb, (Cell{514, 500}));
    EXPECT_EQ(q.lt, (Cell{500, 514}));
    EXPECT_EQ(q.rt, (Cell{485, 500}));
    EXPECT_EQ(q.rb, (Cell{500, 485}));
    const std::vector<Cell> top = side(q.lt, q.rt), bottom = side(q.lb, q.rb);
    EXPECT_EQ(top.size(), 17u);
    EXPECT_EQ(bottom.size(), 17u);
    EXPECT_EQ(ray_length(bottom[0], top[0]), 16);
}

TEST(Square, ReferencePointsThatFitAreExactlyThoseNotRefused) {
    // The range told with a refusal, checked against the treatment itself on
    // every point of a small raster, for many zones and directions.
    std::mt19937 rng(11);
    DemSamples dem;
    ASSERT_TRUE(dem.allocate(40, 50, 2));
    Work work;
    for (int n = 0; n < 60; n++) {
        const int dir = std::uniform_int_distribution<int>(-400, 800)(rng);
        const int infl = std::uniform_int_distribution<int>(1, 22)(rng);
        const Fit f = reference_points_that_fit(40, 50, dir, infl);
        for (int i = -3; i < 43; i++)
            for (int j = -3; j < 53; j += 7) {
                const Square q = square_of({i, j, 0, dir, infl});
                bool fits = true;
                for (Cell c : {q.lb, q.lt, q.rt, q.rb}) fits = fits && c.i >= 0 && c.i < 40 && c.j >= 0 && c.j < 50;
                const bool told = i >= f.lo_i && i <= f.hi_i && j >= f.lo_j && j <= f.hi_j;
                ASSERT_EQ(fits, told) << "dir " << dir << " zone " << infl << " at " << i << "," << j;
            }
    }
}

TEST(Profile, RisesThroughTheReferenceElevationAtMidRay) {
    std::vector<double> fonc(23);
    plane_profile(500, 45, 30, 22, fonc);
    EXPECT_NEAR(fonc[1], 170, 1e-9);
    EXPECT_NEAR(fonc[2] - fonc[1], 660.0 / 21, 1e-9);
    EXPECT_NEAR(fonc[11], 484.2857142857, 1e-6);
    EXPECT_NEAR(fonc[12], 515.7142857143, 1e-6);
    EXPECT_NEAR(fonc[21], 798.5714285714, 1e-6);
    // Position 22, read by the last cell of every ray, continues the profile.
    EXPECT_NEAR(fonc[22], 830, 1e-6);
    // Repeated addition, not a product: each position is the previous plus pas.
    const double pas = fonc[2] - fonc[1];
    double step = fonc[1];
    for (size_t p = 2; p < fonc.size(); p++) EXPECT_EQ(fonc[p], step += pas) << p;
}

TEST(Profile, ZeroAndNegativeDipsMakeFlatAndFallingProfiles) {
    std::vector<double> fonc(13);
    plane_profile(100, 0, 30, 12, fonc);
    for (size_t p = 1; p < fonc.size(); p++) EXPECT_EQ(fonc[p], 100);
    plane_profile(100, -20, 30, 12, fonc);
    EXPECT_GT(fonc[1], fonc[2]);
}

TEST_F(Treatment, CornerOutsideTheRasterRefusesAndDoesNotCount) {
    terrain(60, 300);
    Outcome o = treat(13, 200, 10, 30, 10);  // left-bottom corner (0, 196)
    EXPECT_EQ(o.verdict, Verdict::traced);
    EXPECT_EQ(o.square.lb, (Cell{0, 196}));
    EXPECT_EQ(code, 1);
    o = treat(12, 200, 10, 30, 10);  // left-bottom corner (-1, 196)
    EXPECT_EQ(o.verdict, Verdict::outside_raster);
    EXPECT_EQ(o.square.lb, (Cell{-1, 196}));
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(treat(5, 200, 10, 90, 10).verdict, Verdict::outside_raster);
    EXPECT_EQ(code, 1);
}

TEST_F(Treatment, InfluenceZoneBelowOneIsRefused) {
    terrain(60, 60);
    for (int z : {0, -4, INT_MIN}) EXPECT_EQ(treat(30, 30, 10, 90, z).verdict, Verdict::zone_too_small) << z;
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(stamped(0).size() == 3600u);
}

TEST_F(Treatment, HugeAnswersAreRefusedNotOverflowed) {
    terrain(60, 60);
    for (int v : {INT_MAX, INT_MIN}) {
        treat(v, 30, 10, 90, 5);
        treat(30, v, 10, 90, 5);
        treat(30, 30, v, 90, 5);
        treat(30, 30, 10, v, 5);
        treat(30, 30, 10, 90, INT_MAX);
    }
    EXPECT_EQ(code, 4);  // the dips and directions were taken
}

TEST_F(Treatment, RaysAreCastOnlyBetweenWrittenEntries) {
    // For 135 and 315 one side has an entry fewer than the first ray's cells:
    // the last ray has no start (or end) and must not run from cell (0, 0).
    for (int d : {135, 315}) {
        terrain(600, 600, 0);
        for (int i = 0; i < 600; i++)
            for (int j = 0; j < 600; j++) set(i, j, (i + j) % 7);  // rough terrain
        const Square q = square_of({500, 500, 30, d, 10});
        const std::vector<Cell> top = side(q.lt, q.rt), bottom = side(q.lb, q.rb);
        EXPECT_LT(std::min(top.size(), bottom.size()), static_cast<size_t>(ray_length(bottom[0], top[0]))) << d;
        const Outcome o = treat(500, 500, 30, d, 10);
        ASSERT_EQ(o.verdict, Verdict::traced);
        EXPECT_GT(o.cells, 0) << d;
        EXPECT_GE(o.box.i0, 480) << d;
        EXPECT_GE(o.box.j0, 480) << d;
    }
}

TEST_F(Treatment, TiltedPlaneOverFlatTerrainLeavesOneStraightLine) {
    // Rays run westwards from column 210; the plane (rising 31.4 m a
    // position) crosses 100 m between positions 11 and 12, so columns 210 to
    // 201 are class 1, 200 to 190 class 2, and the trace is column 201. The
    // last cell of each ray (column 190) is compared with the continued
    // profile: a zero there would draw a false line along column 190.
    terrain(200, 300);
    const Outcome o = treat(100, 200, 45, 90, 10);
    EXPECT_EQ(stamped(1), column(201, 90, 111));
    EXPECT_EQ(o.cells, 22);
    EXPECT_EQ(o.box.i0, 90);
    EXPECT_EQ(o.box.i1, 111);
    EXPECT_EQ(o.box.j0, 201);
    EXPECT_EQ(o.box.j1, 201);
}

TEST_F(Treatment, HorizontalPlaneInAVShapedValleyMarksBothFlanks) {
    // Valley floor along column 20, flanks rising 10 m a cell; a horizontal
    // plane through (20, 25) at 50 m. A cell of column c is compared at
    // column c - 1: class 2 where 50 > 10 |c - 21|, that is columns 17 to 25.
    terrain(36, 40);
    for (int i = 0; i < 36; i++)
        for (int j = 0; j < 40; j++) set(i, j, 10.0 * std::abs(j - 20));
    treat(20, 25, 0, 90, 12);
    Cells expected = column(16, 8, 33);
    const Cells east = column(26, 8, 33);
    expected.insert(east.begin(), east.end());
    EXPECT_EQ(stamped(1), expected);
}

TEST_F(Treatment, PlaneDippingWithSteeperTerrainTracesOnTheOtherSide) {
    // Terrain rising westwards 40 m a cell, plane rising 31.4 m a position:
    // on each ray the plane is above the terrain only east of the point.
    // Comparing cell P(k-1) at P(k): plane - terrain = (k - 10.5) 31.43 -
    // (k - 10) 40 > 0 for k <= 8, so columns 210 to 203 are class 2, 202 to
    // 190 class 1, and the trace is column 202.
    terrain(200, 300);
    for (int i = 0; i < 200; i++)
        for (int j = 0; j < 300; j++) set(i, j, 100 + 40.0 * (200 - j));
    treat(100, 200, 45, 90, 10);
    EXPECT_EQ(stamped(1), column(202, 90, 111));
}

TEST_F(Treatment, PlaneNowhereAboveTheTerrainCountsWithAnEmptyTrace) {
    terrain(60, 60);  // a horizontal plane on flat terrain: class 1 everywhere
    const Outcome o = treat(30, 30, 0, 90, 5);
    EXPECT_EQ(o.verdict, Verdict::traced);
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(o.cells, 0);
    EXPECT_TRUE(o.box.empty());
    EXPECT_TRUE(stamped(1).empty());
}

TEST_F(Treatment, CrossingTracesHoldTheLaterCode) {
    terrain(60, 60);
    treat(20, 20, 45, 90, 10);  // north-south line
    const Cells first = stamped(1);
    treat(20, 20, 45, 0, 10);  // dipping north: an east-west line
    const Cells second = stamped(2), left = stamped(1);
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    size_t crossings = 0;
    for (auto c : first) {
        if (second.count(c)) crossings++;
        else EXPECT_TRUE(left.count(c));
    }
    EXPECT_GE(crossings, 1u);
    EXPECT_EQ(left.size() + crossings, first.size());
}

TEST_F(Treatment, SquaresTouchingTheLastRowAndColumnStayInsideTheGrids) {
    // Every corner on the raster's edge: the sides' and rays' overshoot
    // cells lie one row or column outside and are neither read nor written.
    for (int d : {0, 90, 180, 270, 45}) {
        terrain(21, 21);
        for (int i = 0; i < 21; i++)
            for (int j = 0; j < 21; j++) set(i, j, 100 + i - j);
        EXPECT_EQ(treat(10, 10, 20, d, d == 45 ? 7 : 10).verdict, Verdict::traced) << d;
    }
}

TEST_F(Treatment, BorderCellsAreNeverStamped) {
    terrain(21, 21);
    treat(10, 10, 45, 0, 10);
    for (int k = 0; k < 21; k++) {
        EXPECT_EQ(tab_out.at(0, k), 0);
        EXPECT_EQ(tab_out.at(20, k), 0);
        EXPECT_EQ(tab_out.at(k, 0), 0);
        EXPECT_EQ(tab_out.at(k, 20), 0);
    }
    EXPECT_FALSE(stamped(1).empty());
}

TEST(Limit, The250thStampedTreatmentEndsTheRun) {
    TempDir d;
    std::vector<int> s;
    for (int i = 0; i < 12; i++)
        for (int j = 0; j < 12; j++) s.push_back(100 + j);
    make_dem(d.path, "d", "m", false, s, "12 12 2 0 0 30");
    // A refused treatment first (it does not count), then 250 stamped ones.
    std::string given = "d\nm\n0\n0\n0\n1\n0 0 10 90 3\n1\n6 6\n";
    for (int k = 1; k < 250; k++) given += "-1\n";
    given += "x5\n5\n";  // the key press takes the line end; the rest is never read
    RunResult r = run_tolmar(d.path, given);
    EXPECT_EQ(r.status, 0);
    const std::string end = "\n\n\t250 calculations reached\n\n\tEnd of the treatment (press a key) "
                            "\n\n\tWritten: images/d/m_tolmar.raw and images/d/m_tolmar.txt, 250 treatments\n";
    ASSERT_GE(r.out.size(), end.size());
    EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
    EXPECT_EQ(count(r.out, "(a repeat of the last treatment)"), 249);
    std::string log = read_file(d.path + "/images/d/m_tolmar.txt");
    std::string expected = header_text(12, 12, 30);
    for (int k = 1; k <= 250; k++) expected += record_text(k, 6, 6, 10, 90, 3);
    EXPECT_EQ(log, expected);
    std::string raw = read_file(d.path + "/images/d/m_tolmar.raw");
    ASSERT_EQ(raw.size(), 144u);
    int traced = 0;
    for (char c : raw) {
        EXPECT_TRUE(c == '\0' || c == '\xfa');
        traced += c == '\xfa';
    }
    EXPECT_GT(traced, 0);
}

// ---- bounded passes against whole-raster passes ---------------------------

namespace {

// What a treatment leaves that anyone can see: the raster, the outcome.
struct Snapshot {
    std::string out;
    Outcome o;
    bool operator==(const Snapshot &s) const {
        return out == s.out && o.verdict == s.o.verdict && o.code == s.o.code && o.cells == s.o.cells &&
               o.box.i0 == s.o.box.i0 && o.box.i1 == s.o.box.i1 && o.box.j0 == s.o.box.j0 && o.box.j1 == s.o.box.j1;
    }
};

// A session of random treatments on a random terrain, in one extent.
std::vector<Snapshot> session_of(unsigned seed, Extent extent) {
    std::mt19937 rng(seed);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const int rows = pick(1, 3) == 1 ? pick(1, 3) : pick(4, 70);
    const int cols = pick(1, 3) == 1 ? pick(1, 3) : pick(4, 70);
    const int width = pick(0, 1) ? 2 : 4;
    DemSamples dem;
    Grid<uint8_t> tab_out;
    dem.allocate(rows, cols, width);
    tab_out.allocate(rows, cols);
    const int pix = pick(0, 3) == 0 ? pick(0, 5) : pick(1, 100);
    const double divisor = width == 2 ? 1.0 : 100.0;
    const int kind = pick(0, 2);
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++) {
            const double z = kind == 0   ? 300 + 50 * sin(i / 5.0) * cos(j / 7.0) + pick(0, 3)
                             : kind == 1 ? static_cast<double>(pick(0, 20))
                                         : 300 + 3.0 * std::abs(j - cols / 2) - i;
            dem.set(i, j, width == 2 ? static_cast<int32_t>(static_cast<uint16_t>(z)) : static_cast<int32_t>(std::llround(z * divisor)));
        }
    const Terrain t = dem.terrain(divisor, pix);
    Work work;
    std::vector<Snapshot> snaps;
    int code = 0;
    const int n = pick(1, 12);
    for (int k = 0; k < n; k++) {
        Values v;
        v.row = pick(-3, rows + 2);
        v.column = pick(-3, cols + 2);
        v.dip = pick(0, 5) == 0 ? pick(-89, 89) : pick(0, 45);
        v.dip_direction = pick(0, 6) == 0 ? pick(-1000, 1000) : pick(0, 359);
        v.zone = pick(0, 8) == 0   ? pick(-2, 0)
                 : pick(0, 3) == 0 ? pick(1, std::max(rows, cols) / 2 + 1)
                                   : pick(1, std::max(1, std::min(rows, cols) / 4));
        Snapshot s;
        s.o = stamp(t, tab_out, code, v, work, extent);
        code = s.o.code;
        s.out.assign(reinterpret_cast<const char *>(tab_out.data()), static_cast<size_t>(rows) * static_cast<size_t>(cols));
        snaps.push_back(s);
    }
    return snaps;
}

}  // namespace

TEST(Bounded, SpanPassesGiveTheWholeRasterResultOnRandomSessions) {
    int stamped = 0, traced = 0;
    for (unsigned seed = 1; seed <= 1000; seed++) {
        const std::vector<Snapshot> reference = session_of(seed, Extent::whole_raster);
        const std::vector<Snapshot> spans = session_of(seed, Extent::spans);
        ASSERT_EQ(reference.size(), spans.size());
        for (size_t k = 0; k < reference.size(); k++) {
            ASSERT_TRUE(reference[k] == spans[k]) << "seed " << seed << ", treatment " << k + 1;
            traced += reference[k].o.cells > 0;
        }
        stamped += reference.back().o.code;
    }
    // The cases are worth something only if many treatments stamp a trace.
    EXPECT_GT(stamped, 700);
    EXPECT_GT(traced, 400);
}
