// test_fit.cpp: tolmar-fit on terrain where the true plane is known: the
// contact is the true plane's own trace, and the fit must find its dip
// within a degree and its direction within three, on smooth and on rough
// ground; points nearly on a line are warned of; a real DEM's stamped trace
// is found again; the answers it writes stamp the best treatment; a run
// log is scored.
#include <cmath>
#include <nlohmann/json.hpp>
#include <random>

#include "support.h"

namespace {

using Json = nlohmann::json;
const std::string FIT = std::string("'") + TOLMAR_FIT + "'";

// A 200 x 200 DEM of ridges and valleys some 300 m deep and 600 m apart, in
// centimetres, cells of 30 m, with `rough` metres of noise, in images/t/
// under `d`: a plane's trace bends into every valley, which fixes its dip.
void hills(const TempDir &d, double rough, unsigned seed, DemSamples &dem) {
    dem.allocate(200, 200, 4);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> noise(-rough, rough);
    std::vector<int32_t> samples;
    for (int i = 0; i < 200; i++)
        for (int j = 0; j < 200; j++) {
            const double z = 600 + 150 * sin(i / 3.5) * cos(j / 4.5) + 100 * sin((i - j) / 6.0) + 0.5 * j + noise(rng);
            dem.set(i, j, static_cast<int32_t>(std::lround(z * 100)));
            samples.push_back(dem.at(i, j));
        }
    write_file(d / "images/t/hills_m4.raw", le32(std::vector<int>(samples.begin(), samples.end())));
    write_file(d / "images/t/hills_m4.txt", "200 200 4 0 0 30\n");
}

// The true plane's trace as a contact of row,column points.
void contact_of(const TempDir &d, const DemSamples &dem, const Values &v, const std::string &name) {
    Work w;
    const Trace t = trace(dem.terrain(100, 30), v, w);
    ASSERT_EQ(t.verdict, Verdict::traced);
    ASSERT_GT(t.cells.size(), 20u);
    std::string csv = "row,column\n";
    for (Cell c : t.cells) csv += std::to_string(c.i) + "," + std::to_string(c.j) + "\n";
    write_file(d / name, csv);
}

int angle_between(int a, int b) { return std::abs(((a - b) % 360 + 540) % 360 - 180); }

}  // namespace

TEST(Fit, FindsTheTruePlaneFromItsTraceOnSmoothAndRoughGround) {
    // With the station where the attitude was measured (the reference point)
    // and the zone traced, the search must find the plane itself. Left to
    // choose a point of the contact and a square on its own, it must come
    // near on smooth ground for the steeper planes: a gentle plane's trace
    // branches all over the square, a square of its own choosing holds more
    // of it than was mapped, and on rough ground the cell it chooses lies
    // metres off the plane.
    const Values planes[] = {{100, 100, 20, 140, 30}, {90, 110, 35, 250, 30}, {110, 95, 10, 30, 30}};
    int k = 0;
    for (double rough : {0.0, 4.0})
        for (const Values &v : planes) {
            TempDir d;
            DemSamples dem;
            hills(d, rough, static_cast<unsigned>(++k), dem);
            contact_of(d, dem, v, "contact.csv");
            const std::string station = " --point " + std::to_string(v.row) + " " + std::to_string(v.column) + " --zone " + std::to_string(v.zone);
            for (bool at_station : {true, false}) {
                if (!at_station && (v.dip < 20 || rough > 0)) continue;
                const RunResult r = run_command(d.path, FIT + " --unit cm --json" + (at_station ? station : "") + " images/t/hills_m4.raw contact.csv");
                ASSERT_EQ(r.status, 0) << r.out;
                const Json j = Json::parse(r.out);
                const std::string what = "rough " + std::to_string(rough) + ", plane " + std::to_string(v.dip) + "/" +
                                         std::to_string(v.dip_direction) + (at_station ? " at its station" : "") + ": " + r.out;
                EXPECT_LE(std::abs(j["dip"].get<int>() - v.dip), at_station ? 1 : 3) << what;
                EXPECT_LE(angle_between(j["dip_direction"].get<int>(), v.dip_direction), at_station ? 3 : 5) << what;
                EXPECT_TRUE(j["plane"]["determined"].get<bool>());
                EXPECT_FALSE(j["plane"]["nearly_collinear"].get<bool>());
                const auto within = j["within_10_percent"]["dip"];
                EXPECT_LE(within[0].get<int>(), j["dip"].get<int>());
                EXPECT_GE(within[1].get<int>(), j["dip"].get<int>());
            }
        }
}

TEST(Fit, PointsNearlyOnALineAreWarnedOf) {
    TempDir d;
    DemSamples dem;
    hills(d, 0, 1, dem);
    write_file(d / "three.csv", "row,column\n50,50\n100,101\n150,150\n");
    RunResult r = run_command(d.path, FIT + " --unit cm images/t/hills_m4.raw three.csv");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("exact through three"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Warning: the points lie nearly on a line"), std::string::npos) << r.out;
    write_file(d / "spread.csv", "row,column\n50,50\n100,140\n150,60\n");
    r = run_command(d.path, FIT + " --unit cm images/t/hills_m4.raw spread.csv");
    EXPECT_EQ(r.out.find("Warning"), std::string::npos) << r.out;
    // Exactly on a line: no plane, and the search starts from a grid.
    write_file(d / "line.csv", "row,column\n50,50\n100,100\n150,150\n");
    r = run_command(d.path, FIT + " --unit cm --json images/t/hills_m4.raw line.csv");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(Json::parse(r.out)["plane"]["determined"].get<bool>());
}

TEST(Fit, ARealDemsStampedTraceIsFoundAgainAndItsAnswersStampIt) {
    // A treatment on the bundled Jacksboro DEM, exported as GeoJSON (in
    // cells: it has no georeference) and taken as the mapped contact.
    TempDir d;
    for (const char *f : {"jacksboro_m2.raw", "jacksboro_m2.txt"})
        write_file(d / (std::string("images/jacksboro/") + f), read_file(std::string(TOLMAR_EXAMPLES) + "/jacksboro/" + f));
    ASSERT_EQ(run_tolmar(d.path, "jacksboro\njacksboro\n0\n0\n0\n0\n110 300 20 150 40\n0\n250 100 2 135 50\n5\n").status, 0);
    ASSERT_EQ(run_command(d.path, "'" TOLMAR_EXPORT "' images/jacksboro/jacksboro_tolmar.raw -o traces.geojson").status, 0);
    Json all = Json::parse(read_file(d / "traces.geojson"));
    Json first = all;
    first["features"] = Json::array({all["features"][0]});
    write_file(d / "contact.geojson", first.dump());
    RunResult r = run_command(d.path, FIT + " --json --answers fit.txt --picture fit.png --score images/jacksboro/jacksboro_tolmar.txt "
                                            "images/jacksboro/jacksboro_m2.raw contact.geojson");
    ASSERT_EQ(r.status, 0) << r.out;
    const Json j = Json::parse(r.out);
    EXPECT_LE(std::abs(j["dip"].get<int>() - 20), 1) << r.out;
    EXPECT_LE(angle_between(j["dip_direction"].get<int>(), 150), 3) << r.out;
    // The run log scored: its first treatment is the contact itself.
    ASSERT_EQ(j["score"].size(), 2u);
    EXPECT_EQ(j["score"][0]["misfit_m"].get<double>(), 0.0);
    EXPECT_FALSE(j["score"][1]["near_contact"].get<bool>());  // far away, on the upland
    EXPECT_TRUE(file_exists(d / "fit.png"));
    // The answers stamp the best treatment into its own result set.
    r = run_tolmar(d.path, read_file(d / "fit.txt"));
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string log = read_file(d / "images/jacksboro/jacksboro_fit_tolmar.txt");
    EXPECT_NE(log.find("plane dip (in degrees) " + std::to_string(j["dip"].get<int>())), std::string::npos) << log;
    EXPECT_NE(log.find("direction of the slope " + std::to_string(j["dip_direction"].get<int>())), std::string::npos) << log;
}

TEST(Fit, RefusalsNameTheFault) {
    TempDir d;
    DemSamples dem;
    hills(d, 0, 1, dem);
    write_file(d / "bad.csv", "a,b\n1,2\n");
    write_file(d / "far.csv", "row,column\n0,0\n0,9\n1,30\n");
    const std::pair<std::string, std::string> cases[] = {
        {" images/t/hills_m4.raw", "needs DEM.raw and CONTACT"},
        {" images/t/hills_m4.raw none.csv", "cannot read none.csv"},
        {" images/t/hills_m4.raw bad.csv", "the header must name row,column or x,y"},
        {" images/t/hills_m4.raw far.csv", "fits inside the DEM: give --point and --zone"},
        {" --values 1 2 3 images/t/hills_m4.raw far.csv", "--values needs ROW COL DIP DIR ZONE"},
    };
    for (const auto &c : cases) {
        const RunResult r = run_command(d.path, FIT + c.first);
        EXPECT_NE(r.status, 0) << c.first;
        EXPECT_NE(r.out.find(c.second), std::string::npos) << c.first << ": " << r.out;
    }
}
