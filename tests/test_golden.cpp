// test_golden.cpp: the demo session on the bundled Jacksboro DEM from end to
// end, against committed expected outputs (tests/golden/jacksboro/): the
// console's transcript, the result raster and log, the GeoJSON and CSV
// export, the preview's checksum, replay's answers and the fit's JSON, each
// compared byte for byte; and the same session on the DEM's 32-bit
// decimetre twin, whose elevations are the same metres, stamps the very
// same cells.
#include "support.h"

namespace {

const std::string GOLDEN = std::string(TOLMAR_GOLDEN) + "/jacksboro/";
const std::string DEM = "images/jacksboro/jacksboro_m2.raw";
const std::string RESULT = "images/jacksboro/jacksboro_tolmar.raw";

std::string golden(const std::string &name) { return read_file(GOLDEN + name); }

// A working folder holding both Jacksboro DEMs, as the demo copies them.
struct Jacksboro : TempDir {
    Jacksboro() {
        for (const char *f : {"jacksboro_m2.raw", "jacksboro_m2.txt", "jacksboro_m4.raw", "jacksboro_m4.txt"})
            write_file(*this / (std::string("images/jacksboro/") + f),
                       read_file(std::string(TOLMAR_EXAMPLES) + "/jacksboro/" + f));
    }
    std::string file(const std::string &name) const { return read_file(*this / name); }
    std::string sha256(const std::string &name) const {
        const RunResult r = run_command(path, "sha256sum '" + name + "'");
        return r.out.substr(0, 64) + "\n";
    }
};

std::string tool(const char *exe, const std::string &args) { return std::string("'") + exe + "' " + args; }

// The answers with the DEM's type and unit changed (lines 3 and 5).
std::string with_type_and_unit(const std::string &answers, const char *type, const char *unit) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t nl; (nl = answers.find('\n', at)) != std::string::npos; at = nl + 1) lines.push_back(answers.substr(at, nl - at));
    lines[2] = type;
    lines[4] = unit;
    std::string out;
    for (const std::string &l : lines) out += l + "\n";
    return out;
}

}  // namespace

TEST(Golden, DemoSessionWritesTheCommittedTranscriptRasterAndLog) {
    Jacksboro d;
    const RunResult r = run_tolmar(d.path, golden("answers.txt"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, golden("transcript.txt"));
    EXPECT_EQ(d.file(RESULT), golden("jacksboro_tolmar.raw"));
    EXPECT_EQ(d.file("images/jacksboro/jacksboro_tolmar.txt"), golden("jacksboro_tolmar.txt"));
}

TEST(Golden, TheDecimetreTwinStampsTheSameCellsAndDrawsTheSamePicture) {
    Jacksboro d;
    const RunResult r = run_tolmar(d.path, with_type_and_unit(golden("answers.txt"), "1", "1"));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Min = 2360\n\t\tMax = 10760 "), std::string::npos);
    EXPECT_EQ(d.file(RESULT), golden("jacksboro_tolmar.raw"));
    EXPECT_EQ(d.file("images/jacksboro/jacksboro_tolmar.txt"), golden("jacksboro_tolmar.txt"));
    const RunResult p = run_command(
        d.path, tool(TOLMAR_PREVIEW, "--unit dm --scale 2 images/jacksboro/jacksboro_m4.raw " + RESULT + " p.png"));
    ASSERT_EQ(p.status, 0) << p.out;
    EXPECT_EQ(d.sha256("p.png"), golden("preview.png.sha256"));
}

TEST(Golden, CompanionsOnTheDemoResultsGiveTheCommittedOutputs) {
    Jacksboro d;
    ASSERT_EQ(run_tolmar(d.path, golden("answers.txt")).status, 0);
    RunResult r = run_command(d.path, tool(TOLMAR_EXPORT, RESULT + " -o traces.geojson"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(d.file("traces.geojson"), golden("traces.geojson"));
    r = run_command(d.path, tool(TOLMAR_EXPORT, RESULT + " --format csv -o traces.csv"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(d.file("traces.csv"), golden("traces.csv"));
    r = run_command(d.path, tool(TOLMAR_PREVIEW, "--scale 2 " + DEM + " " + RESULT + " p.png"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(d.sha256("p.png"), golden("preview.png.sha256"));
    write_file(d / "contact.geojson", golden("contact.geojson"));
    write_file(d / "true_contact.geojson", golden("true_contact.geojson"));
    r = run_command(d.path, tool(TOLMAR_FIT, "--json " + DEM + " true_contact.geojson"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, golden("fit.json"));
    r = run_command(d.path, tool(TOLMAR_FIT, "--classic --json " + DEM + " contact.geojson"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, golden("fit_classic.json"));

    // Replay's answers, and the files they make tolmar write again.
    r = run_command(d.path, tool(TOLMAR_REPLAY, "--unit m --type 0 images/jacksboro/jacksboro_tolmar.txt"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, golden("replay.txt"));
    Jacksboro again;
    ASSERT_EQ(run_tolmar(again.path, r.out).status, 0);
    EXPECT_EQ(again.file(RESULT), golden("jacksboro_tolmar.raw"));
    EXPECT_EQ(again.file("images/jacksboro/jacksboro_tolmar.txt"), golden("jacksboro_tolmar.txt"));
}

// Dips outside 0 to 90 and directions outside 0 to 359 are traced as they
// always were; the console says in words how, between the questions and
// the stamp.
TEST(Golden, AttitudesOutOfRangeAreToldInWordsAndTracedAsBefore) {
    Jacksboro d;
    const RunResult r = run_tolmar(d.path, golden("attitudes_answers.txt"));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == golden("attitudes_transcript.txt")) << "the transcript differs from attitudes_transcript.txt";
    EXPECT_EQ(d.sha256(RESULT), golden("attitudes_tolmar.raw.sha256"));
    EXPECT_TRUE(d.file("images/jacksboro/jacksboro_tolmar.txt") == golden("attitudes_tolmar.txt"));
}
