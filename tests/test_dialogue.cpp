// test_dialogue.cpp: the console readers, the treatment dialogue and menu,
// end of input at every kind of question, and the exit status of a run.
#include <climits>

#include "support.h"

namespace {

// A 12 x 12 terrain rising eastwards by 1 m a cell, 16-bit metres, pixel size
// 30: a gentle plane dipping east cuts it along a north-south line.
std::vector<int> east_ramp() {
    std::vector<int> s;
    for (int i = 0; i < 12; i++)
        for (int j = 0; j < 12; j++) s.push_back(100 + j);
    return s;
}

const char OPENING_ANSWERS[] = "d\ndem\n0\n0\n0\n0\n";  // folder, name, type, keep name, metres, white
const char TREATMENT[] = "6 6 10 90 3\n";

struct DemFolder : TempDir {
    DemFolder() { make_dem(path, "d", "dem", false, east_ramp(), "12 12 2 100 111 30\n"); }
    std::string raster() const { return read_file(path + "/images/d/dem_tolmar.raw"); }
    std::string log() const { return read_file(path + "/images/d/dem_tolmar.txt"); }
    bool results_exist() const {
        return file_exists(path + "/images/d/dem_tolmar.raw") ||
               file_exists(path + "/images/d/dem_tolmar.txt");
    }
};


const char MENU[] =
    "\n\n\t0 ====> other treatment\n\t1 ====> New reference point"
    "\n\t2 ====> change in dip value\n\t3 ====> change of dip direction"
    "\n\t4 ====> change in size of area of influence\n\t5 ====> Exit\n\t";

}  // namespace

// ---- console readers ------------------------------------------------------

class ConsoleTest : public RunTest {};

TEST_F(ConsoleTest, SeveralAnswersMayStandOnOneLine) {
    answers("1 -2\n+3\n");
    EXPECT_EQ(con.read_int("a "), 1);
    EXPECT_EQ(con.read_int("b "), -2);
    EXPECT_EQ(con.read_int("c "), 3);
    EXPECT_EQ(printed(), "a b c ");
}

TEST_F(ConsoleTest, NonNumericAnswerIsDroppedWithItsLineAndAskedAgain) {
    answers("abc 5\n12x\n42\n");
    EXPECT_EQ(con.read_int("n ? "), 42);
    std::string out = printed();
    EXPECT_EQ(count(out, "n ? "), 3);
    EXPECT_NE(out.find("not a whole number: abc"), std::string::npos);
}

TEST_F(ConsoleTest, AnswersBeyondThirtyTwoBitsAreAskedAgainAndTheEndsAreKept) {
    answers("2147483648\n-2147483649\n-2147483648 2147483647\n");
    EXPECT_EQ(con.read_int("? "), INT_MIN);
    EXPECT_EQ(con.read_int("? "), INT_MAX);
    EXPECT_EQ(count(printed(), "? "), 4);
}

TEST_F(ConsoleTest, EndOfInputNeverLoops) {
    answers("  \n\t");
    EXPECT_THROW(con.read_int("? "), EndOfInput);
    answers("x");
    EXPECT_THROW(con.read_int("? "), EndOfInput);
    answers("");
    EXPECT_THROW(con.read_word("? "), EndOfInput);
}

TEST_F(ConsoleTest, KeyPressTakesOneCharacterAndToleratesEndOfInput) {
    answers("7\nz");
    EXPECT_EQ(con.read_int(""), 7);
    con.key_press();  // the line end after 7
    EXPECT_EQ(fgetc(con.in()), 'z');
    con.key_press();  // at the end: no error
}

// ---- treatment dialogue ---------------------------------------------------

class TreatmentDialogue : public RunTest {
protected:
    // The values of a previous treatment, as entered.
    void previous() { run.values = {10, 20, 30, 40, 5}; }
    void expect_now(int i, int j, int sl, int d, int z) {
        const Values expected{i, j, sl, d, z};
        EXPECT_TRUE(run.values == expected);
    }
    void ask(int menu_answer, const std::string &given) {
        answers(given);
        run.menu = menu_answer;
        ask_treatment_values(run);
    }
};

TEST_F(TreatmentDialogue, FirstAndOtherTreatmentAskAllFive) {
    ask(0, "1 2 3 4 5\n");
    expect_now(1, 2, 3, 4, 5);
    EXPECT_EQ(printed(),
              "\n\n\tCoordinates of the reference point : \n\t\tline ? \t\tcolumn ? "
              "\t\tplane dip (in degrees) ? \t\tdirection of the slope ? \t\tinfluence zone ? ");
}

TEST_F(TreatmentDialogue, EachMenuChoiceAsksOnlyItsValue) {
    previous();
    ask(1, "7 8\n");
    expect_now(7, 8, 30, 40, 5);
    previous();
    ask(2, "60\n");
    expect_now(10, 20, 60, 40, 5);
    EXPECT_NE(printed().find("\n\n\tplane dip (in degrees) ? "), std::string::npos);
    previous();
    ask(3, "370\n");
    expect_now(10, 20, 30, 370, 5);
    previous();
    ask(4, "9\n");
    expect_now(10, 20, 30, 40, 9);
    EXPECT_FALSE(run.repeat);
}

TEST_F(TreatmentDialogue, NegativeAnswerRepeatsTheLastTreatmentAsGiven) {
    previous();
    ask(-1, "");
    expect_now(10, 20, 30, 40, 5);
    EXPECT_TRUE(run.repeat);
    EXPECT_EQ(printed(), "");
}

// ---- whole runs of the executable -----------------------------------------

TEST(Run, OpeningDialogueTextIsExact) {
    DemFolder d;
    RunResult r = run_tolmar(d.path, std::string(OPENING_ANSWERS) + TREATMENT + "5\n");
    ASSERT_EQ(r.status, 0);
    const std::string box = "\n\t*" + std::string(60, ' ') + "*";
    const std::string stars = std::string(62, '*');
    std::string expected = "\n\n\t" + stars + box + "\n\t*" + std::string(27, ' ') + "TOLMAR" +
                           std::string(27, ' ') + "*" + box + box + box + box +
                           "\n\t*                           tolmar, plane traces on a DEM    *"
                           "\n\t*                           (first version December 2026)    *" +
                           box +
                           "\n\t*                             last revision December 2026    *" +
                           box + "\n\t" + stars;
    expected +=
        "\n\n\tName of the File Folder located in the Directory images/ ? "
        "\n\tName of DEM File (without extension _m2 or _m4) ? "
        "\n\ttype of DEM :\n\t\t0 ====> 16 bits\n\t\t1 ====> 32 bits\n\t\t"
        "\n\n\tTHE DIGITAL ELEVATION MODEL HAS: \n\t           12 LINES \n\t        ET 12 COLUMNS\n"
        "\n\n\tResulting File : "
        "\n\n\t\t0 -----> Taking into account the generic name dem ? "
        "\n\t\t1 -----> Creation of a new File ? \n\t\t"
        "\n\n\tDEM file lecture\n"
        "\n\n\tDynamic scale of the input DEM :\n\t\tMin = 100\n\t\tMax = 111 "
        "\n\n\tAre these values :\n\t\t0 ====> in meters\n\t\t1 ====> in decimeters"
        "\n\t\t2 ====> in centimeters\n\t\t3 ====> in millimeters\n\t\t"
        "\n\n\tbackground:\n\t\t0 ====> white\n\t\t1 ====> black\n\t\t"
        "\n\n\tCoordinates of the reference point : \n\t\tline ? \t\tcolumn ? "
        "\t\tplane dip (in degrees) ? \t\tdirection of the slope ? \t\tinfluence zone ? "
        "\n\n\tcode 1 stamped on 8 cells";
    expected += MENU;
    expected += "\n\n\tWritten: images/d/dem_tolmar.raw and images/d/dem_tolmar.txt, 1 treatment\n";
    EXPECT_EQ(r.out, expected);
}

TEST(Run, ExitAtTheFirstMenuWritesOneTreatment) {
    DemFolder d;
    RunResult r = run_tolmar(d.path, std::string(OPENING_ANSWERS) + TREATMENT + "5\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(d.log(), header_text(12, 12, 30) + record_text(1, 6, 6, 10, 90, 3));
    EXPECT_EQ(d.raster().size(), 144u);
}

TEST(Run, MenuAnswerAboveFiveShowsTheMenuAgainWithoutATreatment) {
    DemFolder d;
    RunResult r = run_tolmar(d.path, std::string(OPENING_ANSWERS) + TREATMENT + "6\n99\n5\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count(r.out, MENU), 3);
    EXPECT_EQ(count(d.log(), "code"), 1);
}

TEST(Run, NegativeMenuAnswerRepeatsTheTreatmentWithItsDirection) {
    DemFolder d;
    RunResult r = run_tolmar(d.path, std::string(OPENING_ANSWERS) + TREATMENT + "-1\n5\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(d.log(), header_text(12, 12, 30) + record_text(1, 6, 6, 10, 90, 3) +
                           record_text(2, 6, 6, 10, 90, 3));
    // The repeat is the same plane: its trace covers exactly the first one's.
    std::string raster = d.raster();
    EXPECT_EQ(raster.find('\x01'), std::string::npos);
    EXPECT_NE(raster.find('\x02'), std::string::npos);
}

TEST(Run, NonNumericAnswersAreAskedAgain) {
    DemFolder d;
    RunResult r = run_tolmar(d.path, "d\ndem\nsixteen\n0\nzero\n0\n0\n0\n6 6 ten\n10 90 3\nexit\n5\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(d.log(), header_text(12, 12, 30) + record_text(1, 6, 6, 10, 90, 3));
}

TEST(Run, EndOfInputBeforeTheTreatmentsWritesNothingAndFails) {
    for (const char *answers : {"", "d\n", "d\ndem\n0\n", "d\ndem\n0\n0\n", "d\ndem\n0\n0\n0\n"}) {
        DemFolder d;
        RunResult r = run_tolmar(d.path, answers);
        EXPECT_EQ(r.status, 1) << "answers: " << answers;
        EXPECT_FALSE(d.results_exist()) << "answers: " << answers;
    }
}

TEST(Run, EndOfInputDuringTheTreatmentsKeepsEveryStampedOne) {
    // Inside a treatment's questions, at the menu, after a refused one.
    for (const char *tail : {"6 6", "6 6 10 90 3\n", "6 6 10 90 3\n0\n6 6 10", "6 6 10 90 3\n1\n6"}) {
        DemFolder d;
        RunResult r = run_tolmar(d.path, std::string(OPENING_ANSWERS) + tail);
        EXPECT_EQ(r.status, 0) << "tail: " << tail;
        int stamped = std::string(tail).find('\n') == std::string::npos ? 0 : 1;
        std::string expected = header_text(12, 12, 30);
        if (stamped) expected += record_text(1, 6, 6, 10, 90, 3);
        EXPECT_EQ(d.log(), expected) << "tail: " << tail;
        EXPECT_EQ(d.raster().size(), 144u);
    }
}
