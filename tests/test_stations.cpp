// test_stations.cpp: tolmar-stations on real DEMs, as a geologist's tables
// come: both attitude conventions, bad rows, a table in another coordinate
// system, more than 250 stations. Its result sets must be the console's for
// the same answers, byte for byte; its trace layer must hold every station
// with what became of it. And tolmar-export's GeoPackage and its --crs.
#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <sqlite3.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <mutex>

#include "geo/georef.h"
#include "stations/stations.h"
#include "support.h"

namespace {

// A bundled DEM copied into images/FOLDER/ under the run's folder.
void bundled(const TempDir &t, const std::string &folder, const std::string &name) {
    std::filesystem::create_directories(t / ("images/" + folder));
    for (const char *ext : {".raw", ".txt"})
        std::filesystem::copy_file(std::string(TOLMAR_EXAMPLES) + "/" + folder + "/" + name + ext,
                                   t / ("images/" + folder + "/" + name + ext));
}

struct Station {
    int row, column, dip, direction, zone;
};

// The answers with which the console stamps these treatments (Jacksboro,
// the result set NAME, metres, white), refused ones included.
std::string console_answers(const std::string &name, const std::vector<Station> &s) {
    std::string a = "jacksboro\njacksboro\n0\n1\n" + name + "\n0\n0\n";
    for (size_t k = 0; k < s.size(); k++)
        a += (k ? "0\n" : "") + std::to_string(s[k].row) + " " + std::to_string(s[k].column) + " " + std::to_string(s[k].dip) +
             " " + std::to_string(s[k].direction) + " " + std::to_string(s[k].zone) + "\n";
    return a + "5\n";
}

// A layer's features as field name to text, in order.
std::vector<std::map<std::string, std::string>> features(const std::string &path, std::vector<bool> *with_lines = nullptr) {
    GDALAllRegister();
    std::unique_ptr<GDALDataset> d(static_cast<GDALDataset *>(GDALOpenEx(path.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr)));
    std::vector<std::map<std::string, std::string>> out;
    if (!d) return out;
    OGRLayer *l = d->GetLayer(0);
    for (std::unique_ptr<OGRFeature> f(l->GetNextFeature()); f; f.reset(l->GetNextFeature())) {
        std::map<std::string, std::string> m;
        for (int k = 0; k < f->GetFieldCount(); k++)
            m[f->GetFieldDefnRef(k)->GetNameRef()] = f->IsFieldSetAndNotNull(k) ? f->GetFieldAsString(k) : "";
        out.push_back(m);
        if (with_lines) with_lines->push_back(f->GetGeometryRef() != nullptr && !f->GetGeometryRef()->IsEmpty());
    }
    return out;
}

std::string stations_command(const std::string &args) { return std::string("'") + TOLMAR_STATIONS + "' " + args; }

// The console in the stations' own geometry (true, unless told).
RunResult run_true(const std::string &dir, const std::string &answers) {
    return run_command(dir, std::string("'") + TOLMAR_EXE + "' --geometry true", answers);
}

}  // namespace

TEST(Stations, BothConventionsAndBadRowsGiveTheConsolesSetAndAFeatureEveryStation) {
    TempDir t;
    bundled(t, "jacksboro", "jacksboro_m2");
    // Good stations, and bad ones between them: no dip, a dip beyond 90, a
    // point off the DEM, a square leaving it, a zone that is no number.
    const std::vector<Station> good = {{100, 100, 20, 90, 10}, {150, 200, 30, 135, 20}, {200, 250, 12, 300, 25}, {250, 150, 45, 10, 15}};
    std::string dipdir = "row,column,dip,dipdir,zone,name\n", strike = "line,col,Dip,Strike,infl,name\n";
    auto add = [&](const std::string &r, const std::string &c, const std::string &d, const std::string &dd, const std::string &st,
                   const std::string &z, const std::string &n) {
        dipdir += r + "," + c + "," + d + "," + dd + "," + z + "," + n + "\n";
        strike += r + "," + c + "," + d + "," + st + "," + z + "," + n + "\n";
    };
    add("100", "100", "20", "90", "0", "10", "a");
    add("120", "130", "", "45", "315", "10", "no dip");
    add("150", "200", "30", "135", "45", "20", "b");
    add("160", "160", "95", "10", "280", "10", "steep");
    add("9999", "10", "10", "10", "280", "10", "off");
    add("200", "250", "12.4", "300", "210", "25", "c");  // 12.4 is stamped as 12, and told
    add("5", "5", "10", "45", "315", "30", "edge");
    add("250", "150", "45", "10", "280", "15", "d");
    add("260", "160", "45", "10", "280", "big", "zone");
    write_file(t / "dipdir.csv", dipdir);
    write_file(t / "strike.csv", strike);

    const RunResult a = run_command(t.path, stations_command("--sets images/jacksboro/jacksboro_m2.raw dipdir.csv --unit m"));
    ASSERT_EQ(a.status, 0) << a.out;
    EXPECT_NE(a.out.find("attitude from dip \"dip\" and dip direction \"dipdir\"; zone from \"zone\""), std::string::npos) << a.out;
    // Stations named by the table's name column; a fraction told with what
    // was stamped.
    for (const char *told : {"station no dip: refused: no dip", "station steep: refused: dip 95 outside 0 to 90",
                             "station off: refused: outside the DEM", "station edge: refused: out of the image borders",
                             "station zone: refused: zone big is not a whole number", "station c: dip 12.4 is stamped as 12"})
        EXPECT_NE(a.out.find(told), std::string::npos) << told << "\n" << a.out;
    const RunResult b = run_command(t.path, stations_command("--sets images/jacksboro/jacksboro_m2.raw strike.csv --unit m -o strike.geojson"));
    ASSERT_EQ(b.status, 0) << b.out;
    EXPECT_NE(b.out.find("strike \"Strike\" by the right-hand rule"), std::string::npos) << b.out;
    // Run again, the earlier set and layer are replaced, and said to be.
    const RunResult again = run_command(t.path, stations_command("--sets images/jacksboro/jacksboro_m2.raw strike.csv --unit m -o strike.geojson"));
    EXPECT_NE(again.out.find("the result set images/jacksboro/strike_tolmar.raw and images/jacksboro/strike_tolmar.txt from an earlier "
                             "run is replaced"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("the trace layer strike.geojson from an earlier run is replaced"), std::string::npos) << again.out;

    // The console's files for the same answers (the square that leaves the
    // DEM refused there too), and both conventions' the same.
    TempDir c;
    bundled(c, "jacksboro", "jacksboro_m2");
    std::vector<Station> asked = good;
    asked.insert(asked.begin() + 3, Station{5, 5, 10, 45, 30});
    ASSERT_EQ(run_true(c.path, console_answers("dipdir", asked)).status, 0);
    for (const char *ext : {"_tolmar.raw", "_tolmar.txt"}) {
        EXPECT_TRUE(read_file(t / (std::string("images/jacksboro/dipdir") + ext)) == read_file(c / (std::string("images/jacksboro/dipdir") + ext))) << ext;
        EXPECT_TRUE(read_file(t / (std::string("images/jacksboro/strike") + ext)) == read_file(c / (std::string("images/jacksboro/dipdir") + ext))) << ext;
    }

    // Every station is a feature, with its columns and what became of it.
    std::vector<bool> lines;
    const auto f = features(t / "dipdir_traces.gpkg", &lines);
    ASSERT_EQ(f.size(), 9u);
    const std::vector<std::string> codes = {"1", "", "2", "", "", "3", "", "4", ""};
    for (size_t k = 0; k < f.size(); k++) {
        EXPECT_EQ(f[k].at("code"), codes[k]) << k;
        EXPECT_EQ(f[k].at("status").rfind(codes[k].empty() ? "refused: " : "traced", 0), 0u) << f[k].at("status");
        EXPECT_EQ(lines[k], !codes[k].empty() && f[k].at("cells") != "0") << k;
        EXPECT_FALSE(f[k].at("name").empty());
    }
    EXPECT_EQ(f[0].at("result"), "dipdir_tolmar.raw");
    EXPECT_EQ(f[5].at("dip"), "12.4");
    const auto g = features(t / "strike.geojson");
    ASSERT_EQ(g.size(), 9u);
    for (size_t k = 0; k < g.size(); k++) EXPECT_EQ(g[k].at("cells"), f[k].at("cells")) << k;
    // The layer of strikes carries the dip direction each gave.
    EXPECT_EQ(g[0].at("dip_direction"), "90");
    EXPECT_EQ(g[2].at("dip_direction"), "135");

    // Without --sets, the trace layer alone: the same features (fields,
    // statuses, lines) but code and result, and no raster written.
    TempDir alone;
    bundled(alone, "jacksboro", "jacksboro_m2");
    write_file(alone / "dipdir.csv", dipdir);
    const RunResult n = run_command(alone.path, stations_command("images/jacksboro/jacksboro_m2.raw dipdir.csv --unit m"));
    ASSERT_EQ(n.status, 0) << n.out;
    EXPECT_NE(n.out.find("9 stations: 4 traced, 5 refused; the trace layer: dipdir_traces.gpkg\n"
                         "tolmar-stations: no result set is written (--sets writes them beside the DEM)"),
              std::string::npos) << n.out;
    EXPECT_FALSE(file_exists(alone / "images/jacksboro/dipdir_tolmar.raw") || file_exists(alone / "images/jacksboro/dipdir_tolmar.txt"));
    std::vector<bool> alone_lines;
    const auto m = features(alone / "dipdir_traces.gpkg", &alone_lines);
    ASSERT_EQ(m.size(), f.size());
    EXPECT_EQ(alone_lines, lines);
    for (size_t k = 0; k < m.size(); k++)
        for (const auto &field : f[k]) EXPECT_EQ(m[k].at(field.first), field.first == "code" || field.first == "result" ? "" : field.second)
            << k << " " << field.first;
    for (const char *o : {" --result x", " --background black"})
        EXPECT_EQ(run_command(alone.path, stations_command(std::string("images/jacksboro/jacksboro_m2.raw dipdir.csv --unit m") + o)).status, 2) << o;

    // Quadrant bearings and dips that name their quadrant are read; what
    // cannot be read is named with its text.
    write_file(t / "quadrant.csv", "id,row,column,strike,dip,zone\nQ-1,100,100,N0E,20E,10\nQ-2,150,200,S45E,30SW,20\n"
                                   "Q-3,200,250,N45E,12,25\nLX-4,120,130,abc,10,10\nLX-5,120,130,N95E,10,10\nLX-6,120,130,45,30Q,10\n");
    const RunResult q = run_command(t.path, stations_command("--sets images/jacksboro/jacksboro_m2.raw quadrant.csv --unit m -o q.gpkg"));
    ASSERT_EQ(q.status, 0) << q.out;
    for (const char *told : {"station Q-1: dip 20E falls towards its quadrant: dip direction 90",
                             "station Q-2: dip 30SW falls towards its quadrant: dip direction 225",
                             "station LX-4: refused: strike \"abc\": neither a number of degrees nor a quadrant bearing (N45E)",
                             "station LX-5: refused: strike \"N95E\": a quadrant bearing like N45E names an angle from 0 to 90",
                             "station LX-6: refused: dip \"30Q\": not a number of degrees"})
        EXPECT_NE(q.out.find(told), std::string::npos) << told << "\n" << q.out;
    const auto h = features(t / "q.gpkg");
    ASSERT_EQ(h.size(), 6u);
    EXPECT_EQ(h[0].at("dip_direction"), "90");
    EXPECT_EQ(h[1].at("dip_direction"), "225");
    EXPECT_EQ(h[2].at("dip_direction"), "135");
}

TEST(Stations, MoreThan250StationsFillConsecutiveSets) {
    TempDir t;
    bundled(t, "jacksboro", "jacksboro_m2");
    std::string table = "row,column,dip,dip_direction\n";
    std::vector<Station> second;
    for (int k = 0; k < 262; k++) {
        const Station s{60 + (k * 7) % 220, 60 + (k * 13) % 280, 5 + k % 60, (k * 37) % 360, 6};
        table += std::to_string(s.row) + "," + std::to_string(s.column) + "," + std::to_string(s.dip) + "," + std::to_string(s.direction) + "\n";
        if (k >= 250) second.push_back(s);
    }
    write_file(t / "many.csv", table);
    const RunResult r = run_command(t.path, stations_command("--sets images/jacksboro/jacksboro_m2.raw many.csv --unit m --zone 6 --result m"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("262 traced into images/jacksboro/m_tolmar.raw, images/jacksboro/m_2_tolmar.raw"), std::string::npos) << r.out;
    EXPECT_EQ(count(read_file(t / "images/jacksboro/m_tolmar.txt"), " code "), 250);
    TempDir c;
    bundled(c, "jacksboro", "jacksboro_m2");
    ASSERT_EQ(run_true(c.path, console_answers("m_2", second)).status, 0);
    EXPECT_TRUE(read_file(t / "images/jacksboro/m_2_tolmar.raw") == read_file(c / "images/jacksboro/m_2_tolmar.raw"));
    EXPECT_EQ(read_file(t / "images/jacksboro/m_2_tolmar.txt"), read_file(c / "images/jacksboro/m_2_tolmar.txt"));
    const auto f = features(t / "many_traces.gpkg");
    ASSERT_EQ(f.size(), 262u);
    EXPECT_EQ(f[249].at("code"), "250");
    EXPECT_EQ(f[250].at("code"), "1");
    EXPECT_EQ(f[250].at("result"), "m_2_tolmar.raw");
}

TEST(Stations, MapCoordinatesInAnotherSystemAreReprojectedOntoTheDem) {
    TempDir t;
    std::filesystem::copy_file(std::string(TOLMAR_EXAMPLES) + "/olinda/olinda_dem_utm25s.tif", t / "olinda.tif");
    ASSERT_EQ(run_command(t.path, std::string("'") + TOLMAR_IMPORT + "' olinda.tif o olinda").status, 0);
    // Stations at known cells, given in longitude and latitude (WGS 84),
    // and the same stations by row and column.
    Georef g;
    DemSet d;
    std::string err;
    ASSERT_TRUE(geo::open_dem_set(t / "images/o/olinda_m4.raw", d, err)) << err;
    OGRSpatialReference utm, wgs;
    utm.importFromWkt(d.georef.wkt.c_str());
    wgs.SetWellKnownGeogCS("WGS84");
    utm.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    wgs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    std::unique_ptr<OGRCoordinateTransformation> to_wgs(OGRCreateCoordinateTransformation(&utm, &wgs));
    std::string geojson = "{\"type\":\"FeatureCollection\",\"crs\":{\"type\":\"name\",\"properties\":{\"name\":\"urn:ogc:def:crs:OGC:1.3:CRS84\"}},\"features\":[";
    std::string cells = "row,column,dip,dipdir,zone\n";
    const Station at[] = {{40, 50, 10, 90, 12}, {60, 70, 25, 200, 15}, {55, 30, 5, 330, 10}};
    for (const Station &s : at) {
        double x = d.georef.x(s.column), y = d.georef.y(s.row);
        ASSERT_TRUE(to_wgs->Transform(1, &x, &y));
        char point[200];
        snprintf(point, sizeof point, "%s{\"type\":\"Feature\",\"properties\":{\"dip\":%d,\"dipdir\":%d,\"zone\":%d},\"geometry\":{\"type\":\"Point\",\"coordinates\":[%.10f,%.10f]}}",
                 &s == at ? "" : ",", s.dip, s.direction, s.zone, x, y);
        geojson += point;
        cells += std::to_string(s.row) + "," + std::to_string(s.column) + "," + std::to_string(s.dip) + "," + std::to_string(s.direction) + "," +
                 std::to_string(s.zone) + "\n";
    }
    write_file(t / "lonlat.geojson", geojson + "]}");
    write_file(t / "cells.csv", cells);
    const RunResult a = run_command(t.path, stations_command("--sets images/o/olinda_m4.raw lonlat.geojson"));
    ASSERT_EQ(a.status, 0) << a.out;
    EXPECT_NE(a.out.find("places from the points, reprojected from"), std::string::npos) << a.out;
    ASSERT_EQ(run_command(t.path, stations_command("--sets images/o/olinda_m4.raw cells.csv")).status, 0);
    EXPECT_TRUE(read_file(t / "images/o/lonlat_tolmar.raw") == read_file(t / "images/o/cells_tolmar.raw"));
    EXPECT_EQ(read_file(t / "images/o/lonlat_tolmar.txt"), read_file(t / "images/o/cells_tolmar.txt"));
    const auto f = features(t / "lonlat_traces.gpkg");
    ASSERT_EQ(f.size(), 3u);
    for (size_t k = 0; k < 3; k++) {
        EXPECT_EQ(f[k].at("row"), std::to_string(at[k].row));
        EXPECT_EQ(f[k].at("column"), std::to_string(at[k].column));
    }
}

TEST(Export, GeoPackageHoldsTheTracesAndTheReferencePointsAndCrsIsNotARelabel) {
    TempDir t;
    std::filesystem::copy_file(std::string(TOLMAR_EXAMPLES) + "/olinda/olinda_dem_utm25s.tif", t / "olinda.tif");
    ASSERT_EQ(run_command(t.path, std::string("'") + TOLMAR_IMPORT + "' olinda.tif o olinda").status, 0);
    write_file(t / "s.csv", "row,column,dip,dipdir,zone\n40,50,10,90,12\n60,70,25,200,15\n");
    ASSERT_EQ(run_command(t.path, stations_command("--sets images/o/olinda_m4.raw s.csv")).status, 0);
    const std::string exp = std::string("'") + TOLMAR_EXPORT + "' images/o/s_tolmar.raw";
    ASSERT_EQ(run_command(t.path, exp + " --format gpkg -o s.gpkg").status, 0);
    GDALAllRegister();
    std::unique_ptr<GDALDataset> d(static_cast<GDALDataset *>(GDALOpenEx((t / "s.gpkg").c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr)));
    ASSERT_TRUE(d);
    ASSERT_EQ(d->GetLayerCount(), 2);
    OGRLayer *traces = d->GetLayerByName("traces"), *points = d->GetLayerByName("reference_points");
    ASSERT_TRUE(traces != nullptr && points != nullptr);
    EXPECT_EQ(traces->GetFeatureCount(), 2);
    EXPECT_EQ(points->GetFeatureCount(), 2);
    ASSERT_NE(traces->GetSpatialRef(), nullptr);
    // The same traces as the stations' layer, feature for feature.
    const auto a = features(t / "s_traces.gpkg");
    std::unique_ptr<OGRFeature> f(traces->GetNextFeature());
    EXPECT_EQ(std::to_string(f->GetFieldAsInteger("cells")), a[0].at("cells"));
    std::unique_ptr<OGRFeature> p(points->GetNextFeature());
    EXPECT_NEAR(p->GetGeometryRef()->toPoint()->getX(), f->GetFieldAsDouble("ref_x"), 1e-9);
    // --crs on a DEM with its own georeference is refused, in every format.
    for (const char *format : {"geojson", "csv", "gpkg", "vrt"}) {
        const RunResult r = run_command(t.path, exp + " --crs EPSG:4326 --format " + format + " -o x.out");
        EXPECT_EQ(r.status, 2) << format;
        EXPECT_NE(r.out.find("carries its own georeference"), std::string::npos) << r.out;
    }
}

// A table is committed in groups of about a tenth of a second, each
// said ("durable N" with --progress). Killed (SIGKILL: no word, no cleanup) after its
// first group, then run again with --resume, with and without sets: the sets
// and the layer are those of the same table run whole, byte for byte and
// feature for feature.
TEST(Stations, AKilledTableResumedGivesTheSetsAndLayerOfOneWholeRun) {
    for (const bool sets : {true, false}) {
        // Long enough for a group to end well before the table does, so
        // that the kill lands in the middle (a set's making and placing take
        // their flushes: fewer stations with sets).
        const int stations = sets ? 16000 : 60000;
        std::string table = "id,row,column,dip,dip_direction,zone\n";
        for (int k = 0; k < stations; k++)
            table += std::to_string(k) + "," + std::to_string(160 + k % 25) + "," + std::to_string(160 + (k * 7) % 80) + "," +
                     std::to_string(k % 80) + "," + std::to_string((k * 37) % 360) + ",140\n";
        TempDir whole, killed;
        for (TempDir *d : {&whole, &killed}) {
            bundled(*d, "jacksboro", "jacksboro_m2");
            write_file(*d / "long.csv", table);
        }
        const std::string with = sets ? "--sets " : "";
        const RunResult first = run_command(whole.path, stations_command(with + "--unit m images/jacksboro/jacksboro_m2.raw long.csv"));
        ASSERT_EQ(first.status, 0) << first.out.substr(0, 2000);
        std::vector<std::string> args = {"--unit", "m", "--progress", "images/jacksboro/jacksboro_m2.raw", "long.csv"};
        if (sets) args.insert(args.begin(), "--sets");
        {
            Live run(killed.path, false, TOLMAR_STATIONS, args);
            ASSERT_TRUE(run.wait_for("durable ", 1, 300)) << run.printed().substr(0, 2000);
            run.signal(SIGKILL);
            EXPECT_EQ(run.finish(60), -SIGKILL);
        }
        // Opened for writing first: SQLite rolls back the transaction the
        // kill left open (a reader alone could not).
        GDALAllRegister();
        GDALClose(GDALOpenEx((killed / "long_traces.gpkg").c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, nullptr, nullptr, nullptr));
        const auto kept = features(killed / "long_traces.gpkg");
        EXPECT_LT(kept.size(), static_cast<size_t>(stations));
        if (sets) {
            // As if the kill had come a group earlier, where the next station
            // is a refused one: the layer cut back, the sets ahead of it.
            const auto all = features(whole / "long_traces.gpkg");
            size_t cut = kept.size();
            while (cut > 1 && all[cut].at("status").rfind("refused", 0) != 0) cut--;
            ASSERT_GT(cut, 1u);
            std::unique_ptr<GDALDataset> d(static_cast<GDALDataset *>(
                GDALOpenEx((killed / "long_traces.gpkg").c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, nullptr, nullptr, nullptr)));
            ASSERT_TRUE(d);
            d->ExecuteSQL(("DELETE FROM long WHERE fid > " + std::to_string(cut)).c_str(), nullptr, nullptr);
        }
        const RunResult again = run_command(killed.path, stations_command(with + "--resume --unit m images/jacksboro/jacksboro_m2.raw long.csv"));
        ASSERT_EQ(again.status, 0) << again.out.substr(0, 2000);
        EXPECT_NE(again.out.find("carrying on long_traces.gpkg: it holds stations 1 to "), std::string::npos) << again.out.substr(0, 2000);
        // The same summary as the whole run's.
        const std::string said = std::to_string(stations) + " stations: ";
        const auto summary = [&](const std::string &out) {
            const size_t at = out.find(said);
            return at == std::string::npos ? std::string("none") : out.substr(at, out.find('\n', at) - at);
        };
        EXPECT_EQ(summary(again.out), summary(first.out));
        std::vector<bool> a_lines, b_lines;
        EXPECT_TRUE(features(whole / "long_traces.gpkg", &a_lines) == features(killed / "long_traces.gpkg", &b_lines)) << sets;
        EXPECT_EQ(a_lines, b_lines);
        // And its spatial index, by which QGIS reads a large layer, holds
        // every station's lines, as the whole run's does.
        const auto indexed = [](const std::string &gpkg) {
            std::unique_ptr<GDALDataset> d(static_cast<GDALDataset *>(GDALOpenEx(gpkg.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr)));
            OGRLayer *r = d ? d->ExecuteSQL("SELECT COUNT(*) FROM rtree_long_geom", nullptr, nullptr) : nullptr;
            std::unique_ptr<OGRFeature> f(r ? r->GetNextFeature() : nullptr);
            const long long n = f ? f->GetFieldAsInteger64(0) : -1;
            if (r) d->ReleaseResultSet(r);
            return n;
        };
        const long long lined = std::count(a_lines.begin(), a_lines.end(), true);
        EXPECT_GT(lined, 0);
        EXPECT_EQ(indexed(whole / "long_traces.gpkg"), lined);
        EXPECT_EQ(indexed(killed / "long_traces.gpkg"), lined) << sets;
        int compared = 0;
        for (const auto &e : std::filesystem::directory_iterator(whole / "images/jacksboro")) {
            const std::string name = e.path().filename().string();
            if (name.rfind("long", 0) != 0) continue;
            EXPECT_TRUE(read_file(e.path().string()) == read_file(killed / ("images/jacksboro/" + name))) << name;
            compared++;
        }
        int made = 0;
        for (const auto &e : std::filesystem::directory_iterator(killed / "images/jacksboro")) {
            EXPECT_NE(e.path().filename().string()[0], '.') << e.path() << " left behind";
            made += e.path().filename().string().rfind("long", 0) == 0;
        }
        EXPECT_EQ(made, compared);
        EXPECT_EQ(compared > 2, sets);
    }
}

// SIGTERM in the middle of a long table ends it between two stations: the
// sets hold the stations stamped so far, durable and as the console would
// write them, the layer the same stations, and the status is 128 + 15. A
// table ended before its first stamp leaves no set and no layer. A table
// with two columns of one name is refused by that name.
TEST(Stations, ASignalEndsATableBetweenStationsAndLeavesNothingHalfMade) {
    TempDir t;
    bundled(t, "jacksboro", "jacksboro_m2");
    std::string table = "id,row,column,dip,dip_direction,zone\n", outside = table;
    for (int k = 0; k < 4000; k++) {
        table += std::to_string(k) + "," + std::to_string(100 + k % 150) + "," + std::to_string(100 + (k * 7) % 200) + "," +
                 std::to_string(k % 80) + "," + std::to_string((k * 37) % 360) + ",20\n";
        outside += std::to_string(k) + ",-5,-5,10,10,20\n";
    }
    for (int k = 0; k < 200000; k++) outside += std::to_string(k) + ",-5,-5,10,10,20\n";
    write_file(t / "long.csv", table);
    write_file(t / "outside.csv", outside);
    {
        Live run(t.path, false, TOLMAR_STATIONS, {"--sets", "--unit", "m", "--progress", "images/jacksboro/jacksboro_m2.raw", "long.csv"});
        ASSERT_TRUE(run.wait_for("progress 5\n", 1, 60)) << run.printed();
        run.signal(SIGTERM);
        EXPECT_EQ(run.finish(60), 128 + SIGTERM) << run.printed();
        const std::string out = run.printed();
        const std::string said = "tolmar-stations: signal 15 (Terminated) after station ";
        const size_t at = out.find(said);
        ASSERT_NE(at, std::string::npos) << out;
        const int n = atoi(out.c_str() + at + said.size());
        EXPECT_GT(n, 0);
        EXPECT_LT(n, 4000);
        // The layer holds the stations done, the sets their stamps: each set
        // replays through the console byte for byte.
        EXPECT_EQ(static_cast<int>(features(t / "long_traces.gpkg").size()), n);
        int stamped = 0;
        for (int k = 1; k <= 16; k++) {
            const std::string name = k == 1 ? "long" : "long_" + std::to_string(k);
            const std::string log = t / ("images/jacksboro/" + name + "_tolmar.txt");
            if (!file_exists(log)) break;
            const std::string raster = read_file(t / ("images/jacksboro/" + name + "_tolmar.raw")), text = read_file(log);
            stamped += count(text, " code ");
            const RunResult replay = run_command(t.path, std::string("'") + TOLMAR_REPLAY + "' --unit m --dem jacksboro images/jacksboro/" + name + "_tolmar.txt");
            ASSERT_EQ(replay.status, 0) << replay.out;
            TempDir again;
            bundled(again, "jacksboro", "jacksboro_m2");
            // (Its words on the standard error come first: the answers begin with the folder.)
            ASSERT_EQ(run_true(again.path, replay.out.substr(replay.out.find("jacksboro\njacksboro"))).status, 0);
            EXPECT_TRUE(read_file(again / ("images/jacksboro/" + name + "_tolmar.raw")) == raster) << name;
            EXPECT_EQ(read_file(again / ("images/jacksboro/" + name + "_tolmar.txt")), text) << name;
        }
        EXPECT_GT(stamped, 0);
        for (const auto &e : std::filesystem::directory_iterator(t / "images/jacksboro"))
            EXPECT_NE(e.path().filename().string()[0], '.') << e.path() << " left behind";
    }
    {
        Live run(t.path, false, TOLMAR_STATIONS, {"--sets", "--unit", "m", "--progress", "images/jacksboro/jacksboro_m2.raw", "outside.csv"});
        ASSERT_TRUE(run.wait_for("progress 10\n", 1, 60)) << run.printed();
        run.signal(SIGINT);
        EXPECT_EQ(run.finish(60), 128 + SIGINT);
        EXPECT_NE(run.printed().find("signal 2 (Interrupt) before any station was stamped: nothing is written"), std::string::npos)
            << run.printed().substr(run.printed().size() > 400 ? run.printed().size() - 400 : 0);
        EXPECT_FALSE(file_exists(t / "outside_traces.gpkg"));
        EXPECT_FALSE(file_exists(t / "outside_traces.gpkg-journal"));
        EXPECT_FALSE(file_exists(t / "images/jacksboro/outside_tolmar.raw"));
    }
    write_file(t / "twice.csv", "row,Row,column,dip,dip_direction,zone\n100,100,100,10,20,30\n");
    const RunResult r = run_command(t.path, stations_command("--sets --unit m images/jacksboro/jacksboro_m2.raw twice.csv"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("twice.csv: two columns are named row and Row: name them apart"), std::string::npos) << r.out;
}

namespace {

// What SQLite did to a GeoPackage's files, in order, through a file layer
// of its own put under every connection: writes to the file, flushes of it,
// and removals of its journal (a commit) with whether its folder was
// flushed after.
struct FileLog {
    std::string gpkg;
    std::mutex m;
    std::vector<std::string> events;  // "write", "sync", "commit", "commit+folder"
    bool logging(const char *name) const { return name != nullptr && std::string(name).rfind(gpkg, 0) == 0; }
    void add(const std::string &e) {
        std::lock_guard<std::mutex> lock(m);
        events.push_back(e);
    }
    // A power cut now keeps every commit so far: the last one removed its
    // journal and flushed the folder after, and no write to the file came
    // after its last flush before that removal.
    std::string commits_on_the_disk() {
        std::lock_guard<std::mutex> lock(m);
        size_t last = events.size();
        while (last > 0 && events[last - 1].rfind("commit", 0) != 0) last--;
        if (last == 0) return "no commit";
        if (events[last - 1] != "commit+folder") return "the last commit's journal removed with no flush of its folder";
        for (size_t k = last - 1; k-- > 0;) {
            if (events[k] == "sync") return "";
            if (events[k] == "write") return "the file written and not flushed before its commit";
        }
        return "the file never flushed";
    }
};
// Connections made while it stands keep it until the process ends: it
// outlives the case, logging nothing after.
FileLog *logged = nullptr;
sqlite3_vfs *under = nullptr;

struct LoggedFile {
    sqlite3_file base;
    bool main;
    sqlite3_file *real() { return reinterpret_cast<sqlite3_file *>(this + 1); }
};
LoggedFile *as_logged(sqlite3_file *f) { return reinterpret_cast<LoggedFile *>(f); }

const sqlite3_io_methods logged_methods = {
    1,
    [](sqlite3_file *f) { return as_logged(f)->real()->pMethods->xClose(as_logged(f)->real()); },
    [](sqlite3_file *f, void *p, int n, sqlite3_int64 at) { return as_logged(f)->real()->pMethods->xRead(as_logged(f)->real(), p, n, at); },
    [](sqlite3_file *f, const void *p, int n, sqlite3_int64 at) {
        if (as_logged(f)->main && logged) logged->add("write");
        return as_logged(f)->real()->pMethods->xWrite(as_logged(f)->real(), p, n, at);
    },
    [](sqlite3_file *f, sqlite3_int64 size) {
        if (as_logged(f)->main && logged) logged->add("write");
        return as_logged(f)->real()->pMethods->xTruncate(as_logged(f)->real(), size);
    },
    [](sqlite3_file *f, int flags) {
        const int rc = as_logged(f)->real()->pMethods->xSync(as_logged(f)->real(), flags);
        if (as_logged(f)->main && logged && rc == SQLITE_OK) logged->add("sync");
        return rc;
    },
    [](sqlite3_file *f, sqlite3_int64 *size) { return as_logged(f)->real()->pMethods->xFileSize(as_logged(f)->real(), size); },
    [](sqlite3_file *f, int l) { return as_logged(f)->real()->pMethods->xLock(as_logged(f)->real(), l); },
    [](sqlite3_file *f, int l) { return as_logged(f)->real()->pMethods->xUnlock(as_logged(f)->real(), l); },
    [](sqlite3_file *f, int *out) { return as_logged(f)->real()->pMethods->xCheckReservedLock(as_logged(f)->real(), out); },
    [](sqlite3_file *f, int op, void *arg) { return as_logged(f)->real()->pMethods->xFileControl(as_logged(f)->real(), op, arg); },
    [](sqlite3_file *f) { return as_logged(f)->real()->pMethods->xSectorSize(as_logged(f)->real()); },
    [](sqlite3_file *f) { return as_logged(f)->real()->pMethods->xDeviceCharacteristics(as_logged(f)->real()); },
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

sqlite3_vfs logging_vfs() {
    sqlite3_vfs v = *under;
    v.pNext = nullptr;
    v.zName = "tolmar-test-log";
    v.szOsFile = static_cast<int>(sizeof(LoggedFile)) + under->szOsFile;
    v.xOpen = [](sqlite3_vfs *, const char *name, sqlite3_file *f, int flags, int *out) {
        // Any other file is the file beneath, as it stands.
        if ((flags & SQLITE_OPEN_MAIN_DB) == 0 || !logged || !logged->logging(name)) return under->xOpen(under, name, f, flags, out);
        LoggedFile *l = as_logged(f);
        l->base.pMethods = nullptr;
        l->main = true;
        const int rc = under->xOpen(under, name, l->real(), flags, out);
        if (l->real()->pMethods != nullptr) l->base.pMethods = &logged_methods;
        return rc;
    };
    v.xDelete = [](sqlite3_vfs *, const char *name, int sync_folder) {
        if (logged && logged->logging(name)) logged->add(sync_folder ? "commit+folder" : "commit");
        return under->xDelete(under, name, sync_folder);
    };
    return v;
}

}  // namespace

// "durable N" promises that a power cut from then on keeps the stations it
// counts, and the end of a table that its layer is whole: every commit of
// the GeoPackage is on the disk (its file flushed, its journal's removal
// with its folder) before it is told and when the run ends.
TEST(Stations, EveryCommitOfTheLayerIsOnTheDiskWhenItIsTold) {
    TempDir t;
    bundled(t, "jacksboro", "jacksboro_m2");
    std::string table = "row,column,dip,dip_direction\n";
    for (int k = 0; k < 3000; k++)
        table += std::to_string(100 + k % 150) + "," + std::to_string(100 + (k * 7) % 150) + "," + std::to_string(k % 80) + "," +
                 std::to_string((k * 37) % 360) + "\n";
    write_file(t / "t.csv", table);
    FileLog log;
    log.gpkg = t / "t_traces.gpkg";
    logged = &log;
    // PROJ's database opened first, beneath a file layer of PROJ's own
    // that wraps whatever layer stands when it is made, and that fails to
    // close through another one at the process's end.
    OGRSpatialReference wgs84;
    ASSERT_EQ(wgs84.importFromEPSG(4326), OGRERR_NONE);
    under = sqlite3_vfs_find(nullptr);
    static sqlite3_vfs v = logging_vfs();
    ASSERT_EQ(sqlite3_vfs_register(&v, 1), SQLITE_OK);
    tools::StationsRequest q;
    q.dem = t / "images/jacksboro/jacksboro_m2.raw";
    q.table = t / "t.csv";
    q.out = log.gpkg;
    q.unit = 0;
    q.zone = 60;
    std::vector<std::string> told_too_soon;
    tolmar::Listener l;
    l.durable = [&](long long n) {
        const std::string why = log.commits_on_the_disk();
        if (!why.empty()) told_too_soon.push_back("durable " + std::to_string(n) + ": " + why);
    };
    tools::StationsDone done;
    const tolmar::Status s = tools::run_stations(q, l, done);
    sqlite3_vfs_unregister(&v);
    logged = nullptr;
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(done.traced, 3000);
    EXPECT_TRUE(told_too_soon.empty()) << told_too_soon.front();
    EXPECT_EQ(log.commits_on_the_disk(), "");
}
