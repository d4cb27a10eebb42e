// test_loading.cpp: DEM samples read and decoded, their range shown, the
// unit asked and the elevations converted to metres, the pixel size and
// background asked; whole runs on the bundled real DEMs.
#include <climits>
#include <filesystem>

#include "support.h"

namespace {

class Loading : public StateTest {
protected:
    // A DEM raster of `rows` x `cols` held in `bytes`, ready for lecture().
    void raster(int rows, int cols, bool bits32, const std::string &bytes) {
        grids(rows, cols);
        itype = bits32 ? 1 : 0;
        f1 = tmpfile();
        fwrite(bytes.data(), 1, bytes.size(), f1);
        rewind(f1);
        strcpy(nomim1, "images/t/x_m2.raw");
        lecture();
    }
};


}  // namespace

TEST_F(Loading, SixteenBitSamplesAreUnsignedLeastSignificantByteFirst) {
    raster(1, 3, false, std::string("\xff\xff\x34\x12\x00\x80", 6));
    EXPECT_EQ(itab[0][0], 65535);
    EXPECT_EQ(itab[0][1], 4660);
    EXPECT_EQ(itab[0][2], 32768);
    EXPECT_EQ(itab2, nullptr);  // staging rows released once loaded
    EXPECT_EQ(f1, nullptr);
}

TEST_F(Loading, ThirtyTwoBitSamplesAreSignedLeastSignificantByteFirst) {
    raster(2, 2, true, le32({-1, 0x12345678, INT_MIN, INT_MAX}));
    EXPECT_EQ(itab[0][0], -1);
    EXPECT_EQ(itab[0][1], 0x12345678);
    EXPECT_EQ(itab[1][0], INT_MIN);
    EXPECT_EQ(itab[1][1], INT_MAX);
}

TEST_F(Loading, ShortRasterWarnsAndLeavesUnreachedCellsZero) {
    // Two and a half samples of four: the half sample is not taken.
    raster(2, 2, true, le32({7, 8}) + std::string("\x09\x09", 2));
    EXPECT_EQ(itab[0][0], 7);
    EXPECT_EQ(itab[0][1], 8);
    EXPECT_EQ(itab[1][0], 0);
    EXPECT_EQ(itab[1][1], 0);
    EXPECT_NE(printed().find("Warning: images/t/x_m2.raw holds 2 samples of 4 bytes, 4 expected "
                             "(2 lines x 2 columns)"),
              std::string::npos);
}

TEST_F(Loading, LongRasterWarnsAndIgnoresTheExtraBytes) {
    raster(1, 2, false, le16({1, 2, 3}) + "z");
    EXPECT_EQ(itab[0][0], 1);
    EXPECT_EQ(itab[0][1], 2);
    EXPECT_NE(printed().find("holds 3 samples of 2 bytes, 2 expected (1 lines x 2 columns) and 1 "
                             "stray bytes"),
              std::string::npos);
}

TEST_F(Loading, ExactRasterSaysNothingButItsHeading) {
    raster(2, 3, false, le16({1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(printed(), "\n\n\tDEM file lecture\n");
    EXPECT_EQ(itab[1][2], 6);
}

class Scaling : public StateTest {
protected:
    // Runs parameters() on one row of samples with the given answers.
    void run(const std::vector<int> &samples, const std::string &given, int pix = 30) {
        grids(1, static_cast<int>(samples.size()));
        for (size_t j = 0; j < samples.size(); j++) itab[0][j] = samples[j];
        pix_size = pix;
        open_log();
        answers(given);
        parameters();
    }
};

TEST_F(Scaling, EqualSamplesShowAsBothMinAndMax) {
    run({-7, -7, -7}, "0\n0\n");
    EXPECT_NE(printed().find("\n\n\tDynamic scale of the input DEM :\n\t\tMin = -7\n\t\tMax = -7 "),
              std::string::npos);
    run({INT_MAX}, "0\n0\n");
    EXPECT_NE(printed().find("Min = 2147483647\n\t\tMax = 2147483647 "), std::string::npos);
}

TEST_F(Scaling, AllNegativeSamplesShowANegativeMax) {
    run({-143700, -5, -900}, "2\n1\n");
    EXPECT_NE(printed().find("Min = -143700\n\t\tMax = -5 "), std::string::npos);
}

TEST_F(Scaling, UnitAnswersOutsideZeroToThreeAreAskedAgain) {
    run({25, -3}, "4\n-1\n1\n0\n");
    EXPECT_EQ(count(printed(), "\n\n\tAre these values :"), 3);
    EXPECT_EQ(count(printed(), "Dynamic scale"), 1);
    EXPECT_EQ(dtab[0][0], 2.5);
    EXPECT_EQ(dtab[0][1], -0.3);
}

TEST_F(Scaling, SamplesBecomeMetres) {
    run({875, 1}, "3\n0\n");
    EXPECT_EQ(dtab[0][0], 0.875);
    EXPECT_EQ(dtab[0][1], 0.001);
    run({-42, 220500}, "2\n0\n");
    EXPECT_EQ(dtab[0][0], -0.42);
    EXPECT_EQ(dtab[0][1], 2205.0);
    run({123456, -9}, "0\n0\n");
    EXPECT_EQ(dtab[0][0], 123456.0);
    EXPECT_EQ(dtab[0][1], -9.0);
}

TEST_F(Scaling, PixelSizeIsAskedOnlyWhenTheDescriptorGaveNone) {
    run({1}, "0\n0\n", 83);
    EXPECT_EQ(printed().find("pixel size"), std::string::npos);
    EXPECT_EQ(logged(), "83\n");
    run({1}, "0\n0\n0\n", 0);
    EXPECT_EQ(count(printed(), "\n\n\tpixel size ? "), 1);
    EXPECT_EQ(pix_size, 0);
    EXPECT_EQ(logged(), "0\n");
}

TEST_F(Scaling, BackgroundAboveOneIsAskedAgainNegativeIsAccepted) {
    run({1}, "0\n2\n7\n-1\n");
    EXPECT_EQ(count(printed(), "\n\n\tbackground:\n\t\t0 ====> white\n\t\t1 ====> black\n\t\t"), 3);
    EXPECT_EQ(backgr, -1);
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
