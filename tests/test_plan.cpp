// test_plan.cpp: whole treatments: the corner angles, the square and its
// sides, the profile, the refusals, the traces stamped on hand-made terrains,
// and the limit of 250 stamped treatments.
#include <cmath>
#include <climits>
#include <random>
#include <set>

#include "support.h"

namespace {

using Cells = std::set<std::pair<int, int>>;

class Treatment : public StateTest {
protected:
    // A raster of flat terrain at `z` metres and a log to write to.
    void terrain(int rows, int cols, double z = 100, int pix = 30) {
        grids(rows, cols);
        for (int i = 0; i < rows; i++)
            for (int j = 0; j < cols; j++) dtab[i][j] = z;
        pix_size = pix;
        open_log();
    }
    // One treatment as the dialogue would set it up.
    void treat(int i, int j, int s, int d, int z) {
        ip = i;
        jp = j;
        slope = s;
        dir = dir_orig = d;
        infl = z;
        plan();
    }
    Cells stamped(int value) {
        Cells c;
        for (int i = 0; i < nb_lig; i++)
            for (int j = 0; j < nb_col; j++)
                if (tab_out[i][j] == value) c.insert({i, j});
        return c;
    }
    Cells column(int j, int i0, int i1) {
        Cells c;
        for (int i = i0; i <= i1; i++) c.insert({i, j});
        return c;
    }
    Cells row(int i, int j0, int j1) {
        Cells c;
        for (int j = j0; j <= j1; j++) c.insert({i, j});
        return c;
    }
};

const char REFUSED[] = "\n\n\tout of the image borders";

}  // namespace

TEST_F(Treatment, CornerAnglesFromTheEnteredDirection) {
    const int table[][6] = {{0, 90, 135, 225, 315, 45},     {90, 0, 45, 135, 225, 315},
                            {180, 270, 315, 45, 135, 225},  {270, 180, 225, 315, 45, 135},
                            {45, 45, 90, 180, 270, 360},    {135, 315, 360, 90, 180, 270},
                            {30, 60, 105, 195, 285, 15},    {400, 50, 95, 185, 275, 5},
                            {-400, 490, 175, 265, 355, 85}, {1000, -550, -505, -415, -325, -235}};
    for (const auto &t : table) {
        dir = t[0];
        int lb, lt, rt, rb;
        corner_angles(lb, lt, rt, rb);
        EXPECT_EQ(dir, t[1]) << t[0];
        EXPECT_EQ(lb, t[2]) << t[0];
        EXPECT_EQ(lt, t[3]) << t[0];
        EXPECT_EQ(rt, t[4]) << t[0];
        EXPECT_EQ(rb, t[5]) << t[0];
    }
}

TEST_F(Treatment, ExtremeDirectionsStayWithinTheIntegerRange) {
    for (int d : {INT_MIN, INT_MIN + 1, INT_MIN + 400, INT_MAX, INT_MAX - 100}) {
        dir = d;
        int lb, lt, rt, rb;
        corner_angles(lb, lt, rt, rb);
        // The same direction as exact arithmetic gives, whatever its form.
        long long exact = 90LL - d + (90LL - d < 0 ? 360 : 0);
        EXPECT_EQ(((dir - exact) % 360 + 360) % 360, 0) << d;
        EXPECT_EQ(((lb - (exact + 45)) % 360 + 360) % 360, 0) << d;
        EXPECT_EQ(((rb - lb) % 360 + 360) % 360, 270) << d;
    }
}

TEST_F(Treatment, SquareDippingEastwardsItsSidesAndRays) {
    terrain(200, 300);
    treat(100, 200, 10, 90, 10);
    EXPECT_EQ(dir, 0);
    EXPECT_EQ(i_lb, 90);
    EXPECT_EQ(j_lb, 210);
    EXPECT_EQ(i_lt, 90);
    EXPECT_EQ(j_lt, 190);
    EXPECT_EQ(i_rt, 110);
    EXPECT_EQ(j_rt, 190);
    EXPECT_EQ(i_rb, 110);
    EXPECT_EQ(j_rb, 210);
    EXPECT_EQ(num_points, 22);
    ASSERT_EQ(nb_t, 22);
    ASSERT_EQ(nb_b, 22);
    for (int k = 1; k <= 22; k++) {  // ray k runs along row 89 + k
        EXPECT_EQ(ib[k], 89 + k);
        EXPECT_EQ(jb[k], 210);
        EXPECT_EQ(it[k], 89 + k);
        EXPECT_EQ(jt[k], 190);
    }
    EXPECT_EQ(code, 1);
}

TEST_F(Treatment, ProfileRisesThroughTheReferenceElevationAtMidRay) {
    terrain(200, 300);
    dtab[100][200] = 500;
    treat(100, 200, 45, 90, 10);
    ASSERT_GE(nb_fonc, 23);
    EXPECT_NEAR(fonc[1], 170, 1e-9);
    EXPECT_NEAR(fonc[2] - fonc[1], 660.0 / 21, 1e-9);
    EXPECT_NEAR(fonc[11], 484.2857142857, 1e-6);
    EXPECT_NEAR(fonc[12], 515.7142857143, 1e-6);
    EXPECT_NEAR(fonc[21], 798.5714285714, 1e-6);
    // Position 22, read by the last cell of every ray, continues the profile.
    EXPECT_NEAR(fonc[22], 830, 1e-6);
    // Repeated addition, not a product: each position is the previous plus pas.
    double pas = fonc[2] - fonc[1], step = fonc[1];
    for (int p = 2; p < nb_fonc; p++) EXPECT_EQ(fonc[p], step += pas) << p;
}

TEST_F(Treatment, ZeroAndNegativeDipsMakeFlatAndFallingProfiles) {
    terrain(60, 60);
    treat(30, 30, 0, 90, 5);
    for (int p = 1; p < nb_fonc; p++) EXPECT_EQ(fonc[p], 100);
    treat(30, 30, -20, 90, 5);
    EXPECT_GT(fonc[1], fonc[2]);
}

TEST_F(Treatment, CornerOutsideTheRasterRefusesWithOneMessage) {
    terrain(60, 300);
    treat(13, 200, 10, 30, 10);  // left-bottom corner (0, 196)
    EXPECT_EQ(code, 1);
    EXPECT_EQ(i_lb, 0);
    treat(12, 200, 10, 30, 10);  // left-bottom corner (-1, 196)
    EXPECT_EQ(code, 1);
    EXPECT_EQ(i_lb, -1);
    EXPECT_EQ(printed(), REFUSED);
    treat(5, 200, 10, 90, 10);  // two corners above row 0: still one message
    EXPECT_EQ(printed(), std::string(REFUSED) + REFUSED);
    EXPECT_EQ(logged(), record_text(1, 13, 200, 10, 30, 10));
}

TEST_F(Treatment, InfluenceZoneBelowOneIsRefusedBeforeTheCorners) {
    terrain(60, 60);
    treat(30, 30, 10, 90, 0);
    treat(30, 30, 10, 90, -4);
    treat(30, 30, 10, 90, INT_MIN);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(printed(), "\n\n\tinfluence zone must be at least 1\n\n\tinfluence zone must be at least 1"
                         "\n\n\tinfluence zone must be at least 1");
    EXPECT_EQ(logged(), "");
    EXPECT_EQ(dir, 0);  // the direction was turned all the same
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

TEST_F(Treatment, DiagonalSquareSidesLongerThanTheFirstRay) {
    terrain(600, 600);
    treat(500, 500, 10, 225, 10);
    EXPECT_EQ(i_lb, 514);
    EXPECT_EQ(j_lb, 500);
    EXPECT_EQ(i_lt, 500);
    EXPECT_EQ(j_lt, 514);
    EXPECT_EQ(i_rt, 485);
    EXPECT_EQ(j_rt, 500);
    EXPECT_EQ(i_rb, 500);
    EXPECT_EQ(j_rb, 485);
    EXPECT_EQ(nb_t, 17);
    EXPECT_EQ(nb_b, 17);
    EXPECT_EQ(num_points, 16);
}

TEST_F(Treatment, RaysAreCastOnlyBetweenWrittenEntries) {
    // For 135 and 315 one side has an entry fewer than num_points: the last
    // ray has no start (or end) and must not run from cell (0, 0).
    for (int d : {135, 315}) {
        terrain(600, 600, 0);
        for (int i = 0; i < 600; i++)
            for (int j = 0; j < 600; j++) dtab[i][j] = (i + j) % 7;  // rough terrain
        treat(500, 500, 30, d, 10);
        EXPECT_LT(std::min(nb_t, nb_b), num_points) << d;
        for (int i = 0; i < 600; i++)
            for (int j = 0; j < 600; j++)
                if (mask_bin[i][j]) {
                    EXPECT_GE(i, 480) << d;
                    EXPECT_GE(j, 480) << d;
                }
        reset_state();
        con_out = tmpfile();
    }
}

TEST_F(Treatment, TiltedPlaneOverFlatTerrainLeavesOneStraightLine) {
    // Rays run westwards from column 210; the plane (rising 31.4 m a
    // position) crosses 100 m between positions 11 and 12, so columns 210 to
    // 201 are class 1, 200 to 190 class 2, and the trace is column 201. The
    // last cell of each ray (column 190) is compared with the continued
    // profile: a zero there would draw a false line along column 190.
    terrain(200, 300);
    treat(100, 200, 45, 90, 10);
    EXPECT_EQ(stamped(1), column(201, 90, 111));
}

TEST_F(Treatment, HorizontalPlaneInAVShapedValleyMarksBothFlanks) {
    // Valley floor along column 20, flanks rising 10 m a cell; a horizontal
    // plane through (20, 25) at 50 m. A cell of column c is compared at
    // column c - 1: class 2 where 50 > 10 |c - 21|, that is columns 17 to 25.
    terrain(36, 40);
    for (int i = 0; i < 36; i++)
        for (int j = 0; j < 40; j++) dtab[i][j] = 10.0 * std::abs(j - 20);
    treat(20, 25, 0, 90, 12);
    Cells expected = column(16, 8, 33);
    Cells east = column(26, 8, 33);
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
        for (int j = 0; j < 300; j++) dtab[i][j] = 100 + 40.0 * (200 - j);
    treat(100, 200, 45, 90, 10);
    EXPECT_EQ(stamped(1), column(202, 90, 111));
}

TEST_F(Treatment, PlaneNowhereAboveTheTerrainCountsWithAnEmptyTrace) {
    terrain(60, 60);  // a horizontal plane on flat terrain: class 1 everywhere
    treat(30, 30, 0, 90, 5);
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(stamped(1).empty());
    EXPECT_EQ(logged(), record_text(1, 30, 30, 0, 90, 5));
}

TEST_F(Treatment, CrossingTracesHoldTheLaterCode) {
    terrain(60, 60);
    treat(20, 20, 45, 90, 10);  // north-south line
    Cells first = stamped(1);
    treat(20, 20, 45, 0, 10);  // dipping north: an east-west line
    Cells second = stamped(2), left = stamped(1);
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    int crossings = 0;
    for (auto c : first) {
        if (second.count(c)) crossings++;
        else EXPECT_TRUE(left.count(c));
    }
    EXPECT_GE(crossings, 1);
    EXPECT_EQ(left.size() + crossings, first.size());
}

TEST_F(Treatment, SquaresTouchingTheLastRowAndColumnStayInsideTheGrids) {
    // Every corner on the raster's edge: the sides' and rays' overshoot
    // cells lie one row or column outside and are neither read nor written.
    for (int d : {0, 90, 180, 270, 45}) {
        terrain(21, 21);
        for (int i = 0; i < 21; i++)
            for (int j = 0; j < 21; j++) dtab[i][j] = 100 + i - j;
        treat(10, 10, 20, d, d == 45 ? 7 : 10);
        EXPECT_EQ(code, 1) << d;
        reset_state();
        con_out = tmpfile();
    }
}

TEST_F(Treatment, BorderCellsAreNeverStamped) {
    terrain(21, 21);
    treat(10, 10, 45, 0, 10);
    for (int k = 0; k < 21; k++) {
        EXPECT_EQ(tab_out[0][k], 0);
        EXPECT_EQ(tab_out[20][k], 0);
        EXPECT_EQ(tab_out[k][0], 0);
        EXPECT_EQ(tab_out[k][20], 0);
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
    const std::string end = "\n\n\t250 calculations reached\n\n\tEnd of the treatment ";
    ASSERT_GE(r.out.size(), end.size());
    EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
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

// Everything a treatment leaves behind that anyone can see or that the next
// treatment starts from.
struct Snapshot {
    std::string out, work, log;
    int code;
    bool operator==(const Snapshot &o) const {
        return out == o.out && work == o.work && log == o.log && code == o.code;
    }
};

class Bounded : public StateTest {
protected:
    Snapshot snap() {
        Snapshot s;
        for (int i = 0; i < nb_lig; i++) {
            s.out.append(reinterpret_cast<char *>(tab_out[i]), static_cast<size_t>(nb_col));
            for (unsigned char **g : {mask, mask_bin, tab})
                s.work.append(reinterpret_cast<char *>(g[i]), static_cast<size_t>(nb_col));
        }
        s.log = logged();
        s.code = code;
        return s;
    }
    // A session of random treatments on a random terrain, in one mode.
    std::vector<Snapshot> session(unsigned seed, bool whole) {
        reset_state();
        con_out = tmpfile();
        whole_raster = whole;
        std::mt19937 rng(seed);
        auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        int rows = pick(1, 3) == 1 ? pick(1, 3) : pick(4, 70);
        int cols = pick(1, 3) == 1 ? pick(1, 3) : pick(4, 70);
        grids(rows, cols);
        open_log();
        pix_size = pick(0, 3) == 0 ? pick(-5, 5) : pick(1, 100);
        const int kind = pick(0, 2);
        for (int i = 0; i < rows; i++)
            for (int j = 0; j < cols; j++)
                dtab[i][j] = kind == 0   ? 50 * sin(i / 5.0) * cos(j / 7.0) + pick(0, 3)
                             : kind == 1 ? static_cast<double>(pick(0, 20))
                                         : 3.0 * std::abs(j - cols / 2) - i;
        std::vector<Snapshot> snaps;
        const int n = pick(1, 12);
        for (int k = 0; k < n; k++) {
            ip = pick(-3, rows + 2);
            jp = pick(-3, cols + 2);
            slope = pick(0, 5) == 0 ? pick(-89, 89) : pick(0, 45);
            dir = dir_orig = pick(0, 6) == 0 ? pick(-1000, 1000) : pick(0, 359);
            infl = pick(0, 8) == 0   ? pick(-2, 0)
                   : pick(0, 3) == 0 ? pick(1, std::max(rows, cols) / 2 + 1)
                                     : pick(1, std::max(1, std::min(rows, cols) / 4));
            plan();
            snaps.push_back(snap());
        }
        return snaps;
    }
};

}  // namespace

TEST_F(Bounded, BoxedPassesGiveTheWholeRasterResultOnRandomSessions) {
    int stamped = 0, traced = 0;
    for (unsigned seed = 1; seed <= 1000; seed++) {
        std::vector<Snapshot> reference = session(seed, true);
        std::vector<Snapshot> boxed = session(seed, false);
        ASSERT_EQ(reference.size(), boxed.size());
        for (size_t k = 0; k < reference.size(); k++) {
            ASSERT_TRUE(reference[k] == boxed[k]) << "seed " << seed << ", treatment " << k + 1;
            if (reference[k].out != (k ? reference[k - 1].out : std::string(reference[k].out.size(), '\0')))
                traced++;
        }
        stamped += reference.back().code;
    }
    // The cases are worth something only if many treatments stamp a trace.
    EXPECT_GT(stamped, 700);
    EXPECT_GT(traced, 400);
}
