// test_failures.cpp: what a run does when its input cannot be trusted or its
// session is cut short: end of input after every prefix of a session, a
// data folder it cannot write, DEM rasters of the wrong length, the extreme
// 32-bit answers at every question; then, by cause, that nothing a user did
// is lost (early ends, kills, signals, a full disk), that nothing outside the
// folder is touched (links, control characters), that nothing hangs (FIFOs,
// huge files), and that the console says what happened. Every run must end
// by itself, with its documented status.
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
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

// Every file under the run's folder, relative to it; a run's lock and
// journal, which the next writer of the set completes and removes, apart.
std::set<std::string> files_under(const TempDir &t) {
    std::set<std::string> names;
    for (auto &e : fs::recursive_directory_iterator(t.path))
        if (!e.is_directory()) names.insert(fs::relative(e.path(), t.path).string());
    names.erase("images/d/.m_tolmar.lock");
    names.erase("images/d/.m_tolmar.journal");
    return names;
}

// The command that runs tolmar in `t` as an ordinary user, for whom file
// permissions hold (the superuser writes and reads anywhere): the folders
// above the DEM's are opened to everyone, the DEM's folder gets `mode`.
// Empty when no ordinary user can run it here.
std::string as_ordinary_user(const TempDir &t, mode_t mode) {
    chmod((t.path + "/images/d").c_str(), mode);
    if (geteuid() != 0) return "'" TOLMAR_EXE "'";
    chmod(t.path.c_str(), 0755);
    chmod((t.path + "/images").c_str(), 0755);
    const std::string user = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    if (run_command(t.path, user + "test -x '" TOLMAR_EXE "'").status != 0) return "";
    return user + "'" TOLMAR_EXE "'";
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
    const std::string tolmar = as_ordinary_user(t, 0555);
    if (tolmar.empty()) GTEST_SKIP() << "cannot run tolmar as an ordinary user here";
    RunResult r = run_command(t.path, tolmar, "d\nm\n0\n0\n0\n0\n8 8 10 90 4\n5\n");
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

// ===================== Nothing a user did is lost ===========================

namespace {

const char EARLIER_RASTER[] = "the raster of an earlier run";
const char EARLIER_LOG[] = "the log of an earlier run";

void earlier_results(const TempDir &t) {
    write_file(t / "images/d/m_tolmar.raw", EARLIER_RASTER);
    write_file(t / "images/d/m_tolmar.txt", EARLIER_LOG);
}

bool earlier_results_kept(const TempDir &t) {
    return read_file(t / "images/d/m_tolmar.raw") == EARLIER_RASTER &&
           read_file(t / "images/d/m_tolmar.txt") == EARLIER_LOG && files_under(t) == WITH_RESULTS;
}

const char MENU_END[] = "5 ====> Exit\n\t";

// The session's answers up to the end of the k-th treatment, then Exit, as
// a reference for what the files hold after k treatments.
std::string session_upto(size_t k) {
    std::string script;
    size_t done = 0;
    for (const Step &s : SESSION) {
        if (done == k) break;
        script += s.text;
        done += s.treatment;
    }
    return script;
}

struct Results {
    std::string raster, log;
    bool operator==(const Results &o) const { return raster == o.raster && log == o.log; }
};

Results results_of(const TempDir &t) { return {read_file(t / "images/d/m_tolmar.raw"), read_file(t / "images/d/m_tolmar.txt")}; }

Results reference_after(size_t k) {
    TempDir t;
    hills(t);
    EXPECT_EQ(run_tolmar(t.path, session_upto(k) + "5\n").status, 0);
    return results_of(t);
}

}  // namespace

TEST(LostWork, RunsEndingBeforeTheFirstTreatmentKeepTheEarlierResultSet) {
    const struct {
        const char *what, *descriptor, *answers;
        int status;
    } cases[] = {
        {"end of input at the unit question", "16 16 2 0 0 30", "d\nm\n0\n0\n", 1},
        {"end of input at the background question", "16 16 2 0 0 30", "d\nm\n0\n0\n0\n", 1},
        {"sizes beyond this machine's memory", "2147483647 2147483647 2 0 0 1", "d\nm\n0\n0\n", 1},
        {"a DEM raster that is a folder", "16 16 2 0 0 30", "d\nm\n0\n0\n0\n0\n", 1},
    };
    for (const auto &c : cases) {
        TempDir t;
        hills(t, c.descriptor);
        earlier_results(t);
        if (std::string(c.what).find("folder") != std::string::npos) {
            fs::remove(t / "images/d/m_m2.raw");
            fs::create_directory(t / "images/d/m_m2.raw");
        }
        const RunResult r = run_tolmar(t.path, c.answers);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_TRUE(earlier_results_kept(t) || std::string(c.what).find("folder") != std::string::npos) << c.what;
        EXPECT_EQ(read_file(t / "images/d/m_tolmar.raw"), EARLIER_RASTER) << c.what;
        EXPECT_EQ(read_file(t / "images/d/m_tolmar.txt"), EARLIER_LOG) << c.what;
    }
    // A signal before the first treatment: the same, with status 128 + 15.
    TempDir t;
    hills(t);
    earlier_results(t);
    Live run(t.path);
    run.send("d\nm\n0\n0\n");
    ASSERT_TRUE(run.wait_for("in millimeters"));
    run.signal(SIGTERM);
    EXPECT_EQ(run.finish(), 128 + SIGTERM);
    EXPECT_TRUE(earlier_results_kept(t));
    EXPECT_NE(run.printed().find("before the first treatment: nothing is written"), std::string::npos);
}

TEST(LostWork, KilledAtAnyMenuTheFilesHoldEveryTreatmentStampedSoFar) {
    // SIGKILL cannot be caught: whatever was stamped must already be on disk,
    // byte for byte what Exit at that menu would have left.
    for (size_t k = 1; k <= 3; k++) {
        const Results expected = reference_after(k);
        TempDir t;
        hills(t);
        Live run(t.path);
        run.send(session_upto(k));
        ASSERT_TRUE(run.wait_for(MENU_END, static_cast<int>(k))) << run.printed();
        run.signal(SIGKILL);
        EXPECT_EQ(run.finish(), -SIGKILL);
        EXPECT_TRUE(results_of(t) == expected) << "after treatment " << k;
        EXPECT_EQ(files_under(t), WITH_RESULTS);
    }
}

TEST(LostWork, SignalsEndTheRunAsExitDoes) {
    const Results expected = reference_after(2);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        TempDir t;
        hills(t);
        Live run(t.path);
        run.send(session_upto(2));
        ASSERT_TRUE(run.wait_for(MENU_END, 2)) << sig;
        run.signal(sig);
        EXPECT_EQ(run.finish(), 128 + sig) << sig;
        EXPECT_TRUE(results_of(t) == expected) << sig;
        if (sig != SIGPIPE) {
            EXPECT_NE(run.printed().find("the run ends as on Exit"), std::string::npos) << sig;
        }
    }
}

TEST(LostWork, AFullDiskEndsTheRunWithFilesThatAgree) {
    // A file size limit of 1024 bytes stands for a full disk; what tolmar
    // prints goes through a pipe, which the limit does not bound.
    const std::string FILE_LIMIT = "bash -c \"set -o pipefail; (ulimit -f 1; exec '" TOLMAR_EXE "') | cat\"";
    {
        // The raster cannot even be made: nothing changes.
        TempDir t;
        std::vector<int> z(40 * 40, 100);
        make_dem(t.path, "d", "m", false, z, "40 40 2 0 0 30");
        earlier_results(t);
        const RunResult r = run_command(t.path, FILE_LIMIT, "d\nm\n0\n0\n0\n0\n20 20 10 90 4\n5\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("Cannot write images/d/m_tolmar.raw: File too large"), std::string::npos) << r.out;
        EXPECT_TRUE(earlier_results_kept(t));
    }
    // The log fills up after some treatments: the run ends and the raster
    // holds exactly the treatments the log records.
    std::string answers = "d\nm\n0\n0\n0\n0\n8 8 10 90 4\n";
    for (int k = 0; k < 12; k++) answers += "3\n" + std::to_string(90 + 20 * k) + "\n";
    answers += "5\n";
    TempDir t;
    hills(t);
    const RunResult r = run_command(t.path, FILE_LIMIT, answers);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Cannot write images/d/m_tolmar.txt: File too large"), std::string::npos) << r.out;
    const Results got = results_of(t);
    EXPECT_LE(got.log.size(), 1024u);
    const int logged = count(got.log, " code ");
    ASSERT_GT(logged, 3);
    std::string replay = "d\nm\n0\n0\n0\n0\n8 8 10 90 4\n";
    for (int k = 0; k < logged - 1; k++) replay += "3\n" + std::to_string(90 + 20 * k) + "\n";
    TempDir u;
    hills(u);
    ASSERT_EQ(run_tolmar(u.path, replay + "5\n").status, 0);
    EXPECT_TRUE(results_of(u) == got);
}

TEST(LostWork, FilesThisRunDidNotMakeAreNeverRemoved) {
    TempDir t;
    hills(t);
    write_file(t / "images/d/m_tolmar.raw", EARLIER_RASTER);
    fs::create_directory(t / "images/d/m_tolmar.txt");
    const RunResult r = run_tolmar(t.path, "d\nm\n0\n0\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(t / "images/d/m_tolmar.raw"), EARLIER_RASTER);
    EXPECT_TRUE(fs::is_directory(t / "images/d/m_tolmar.txt"));
}

TEST(LostWork, ADescriptorThatCannotBeReadIsToldAndKept) {
    TempDir t;
    hills(t);
    const std::string tolmar = as_ordinary_user(t, 0777);
    if (tolmar.empty()) GTEST_SKIP() << "cannot run tolmar as an ordinary user here";
    chmod((t.path + "/images/d/m_m2.raw").c_str(), 0644);
    chmod((t.path + "/images/d/m_m2.txt").c_str(), 0);
    const RunResult r = run_command(t.path, tolmar, "d\nm\n0\n0\n0\n0\n8 8 10 90 4\n5\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Cannot read images/d/m_m2.txt: Permission denied"), std::string::npos) << r.out;
    chmod((t.path + "/images/d/m_m2.txt").c_str(), 0644);
    EXPECT_EQ(read_file(t / "images/d/m_m2.txt"), "16 16 2 0 0 30");
    EXPECT_EQ(files_under(t), DEM_ONLY);
}

// ===================== Nothing outside the folder is touched =================

TEST(OutsideTheFolder, ResultPathsThatAreLinksAreRefusedNotFollowed) {
    const struct {
        const char *link, *target;
    } cases[] = {
        {"images/d/m_tolmar.raw", "m_m2.raw"},                // the DEM itself
        {"images/d/m_tolmar.txt", "../../outside.txt"},       // a file outside, dangling
        {"images/d/m_tolmar.raw", "../../outside.raw"},       // a file outside that exists
    };
    for (const auto &c : cases) {
        TempDir t;
        hills(t);
        write_file(t / "outside.raw", "outside");
        const std::string dem = read_file(t / "images/d/m_m2.raw");
        fs::create_symlink(c.target, t / c.link);
        const RunResult r = run_tolmar(t.path, "d\nm\n0\n0\n1\nother\n0\n0\n8 8 10 90 4\n5\n");
        EXPECT_EQ(r.status, 0) << c.link;
        EXPECT_NE(r.out.find(std::string("Cannot use ") + c.link + ": it is a symbolic link"), std::string::npos) << r.out;
        EXPECT_EQ(read_file(t / "images/d/m_m2.raw"), dem);
        EXPECT_EQ(read_file(t / "outside.raw"), "outside");
        EXPECT_FALSE(file_exists(t / "outside.txt"));
        EXPECT_TRUE(file_exists(t / "images/d/other_tolmar.raw"));
    }
}

TEST(OutsideTheFolder, DemFilesThatAreLinksAreRefused) {
    {
        TempDir t;
        hills(t);
        fs::remove(t / "images/d/m_m2.raw");
        fs::create_symlink("/dev/zero", t / "images/d/m_m2.raw");
        const RunResult r = run_command(t.path, "timeout 20 '" TOLMAR_EXE "'", "d\nm\n0\n0\n0\n0\n8 8 10 90 4\n5\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("Cannot read images/d/m_m2.raw: it is a symbolic link"), std::string::npos) << r.out;
    }
    TempDir t;
    hills(t, nullptr);
    fs::create_symlink("../../made.txt", t / "images/d/m_m2.txt");
    const RunResult r = run_tolmar(t.path, "d\nm\n0\n16\n16\n30\n0\n0\n0\n8 8 10 90 4\n5\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Cannot read images/d/m_m2.txt: it is a symbolic link"), std::string::npos) << r.out;
    EXPECT_FALSE(file_exists(t / "made.txt"));
}

TEST(OutsideTheFolder, NamesWithControlCharactersAreRefused) {
    TempDir t;
    hills(t);
    const RunResult r = run_tolmar(t.path, std::string("..\0x\nd\nm\0z\nm\n0\n0\n0\n0\n8 8 10 90 4\n5\n", 36));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Name refused: ..\\x00x is not a single name"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Name refused: m\\x00z is not a single name"), std::string::npos) << r.out;
    EXPECT_EQ(files_under(t), WITH_RESULTS);
}

// ===================== Nothing hangs ========================================

TEST(NoHang, FifosAndHugeRastersNeitherBlockNorCrawl) {
    for (const char *fifo : {"images/d/m_m2.raw", "images/d/m_m2.txt"}) {
        TempDir t;
        hills(t);
        fs::remove(t / fifo);
        ASSERT_EQ(mkfifo((t / fifo).c_str(), 0644), 0);
        const RunResult r = run_command(t.path, "timeout 20 '" TOLMAR_EXE "'", "d\nm\n0\n0\n0\n0\n8 8 10 90 4\n5\n");
        EXPECT_EQ(r.status, 1) << fifo;
        EXPECT_NE(r.out.find(std::string("Cannot read ") + fifo + ": it is not a regular file"), std::string::npos) << r.out;
    }
    // 4 GiB under a descriptor of one cell: the surplus is measured, not read.
    TempDir t;
    make_dem(t.path, "d", "m", false, {7}, "1 1 2 0 0 30");
    fs::resize_file(t / "images/d/m_m2.raw", 4ULL << 30);
    const RunResult r = run_command(t.path, "timeout 5 '" TOLMAR_EXE "'", "d\nm\n0\n0\n0\n0\n5\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("holds 2147483648 samples of 2 bytes, 1 expected"), std::string::npos) << r.out;
}

// ===================== True figures and the right words ======================

TEST(Words, MemoryFiguresAreExactAndTypedSizesAreCheckedBeforeTheyAreWritten) {
    TempDir t;
    hills(t, "2147483647 2147483647 2 0 0 1");
    RunResult r = run_tolmar(t.path, "d\nm\n0\n");
    EXPECT_EQ(r.status, 1);
    // (2^31 - 1)^2 cells of 2 + 1 bytes, in MB rounded up.
    EXPECT_NE(r.out.find("its grids need 13835058042398 MB"), std::string::npos) << r.out;
    TempDir u;
    hills(u, nullptr);
    r = run_tolmar(u.path, "d\nm\n0\n2147483647\n2147483647\n30\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(u / "images/d/m_m2.txt"));
}

TEST(Words, AnswersAreReadWholeAndEchoedSafely) {
    TempDir t;
    hills(t);
    // A number word beyond 4096 characters is refused, not cut to a prefix;
    // a carriage return ends a line; a NUL is shown, not cut at.
    const std::string answers = "d\nm\n0\n0\n0\n0\n" + std::string(4097, '0') + "5\n8\r8 10 x\r90 4\r" +
                                std::string("20\0\n5\n", 6);
    const RunResult r = run_tolmar(t.path, answers);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("not a whole number: 0000000000"), std::string::npos);
    EXPECT_NE(r.out.find("not a whole number: x"), std::string::npos);
    EXPECT_NE(r.out.find("not a whole number: 20\\x00"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(t / "images/d/m_tolmar.txt"), header_text(16, 16, 30) + record_text(1, 8, 8, 10, 90, 4));
}

TEST(Words, MessagesNameTheRightCause) {
    TempDir t;
    hills(t);
    fs::remove(t / "images/d/m_m2.txt");
    fs::create_directory(t / "images/d/m_m2.txt");
    RunResult r = run_tolmar(t.path, "d\nm\n0\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Cannot read images/d/m_m2.txt: it is a folder"), std::string::npos) << r.out;
    // Standard input that cannot be read is not an end of input.
    TempDir u;
    hills(u);
    r = run_command(u.path, "sh -c \"'" TOLMAR_EXE "' < images\"");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Cannot read the answers (Is a directory): nothing is written"), std::string::npos) << r.out;
}

TEST(Words, CommandLine) {
    TempDir t;
    RunResult r = run_command(t.path, "'" TOLMAR_EXE "' --help");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("usage: tolmar"), 0u);
    r = run_command(t.path, "'" TOLMAR_EXE "' --version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("tolmar "), 0u);
    r = run_command(t.path, "'" TOLMAR_EXE "' images");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("unknown argument images"), std::string::npos);
}

TEST(Words, TheConsoleSaysWhatHappenedAndWhatIsValid) {
    TempDir t;
    hills(t);
    const std::string answers = "d\nm\n0\n3\n0\n9\n0\n4\n0\n"  // result name 3, unit 9, background 4
                                "2 2 10 90 4\n"                  // refused
                                "9\n1\n8 8\n-1\n5\n";            // menu 9, a treatment, its repeat
    RunResult r = run_tolmar(t.path, answers);
    EXPECT_EQ(r.status, 0);
    for (const char *said : {"3: answer 0 or 1", "9 is not a unit: answer 0, 1, 2 or 3",
                             "4: answer 0 (white) or 1 (black)",
                             "zone 4 in direction 90 fits reference points on lines 4 to 11 and columns 4 to 11",
                             "9 is not on the menu: answer 0 to 5", "code 1 stamped on ",
                             "code 2 stamped on ", "(a repeat of the last treatment)",
                             "Written: images/d/m_tolmar.raw and images/d/m_tolmar.txt, 2 treatments"})
        EXPECT_NE(r.out.find(said), std::string::npos) << said << "\n" << r.out;
    EXPECT_EQ(r.out.find("is replaced"), std::string::npos);
    r = run_tolmar(t.path, "d\nm\n0\n0\n0\n0\n8 8 10 90 4\n5\n");
    EXPECT_NE(r.out.find("The result set images/d/m_tolmar.raw and images/d/m_tolmar.txt from an earlier run is replaced"),
              std::string::npos);
}

// ===================== The terminal ==========================================

TEST(Terminal, AnInterruptedKeyWaitAndALostTerminalLeaveThingsAsExitDoes) {
    {
        TempDir t;
        hills(t);
        Live run(t.path, true);
        run.send("d\nother\n0\n");
        ASSERT_TRUE(run.wait_for("No File  images/d/other_m2.raw")) << run.printed();
        usleep(200000);  // the key wait has begun
        run.signal(SIGINT);
        EXPECT_EQ(run.finish(), 128 + SIGINT);
        struct termios tio;
        ASSERT_EQ(tcgetattr(run.terminal_fd(), &tio), 0);
        EXPECT_TRUE((tio.c_lflag & ECHO) && (tio.c_lflag & ICANON)) << "the terminal was left without echo";
    }
    // The terminal goes away after a stamped treatment: the run ends as Exit.
    const Results expected = reference_after(1);
    TempDir t;
    hills(t);
    Live run(t.path, true);
    run.send(session_upto(1));
    ASSERT_TRUE(run.wait_for("5 ====> Exit")) << run.printed();
    run.hang_up();
    EXPECT_EQ(run.finish(), 128 + SIGHUP);
    EXPECT_TRUE(results_of(t) == expected);
}

TEST(LostWork, ResultFilesGoneAtExitAreToldAndTheRunFails) {
    TempDir t;
    hills(t);
    Live run(t.path);
    run.send("d\nm\n0\n0\n0\n0\n8 8 10 90 4\n");
    ASSERT_TRUE(run.wait_for(MENU_END)) << run.printed();
    fs::remove_all(t.path + "/images/d");
    run.send("5\n");
    EXPECT_EQ(run.finish(), 1);
    EXPECT_NE(run.printed().find("The result files images/d/m_tolmar.raw and images/d/m_tolmar.txt are gone"), std::string::npos)
        << run.printed();
    EXPECT_EQ(run.printed().find("Written:"), std::string::npos);
}

TEST(LostWork, ARunThatStampsNothingKeepsAnEarlierSetHoweverItEnds) {
    // End of input at the first question, a signal there, a refused first
    // treatment then Exit: the earlier set stays as it was.
    for (const std::string &tail : {std::string(""), std::string("SIGINT"), std::string("0 0 10 90 4\n5\n")}) {
        TempDir t;
        hills(t);
        ASSERT_EQ(run_tolmar(t.path, "d\nm\n0\n0\n0\n0\n8 8 10 90 4\n5\n").status, 0);
        const Results earlier = results_of(t);
        Live run(t.path);
        run.send("d\nm\n0\n0\n0\n0\n" + (tail == "SIGINT" ? std::string() : tail));
        if (tail == "SIGINT") {
            ASSERT_TRUE(run.wait_for("line ? ")) << run.printed();
            run.signal(SIGINT);
        } else if (tail.empty()) {
            ASSERT_TRUE(run.wait_for("line ? ")) << run.printed();
            run.close_input();
        }
        run.finish();
        EXPECT_TRUE(results_of(t) == earlier) << tail;
        EXPECT_NE(run.printed().find("No treatment was stamped: the result set images/d/m_tolmar.raw and "
                                     "images/d/m_tolmar.txt from an earlier run is kept as it was"),
                  std::string::npos)
            << run.printed();
        EXPECT_EQ(files_under(t), WITH_RESULTS) << tail;
    }
}
