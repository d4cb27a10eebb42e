// fuzz_run.cpp: a whole tolmar run driven by arbitrary bytes: a small DEM
// file set and descriptor made from the input, then the answers, through the
// real dialogue and treatment code. Besides the sanitizers, every run's
// results are checked against what a run may leave behind.
//
// Input: byte 0 flags (bit 0: 32-bit DEM; bits 1-2: descriptor with six
// numbers, with three, none, or text taken from the input; bit 3: the answers
// come from the input from the very first question), byte 1 rows - 1, byte 2
// columns - 1 (both taken modulo 24), byte 3 pixel size, bytes 4-5 length of
// the DEM raster (little-endian), then the raster bytes, then (descriptor
// from the input) its text up to a zero byte, then the answers.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "console/dialogue.h"
#include "files/formats.h"

namespace fs = std::filesystem;

namespace {

FILE *null_out;
std::string work_dir;

void remove_work_dir() {
    std::error_code ec;
    fs::remove_all(work_dir, ec);
}

void put(const std::string &path, const std::string &bytes) {
    std::ofstream f(path, std::ios::binary);
    f << bytes;
}

std::string get(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "fuzz_run: %s\n", what);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char dir[] = "/tmp/tolmar-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) abort();
    work_dir = dir;
    atexit(remove_work_dir);
    fs::create_directories("images/f");
    // TOLMAR_FUZZ_SHOW=1 shows the dialogue of each run, to read a finding.
    null_out = getenv("TOLMAR_FUZZ_SHOW") ? stdout : fopen("/dev/null", "w");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 6) return 0;
    const bool bits32 = data[0] & 1;
    int mode = (data[0] >> 1) & 3;
    const bool raw_answers = data[0] & 8;
    int rows = 1 + data[1] % 24, cols = 1 + data[2] % 24;
    const int pix = data[3];
    size_t at = 6, raster_len = std::min<size_t>(data[4] | data[5] << 8, size - at);
    const std::string raster(reinterpret_cast<const char *>(data) + at, raster_len);
    at += raster_len;
    std::string descriptor;
    if (mode == 3) {
        while (at < size && data[at] != 0) descriptor.push_back(static_cast<char>(data[at++]));
        at++;
        // Sizes from the text are what the program will allocate: keep them
        // small (the descriptor reader has a fuzzer of its own).
        const formats::Descriptor d = formats::parse_descriptor(descriptor);
        const long long r = d.count > 0 ? d.field[0] : 0, c = d.count > 1 ? d.field[1] : 0;
        if (r > 64 || c > 64) return 0;
        rows = static_cast<int>(r);
        cols = static_cast<int>(c);
    } else if (mode == 0) {
        descriptor = std::to_string(rows) + " " + std::to_string(cols) + " " + (bits32 ? "4" : "2") + " 0 0 " +
                     std::to_string(pix) + "\n";
    } else if (mode == 1) {
        descriptor = std::to_string(rows) + "\n" + std::to_string(cols) + "\n" + (bits32 ? "4" : "2") + "\n";
    }
    // Sizes typed at the questions must be small too: only the harness types them.
    if (mode == 2 && raw_answers) return 0;
    std::string answers = at < size ? std::string(reinterpret_cast<const char *>(data) + at, size - at) : "";
    if (!raw_answers) {
        std::string opening = std::string("f\ndem\n") + (bits32 ? "1" : "0") + "\n";
        if (mode == 2) opening += std::to_string(rows) + "\n" + std::to_string(cols) + "\n" + std::to_string(pix) + "\n";
        answers = opening + answers;
    }

    for (auto &e : fs::directory_iterator("images/f")) fs::remove(e.path());
    const int width = bits32 ? 4 : 2;
    put(std::string("images/f/dem") + formats::dem_raster_suffix(width), raster);
    if (mode != 2) put(std::string("images/f/dem") + formats::dem_descriptor_suffix(width), descriptor);

    FILE *in = tmpfile();
    fwrite(answers.data(), 1, answers.size(), in);
    rewind(in);
    Console con(in, null_out);
    const int status = run_session(con);
    fclose(in);

    // Whatever the result name, results are the *_tolmar.* files of images/f.
    int results = 0;
    for (auto &e : fs::directory_iterator("images/f")) {
        const std::string name = e.path().filename().string();
        // A result file being written is named after it, with a leading dot
        // and a unique ending.
        check(name[0] != '.' || (name.find(std::string(formats::RESULT_RASTER_SUFFIX) + ".") == std::string::npos &&
                                 name.find(std::string(formats::RESULT_LOG_SUFFIX) + ".") == std::string::npos),
              "a temporary file left behind");
        if (!formats::ends_with(name, formats::RESULT_RASTER_SUFFIX)) continue;
        results++;
        const std::string out = get(e.path().string());
        const std::string log = get(formats::descriptor_path(e.path().string()));
        check(status == 0, "results left by a run that failed");
        formats::ResultLog parsed;
        std::string err;
        check(formats::parse_result_log(log, parsed, err), "a log that does not read back");
        const int last_rows = parsed.rows, last_cols = parsed.cols;
        check(out.size() == static_cast<size_t>(last_rows) * static_cast<size_t>(last_cols), "raster size");
        const size_t records = parsed.records.size();
        for (int i = 0; i < last_rows; i++)
            for (int j = 0; j < last_cols; j++) {
                const unsigned v = static_cast<unsigned char>(out[static_cast<size_t>(i) * last_cols + j]);
                check(v <= 250 || v == 255, "a value no cell may hold");
                const bool border = i == 0 || j == 0 || i == last_rows - 1 || j == last_cols - 1;
                check(!(border && v >= 1 && v <= 250), "a code on the border");
                check(v == 255 || v <= records, "a code without its record");
            }
    }
    check(status == 0 || results == 0, "failed run left results");
    return 0;
}
