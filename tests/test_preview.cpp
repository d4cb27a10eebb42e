// test_preview.cpp: tolmar-preview, the picture of a run's traces: what the
// pixels show, read back with libpng, and every error of its arguments.
#include <png.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "picture/picture.h"
#include "support.h"

namespace {

struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    tools::Rgb at(int x, int y) const {
        size_t k = (static_cast<size_t>(y) * width + x) * 3;
        return {rgb[k], rgb[k + 1], rgb[k + 2]};
    }
};

bool read_png(const std::string &path, Picture &p) {
    png_image img;
    memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return false;
    img.format = PNG_FORMAT_RGB;
    p.width = static_cast<int>(img.width);
    p.height = static_cast<int>(img.height);
    p.rgb.resize(PNG_IMAGE_SIZE(img));
    bool ok = png_image_finish_read(&img, nullptr, p.rgb.data(), 0, nullptr) != 0;
    png_image_free(&img);
    return ok;
}

// A 12 x 12 DEM in folder d under `root`, flat at 300 m unless `ridge`, and a
// result raster with background `bg`: code 1 along row 3, code 2 along
// column 8 (crossing row 3), their reference points at (3, 4) and (6, 8).
void file_set(const TempDir &t, uint8_t bg, bool ridge = false) {
    std::vector<int> z;
    for (int i = 0; i < 12; i++)
        for (int j = 0; j < 12; j++) z.push_back(ridge ? 300 + 30 * std::min(i + j, 22 - i - j) : 300);
    make_dem(t.path, "d", "dem", false, z, "12 12 2 300 300 30\n");
    std::string raster(144, static_cast<char>(bg));
    for (int j = 1; j <= 10; j++) raster[3 * 12 + j] = 1;
    for (int i = 1; i <= 10; i++) raster[i * 12 + 8] = 2;
    write_file(t.path + "/images/d/r_tolmar.raw", raster);
    write_file(t.path + "/images/d/r_tolmar.txt", header_text(12, 12, 30) + record_text(1, 3, 4, 10, 0, 3) +
                                                      record_text(2, 6, 8, 10, 90, 3));
}

const std::string PREVIEW = std::string("'") + TOLMAR_PREVIEW + "'";
const std::string ARGS = " images/d/dem_m2.raw images/d/r_tolmar.raw out.png";

bool grey(tools::Rgb c) { return c.r == c.g && c.g == c.b; }

}  // namespace

TEST(Preview, TracesInTheirCodesColourCrossingHoldsTheLaterCode) {
    TempDir t;
    file_set(t, 255);
    RunResult r = run_command(t.path, PREVIEW + " --scale 1" + ARGS);
    ASSERT_EQ(r.status, 0) << r.out;
    Picture p;
    ASSERT_TRUE(read_png(t / "out.png", p));
    EXPECT_GT(p.width, 12);  // the legend stands to the right
    EXPECT_GE(p.height, 12);
    EXPECT_EQ(p.at(10, 3), tools::code_colour(1));
    EXPECT_EQ(p.at(8, 3), tools::code_colour(2));  // the crossing
    EXPECT_EQ(p.at(8, 10), tools::code_colour(2));
    for (int a = 1; a <= 250; a++) {
        EXPECT_FALSE(grey(tools::code_colour(a))) << a;
        if (a > 1) {
            EXPECT_FALSE(tools::code_colour(a) == tools::code_colour(a - 1)) << a;
        }
    }
}

TEST(Preview, ReferencePointsAreRingedInBlack) {
    TempDir t;
    file_set(t, 255);
    ASSERT_EQ(run_command(t.path, PREVIEW + " --scale 1" + ARGS).status, 0);
    Picture p;
    ASSERT_TRUE(read_png(t / "out.png", p));
    // (3, 4): the ring covers rows 1..5 and columns 2..6 at distance 2.
    for (int k = -2; k <= 2; k++) {
        EXPECT_EQ(p.at(4 + k, 1), tools::MARKER);
        EXPECT_EQ(p.at(4 + k, 5), tools::MARKER);
        EXPECT_EQ(p.at(2, 3 + k), tools::MARKER);
        EXPECT_EQ(p.at(6, 3 + k), tools::MARKER);
    }
    EXPECT_EQ(p.at(4, 3), tools::code_colour(1));  // the point itself, on its trace
    EXPECT_EQ(p.at(8, 4), tools::MARKER);          // ring of (6, 8) over trace 2
}

TEST(Preview, BackgroundShowsTheHillshadeWhateverItsValue) {
    Picture white, black;
    for (uint8_t bg : {uint8_t{255}, uint8_t{0}}) {
        TempDir t;
        file_set(t, bg);
        ASSERT_EQ(run_command(t.path, PREVIEW + " --scale 1" + ARGS).status, 0);
        ASSERT_TRUE(read_png(t / "out.png", bg ? white : black));
    }
    // Flat ground lit from 45 degrees up: cos 45 of full light, between the
    // darkest (40) and brightest (235) grey: 40 + 195 x 0.7071 = 177.9.
    for (auto cell : {std::make_pair(0, 0), {11, 11}, {9, 2}}) {
        tools::Rgb c = white.at(cell.second, cell.first);
        EXPECT_EQ(c, (tools::Rgb{178, 178, 178}));
        EXPECT_EQ(black.at(cell.second, cell.first), c);
    }
}

TEST(Preview, SlopesFacingTheNorthWestLightAreBrighter) {
    TempDir t;
    file_set(t, 0, true);  // a ridge from north-east to south-west
    ASSERT_EQ(run_command(t.path, PREVIEW + " --scale 1" + ARGS).status, 0);
    Picture p;
    ASSERT_TRUE(read_png(t / "out.png", p));
    tools::Rgb nw = p.at(1, 1), se = p.at(10, 10);  // north-west and south-east flanks
    EXPECT_TRUE(grey(nw));
    EXPECT_GT(nw.r, 200);
    EXPECT_LT(se.r, 150);
}

TEST(Preview, ScaleMakesEachCellASquareOfPixels) {
    TempDir t;
    file_set(t, 255);
    ASSERT_EQ(run_command(t.path, PREVIEW + " --scale 3" + ARGS).status, 0);
    Picture p;
    ASSERT_TRUE(read_png(t / "out.png", p));
    for (int dy = 0; dy < 3; dy++)
        for (int dx = 0; dx < 3; dx++) EXPECT_EQ(p.at(10 * 3 + dx, 3 * 3 + dy), tools::code_colour(1));
}

TEST(Preview, HelpAndArgumentErrors) {
    TempDir t;
    file_set(t, 255);
    RunResult r = run_command(t.path, PREVIEW + " --help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: tolmar-preview"), std::string::npos);
    const std::string files = ARGS;
    for (const std::string &args : {std::string(), std::string(" a.raw b.raw"), " --frobnicate" + files,
                                    " --unit ft" + files, files + " --unit", " --scale 0" + files,
                                    " --scale x" + files, " --pixel-size -3" + files, files + " extra"}) {
        r = run_command(t.path, PREVIEW + args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.out.find("tolmar-preview: "), std::string::npos) << args;
        EXPECT_FALSE(file_exists(t / "out.png")) << args;
    }
}

TEST(Preview, MissingOrInconsistentFilesFailWithAMessage) {
    struct Case {
        const char *what;
        std::function<void(const TempDir &)> spoil;
        const char *message;
    };
    const std::string d = "/images/d/";
    std::vector<Case> cases = {
        {"missing DEM", [&](const TempDir &t) { std::filesystem::remove(t.path + d + "dem_m2.raw"); },
         "cannot read images/d/dem_m2.raw"},
        {"missing DEM descriptor", [&](const TempDir &t) { std::filesystem::remove(t.path + d + "dem_m2.txt"); },
         "cannot read images/d/dem_m2.txt"},
        {"missing result", [&](const TempDir &t) { std::filesystem::remove(t.path + d + "r_tolmar.raw"); },
         "cannot read images/d/r_tolmar.raw"},
        {"missing result descriptor",
         [&](const TempDir &t) { std::filesystem::remove(t.path + d + "r_tolmar.txt"); },
         "cannot read images/d/r_tolmar.txt"},
        {"truncated DEM",
         [&](const TempDir &t) { std::filesystem::resize_file(t.path + d + "dem_m2.raw", 287); },
         "images/d/dem_m2.raw holds 287 bytes, 288 expected (truncated)"},
        {"DEM too long",
         [&](const TempDir &t) { std::filesystem::resize_file(t.path + d + "dem_m2.raw", 300); },
         "images/d/dem_m2.raw holds 300 bytes, 288 expected"},
        {"truncated result",
         [&](const TempDir &t) { std::filesystem::resize_file(t.path + d + "r_tolmar.raw", 100); },
         "images/d/r_tolmar.raw holds 100 bytes, 144 expected (truncated)"},
        {"sizes disagree",
         [&](const TempDir &t) {
             write_file(t.path + d + "r_tolmar.txt", header_text(12, 11, 30));
             std::filesystem::resize_file(t.path + d + "r_tolmar.raw", 132);
         },
         "the DEM has 12 x 12 cells but the result 12 x 11"},
        {"garbage descriptor", [&](const TempDir &t) { write_file(t.path + d + "dem_m2.txt", "twelve"); },
         "images/d/dem_m2.txt: the first two numbers must be the rows and columns"},
        {"huge sizes", [&](const TempDir &t) { write_file(t.path + d + "dem_m2.txt", "2147483647 2147483647"); },
         "images/d/dem_m2.raw holds 288 bytes, 9223372028264841218 expected (truncated)"},
        {"bad log",
         [&](const TempDir &t) { write_file(t.path + d + "r_tolmar.txt", header_text(12, 12, 30) + "\n code x"); },
         "images/d/r_tolmar.txt: record 1: expected a whole number, found \"x\""},
        {"no pixel size",
         [&](const TempDir &t) {
             write_file(t.path + d + "r_tolmar.txt", header_text(12, 12, 0));
             write_file(t.path + d + "dem_m2.txt", "12 12 2");
         },
         "neither descriptor gives a pixel size"},
        {"not a result descriptor",
         [&](const TempDir &t) { write_file(t.path + d + "r_tolmar.txt", "12 12 2 0 0 30"); },
         "not a result descriptor"},
    };
    for (const Case &c : cases) {
        TempDir t;
        file_set(t, 255);
        c.spoil(t);
        RunResult r = run_command(t.path, PREVIEW + ARGS);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.what << ": " << r.out;
        EXPECT_FALSE(file_exists(t / "out.png")) << c.what;
    }
    TempDir t;
    file_set(t, 255);
    RunResult r = run_command(t.path, PREVIEW + " images/d/dem.raw images/d/r_tolmar.raw out.png");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("ends in _m2.raw (16-bit) or _m4.raw (32-bit)"), std::string::npos);
    r = run_command(t.path, PREVIEW + " images/d/dem_m2.raw images/d/r_tolmar.raw no/such/folder/out.png");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("cannot write no/such/folder/out.png"), std::string::npos);
}
