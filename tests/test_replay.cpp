// test_replay.cpp: tolmar-replay: its answers make tolmar write the same
// result raster and log again, on the bundled real DEMs; and its errors.
#include "support.h"

namespace {

const std::string REPLAY = std::string("'") + TOLMAR_REPLAY + "'";

// Copies a bundled DEM file set into images/<folder>/ under `t`.
void bundled(const TempDir &t, const std::string &folder, const std::string &set, bool with_descriptor = true) {
    const std::string src = std::string(TOLMAR_EXAMPLES) + "/" + folder + "/" + set;
    write_file(t.path + "/images/" + folder + "/" + set + ".raw", read_file(src + ".raw"));
    if (with_descriptor)
        write_file(t.path + "/images/" + folder + "/" + set + ".txt", read_file(src + ".txt"));
}

// Runs `answers` in one folder, replays its log into a fresh one, and
// compares the result files byte for byte. `descriptor` replaces the DEM
// descriptor of both folders when given ("" removes it).
void round_trip(const std::string &folder, const std::string &set, const std::string &answers,
                const std::string &result, const std::string &options, const char *descriptor = nullptr) {
    TempDir first, second;
    for (const TempDir *t : {&first, &second}) {
        bundled(*t, folder, set, descriptor == nullptr);
        if (descriptor != nullptr && *descriptor) write_file(t->path + "/images/" + folder + "/" + set + ".txt", descriptor);
    }
    ASSERT_EQ(run_tolmar(first.path, answers).status, 0);
    // The descriptor a run makes is there for the replay too; take it away
    // again where the case has none.
    if (descriptor != nullptr && !*descriptor) std::remove((first / ("images/" + folder + "/" + set + ".txt")).c_str());
    const std::string log = "images/" + folder + "/" + result + "_tolmar.txt";
    RunResult replay = run_command(first.path, REPLAY + " " + options + " " + log);
    ASSERT_EQ(replay.status, 0) << replay.out;
    RunResult again = run_tolmar(second.path, replay.out);
    ASSERT_EQ(again.status, 0) << replay.out;
    EXPECT_EQ(read_file(second / log), read_file(first / log));
    const std::string raw = "images/" + folder + "/" + result + "_tolmar.raw";
    EXPECT_EQ(read_file(second / raw), read_file(first / raw));
    EXPECT_FALSE(read_file(first / raw).empty());
}

}  // namespace

TEST(Replay, RedoesTheDemoSessionOnJacksboroByteForByte) {
    round_trip("jacksboro", "jacksboro_m2", read_file(std::string(TOLMAR_EXAMPLES) + "/jacksboro/answers.txt"),
               "jacksboro", "--unit m");
}

TEST(Replay, ThirtyTwoBitCentimetresNewNameBlackBackground) {
    // Salish: sea floor below zero; the results under a name of their own.
    round_trip("salish", "salish_m4", "salish\nsalish\n1\n1\nsea\n2\n1\n45 60 10 90 12\n2\n30\n-1\n1\n30 40\n5\n",
               "sea", "--unit cm --dem salish");
}

TEST(Replay, AnswersThePixelSizeWhenTheDescriptorLacksIt) {
    round_trip("jacksboro", "jacksboro_m4", "jacksboro\njacksboro\n1\n0\n1\n83\n0\n150 200 10 135 30\n5\n",
               "jacksboro", "--unit dm", "344\n403\n4\n");
}

TEST(Replay, AnswersTheSizeQuestionsWhenThereIsNoDescriptor) {
    round_trip("jacksboro", "jacksboro_m4", "jacksboro\njacksboro\n1\n344\n403\n83\n0\n1\n0\n150 200 10 135 30\n5\n",
               "jacksboro", "--unit dm", "");
}

TEST(Replay, LogWithoutTreatmentsIsReplayedByARefusedOne) {
    round_trip("jacksboro", "jacksboro_m2", "jacksboro\njacksboro\n0\n0\n0\n1\n0 0 10 90 5\n5\n", "jacksboro",
               "--unit 0");
}

TEST(Replay, ErrorsNameWhatIsMissing) {
    TempDir t;
    bundled(t, "jacksboro", "jacksboro_m2");
    ASSERT_EQ(run_tolmar(t.path, "jacksboro\njacksboro\n0\n1\nrun2\n0\n0\n150 200 10 135 30\n5\n").status, 0);
    const std::string log = " images/jacksboro/run2_tolmar.txt";
    RunResult r = run_command(t.path, REPLAY + " --help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: tolmar-replay"), std::string::npos);
    const std::pair<std::string, std::string> usage_cases[] = {
        {" --dem jacksboro" + log, "--unit is required: neither the log nor images/jacksboro/jacksboro_m2.raw says"},
        {" --unit ft" + log, "--unit takes m, dm, cm or mm"},
        {" --unit m", "needs the run log"},
        {" --unit m" + log, "no DEM run2_m2.raw or run2_m4.raw beside the log: give --dem"},
        {" --unit m --type 2 --dem jacksboro" + log, "--type takes 0"},
        {" --unit m --background grey --dem jacksboro" + log, "--background takes white or black"},
        {" --unit m --frob" + log, "unknown option --frob"},
        {" --unit m" + log + log, "one run log only"},
    };
    for (const auto &c : usage_cases) {
        r = run_command(t.path, REPLAY + c.first);
        EXPECT_EQ(r.status, 2) << c.first;
        EXPECT_NE(r.out.find(c.second), std::string::npos) << c.first << ": " << r.out;
    }
    write_file(t / "images/jacksboro/bad_tolmar.txt", "garbage");
    write_file(t / "images/jacksboro/other_m2.txt", "344 400 2 0 0 83");
    write_file(t / "images/jacksboro/other_m2.raw", "");
    const std::pair<std::string, std::string> failures[] = {
        {" --unit m images/jacksboro/jacksboro_m2.txt", "a run log's name ends in _tolmar.txt"},
        {" --unit m --dem jacksboro images/jacksboro/none_tolmar.txt", "cannot read images/jacksboro/none_tolmar.txt"},
        {" --unit m --dem jacksboro images/jacksboro/bad_tolmar.txt", "not a result descriptor"},
        {" --unit m --dem other" + log, "other_m2.txt does not describe a DEM of 344 x 403 cells"},
    };
    for (const auto &c : failures) {
        r = run_command(t.path, REPLAY + c.first);
        EXPECT_EQ(r.status, 1) << c.first;
        EXPECT_NE(r.out.find(c.second), std::string::npos) << c.first << ": " << r.out;
    }
}
