// test_failures.cpp: what a run does when its input cannot be trusted: end of
// input after every prefix of a session, a data folder it cannot write, DEM
// rasters of the wrong length, the extreme 32-bit answers at every question.
// Every run must end by itself, with its documented status, and write
// nothing outside its data folder.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "support.h"

namespace fs = std::filesystem;

namespace {

// A 16 x 16 terrain of hills, 16-bit metres, pixel size 30, in images/d/.
void hills(const TempDir &t, const char *descriptor = "16 16 2 0 0 30") {
    std::vector<int> z;
    for (int i = 0; i < 16; i++)
        for (int j = 0; j < 16; j++) z.push_back(100 + (i * 7 + j * 11) % 23 + 2 * j);
    make_dem(t.path, "d", "m", false, z, descriptor);
}

// Every file under the run's folder, relative to it.
std::set<std::string> files_under(const TempDir &t) {
    std::set<std::string> names;
    for (auto &e : fs::recursive_directory_iterator(t.path))
        if (!e.is_directory()) names.insert(fs::relative(e.path(), t.path).string());
    return names;
}

const std::set<std::string> DEM_ONLY = {"images/d/m_m2.raw", "images/d/m_m2.txt"};
const std::set<std::string> WITH_RESULTS = {"images/d/m_m2.raw", "images/d/m_m2.txt", "images/d/m_tolmar.raw",
                                            "images/d/m_tolmar.txt"};

// The session: the opening, then treatments whose last answers are single
// digits, so that no prefix turns a complete treatment into another one.
struct Step {
    std::string text;
    bool treatment;  // this step's last answer completes a treatment
};
const std::vector<Step> SESSION = {
    {"d\nm\n0\n0\n0\n0\n", false},  // folder, name, type, keep name, metres, white: the loop follows
    {"8 8 10 90 4\n", true},
    {"3\n", false},
    {"0\n", true},  // direction 0
    {"2\n", false},
    {"7\n", true},
    {"1\n", false},
    {"0 0\n", false},  // refused: out of the raster
    {"1\n", false},
    {"7 6\n", true},
    {"0\n", false},
    {"9 9 5 225 3\n", true},
    {"5\n", false},
};

}  // namespace

TEST(EndOfInput, EveryPrefixEndsTheRunAndKeepsWhatWasStamped) {
    std::string script;
    std::vector<size_t> treatment_ends;  // offset just past each treatment's last digit
    for (const Step &s : SESSION) {
        script += s.text;
        if (s.treatment) treatment_ends.push_back(script.size() - 1);
    }
    const size_t loop_starts = SESSION[0].text.size() - 1;  // past the background answer

    // Reference results after k treatments: the same answers up to the k-th,
    // then Exit.
    std::vector<std::string> logs, rasters;
    for (size_t k = 0; k <= treatment_ends.size(); k++) {
        TempDir t;
        hills(t);
        size_t upto = k == 0 ? loop_starts : treatment_ends[k - 1];
        RunResult r = run_tolmar(t.path, script.substr(0, upto) + "\n5\n");
        ASSERT_EQ(r.status, 0);
        logs.push_back(read_file(t / "images/d/m_tolmar.txt"));
        rasters.push_back(read_file(t / "images/d/m_tolmar.raw"));
    }
    ASSERT_EQ(std::count(logs.back().begin(), logs.back().end(), 'c') > 0, true);
    ASSERT_NE(rasters[1], rasters[0]);  // the first treatment does stamp a trace

    for (size_t len = 0; len <= script.size(); len++) {
        TempDir t;
        hills(t);
        RunResult r = run_tolmar(t.path, script.substr(0, len));
        ASSERT_NE(r.status, -1) << "prefix " << len;
        if (len < loop_starts) {
            EXPECT_EQ(r.status, 1) << "prefix " << len;
            EXPECT_EQ(files_under(t), DEM_ONLY) << "prefix " << len;
            continue;
        }
        size_t k = 0;
        while (k < treatment_ends.size() && treatment_ends[k] <= len) k++;
        EXPECT_EQ(r.status, 0) << "prefix " << len;
        EXPECT_EQ(files_under(t), WITH_RESULTS) << "prefix " << len;
        EXPECT_EQ(read_file(t / "images/d/m_tolmar.txt"), logs[k]) << "prefix " << len;
        EXPECT_EQ(read_file(t / "images/d/m_tolmar.raw"), rasters[k]) << "prefix " << len;
    }
}

TEST(Faults, DataFolderThatCannotBeWrittenEndsTheRunWithoutResults) {
    TempDir t;
    hills(t);
    std::string prefix;
    if (geteuid() == 0) {
        // The superuser writes anywhere: the run drops to an ordinary user.
        chmod(t.path.c_str(), 0755);
        chmod((t.path + "/images").c_str(), 0755);
        if (run_command(t.path, "setpriv --reuid=65534 --regid=65534 --clear-groups test -x '" TOLMAR_EXE "'")
                .status != 0)
            GTEST_SKIP() << "cannot run tolmar as an ordinary user here";
        prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    chmod((t.path + "/images/d").c_str(), 0555);
    RunResult r = run_command(t.path, prefix + "'" TOLMAR_EXE "'", "d\nm\n0\n0\n0\n0\n8 8 10 90 4\n5\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\n\n\tCannot create images/d/m_tolmar.raw: Permission denied\n"), std::string::npos) << r.out;
    EXPECT_EQ(files_under(t), DEM_ONLY);
}

TEST(Faults, DemRasterOfTheWrongLengthWarnsAndTheRunGoesOn) {
    for (int bytes : {0, 1, 300, 511, 513, 2000}) {
        TempDir t;
        hills(t);
        fs::resize_file(t / "images/d/m_m2.raw", static_cast<uintmax_t>(bytes));
        RunResult r = run_tolmar(t.path, "d\nm\n0\n0\n0\n1\n8 8 10 90 4\n5\n");
        EXPECT_EQ(r.status, 0) << bytes;
        std::string warning = "Warning: images/d/m_m2.raw holds " + std::to_string(bytes / 2) +
                              " samples of 2 bytes, 256 expected (16 lines x 16 columns)";
        if (bytes > 512 && bytes % 2) warning += " and 1 stray bytes";
        EXPECT_NE(r.out.find(warning), std::string::npos) << bytes << r.out;
        EXPECT_EQ(read_file(t / "images/d/m_tolmar.raw").size(), 256u);
        EXPECT_EQ(files_under(t), WITH_RESULTS);
    }
}

TEST(Faults, ExtremeAnswersAtEveryNumberQuestion) {
    for (const std::string x : {"2147483647", "-2147483647", "-2147483648"}) {
        TempDir t;
        hills(t, "16 16 2");  // no pixel size: that question is asked too
        const bool big = x[0] != '-';
        std::string given = "d\nm\n0\n" +
                            x + "\n0\n" +                        // result name: asked again
                            x + "\n0\n" +                        // unit: asked again
                            x + "\n" + (big ? "" : "8\n") +       // pixel size: taken unless negative
                            x + "\n" + (big ? "1\n" : "") +       // background: asked again if above 1
                            x + " 8 10 90 4\n" +                  // line: out of the raster
                            "0\n8 " + x + " 10 90 4\n" +          // column: out of the raster
                            "0\n8 8 " + x + " 90 4\n" +           // dip: stamped
                            "0\n8 8 10 " + x + " 4\n" +           // direction: stamped
                            "0\n8 8 10 90 " + x + "\n" +          // zone: refused
                            x + "\n5\n";                          // menu: asked again, or a repeat
        RunResult r = run_tolmar(t.path, given);
        EXPECT_EQ(r.status, 0) << x << r.out;
        EXPECT_EQ(read_file(t / "images/d/m_tolmar.raw").size(), 256u) << x;
        std::string log = read_file(t / "images/d/m_tolmar.txt");
        EXPECT_EQ(log.substr(0, log.find('\n', 14) + 1), "16\n16\n1\n0\n255\n" + (big ? x : "8") + "\n") << x;
        EXPECT_NE(log.find(" code 2 "), std::string::npos) << x;
        EXPECT_EQ(log.find(" code 3 "), std::string::npos) << x;
        EXPECT_EQ(files_under(t), WITH_RESULTS) << x;
    }
    // The type question takes any number: an extreme one means 32-bit.
    TempDir t;
    hills(t);
    RunResult r = run_tolmar(t.path, "d\nm\n-2147483648\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("No File  images/d/m_m4.raw"), std::string::npos);
}

TEST(Faults, TypedSizesBelowOneAreAskedAgainEvenAtTheEndsOfTheRange) {
    TempDir t;
    hills(t, nullptr);
    RunResult r = run_tolmar(t.path, "d\nm\n0\n-2147483648\n16\n-2147483647\n16\n30\n0\n0\n1\n8 8 10 90 4\n5\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(t / "images/d/m_m2.txt"), "16\n16\n2\n");
}

TEST(Faults, SizesTypedTooLargeForThisMachineEndTheRunWithoutResults) {
    TempDir t;
    hills(t, nullptr);
    RunResult r = run_tolmar(t.path, "d\nm\n0\n2147483647\n2147483647\n30\n0\n0\n0\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Not enough memory for a DEM of 2147483647 lines and 2147483647 columns"),
              std::string::npos);
    std::set<std::string> left = files_under(t);
    EXPECT_EQ(left.count("images/d/m_tolmar.raw") + left.count("images/d/m_tolmar.txt"), 0u);
}
