// support.h: what the tests share: temporary working folders, DEM file sets
// written byte by byte, runs of the tolmar executable with answers on its
// standard input, and a fixture that gives every in-process case a console
// and a run of its own.
#ifndef TOLMAR_TESTS_SUPPORT_H
#define TOLMAR_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "compute/treatment.h"
#include "console/console.h"
#include "console/dialogue.h"
#include "console/loading.h"
#include "console/opening.h"
#include "console/run.h"
#include "files/formats.h"

// A fresh folder under the system's temporary folder, removed with its
// contents at the end of the case.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);
bool file_exists(const std::string &path);
// How many times `what` stands in `text`.
int count(const std::string &text, const std::string &what);

// Samples little-endian, as a DEM raster holds them.
std::string le16(const std::vector<int> &samples);
std::string le32(const std::vector<int> &samples);

// Writes images/<folder>/<name>_m2.raw or _m4.raw under `root` with the
// samples, and its descriptor text when `descriptor` is not null.
void make_dem(const std::string &root, const std::string &folder, const std::string &name,
              bool bits32, const std::vector<int> &samples, const char *descriptor);

struct RunResult {
    int status;       // exit status, or -1 when the program did not exit by itself
    std::string out;  // what it printed
};
// Runs tolmar in `dir` with `answers` on standard input.
RunResult run_tolmar(const std::string &dir, const std::string &answers);
// Runs a command line in `dir` with `input` on its standard input; `out`
// holds what it printed on standard output and standard error.
RunResult run_command(const std::string &dir, const std::string &command, const std::string &input = "");

// A tolmar running in `dir` whose standard input and output the case holds,
// to answer it step by step, wait for what it prints, and signal or kill it.
// With `terminal` its input and output are a pseudo-terminal.
class Live {
public:
    Live(const std::string &dir, bool terminal = false, const std::string &command = TOLMAR_EXE,
         const std::vector<std::string> &args = {});
    ~Live();
    void send(const std::string &text);
    // Waits until what it printed holds `text` `times` times; false after
    // `seconds`.
    bool wait_for(const std::string &text, int times = 1, double seconds = 20);
    void signal(int sig);
    void close_input();
    // Closes the terminal, as a closed terminal window does.
    void hang_up();
    // Waits for it to end: its exit status, or -signal when a signal ended it.
    int finish(double seconds = 20);
    const std::string &printed() const { return out_; }
    int terminal_fd() const { return fd_out_; }

private:
    void pump(double seconds);
    int pid_ = -1, fd_in_ = -1, fd_out_ = -1;
    std::string out_;
};

// The descriptor header and the record a run log holds, written out here
// from the log's layout, not by the program's own writer.
std::string header_text(int rows, int cols, int pix);
std::string record_text(int code, int row, int column, int dip, int dip_direction, int zone);

// In-process cases: a console of the case's own and a run over it;
// answers() feeds the console, printed() returns what the program said.
class RunTest : public ::testing::Test {
protected:
    RunTest();
    ~RunTest() override;
    // A rows x cols DEM of `width`-byte samples and a result raster, all zero.
    void make_grids(int rows, int cols, int width = 4);
    void answers(const std::string &text);
    std::string printed();
    // Result files being written in a temporary folder, as the opening
    // leaves them for the loading.
    void open_results();

    FILE *in_ = nullptr, *out_ = nullptr;
    Console con;
    ::Run run;

private:
    TempDir *dir_ = nullptr;
};
#endif
