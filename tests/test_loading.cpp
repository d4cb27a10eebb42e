// test_loading.cpp: DEM samples read and decoded, their range shown, the
// unit asked and the elevations converted to metres, the pixel size and
// background asked; whole runs on the bundled real DEMs.
#include <fcntl.h>

#include <climits>
#include <filesystem>

#include "support.h"

namespace {

// A DEM raster of `rows` x `cols` holding `bytes`, read by read_dem() as
// the opening leaves it: sizes known, memory obtained, the raster open.
class Loading : public RunTest {
protected:
    TempDir dir;
    SampleCount range;
    void raster(int rows, int cols, bool bits32, const std::string &bytes) {
        make_grids(rows, cols, bits32 ? 4 : 2);
        run.type = bits32 ? 1 : 0;
        write_file(dir / "x.raw", bytes);
        run.dem_fd = open((dir / "x.raw").c_str(), O_RDONLY);
        run.dem_raster = "images/t/x_m2.raw";
        range = read_dem(run);
    }
    int sample(int i, int j) const { return run.dem.at(i, j); }
    // The range shown, the unit asked and the rest of ask_elevations().
    void ask(const std::string &given, int pix = 30) {
        run.pix_size = pix;
        open_results();
        answers(given);
        ask_elevations(run, range);
    }
    double metres(int i, int j) const { return run.terrain().elevation(i, j); }
};

}  // namespace

TEST_F(Loading, SixteenBitSamplesAreUnsignedLeastSignificantByteFirst) {
    raster(1, 3, false, std::string("\xff\xff\x34\x12\x00\x80", 6));
    EXPECT_EQ(sample(0, 0), 65535);
    EXPECT_EQ(sample(0, 1), 4660);
    EXPECT_EQ(sample(0, 2), 32768);
    EXPECT_EQ(run.dem_fd, -1);
    EXPECT_EQ(range.min, 4660);
    EXPECT_EQ(range.max, 65535);
}

TEST_F(Loading, ThirtyTwoBitSamplesAreSignedLeastSignificantByteFirst) {
    raster(2, 2, true, le32({-1, 0x12345678, INT_MIN, INT_MAX}));
    EXPECT_EQ(sample(0, 0), -1);
    EXPECT_EQ(sample(0, 1), 0x12345678);
    EXPECT_EQ(sample(1, 0), INT_MIN);
    EXPECT_EQ(sample(1, 1), INT_MAX);
}

TEST_F(Loading, ShortRasterWarnsAndLeavesUnreachedCellsZero) {
    // Two and a half samples of four: the half sample is not taken.
    raster(2, 2, true, le32({7, 8}) + std::string("\x09\x09", 2));
    EXPECT_EQ(sample(0, 0), 7);
    EXPECT_EQ(sample(0, 1), 8);
    EXPECT_EQ(sample(1, 0), 0);
    EXPECT_EQ(sample(1, 1), 0);
    EXPECT_EQ(range.min, 0);  // the cells the file does not reach count as 0
    EXPECT_NE(printed().find("Warning: images/t/x_m2.raw holds 2 samples of 4 bytes, 4 expected "
                             "(2 lines x 2 columns)"),
              std::string::npos);
}

TEST_F(Loading, LongRasterWarnsAndIgnoresTheExtraBytes) {
    raster(1, 2, false, le16({1, 2, 3}) + "z");
    EXPECT_EQ(sample(0, 0), 1);
    EXPECT_EQ(sample(0, 1), 2);
    EXPECT_EQ(range.max, 2);
    EXPECT_NE(printed().find("holds 3 samples of 2 bytes, 2 expected (1 lines x 2 columns) and 1 "
                             "stray bytes"),
              std::string::npos);
}

TEST_F(Loading, ExactRasterSaysNothingButItsHeading) {
    raster(2, 3, false, le16({1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(printed(), "\n\n\tDEM file lecture\n");
    EXPECT_EQ(sample(1, 2), 6);
}

TEST_F(Loading, EqualSamplesShowAsBothMinAndMax) {
    raster(1, 3, true, le32({-7, -7, -7}));
    ask("0\n0\n");
    EXPECT_NE(printed().find("\n\n\tDynamic scale of the input DEM :\n\t\tMin = -7\n\t\tMax = -7 "),
              std::string::npos);
}

TEST_F(Loading, ExtremeAndAllNegativeSamplesShowAsThey) {
    raster(1, 1, true, le32({INT_MAX}));
    ask("0\n0\n");
    EXPECT_NE(printed().find("Min = 2147483647\n\t\tMax = 2147483647 "), std::string::npos);
    raster(1, 3, true, le32({-143700, -5, -900}));
    EXPECT_EQ(range.min, -143700);
    EXPECT_EQ(range.max, -5);
}

TEST_F(Loading, UnitAnswersOutsideZeroToThreeAreAskedAgainNamingTheValidOnes) {
    raster(1, 2, true, le32({25, -3}));
    ask("4\n-1\n1\n0\n");
    EXPECT_EQ(count(printed(), "\n\n\tAre these values :"), 3);
    EXPECT_EQ(count(printed(), "Dynamic scale"), 1);
    EXPECT_EQ(count(printed(), "is not a unit: answer 0, 1, 2 or 3"), 2);
    EXPECT_EQ(metres(0, 0), 2.5);
    EXPECT_EQ(metres(0, 1), -0.3);
}

TEST_F(Loading, SamplesBecomeMetresWhereTheyAreRead) {
    const struct {
        const char *unit;
        int sample;
        double metres;
    } cases[] = {{"3", 875, 0.875}, {"3", 1, 0.001}, {"2", -42, -0.42}, {"2", 220500, 2205.0}, {"0", 123456, 123456.0}, {"0", -9, -9.0}};
    for (const auto &c : cases) {
        raster(1, 1, true, le32({c.sample}));
        ask(std::string(c.unit) + "\n0\n");
        EXPECT_EQ(metres(0, 0), c.metres) << c.sample;
    }
}

TEST_F(Loading, PixelSizeIsAskedOnlyWhenTheDescriptorGaveNone) {
    raster(1, 1, false, le16({1}));
    ask("0\n0\n", 83);
    EXPECT_EQ(printed().find("pixel size"), std::string::npos);
    EXPECT_EQ(run.pix_size, 83);
}

TEST_F(Loading, NegativePixelSizeIsAskedAgainAndZeroIsKeptWithAWarning) {
    raster(1, 1, false, le16({1}));
    ask("0\n-30\n0\n0\n", 0);
    EXPECT_EQ(count(printed(), "\n\n\tpixel size ? "), 2);
    EXPECT_EQ(count(printed(), "a pixel size cannot be negative"), 1);
    EXPECT_EQ(count(printed(), "Warning: with a pixel size of 0 every plane is horizontal"), 1);
    EXPECT_EQ(run.pix_size, 0);
}

TEST_F(Loading, BackgroundAboveOneIsAskedAgainNegativeIsTakenAsBlack) {
    raster(1, 1, false, le16({1}));
    ask("0\n2\n7\n-1\n");
    EXPECT_EQ(count(printed(), "\n\n\tbackground:\n\t\t0 ====> white\n\t\t1 ====> black\n\t\t"), 3);
    EXPECT_EQ(count(printed(), ": answer 0 (white) or 1 (black)"), 2);
    EXPECT_EQ(count(printed(), "-1: a black background, as 1"), 1);
    EXPECT_EQ(run.background, -1);
}

// ---- the bundled real DEMs -------------------------------------------------

namespace {

struct RealDem {
    const char *folder, *name;
    bool bits32;
    int unit;
};

// Decodes the raster independently of the program: sample count, min, max.
void scan(const std::string &bytes, bool bits32, long long &n, long long &lo, long long &hi) {
    size_t w = bits32 ? 4 : 2;
    n = static_cast<long long>(bytes.size() / w);
    lo = LLONG_MAX;
    hi = LLONG_MIN;
    for (size_t k = 0; k + w <= bytes.size(); k += w) {
        auto b = [&](size_t o) { return static_cast<unsigned long long>(static_cast<unsigned char>(bytes[k + o])); };
        long long v = bits32 ? static_cast<int32_t>(static_cast<uint32_t>(b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24))
                             : static_cast<long long>(b(0) | b(1) << 8);
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
}

}  // namespace

TEST(RealDems, EachBundledDemRunsToTheFirstMenuAndWritesItsFiles) {
    const RealDem dems[] = {{"jacksboro", "jacksboro", false, 0},
                            {"jacksboro", "jacksboro", true, 1},
                            {"salish", "salish", true, 2}};
    for (const RealDem &dem : dems) {
        for (int background : {0, 1}) {
            TempDir d;
            std::string suffix = dem.bits32 ? "_m4" : "_m2";
            std::string src = std::string(TOLMAR_EXAMPLES) + "/" + dem.folder + "/" + dem.name + suffix;
            std::string raw = read_file(src + ".raw");
            std::string descriptor = read_file(src + ".txt");
            write_file(d.path + "/images/" + dem.folder + "/" + dem.name + suffix + ".raw", raw);
            write_file(d.path + "/images/" + dem.folder + "/" + dem.name + suffix + ".txt", descriptor);
            int rows = 0, cols = 0, width = 0, lo_f = 0, hi_f = 0, pix = 0;
            ASSERT_EQ(sscanf(descriptor.c_str(), "%d%d%d%d%d%d", &rows, &cols, &width, &lo_f, &hi_f, &pix), 6);
            long long n, lo, hi;
            scan(raw, dem.bits32, n, lo, hi);
            ASSERT_EQ(n, static_cast<long long>(rows) * cols);

            // One refused treatment (its square leaves the raster), then Exit.
            std::string given = std::string(dem.folder) + "\n" + dem.name + "\n" + (dem.bits32 ? "1" : "0") +
                                "\n0\n" + std::to_string(dem.unit) + "\n" + std::to_string(background) +
                                "\n1 1 10 45 5\n5\n";
            RunResult r = run_tolmar(d.path, given);
            ASSERT_EQ(r.status, 0);
            EXPECT_NE(r.out.find("Min = " + std::to_string(lo) + "\n\t\tMax = " + std::to_string(hi) + " "),
                      std::string::npos);
            EXPECT_EQ(lo, lo_f);
            EXPECT_EQ(hi, hi_f);
            EXPECT_NE(r.out.find("\n\n\tout of the image borders"), std::string::npos);
            EXPECT_EQ(r.out.find("Warning"), std::string::npos);

            std::string base = d.path + "/images/" + dem.folder + "/" + dem.name + "_tolmar";
            EXPECT_EQ(read_file(base + ".txt"), header_text(rows, cols, pix));
            EXPECT_EQ(read_file(base + ".raw"),
                      std::string(static_cast<size_t>(rows) * cols, background == 0 ? '\xff' : '\0'));
        }
    }
}
