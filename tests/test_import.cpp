// test_import.cpp: tolmar-import, from rasters GDAL reads to DEM file sets:
// whole metres to the very samples and traces of a 16-bit DEM, a real
// floating-point GeoTIFF to millimetres in its place on the map, cells of
// half a metre to the traces of the true geometry, nodata in degrees
// reprojected, filled, counted and marked by the companions.
#include <cpl_conv.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "geo/georef.h"
#include "support.h"

namespace {

const std::string IMPORT = std::string("'") + TOLMAR_IMPORT + "'";
const std::string EXPORT = std::string("'") + TOLMAR_EXPORT + "'";

// A one-band GeoTIFF of rows x cols values (row 0 first).
void geotiff(const std::string &path, int rows, int cols, GDALDataType type, const std::vector<double> &z,
             const std::vector<double> &gt, const char *srs, const double *nodata = nullptr) {
    geo::use_gdal();
    GDALDriver *drv = GetGDALDriverManager()->GetDriverByName("GTiff");
    GDALDataset *d = drv->Create(path.c_str(), cols, rows, 1, type, nullptr);
    ASSERT_NE(d, nullptr);
    if (!gt.empty()) {
        double g[6];
        std::copy(gt.begin(), gt.end(), g);
        d->SetGeoTransform(g);
    }
    if (srs != nullptr) {
        OGRSpatialReference s;
        s.SetFromUserInput(srs);
        d->SetSpatialRef(&s);
    }
    if (nodata != nullptr) d->GetRasterBand(1)->SetNoDataValue(*nodata);
    std::vector<double> copy = z;
    ASSERT_EQ(d->GetRasterBand(1)->RasterIO(GF_Write, 0, 0, cols, rows, copy.data(), cols, rows, GDT_Float64, 0, 0), CE_None);
    GDALClose(d);
}

std::vector<double> bundled_jacksboro() {
    const std::string raw = read_file(std::string(TOLMAR_EXAMPLES) + "/jacksboro/jacksboro_m2.raw");
    std::vector<double> z(raw.size() / 2);
    for (size_t k = 0; k < z.size(); k++)
        z[k] = static_cast<unsigned char>(raw[2 * k]) | static_cast<unsigned char>(raw[2 * k + 1]) << 8;
    return z;
}

// The answers the import printed: "folder F, DEM name N, type T (...), unit U".
std::string answers_printed(const std::string &out) {
    const size_t at = out.find("Answers for tolmar: folder ");
    char folder[256], name[256];
    int type, unit;
    if (at == std::string::npos ||
        sscanf(out.c_str() + at, "Answers for tolmar: folder %255[^,], DEM name %255[^,], type %d (%*[^)]), unit %d", folder,
               name, &type, &unit) != 4)
        return "";
    return std::string(folder) + "\n" + name + "\n" + std::to_string(type) + "\n0\n" + std::to_string(unit) + "\n";
}

// The number just before `what` in `text`, or -1.
long long number_before(const std::string &text, const std::string &what) {
    const size_t at = text.find(what);
    if (at == std::string::npos) return -1;
    size_t k = at;
    while (k > 0 && isdigit(static_cast<unsigned char>(text[k - 1]))) k--;
    return k == at ? -1 : std::stoll(text.substr(k, at - k));
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

}  // namespace

TEST(Import, WholeMetresGiveTheVerySamplesAndTracesOfA16BitDem) {
    // The bundled Jacksboro DEM as a 16-bit and as a floating-point GeoTIFF.
    TempDir t;
    const std::vector<double> z = bundled_jacksboro();
    const std::vector<double> gt = {760000, 83, 0, 4035000, 0, -83};
    geotiff(t / "jb16.tif", 344, 403, GDT_UInt16, z, gt, "EPSG:32616");
    geotiff(t / "jbf.tif", 344, 403, GDT_Float32, z, gt, "EPSG:32616");
    const std::string demo = read_file(std::string(TOLMAR_EXAMPLES) + "/jacksboro/answers.txt");
    std::string treatments = demo;  // the demo's answers after its six opening ones
    for (int k = 0; k < 6; k++) treatments = treatments.substr(treatments.find('\n') + 1);
    RunResult bundled;
    {
        TempDir u;
        make_dem(u.path, "jacksboro", "jacksboro", false, {}, nullptr);
        write_file(u / "images/jacksboro/jacksboro_m2.raw", read_file(std::string(TOLMAR_EXAMPLES) + "/jacksboro/jacksboro_m2.raw"));
        write_file(u / "images/jacksboro/jacksboro_m2.txt", read_file(std::string(TOLMAR_EXAMPLES) + "/jacksboro/jacksboro_m2.txt"));
        bundled = run_tolmar(u.path, demo);
        ASSERT_EQ(bundled.status, 0);
        bundled.out = read_file(u / "images/jacksboro/jacksboro_tolmar.raw") + read_file(u / "images/jacksboro/jacksboro_tolmar.txt");
    }
    for (const char *source : {"jb16", "jbf"}) {
        RunResult r = run_command(t.path, IMPORT + " " + source + ".tif site " + source);
        ASSERT_EQ(r.status, 0) << r.out;
        const std::string base = t / "images/site/" + source;
        EXPECT_EQ(read_file(base + "_m2.raw"), read_file(std::string(TOLMAR_EXAMPLES) + "/jacksboro/jacksboro_m2.raw")) << source;
        EXPECT_EQ(read_file(base + "_m2.txt"), "344 403 2 236 1076 83\n");
        const std::string answers = answers_printed(r.out);
        EXPECT_EQ(answers, std::string("site\n") + source + "\n0\n0\n0\n") << r.out;
        r = run_tolmar(t.path, answers + "0\n" + treatments);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(read_file(base + "_tolmar.raw") + read_file(base + "_tolmar.txt"), bundled.out) << source;
    }
    // The same DEM stored south up (row 0 the south edge): turned north up,
    // the same samples, and so the same traces, never their mirror.
    std::vector<double> south(z.size());
    for (int i = 0; i < 344; i++) std::copy_n(z.begin() + (343 - i) * 403, 403, south.begin() + i * 403);
    geotiff(t / "jbs.tif", 344, 403, GDT_UInt16, south, {760000, 83, 0, 4035000 - 344 * 83, 0, 83}, "EPSG:32616");
    const RunResult r = run_command(t.path, IMPORT + " jbs.tif site jbs");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("turned north up"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(t / "images/site/jbs_m2.raw"), read_file(std::string(TOLMAR_EXAMPLES) + "/jacksboro/jacksboro_m2.raw"));
}

TEST(Import, RealFloatingPointDemKeepsMillimetresAndItsPlaceOnTheMap) {
    TempDir t;
    const std::string olinda = std::string(TOLMAR_EXAMPLES) + "/olinda/olinda_dem_utm25s.tif";
    RunResult r = run_command(t.path, IMPORT + " '" + olinda + "' olinda olinda");
    ASSERT_EQ(r.status, 0) << r.out;
    // Cells of 89.994067... m: stored 167 times larger, the pixel size 15029.
    EXPECT_NE(r.out.find("stored 167 times larger (pixel size 15029)"), std::string::npos) << r.out;
    EXPECT_EQ(answers_printed(r.out), "olinda\nolinda\n1\n0\n3\n");
    geo::use_gdal();
    GDALDataset *src = static_cast<GDALDataset *>(GDALOpen(olinda.c_str(), GA_ReadOnly));
    GDALDataset *vrt = static_cast<GDALDataset *>(GDALOpen((t / "images/olinda/olinda_m4.vrt").c_str(), GA_ReadOnly));
    ASSERT_TRUE(src && vrt);
    double a[6], b[6];
    src->GetGeoTransform(a);
    vrt->GetGeoTransform(b);
    for (int k = 0; k < 6; k++) EXPECT_EQ(a[k], b[k]);
    EXPECT_TRUE(src->GetSpatialRef()->IsSame(vrt->GetSpatialRef()));
    // The samples: the source's metres times 167, in millimetres; the VRT
    // gives metres back through its scale.
    std::vector<float> z(111 * 111);
    std::vector<double> back(111 * 111);
    ASSERT_EQ(src->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, 111, 111, z.data(), 111, 111, GDT_Float32, 0, 0), CE_None);
    ASSERT_EQ(vrt->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, 111, 111, back.data(), 111, 111, GDT_Float64, 0, 0), CE_None);
    const double scale = vrt->GetRasterBand(1)->GetScale();
    const std::string raw = read_file(t / "images/olinda/olinda_m4.raw");
    for (size_t k = 0; k < z.size(); k += 97) {
        int32_t s;
        memcpy(&s, raw.data() + 4 * k, 4);
        EXPECT_EQ(s, std::llround(static_cast<double>(z[k]) * 167 * 1000)) << k;
        EXPECT_NEAR(back[k] * scale, z[k], 1e-6) << k;
    }
    GDALClose(src);
    GDALClose(vrt);
    // A treatment on it, exported: each trace cell at its centre on the map.
    r = run_tolmar(t.path, answers_printed(r.out) + "0\n55 55 10 90 30\n5\n");
    ASSERT_EQ(r.status, 0);
    r = run_command(t.path, EXPORT + " images/olinda/olinda_tolmar.raw --format csv -o traces.csv");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<std::string> rows = lines_of(read_file(t / "traces.csv"));
    ASSERT_GT(rows.size(), 5u);
    for (size_t k = 1; k < rows.size(); k++) {
        int code, i, j;
        double x, y;
        ASSERT_EQ(sscanf(rows[k].c_str(), "%d,%d,%d,%lf,%lf", &code, &i, &j, &x, &y), 5) << rows[k];
        EXPECT_NEAR(x, a[0] + (j + 0.5) * a[1], 1e-6);
        EXPECT_NEAR(y, a[3] + (i + 0.5) * a[5], 1e-6);
    }
}

TEST(Import, CellsNotAWholeNumberOfMetresGiveTheTracesOfTheTrueGeometry) {
    // Flat ground at 100 m west of x = 35 m, a 45-degree ramp east of it; a
    // plane through a point at x = 25.25 m (column 50 of cells of half a
    // metre), dipping 27 degrees west, rises tan 27 = 0.5095 m a metre: it
    // is 4.97 m above the ground where the ramp starts and meets it again
    // 4.97 / (1 - 0.5095) = 10.13 m further, at x = 45.1 m: column 89.
    // Taken as cells of a whole metre, the plane would outrun the ramp.
    TempDir t;
    const int rows = 101, cols = 140;
    std::vector<double> z(rows * cols);
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++) z[static_cast<size_t>(i * cols + j)] = std::max(0.0, (j + 0.5) * 0.5 - 35) + 100;
    geotiff(t / "half.tif", rows, cols, GDT_Float32, z, {500000, 0.5, 0, 4000000, 0, -0.5}, "EPSG:32616");
    RunResult r = run_command(t.path, IMPORT + " half.tif site half");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("stored 2 times larger (pixel size 1)"), std::string::npos) << r.out;
    r = run_tolmar(t.path, answers_printed(r.out) + "0\n50 50 27 270 45\n5\n");
    ASSERT_EQ(r.status, 0);
    const std::string raster = read_file(t / "images/site/half_tolmar.raw");
    std::vector<int> east;
    for (int j = 70; j < cols; j++)
        if (raster[static_cast<size_t>(50 * cols + j)] == 1) east.push_back(j);
    ASSERT_EQ(east.size(), 1u);
    EXPECT_NEAR(east[0], 89, 1);
    // Cells of 30.92 m: 25 times, a pixel size of 773.
    geotiff(t / "odd.tif", rows, cols, GDT_Float32, z, {500000, 30.92, 0, 4000000, 0, -30.92}, "EPSG:32616");
    r = run_command(t.path, IMPORT + " odd.tif site odd");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("stored 25 times larger (pixel size 773)"), std::string::npos) << r.out;
}

TEST(Import, NodataInDegreesIsReprojectedFilledCountedAndMarked) {
    TempDir t;
    const int rows = 60, cols = 80;
    const double none = -9999;
    std::vector<double> z(rows * cols);
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++)
            z[static_cast<size_t>(i * cols + j)] =
                (i >= 25 && i < 32 && j >= 30 && j < 42) ? none : 300 + 60 * sin(i / 7.0) * cos(j / 9.0);
    geotiff(t / "geo.tif", rows, cols, GDT_Float32, z, {-34.9, 0.00125, 0, -7.95, 0, -0.00125}, "EPSG:4326", &none);
    RunResult r = run_command(t.path, IMPORT + " geo.tif site geo");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("to UTM (EPSG:32725)"), std::string::npos) << r.out;
    const long long filled = number_before(r.out, " nodata cells filled");
    EXPECT_GT(filled, 7 * 12 / 2);
    Georef g;
    std::string err;
    const std::string dem = t / "images/site/geo_m4.raw";
    const std::string txt = read_file(t / "images/site/geo_m4.txt");
    int drows = 0, dcols = 0, width = 0, lo = 0, hi = 0, pix = 0;
    ASSERT_EQ(sscanf(txt.c_str(), "%d %d %d %d %d %d", &drows, &dcols, &width, &lo, &hi, &pix), 6);
    ASSERT_TRUE(geo::read_georef(dem, drows, dcols, g, err)) << err;
    EXPECT_EQ(g.crs, "EPSG:32725");
    EXPECT_EQ(g.gt[1], pix);  // whole metres
    std::vector<uint8_t> mask;
    ASSERT_TRUE(geo::read_filled(dem, drows, dcols, mask, err)) << err;
    EXPECT_EQ(std::count(mask.begin(), mask.end(), 1), filled);
    EXPECT_GT(lo, 200000);  // nothing left at the nodata value
    // A horizontal plane through the hole: its trace crosses filled ground,
    // which the export leaves out of the lines and counts, and flags in CSV.
    r = run_tolmar(t.path, answers_printed(r.out) + "0\n" + std::to_string(drows / 2) + " " + std::to_string(dcols / 2) +
                               " 0 90 25\n5\n");
    ASSERT_EQ(r.status, 0);
    r = run_command(t.path, EXPORT + " images/site/geo_tolmar.raw -o traces.geojson");
    ASSERT_EQ(r.status, 0) << r.out;
    const nlohmann::json j = nlohmann::json::parse(read_file(t / "traces.geojson"));
    EXPECT_EQ(j["crs"]["properties"]["name"], "urn:ogc:def:crs:EPSG::32725");
    const long long over = j["features"][0]["properties"]["cells_over_filled_ground"];
    r = run_command(t.path, EXPORT + " images/site/geo_tolmar.raw --format csv -o traces.csv");
    const std::string csv = read_file(t / "traces.csv");
    EXPECT_EQ(csv.substr(0, csv.find('\n')), "code,row,column,x,y,filled");
    EXPECT_EQ(count(csv, ",1\n"), over);
    EXPECT_NE(r.out.find("filled in place of nodata are flagged"), std::string::npos);
    r = run_command(t.path, "'" TOLMAR_PREVIEW "' images/site/geo_m4.raw images/site/geo_tolmar.raw geo.png");
    EXPECT_EQ(r.status, 0) << r.out;
}

TEST(Import, RefusalsNameTheFault) {
    TempDir t;
    geotiff(t / "plain.tif", 5, 5, GDT_Float32, std::vector<double>(25, 10.0), {}, nullptr);
    const std::pair<std::string, std::string> cases[] = {
        {" none.tif site x", "cannot read none.tif"},
        {" plain.tif ../up x", "../up is not a single name"},
        {" plain.tif site x/y", "x/y is not a single name"},
        {" plain.tif site x --band 2", "has 1 band(s), not 2"},
        {" plain.tif site", "needs SOURCE, FOLDER and NAME"},
        {" plain.tif site x", "no georeference: give --pixel-size"},
    };
    for (const auto &c : cases) {
        const RunResult r = run_command(t.path, IMPORT + c.first);
        EXPECT_NE(r.status, 0) << c.first;
        EXPECT_NE(r.out.find(c.second), std::string::npos) << c.first << ": " << r.out;
    }
    // An existing DEM is replaced only when asked.
    RunResult r = run_command(t.path, IMPORT + " --pixel-size 2.5 plain.tif site x");
    EXPECT_EQ(r.status, 0) << r.out;
    r = run_command(t.path, IMPORT + " --pixel-size 2.5 plain.tif site x");
    EXPECT_NE(r.out.find("exists: give --replace"), std::string::npos) << r.out;
    r = run_command(t.path, IMPORT + " --replace --pixel-size 2.5 plain.tif site x");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(t / "images/site/x_m2.txt"), "5 5 2 20 20 5\n");
}

TEST(Import, NeverWritesThroughALinkAndRefusesWhatItCannotHold) {
    TempDir t;
    geotiff(t / "plain.tif", 5, 5, GDT_Float32, std::vector<double>(25, 10.0), {}, nullptr);
    // A descriptor that is a link to a file outside: refused, even with --replace.
    write_file(t / "outside.txt", "precious\n");
    ASSERT_EQ(run_command(t.path, IMPORT + " --pixel-size 2.5 plain.tif site x").status, 0);
    unlink((t / "images/site/x_m2.txt").c_str());
    ASSERT_EQ(symlink((t / "outside.txt").c_str(), (t / "images/site/x_m2.txt").c_str()), 0);
    RunResult r = run_command(t.path, IMPORT + " --replace --pixel-size 2.5 plain.tif site x");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("images/site/x_m2.txt is a symbolic link: tolmar-import does not write through links"),
              std::string::npos) << r.out;
    EXPECT_EQ(read_file(t / "outside.txt"), "precious\n");
    // Names the console cannot take.
    r = run_command(t.path, IMPORT + " --pixel-size 2.5 plain.tif 'my site' x");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("my site is not a single name (no '/', '\\', '.', '..', blank or control character)"), std::string::npos) << r.out;
    // Sizes this machine cannot hold, declared by a tiny VRT: refused at once.
    for (const char *size : {"rasterXSize=\"1000000\" rasterYSize=\"1000000\"", "rasterXSize=\"2147483647\" rasterYSize=\"1\""}) {
        write_file(t / "huge.vrt", std::string("<VRTDataset ") + size + "><VRTRasterBand dataType=\"Int16\" band=\"1\"/></VRTDataset>");
        const auto t0 = std::chrono::steady_clock::now();
        r = run_command(t.path, IMPORT + " --pixel-size 30 huge.vrt site huge");
        EXPECT_EQ(r.status, 1) << size << ": " << r.out;
        EXPECT_TRUE(r.out.find("memory") != std::string::npos) << r.out;
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 5.0);
    }
    EXPECT_FALSE(file_exists(t / "images/site/huge_m2.raw"));
    // An infinite elevation, and a GeoTIFF cut short, named for what they are.
    std::vector<double> z(25, 10.0);
    z[7] = INFINITY;
    geotiff(t / "inf.tif", 5, 5, GDT_Float32, z, {}, nullptr);
    r = run_command(t.path, IMPORT + " --pixel-size 2.5 inf.tif site inf");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("the cell at row 1, column 2 holds +Inf, which is no elevation"), std::string::npos) << r.out;
    geotiff(t / "big.tif", 300, 300, GDT_Float32, std::vector<double>(90000, 12.5), {}, nullptr);
    const std::string whole = read_file(t / "big.tif");
    write_file(t / "cut.tif", whole.substr(0, whole.size() / 2));
    r = run_command(t.path, IMPORT + " --pixel-size 2.5 cut.tif site cut");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("is the file cut short?"), std::string::npos) << r.out;
    // Nothing was left behind.
    for (auto &e : std::filesystem::directory_iterator(t / "images/site"))
        EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
}
