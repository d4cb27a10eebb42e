// test_opening.cpp: the DEM file set: folder, names and type, the DEM
// descriptor read or made, the result files created, the sizes checked.
#include <unistd.h>

#include <filesystem>

#include "support.h"

namespace {

std::vector<int> flat(int n, int v = 100) { return std::vector<int>(static_cast<size_t>(n), v); }

// Answers after the opening for a run that does nothing: metres, black, a
// refused treatment, Exit.
const char REST[] = "0\n1\n0 0 10 90 3\n5\n";

std::string at(const TempDir &d, const std::string &name) { return d.path + "/images/d/" + name; }


}  // namespace

TEST(Descriptor, SixNumbersOnOneLineOrOnSixLinesReadTheSame) {
    for (const char *text : {"3 4 2 100 100 25", "3\n4\n2\n100\n100\n25\n", "3\t4 2\n\n100 100\r\n25"}) {
        TempDir d;
        make_dem(d.path, "d", "m", false, flat(12), text);
        RunResult r = run_tolmar(d.path, std::string("d\nm\n0\n0\n") + REST);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(read_file(at(d, "m_tolmar.txt")), header_text(3, 4, 25)) << text;
        EXPECT_EQ(r.out.find("pixel size"), std::string::npos);
    }
}

TEST(Descriptor, ThreeLinesLeaveThePixelSizeToBeAsked) {
    TempDir d;
    make_dem(d.path, "d", "m", false, flat(12), "3\n4\n2\n");
    RunResult r = run_tolmar(d.path, "d\nm\n0\n0\n0\n0\n1\n0 0 10 90 3\n5\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count(r.out, "\n\n\tpixel size ? "), 1);
    EXPECT_EQ(read_file(at(d, "m_tolmar.txt")), header_text(3, 4, 0));
}

TEST(Descriptor, MissingOneIsMadeFromThreeAnswers) {
    TempDir d;
    make_dem(d.path, "d", "m", false, flat(12), nullptr);
    RunResult r = run_tolmar(d.path, std::string("d\nm\n0\n3\n4\n20\n0\n") + REST);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\n\n\tNo File  images/d/m_m2.txt \n\n\n\n\t\tNumber of lines   ? "
                         "\t\tNumbre of columns ? \t\tpixel size? "),
              std::string::npos);
    EXPECT_EQ(read_file(at(d, "m_m2.txt")), "3\n4\n2\n");
    EXPECT_EQ(read_file(at(d, "m_tolmar.txt")), header_text(3, 4, 20));
}

TEST(Descriptor, TypedSizesBelowOneAreAskedAgain) {
    TempDir d;
    make_dem(d.path, "d", "m", false, flat(12), nullptr);
    RunResult r = run_tolmar(d.path, std::string("d\nm\n0\n0\n-3\n3\n0\n4\n20\n0\n") + REST);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count(r.out, "Number of lines   ? "), 3);
    EXPECT_EQ(count(r.out, "Numbre of columns ? "), 2);
    EXPECT_EQ(read_file(at(d, "m_m2.txt")), "3\n4\n2\n");
}

TEST(Descriptor, SizesBelowOneOrUnreadableEndTheRunNamingTheFile) {
    // "3x4": the x ends the reading, as it would a formatted read of numbers.
    for (const char *text : {"0 4 2 0 0 1", "3 -4 2 0 0 1", "garbage", "", "3", "3x4 2 0 0 1", "3 - 4"}) {
        TempDir d;
        make_dem(d.path, "d", "m", false, flat(12), text);
        RunResult r = run_tolmar(d.path, std::string("d\nm\n0\n0\n") + REST);
        EXPECT_EQ(r.status, 1) << text;
        EXPECT_NE(r.out.find("DEM descriptor images/d/m_m2.txt gives"), std::string::npos) << text;
        EXPECT_FALSE(file_exists(at(d, "m_tolmar.raw")));
        EXPECT_FALSE(file_exists(at(d, "m_tolmar.txt")));
    }
}

TEST(Descriptor, HugeSizesEndTheRunWithoutResults) {
    TempDir d;
    make_dem(d.path, "d", "m", false, flat(12), "2147483647 2147483647 2 0 0 1");
    RunResult r = run_tolmar(d.path, std::string("d\nm\n0\n0\n") + REST);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Not enough memory for a DEM of 2147483647 lines and 2147483647 columns"),
              std::string::npos);
    EXPECT_FALSE(file_exists(at(d, "m_tolmar.raw")));
    TempDir e;
    make_dem(e.path, "d", "m", false, flat(12), "3 99999999999 2 0 0 1");
    r = run_tolmar(e.path, std::string("d\nm\n0\n0\n") + REST);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("images/d/m_m2.txt: a number is beyond the 32-bit range"),
              std::string::npos);
}

TEST(FileSet, TypeOtherThanZeroMeans32Bit) {
    TempDir d;
    make_dem(d.path, "d", "m", true, flat(12, -5), nullptr);
    RunResult r = run_tolmar(d.path, std::string("d\nm\n7\n3\n4\n20\n0\n") + REST);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(at(d, "m_m4.txt")), "3\n4\n4\n");
    EXPECT_NE(r.out.find("Min = -5"), std::string::npos);
}

TEST(FileSet, MissingDemRasterEndsAfterAKeyWithStatusOne) {
    TempDir d;
    make_dem(d.path, "d", "m", false, flat(12), "3 4 2 0 0 1");
    RunResult r = run_tolmar(d.path, "d\nother\n0\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\n\n\tNo File  images/d/other_m2.raw \n\n\timages/d holds the DEMs to answer m (type 0)"
                         "\n\n\tPress a key to end "),
              std::string::npos) << r.out;
    r = run_tolmar(d.path, "e\nm\n0\n");
    EXPECT_NE(r.out.find("\n\tThere is no folder images/e; images/ holds the folders d\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("THE DIGITAL ELEVATION MODEL"), std::string::npos);
    EXPECT_FALSE(file_exists(at(d, "other_tolmar.txt")));
    EXPECT_FALSE(file_exists(at(d, "other_m2.txt")));
}

TEST(FileSet, NewResultNameLiesInTheDemFolder) {
    TempDir d;
    make_dem(d.path, "d", "m", false, flat(12), "3 4 2 0 0 1");
    RunResult r = run_tolmar(d.path, std::string("d\nm\n0\n1\nnew\n") + REST);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(file_exists(at(d, "new_tolmar.raw")));
    EXPECT_EQ(read_file(at(d, "new_tolmar.txt")), header_text(3, 4, 1));
    EXPECT_FALSE(file_exists(at(d, "m_tolmar.raw")));
    EXPECT_FALSE(file_exists(d.path + "/images/new_tolmar.raw"));
}

TEST(FileSet, ResultNameAnswerTwoThenZeroAsksTwiceAndKeepsTheDemName) {
    TempDir d;
    make_dem(d.path, "d", "m", false, flat(12), "3 4 2 0 0 1");
    RunResult r = run_tolmar(d.path, std::string("d\nm\n0\n2\n0\n") + REST);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count(r.out, "\n\n\tResulting File : "), 1);
    EXPECT_EQ(count(r.out, "\n\n\t\t0 -----> Taking into account the generic name m ? "
                           "\n\t\t1 -----> Creation of a new File ? \n\t\t"),
              2);
    EXPECT_TRUE(file_exists(at(d, "m_tolmar.raw")));
}

TEST(FileSet, NamesTooLongOrNotSingleNamesAreAskedAgain) {
    TempDir d;
    make_dem(d.path, "d", "m", false, flat(12), "3 4 2 0 0 1");
    std::string long_name(500, 'x');
    RunResult r = run_tolmar(d.path, "../d\n" + long_name + "\nd\na/b\n" + long_name + "\nm\n0\n1\n" +
                                         long_name + "\n..\nr\n" + REST);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count(r.out, "Name refused"), 6);
    EXPECT_EQ(count(r.out, "Name of the File Folder"), 3);
    EXPECT_TRUE(file_exists(at(d, "r_tolmar.raw")));
}

TEST(FileSet, LongestAcceptedNamesKeepEveryPathWithin127Characters) {
    // images/ + folder + / + name + _tolmar.raw: with a 10-character folder
    // the name may have 127 - 7 - 10 - 1 - 11 = 98 characters, not 99.
    TempDir d;
    std::string folder(10, 'f'), name98(98, 'n'), name99(99, 'n');
    make_dem(d.path, folder, name98, false, flat(12), "3 4 2 0 0 1");
    RunResult r = run_tolmar(d.path, folder + "\n" + name99 + "\n" + name98 + "\n0\n0\n" + REST);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count(r.out, "Name refused"), 1);
    std::string result = "images/" + folder + "/" + name98 + "_tolmar.raw";
    EXPECT_EQ(result.size(), 127u);
    EXPECT_TRUE(file_exists(d.path + "/" + result));
}

TEST(FileSet, ResultPathThatIsAFolderAsksForAnotherName) {
    TempDir d;
    make_dem(d.path, "d", "m", false, flat(12), "3 4 2 0 0 1");
    std::filesystem::create_directories(at(d, "m_tolmar.txt"));
    RunResult r = run_tolmar(d.path, std::string("d\nm\n0\n0\n1\nother\n") + REST);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Cannot use images/d/m_tolmar.txt: it is a folder: choose another result name"),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(at(d, "m_tolmar.txt")));
    EXPECT_FALSE(file_exists(at(d, "m_tolmar.raw")));
    EXPECT_TRUE(file_exists(at(d, "other_tolmar.raw")));
}
