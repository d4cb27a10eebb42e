// test_export.cpp: tolmar-export: the chaining of trace cells into lines, the
// coordinates with and without an origin, the CSV and GeoJSON texts read
// back, and every error of its arguments and files.
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>

#include <unistd.h>

#include <chrono>

#include "geo/chain.h"
#include "support.h"

namespace {

using tools::Line;

bool adjacent(const Cell &a, const Cell &b) {
    return std::max(std::abs(a.i - b.i), std::abs(a.j - b.j)) == 1;
}

// Every cell on exactly one line, consecutive cells 8-neighbours; a closed
// line repeats its first cell at its end only.
void expect_chained(const std::vector<Cell> &cells, const std::vector<Line> &lines) {
    std::multiset<Cell> seen;
    for (const Line &l : lines) {
        size_t n = l.size();
        if (n > 3 && l.front() == l.back()) n--;  // closed
        for (size_t k = 0; k < n; k++) seen.insert(l[k]);
        for (size_t k = 1; k < l.size(); k++) EXPECT_TRUE(adjacent(l[k - 1], l[k]));
    }
    EXPECT_EQ(seen, std::multiset<Cell>(cells.begin(), cells.end()));
}

std::vector<Cell> sorted(std::vector<Cell> c) {
    std::sort(c.begin(), c.end());
    return c;
}

}  // namespace

TEST(Chain, StraightRunIsOneLineFromItsEnd) {
    std::vector<Cell> run{{4, 2}, {4, 3}, {4, 4}, {4, 5}};
    std::vector<Line> lines = tools::chain(run);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], run);
}

TEST(Chain, ElbowThinnedToADiagonalStaysOneLine) {
    // An L whose corner (5,5) the corner clean-up removed.
    std::vector<Cell> cells{{5, 1}, {5, 2}, {5, 3}, {5, 4}, {6, 5}, {7, 5}, {8, 5}, {9, 5}};
    std::vector<Line> lines = tools::chain(sorted(cells));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], cells);
}

TEST(Chain, StaircaseFollowsSideNeighboursFirst) {
    std::vector<Cell> stairs{{5, 5}, {5, 6}, {6, 6}, {6, 7}, {7, 7}};
    std::vector<Line> lines = tools::chain(stairs);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], stairs);
}

TEST(Chain, RingIsOneClosedLineAndALoneCellALineOfItsOwn) {
    // A diamond ring around (5,5) and a lone cell far away.
    std::vector<Cell> cells{{3, 5}, {4, 4}, {4, 6}, {5, 3}, {5, 7}, {6, 4}, {6, 6}, {7, 5}, {10, 10}};
    std::vector<Line> lines = tools::chain(sorted(cells));
    ASSERT_EQ(lines.size(), 2u);
    const Line &ring = lines[0].size() > 1 ? lines[0] : lines[1];
    const Line &lone = lines[0].size() > 1 ? lines[1] : lines[0];
    EXPECT_EQ(ring.size(), 9u);
    EXPECT_EQ(ring.front(), ring.back());
    EXPECT_EQ(lone, (Line{{10, 10}}));
    expect_chained(cells, lines);
}

TEST(Chain, CrossingTracesSplitTheEarlierOne) {
    // Code 1 along row 5, code 2 along column 5 stamped after it.
    std::vector<uint8_t> raster(12 * 12, 255);
    for (int j = 1; j <= 10; j++) raster[5 * 12 + j] = 1;
    for (int i = 1; i <= 10; i++) raster[i * 12 + 5] = 2;
    auto by_code = tools::cells_by_code(raster, 12, 12);
    std::vector<Line> first = tools::chain(by_code[1]), second = tools::chain(by_code[2]);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].size(), 4u);  // columns 1 to 4
    EXPECT_EQ(first[1].size(), 5u);  // columns 6 to 10
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].size(), 10u);
}

TEST(Chain, RandomCellSetsAreCoveredExactlyOnce) {
    std::mt19937 rng(3);
    for (int n = 0; n < 300; n++) {
        std::set<Cell> s;
        int count = std::uniform_int_distribution<int>(1, 60)(rng);
        for (int k = 0; k < count; k++)
            s.insert({std::uniform_int_distribution<int>(0, 9)(rng), std::uniform_int_distribution<int>(0, 9)(rng)});
        std::vector<Cell> cells(s.begin(), s.end());
        expect_chained(cells, tools::chain(cells));
    }
}

// ---- the executable ---------------------------------------------------------

namespace {

using Json = nlohmann::json;

const std::string EXPORT = std::string("'") + TOLMAR_EXPORT + "'";

// A 12 x 12 result with background 255: code 1 along row 3, code 2 a ring
// around (7, 6) and a lone cell (10, 10), pixel size 30.
void result_set(const TempDir &t, int pix = 30, int records = 2) {
    std::string raster(144, '\xff');
    for (int j = 1; j <= 9; j++) raster[3 * 12 + j] = 1;
    for (auto c : {std::make_pair(5, 6), {6, 5}, {6, 7}, {7, 4}, {7, 8}, {8, 5}, {8, 7}, {9, 6}, {10, 10}})
        raster[static_cast<size_t>(c.first * 12 + c.second)] = 2;
    write_file(t / "r_tolmar.raw", raster);
    std::string log = header_text(12, 12, pix) + record_text(1, 3, 4, 10, 0, 5);
    if (records > 1) log += record_text(2, 7, 6, 30, 225, 4);
    write_file(t / "r_tolmar.txt", log);
}

}  // namespace

TEST(Export, CsvListsEveryTraceCellInCellUnitsWithoutAnOrigin) {
    TempDir t;
    result_set(t);
    RunResult r = run_command(t.path, EXPORT + " --format csv r_tolmar.raw -o out.csv");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("coordinates are in cells"), std::string::npos);
    std::istringstream in(read_file(t / "out.csv"));
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "code,row,column,x,y");
    std::map<int, int> per_code;
    while (std::getline(in, line)) {
        int code, row, col;
        double x, y;
        char c1, c2, c3, c4;
        std::istringstream f(line);
        ASSERT_TRUE(f >> code >> c1 >> row >> c2 >> col >> c3 >> x >> c4 >> y) << line;
        EXPECT_EQ(x, col + 0.5);
        EXPECT_EQ(y, -(row + 0.5));
        per_code[code]++;
    }
    EXPECT_EQ(per_code[1], 9);
    EXPECT_EQ(per_code[2], 9);
}

TEST(Export, OriginPlacesCellCentresOnTheMapNorthUp) {
    TempDir t;
    result_set(t);
    RunResult r = run_command(t.path, EXPORT + " --format csv --origin 1000 5000.5 r_tolmar.raw");
    ASSERT_EQ(r.status, 0);
    // Cell (3, 1): x = 1000 + 1.5 x 30, y = 5000.5 - 3.5 x 30.
    EXPECT_NE(r.out.find("\n1,3,1,1045,4895.5\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n2,10,10,1315,4685.5\n"), std::string::npos);
}

TEST(Export, GeoJsonHasOneFeaturePerTreatmentWithItsChainedTrace) {
    TempDir t;
    result_set(t);
    RunResult r = run_command(t.path, EXPORT + " r_tolmar.raw --origin 1000 5000 --crs EPSG:32616");
    ASSERT_EQ(r.status, 0) << r.out;
    Json doc = Json::parse(r.out.substr(0, r.out.rfind('}') + 1));
    EXPECT_EQ(doc["type"], "FeatureCollection");
    EXPECT_EQ(doc["crs"]["properties"]["name"], "urn:ogc:def:crs:EPSG::32616");
    ASSERT_EQ(doc["features"].size(), 2u);
    const Json &f1 = doc["features"][0], &f2 = doc["features"][1];
    EXPECT_EQ(f1["properties"]["code"], 1);
    EXPECT_EQ(f1["properties"]["row"], 3);
    EXPECT_EQ(f1["properties"]["column"], 4);
    EXPECT_EQ(f1["properties"]["dip"], 10);
    EXPECT_EQ(f1["properties"]["dip_direction"], 0);
    EXPECT_EQ(f1["properties"]["zone"], 5);
    EXPECT_EQ(f1["properties"]["ref_x"], 1000 + 4.5 * 30);
    EXPECT_EQ(f2["properties"]["dip_direction"], 225);
    EXPECT_EQ(f1["geometry"]["type"], "MultiLineString");
    // Code 1: one straight line of nine centres, west to east.
    const Json &line1 = f1["geometry"]["coordinates"];
    ASSERT_EQ(line1.size(), 1u);
    ASSERT_EQ(line1[0].size(), 9u);
    EXPECT_EQ(line1[0][0][0], 1045);
    EXPECT_EQ(line1[0][0][1], 5000 - 3.5 * 30);
    // Code 2: the ring, closed, and the lone cell as a line of two equal points.
    const Json &lines2 = f2["geometry"]["coordinates"];
    ASSERT_EQ(lines2.size(), 2u);
    const Json &ring = lines2[0].size() == 9 ? lines2[0] : lines2[1];
    const Json &lone = lines2[0].size() == 9 ? lines2[1] : lines2[0];
    ASSERT_EQ(ring.size(), 9u);
    EXPECT_EQ(ring[0][0], ring[8][0]);
    EXPECT_EQ(ring[0][1], ring[8][1]);
    ASSERT_EQ(lone.size(), 2u);
    EXPECT_EQ(lone[0][0], 1000 + 10.5 * 30);
    EXPECT_EQ(lone[1][0], lone[0][0]);
    EXPECT_EQ(lone[1][1], lone[0][1]);
}

TEST(Export, GeoJsonWithoutOriginSaysItsCoordinatesAreCells) {
    TempDir t;
    result_set(t);
    RunResult r = run_command(t.path, EXPORT + " r_tolmar.raw -o out.geojson");
    ASSERT_EQ(r.status, 0);
    Json doc = Json::parse(read_file(t / "out.geojson"));
    EXPECT_NE(doc["tolmar_coordinates"].get<std::string>().find("cell units"), std::string::npos);
    EXPECT_EQ(doc["features"][0]["geometry"]["coordinates"][0][0][0], 1.5);
    EXPECT_EQ(doc["features"][0]["geometry"]["coordinates"][0][0][1], -3.5);
    EXPECT_EQ(doc.count("crs"), 0u);
}

TEST(Export, ArgumentErrors) {
    TempDir t;
    result_set(t);
    RunResult r = run_command(t.path, EXPORT + " --help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: tolmar-export"), std::string::npos);
    for (const char *args : {"", " r_tolmar.raw --origin 1", " r_tolmar.raw --origin a b", " r_tolmar.raw --crs 32616",
                             " r_tolmar.raw --crs EPSG:", " r_tolmar.raw --format shp", " r_tolmar.raw -o",
                             " r_tolmar.raw other.raw", " --bogus r_tolmar.raw", " r_tolmar.raw --format",
                             " r_tolmar.raw --crs EPSG:32616"}) {
        r = run_command(t.path, EXPORT + args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.out.find("tolmar-export: "), std::string::npos) << args;
    }
    // A system named for coordinates that are cells would misplace them.
    r = run_command(t.path, EXPORT + " r_tolmar.raw --crs EPSG:32616");
    EXPECT_NE(r.out.find("without --origin X Y the coordinates are cells"), std::string::npos) << r.out;
}

TEST(Export, MissingOrInconsistentFilesFailNamingTheFault) {
    struct Case {
        const char *what;
        void (*spoil)(const TempDir &);
        const char *args, *message;
    };
    const Case cases[] = {
        {"no raster", [](const TempDir &t) { std::remove((t / "r_tolmar.raw").c_str()); }, "", "cannot read r_tolmar.raw"},
        {"no log", [](const TempDir &t) { std::remove((t / "r_tolmar.txt").c_str()); }, "", "cannot read r_tolmar.txt"},
        {"truncated", [](const TempDir &t) { write_file(t / "r_tolmar.raw", std::string(100, '\xff')); }, "",
         "r_tolmar.raw holds 100 bytes, 144 expected (truncated)"},
        {"code without record", [](const TempDir &t) { result_set(t, 30, 1); }, "",
         "cells hold code 2, which has no record in r_tolmar.txt"},
        {"codes out of order",
         [](const TempDir &t) { write_file(t / "r_tolmar.txt", header_text(12, 12, 30) + record_text(2, 1, 1, 1, 1, 1)); },
         "", "record 1 has code 2"},
        {"broken log",
         [](const TempDir &t) { write_file(t / "r_tolmar.txt", header_text(12, 12, 30) + "\n code 1 \n\tselected"); },
         "", "r_tolmar.txt: record 1: expected \"point\", found \"the end of the log\""},
        {"no pixel size", [](const TempDir &t) { result_set(t, 0); }, " --origin 0 0",
         "gives pixel size 0: map coordinates need one above 0"},
        {"unwritable output", [](const TempDir &) {}, " -o no/such/folder/x.geojson", "cannot write no/such/folder/x.geojson"},
    };
    for (const Case &c : cases) {
        TempDir t;
        result_set(t);
        c.spoil(t);
        RunResult r = run_command(t.path, EXPORT + " r_tolmar.raw" + c.args);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.what << ": " << r.out;
    }
}

TEST(Companions, ReadLogsAndRastersAsTheConsoleDoes) {
    // A run log that is no regular file (here a link to /dev/zero, which would
    // never end) and a raster that is a link: every companion refuses them at
    // once, naming the file.
    TempDir t;
    std::vector<int> z(144);
    for (int k = 0; k < 144; k++) z[static_cast<size_t>(k)] = 100 + k % 12;
    make_dem(t.path, "d", "m", false, z, "12 12 2 0 0 30");
    ASSERT_EQ(run_tolmar(t.path, "d\nm\n0\n0\n0\n0\n6 6 10 90 3\n5\n").status, 0);
    const std::string log = t / "images/d/m_tolmar.txt";
    unlink(log.c_str());
    ASSERT_EQ(symlink("/dev/zero", log.c_str()), 0);
    const std::string tools[] = {
        std::string("'") + TOLMAR_EXPORT + "' images/d/m_tolmar.raw",
        std::string("'") + TOLMAR_REPLAY + "' --unit m images/d/m_tolmar.txt",
        std::string("'") + TOLMAR_PREVIEW + "' images/d/m_m2.raw images/d/m_tolmar.raw p.png",
    };
    for (const std::string &tool : tools) {
        const auto t0 = std::chrono::steady_clock::now();
        const RunResult r = run_command(t.path, tool);
        EXPECT_EQ(r.status, 1) << tool << ": " << r.out;
        EXPECT_NE(r.out.find("images/d/m_tolmar.txt: it is a symbolic link, which tolmar does not follow"), std::string::npos)
            << tool << ": " << r.out;
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 5.0);
    }
    write_file(t / "c.csv", "row,column\n5,5\n6,6\n7,5\n");
    const RunResult r = run_command(t.path, std::string("'") + TOLMAR_FIT + "' --score images/d/m_tolmar.txt images/d/m_m2.raw c.csv");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("it is a symbolic link"), std::string::npos) << r.out;
}
