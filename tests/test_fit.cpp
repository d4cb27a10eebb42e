// test_fit.cpp: tolmar-fit against the truth, computed here on its own: the
// contact is where a known plane meets the real ground of Jacksboro and
// Olinda (the zero of ground minus plane along the cell edges, the bilinear
// surface's own), complete or ten of its points, exact or each point moved
// by up to a cell; the fit must find the plane, its ranges must hold it, and
// what it cannot do it must say. Then whole runs of the tool.
#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <random>

#include "files/georef.h"
#include "fit.h"
#include "support.h"

namespace {

using Json = nlohmann::json;
const double PI = 3.14159265358979323846;
const std::string FIT = std::string("'") + TOLMAR_FIT + "'";

// The bundled DEMs: Jacksboro in metres, Olinda imported from its GeoTIFF.
struct Ground {
    DemSet jacksboro, olinda;
    Terrain j, o;
    Ground() {
        TempDir d;
        for (const char *f : {"jacksboro_m2.raw", "jacksboro_m2.txt"})
            write_file(d / (std::string("images/j/") + f), read_file(std::string(TOLMAR_EXAMPLES) + "/jacksboro/" + f));
        const RunResult r = run_command(d.path, std::string("'") + TOLMAR_IMPORT + "' '" + TOLMAR_EXAMPLES +
                                                    "/olinda/olinda_dem_utm25s.tif' o olinda");
        EXPECT_EQ(r.status, 0) << r.out;
        std::string err;
        EXPECT_TRUE(geo::open_dem_set(d / "images/j/jacksboro_m2.raw", jacksboro, err)) << err;
        EXPECT_TRUE(geo::open_dem_set(d / "images/o/olinda_m4.raw", olinda, err)) << err;
        j = jacksboro.samples.terrain(1, jacksboro.pix_size);
        o = olinda.samples.terrain(formats::unit_divisor(olinda.unit), olinda.pix_size);
    }
};
const Ground &ground() {
    static Ground g;
    return g;
}

struct Truth {
    Cell station;
    double dip, dir;
};

// Where the plane through the station's centre at its elevation meets the
// ground within `reach` cells of it: the zero of ground minus plane on each
// cell edge it crosses.
std::vector<tools::Spot> intersection(const Terrain &t, const Truth &p, int reach) {
    const double az = p.dir * PI / 180, fall = std::tan(p.dip * PI / 180) * t.pix_size;
    const double z0 = t.elevation(p.station.i, p.station.j);
    auto f = [&](int i, int j) {
        return t.elevation(i, j) - (z0 - fall * ((j - p.station.j) * std::sin(az) - (i - p.station.i) * std::cos(az)));
    };
    std::vector<tools::Spot> out;
    for (int i = p.station.i - reach; i < p.station.i + reach; i++)
        for (int j = p.station.j - reach; j < p.station.j + reach; j++) {
            if (!t.inside(i, j) || !t.inside(i + 1, j + 1)) continue;
            const double a = f(i, j), b = f(i, j + 1), c = f(i + 1, j);
            if ((a >= 0) != (b >= 0)) out.push_back({double(i), j + a / (a - b)});
            if ((a >= 0) != (c >= 0)) out.push_back({i + a / (a - c), double(j)});
        }
    return out;
}

tools::Contact points(const std::vector<tools::Spot> &s) {
    tools::Contact c;
    for (tools::Spot x : s) c.lines.push_back({x});
    return c;
}

// The angle between two planes given by dip and dip direction, degrees.
double angle_between(double d1, double a1, double d2, double a2) {
    auto normal = [](double d, double a, double n[3]) {
        const double dr = d * PI / 180, ar = a * PI / 180;
        n[0] = std::sin(dr) * std::sin(ar);
        n[1] = std::sin(dr) * std::cos(ar);
        n[2] = std::cos(dr);
    };
    double n1[3], n2[3];
    normal(d1, a1, n1);
    normal(d2, a2, n2);
    return std::acos(std::min(1.0, std::fabs(n1[0] * n2[0] + n1[1] * n2[1] + n1[2] * n2[2]))) * 180 / PI;
}

double direction_error(double a, double b) { return std::fabs(std::fmod(a - b + 540, 360) - 180); }

bool in_range(double lo, double hi, double x) {
    return lo <= hi ? x >= lo - 1e-9 && x <= hi + 1e-9 : x >= lo - 1e-9 || x <= hi + 1e-9;
}

// Random planes (dips from `lo` to `hi`) through random stations whose
// intersection runs long enough near the station.
template <typename Each>
void planes(const Terrain &t, unsigned seed, int n, int reach, Each each, double lo = 5, double hi = 60) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> row(reach + 2, t.rows - reach - 3), col(reach + 2, t.cols - reach - 3);
    std::uniform_real_distribution<double> dip(lo, hi), dir(0, 360);
    for (int made = 0, tries = 0; made < n && tries < 50 * n; tries++) {
        const Truth p{{row(rng), col(rng)}, std::round(dip(rng)), std::round(dir(rng))};
        const std::vector<tools::Spot> s = intersection(t, p, reach);
        if (s.size() < 20) continue;
        made++;
        each(p, s, rng);
    }
}

}  // namespace

TEST(Fit, FindsTheTruePlaneFromItsExactIntersectionOnRealTerrain) {
    int cases = 0;
    for (const Terrain *t : {&ground().j, &ground().o})
        planes(*t, 7, 12, 25, [&](const Truth &p, const std::vector<tools::Spot> &s, std::mt19937 &rng) {
            std::vector<tools::Spot> ten;
            for (int k = 0; k < 10; k++) ten.push_back(s[std::uniform_int_distribution<size_t>(0, s.size() - 1)(rng)]);
            for (const auto &c : {points(s), points(ten)})
                for (bool at_station : {true, false}) {
                    const tools::Plane start = tools::fit_plane(*t, 1, c);
                    const tools::TrueFit f = tools::fit_true(*t, 1, c, start, at_station ? &p.station : nullptr);
                    const std::string what = std::to_string(p.dip) + "/" + std::to_string(p.dir) + " at " +
                                             std::to_string(p.station.i) + "," + std::to_string(p.station.j) + ", " +
                                             std::to_string(c.lines.size()) + " points" + (at_station ? ", station" : "");
                    ASSERT_TRUE(f.found) << what;
                    EXPECT_LE(std::fabs(f.dip - p.dip), 1) << what;
                    EXPECT_LE(direction_error(f.dip_direction, p.dir), 3) << what;
                    cases++;
                }
        });
    EXPECT_EQ(cases, 96);
}

namespace {

// Five points spread along the intersection, as mapped along an outcrop: at
// a tenth, three tenths, ... of its extent, each moved by up to a cell.
tools::Contact five_points(std::vector<tools::Spot> s, std::mt19937 &rng) {
    std::uniform_real_distribution<double> u(0, 1);
    double mi = 0, mj = 0, sii = 0, sjj = 0, sij = 0;
    for (tools::Spot x : s) mi += x.i / s.size(), mj += x.j / s.size();
    for (tools::Spot x : s) sii += (x.i - mi) * (x.i - mi), sjj += (x.j - mj) * (x.j - mj), sij += (x.i - mi) * (x.j - mj);
    const double axis = 0.5 * std::atan2(2 * sij, sii - sjj);
    std::sort(s.begin(), s.end(), [&](tools::Spot a, tools::Spot b) {
        return a.i * std::cos(axis) + a.j * std::sin(axis) < b.i * std::cos(axis) + b.j * std::sin(axis);
    });
    std::vector<tools::Spot> five;
    for (int k = 0; k < 5; k++) {
        const tools::Spot x = s[(2 * k + 1) * s.size() / 10];
        const double r = std::sqrt(u(rng)), a = 2 * PI * u(rng);
        five.push_back({x.i + r * std::cos(a), x.j + r * std::sin(a)});
    }
    return points(five);
}

}  // namespace

TEST(Fit, FivePointsMovedByACellStillGiveThePlane) {
    // On the coastal flats of Olinda a plane steeper than a few degrees cuts
    // the ground nearly along its strike whatever its dip: its dip shows in
    // the trace only where the ground has relief. Gentle planes there,
    // planes of any dip on the ridges of Jacksboro.
    std::vector<double> angles;
    for (const Terrain *t : {&ground().j, &ground().o})
        planes(*t, 11, 20, 40, [&](const Truth &p, std::vector<tools::Spot> s, std::mt19937 &rng) {
            const tools::Contact c = five_points(s, rng);
            const tools::TrueFit f = tools::fit_true(*t, 1, c, tools::fit_plane(*t, 1, c), &p.station);
            angles.push_back(f.found ? angle_between(f.dip, f.dip_direction, p.dip, p.dir) : 90);
        }, 2, t == &ground().o ? 12 : 60);
    ASSERT_EQ(angles.size(), 40u);
    std::sort(angles.begin(), angles.end());
    EXPECT_LE(angles[angles.size() / 2], 3.0);

    // And where the trace cannot tell the dip, the range says so.
    int wide = 0, cases = 0;
    planes(ground().o, 13, 10, 40, [&](const Truth &p, std::vector<tools::Spot> s, std::mt19937 &rng) {
        const tools::Contact c = five_points(s, rng);
        const tools::TrueFit f = tools::fit_true(ground().o, 1, c, tools::fit_plane(ground().o, 1, c), &p.station);
        cases++;
        wide += !f.determined() || f.dip_hi - f.dip_lo >= 20;
    }, 35, 60);
    EXPECT_EQ(cases, 10);
    EXPECT_GE(wide, 9);
}

TEST(Fit, RangesHoldTheTruthWhenTheContactCarriesACellOfNoise) {
    int cases = 0, held = 0;
    for (const Terrain *t : {&ground().j, &ground().o})
        planes(*t, 23, 100, 25, [&](const Truth &p, const std::vector<tools::Spot> &s, std::mt19937 &rng) {
            std::uniform_real_distribution<double> u(0, 1);
            std::vector<tools::Spot> noisy;
            for (tools::Spot x : s) {
                const double r = std::sqrt(u(rng)), a = 2 * PI * u(rng);
                noisy.push_back({x.i + r * std::cos(a), x.j + r * std::sin(a)});
            }
            const tools::Contact c = points(noisy);
            const tools::TrueFit f = tools::fit_true(*t, 1, c, tools::fit_plane(*t, 1, c), nullptr);
            cases++;
            held += tools::ranges_hold(f, p.dip, p.dir);
        });
    EXPECT_EQ(cases, 200);
    EXPECT_GE(held, cases * 9 / 10);
}

// ---- whole runs of the tool -------------------------------------------------

namespace {

struct Site : TempDir {
    Site() {
        for (const char *f : {"jacksboro_m2.raw", "jacksboro_m2.txt"})
            write_file(*this / (std::string("images/j/") + f), read_file(std::string(TOLMAR_EXAMPLES) + "/jacksboro/" + f));
    }
    RunResult fit(const std::string &args) const { return run_command(path, FIT + " " + args); }
};

// The exact intersection of 20 towards 150 through (110, 300) on Jacksboro,
// as CSV rows.
std::string contact_csv(bool with_line_column) {
    const Truth p{{110, 300}, 20, 150};
    std::string csv = with_line_column ? "row,column,line\n" : "row,column\n";
    for (tools::Spot s : intersection(ground().j, p, 30))
        csv += std::to_string(s.i) + "," + std::to_string(s.j) + (with_line_column ? ",1\n" : "\n");
    return csv;
}

}  // namespace

TEST(Fit, AnswersStampTheAnswerInTrueGeometryAndSayHow) {
    Site d;
    write_file(d / "contact.csv", contact_csv(false));
    RunResult r = d.fit("--point 110 300 --answers a.txt images/j/jacksboro_m2.raw contact.csv");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("(a table's rows, not chained into a line)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("passes nearest the"), std::string::npos);
    EXPECT_NE(r.out.find("   verdict: its trace runs within one cell of the contact over 100 % of the contact's points"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("tolmar --geometry true < a.txt"), std::string::npos);
    r = run_command(d.path, std::string("'") + TOLMAR_EXE + "' --geometry true", read_file(d / "a.txt"));
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string log = read_file(d / "images/j/jacksboro_fit_tolmar.txt");
    EXPECT_NE(log.find("geometry true"), std::string::npos);
    EXPECT_NE(log.find("line   : 110\n\t\tcolumn : 300\n\tplane dip (in degrees) 20\n\tdirection of the slope 150"),
              std::string::npos) << log;

    // A line column makes lines of the rows.
    write_file(d / "line.csv", contact_csv(true));
    r = d.fit("images/j/jacksboro_m2.raw line.csv");
    EXPECT_NE(r.out.find("vertices of 1 line, on"), std::string::npos) << r.out;
}

TEST(Fit, SaysWhatItCannotDoAndWritesNoAnswersThen) {
    Site d;
    // Points on one straight line: no attitude.
    write_file(d / "line.csv", "row,column\n50,50\n60,60\n70,70\n80,80\n");
    RunResult r = d.fit("--answers a.txt images/j/jacksboro_m2.raw line.csv");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_FALSE(file_exists(d / "a.txt"));
    EXPECT_NE(r.out.find("no answers written to a.txt"), std::string::npos) << r.out;
    // A station whose square leaves the DEM.
    write_file(d / "contact.csv", contact_csv(false));
    r = d.fit("--point 110 300 --zone 120 --answers a.txt images/j/jacksboro_m2.raw contact.csv");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("its square leaves the DEM: zone 120 in direction 150 fits points on lines"), std::string::npos) << r.out;
    EXPECT_FALSE(file_exists(d / "a.txt"));
    // A zone that does not reach the contact.
    r = d.fit("--point 110 300 --zone 10 images/j/jacksboro_m2.raw contact.csv");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("of the contact's points lie beyond zone 10 of (110, 300)"), std::string::npos) << r.out;
    // Points off the DEM are left out and said; huge numbers and too many points are refused, at once.
    write_file(d / "far.csv", contact_csv(false) + "-1000000000,1000000000\n");
    r = d.fit("images/j/jacksboro_m2.raw far.csv");
    EXPECT_NE(r.out.find("1 point outside the DEM left out"), std::string::npos) << r.out;
    write_file(d / "off.csv", "row,column\n-1000000000,1000000000\n5000,5000\n");
    r = d.fit("images/j/jacksboro_m2.raw off.csv");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("none of its 2 points lies on the DEM"), std::string::npos) << r.out;
    write_file(d / "huge.csv", "row,column\n1e300,5\n");
    r = d.fit("images/j/jacksboro_m2.raw huge.csv");
    EXPECT_NE(r.out.find("line 2 does not hold two finite numbers"), std::string::npos) << r.out;
    std::string many = "row,column\n";
    for (int k = 0; k < 100001; k++) many += std::to_string(100 + k % 100) + "," + std::to_string(100 + k / 1000) + "\n";
    write_file(d / "many.csv", many);
    r = d.fit("images/j/jacksboro_m2.raw many.csv");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("more than 100000 points"), std::string::npos) << r.out;
    r = d.fit("images/j/jacksboro_m2.raw none.csv");
    EXPECT_NE(r.out.find("cannot read none.csv"), std::string::npos);
    r = d.fit("--point 5000 5 images/j/jacksboro_m2.raw contact.csv");
    EXPECT_NE(r.out.find("--point 5000 5 lies outside the DEM's 344 x 403 cells"), std::string::npos) << r.out;
}

TEST(Fit, AnyContactIsReadOrRefusedAndFittedInWellUnderASecond) {
    // Random texts grown from the shapes a contact takes, far points, huge
    // numbers and floods of points among them.
    std::mt19937 rng(99);
    const std::string seeds[] = {"row,column\n10,10\n20,25\n30,12\n", "x,y\n10.5,-20.5\n1e308,-25.5\n",
                                 "row,column,line\n10,10,a\n11,12,a\n12,14,b\n",
                                 "{\"type\":\"MultiPoint\",\"coordinates\":[[10.5,-10.5],[-1e9,1e9],[30.5,-15.5]]}",
                                 "{\"type\":\"LineString\",\"coordinates\":[[10.5,-10.5],[20.5,-12.5],[30.5,-15.5]]}"};
    const char alphabet[] = "0123456789.,-e\n[]{}\":xyrowcolumn ";
    TempDir d;
    const Terrain &t = ground().j;
    double slowest = 0;
    for (int k = 0; k < 300; k++) {
        std::string text = seeds[k % 5];
        const int edits = std::uniform_int_distribution<int>(0, 12)(rng);
        for (int e = 0; e < edits && !text.empty(); e++) {
            const size_t at = std::uniform_int_distribution<size_t>(0, text.size() - 1)(rng);
            const char c = alphabet[std::uniform_int_distribution<size_t>(0, sizeof alphabet - 2)(rng)];
            if (e % 3 == 0) text.insert(at, 1, c);
            else if (e % 3 == 1) text[at] = c;
            else text.erase(at, 1);
        }
        if (k % 50 == 7)  // a flood of points
            for (int n = 0; n < 20000; n++) text += std::to_string(n % 344) + "," + std::to_string((n * 7) % 403) + "\n";
        write_file(d / "c.txt", text);
        const auto t0 = std::chrono::steady_clock::now();
        tools::Contact c;
        std::string err;
        if (tools::read_contact(d / "c.txt", Georef(), t.rows, t.cols, c, err)) {
            const tools::TrueFit f = tools::fit_true(t, 1, c, tools::fit_plane(t, 1, c), nullptr);
            if (f.found) tools::treatment_for(t, 1, c, f, nullptr, 0);
        }
        slowest = std::max(slowest, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    EXPECT_LT(slowest, 1.0);
}
