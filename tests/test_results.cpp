// test_results.cpp: the result raster (size, background, codes) and the
// result descriptor with its run log, as whole runs write them, and what a
// run does when they cannot be written.
#include <filesystem>

#include "support.h"

namespace {

// A terrain rising eastwards, 1 m a cell, with pixel size 30.
void ramp(const TempDir &d, int rows, int cols, const char *descriptor) {
    std::vector<int> s;
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++) s.push_back(100 + j);
    make_dem(d.path, "d", "m", false, s, descriptor);
}

std::string result(const TempDir &d, const char *ext) {
    return read_file(d.path + "/images/d/m_tolmar." + ext);
}

}  // namespace

TEST(ResultRaster, HoldsExactlyRowsTimesColumnsBytes) {
    TempDir d;
    ramp(d, 3, 4, "3 4 2 0 0 30");
    RunResult r = run_tolmar(d.path, "d\nm\n0\n0\n0\n0\n0 0 10 90 1\n5\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(result(d, "raw"), std::string(12, '\xff'));
}

TEST(ResultRaster, BackgroundWhiteBlackNegativeAndAskedAgain) {
    const std::pair<const char *, char> cases[] = {{"0\n", '\xff'}, {"1\n", '\0'}, {"-1\n", '\0'}, {"2\n0\n", '\xff'}};
    for (const auto &c : cases) {
        TempDir d;
        ramp(d, 3, 4, "3 4 2 0 0 30");
        RunResult r = run_tolmar(d.path, std::string("d\nm\n0\n0\n0\n") + c.first + "0 0 10 90 1\n5\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(result(d, "raw"), std::string(12, c.second)) << c.first;
        // The refused treatment leaves the six header lines alone.
        EXPECT_EQ(result(d, "txt"), header_text(3, 4, 30));
    }
}

TEST(ResultRaster, TraceCodesSurviveEitherBackground) {
    for (const char *background : {"0", "1"}) {
        TempDir d;
        ramp(d, 12, 12, "12 12 2 0 0 30");
        RunResult r = run_tolmar(d.path, std::string("d\nm\n0\n0\n0\n") + background + "\n6 6 10 90 3\n5\n");
        ASSERT_EQ(r.status, 0);
        std::string raw = result(d, "raw");
        int ones = 0, other = 0;
        for (char c : raw) {
            if (c == 1) ones++;
            else if (c != (background[0] == '0' ? '\xff' : '\0')) other++;
        }
        EXPECT_GT(ones, 0);
        EXPECT_EQ(other, 0);
    }
}

TEST(ResultDescriptor, RecordsFollowTheHeaderOnePerStampedTreatment) {
    TempDir d;
    ramp(d, 12, 12, "12 12 2 0 0 30");
    // Stamped, stamped with a direction entered past a full turn, refused.
    RunResult r = run_tolmar(d.path, "d\nm\n0\n0\n0\n0\n6 6 10 90 3\n3\n450\n1\n0 0\n5\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(result(d, "txt"), header_text(12, 12, 30) + record_text(1, 6, 6, 10, 90, 3) +
                                    record_text(2, 6, 6, 10, 450, 3));
}

TEST(ResultDescriptor, ThirdLineIsOneForA32BitDemToo) {
    TempDir d;
    make_dem(d.path, "d", "m", true, std::vector<int>(12, 5), "3 4 4 0 0 0");
    RunResult r = run_tolmar(d.path, "d\nm\n1\n0\n0\n0\n1\n0 0 10 90 1\n5\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(result(d, "txt"), "3\n4\n1\n0\n255\n0\n");
}
