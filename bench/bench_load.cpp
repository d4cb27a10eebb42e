// bench_load.cpp: loading a 10,000 x 10,000 DEM (16-bit and 32-bit) beside
// the time to read the same file into memory with one fread, in the same run.
// Each measurement runs in a fresh child process, as a real run starts, so
// that both sides pay for first touching their memory; the children also
// report the memory the grids take per DEM cell, at its peak and once
// loading is done.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "../LIB/nrutil.h"
#include "tolmar.h"

namespace {

const int SIDE = 10000;
const double CELLS = static_cast<double>(SIDE) * SIDE;

// The DEM files, removed when the benchmark ends.
struct DemFiles {
    std::string path[5];
    ~DemFiles() {
        for (const std::string &p : path)
            if (!p.empty()) remove(p.c_str());
    }
} files;

// The DEM file of each width, written once into the temporary folder.
std::string dem_file(int width) {
    std::string &path = files.path[width];
    if (!path.empty()) return path;
    const char *tmp = getenv("TMPDIR");
    path = std::string(tmp ? tmp : "/tmp") + "/tolmar-bench-" + std::to_string(getpid()) + "-" +
           std::to_string(width) + ".raw";
    FILE *f = fopen(path.c_str(), "wb");
    std::vector<unsigned char> row(static_cast<size_t>(SIDE) * width);
    for (int i = 0; i < SIDE; i++) {
        for (int j = 0; j < SIDE; j++) {
            unsigned v = static_cast<unsigned>(200 + (i * 3 + j * 5) % 900);
            for (int b = 0; b < width; b++) row[static_cast<size_t>(j) * width + b] = (v >> (8 * b)) & 0xff;
        }
        fwrite(row.data(), 1, row.size(), f);
    }
    fclose(f);
    return path;
}

long resident_kb() {
    long pages = 0, resident = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (f != nullptr) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct ChildReport {
    double seconds = 0;
    long peak_kb = 0, base_kb = 0, after_kb = 0;
};

// Runs `work` in a fresh child after `setup`, timing `work` alone.
ChildReport in_child(const std::function<void()> &setup, const std::function<void()> &work) {
    int fd[2];
    ChildReport r;
    if (pipe(fd) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        close(fd[0]);
        ChildReport c;
        c.base_kb = resident_kb();
        setup();
        auto t0 = std::chrono::steady_clock::now();
        work();
        auto t1 = std::chrono::steady_clock::now();
        c.seconds = std::chrono::duration<double>(t1 - t0).count();
        c.after_kb = resident_kb();
        struct rusage ru;
        getrusage(RUSAGE_SELF, &ru);
        c.peak_kb = ru.ru_maxrss;
        _exit(write(fd[1], &c, sizeof c) == sizeof c ? 0 : 1);
    }
    close(fd[1]);
    if (read(fd[0], &r, sizeof r) != sizeof r) r.seconds = -1;
    close(fd[0]);
    waitpid(pid, nullptr, 0);
    return r;
}

// What opening() leaves for lecture(): sizes, zero-filled grids, the open
// raster; and the answers parameters() reads (metres, white background).
void open_dem(int width) {
    con_out = fopen("/dev/null", "w");
    nb_lig = nb_col = SIDE;
    itype = width == 2 ? 0 : 1;
    pix_size = 30;
    allocate_grids();
    f1 = fopen(dem_file(width).c_str(), "rb");
    con_in = tmpfile();
    fputs("0\n0\n", con_in);
    rewind(con_in);
    f2d = fopen("/dev/null", "w");
}

// Releases the grids the treatment benchmarks left, so that the children
// start from a small parent, like a real run, and writes the DEM file.
void prepare(int width) {
    if (nb_lig != 0) reset_state();
    dem_file(width);
}

void BM_PlainRead(benchmark::State &state) {
    const int width = static_cast<int>(state.range(0));
    prepare(width);
    const std::string path = dem_file(width);
    const size_t bytes = static_cast<size_t>(SIDE) * SIDE * width;
    for (auto _ : state) {
        ChildReport r = in_child([] {}, [&] {
            unsigned char *buf = static_cast<unsigned char *>(malloc(bytes));
            FILE *f = fopen(path.c_str(), "rb");
            size_t got = fread(buf, 1, bytes, f);
            fclose(f);
            benchmark::DoNotOptimize(got);
            benchmark::DoNotOptimize(buf[bytes - 1]);
        });
        state.SetIterationTime(r.seconds);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

void BM_Lecture(benchmark::State &state) {
    const int width = static_cast<int>(state.range(0));
    prepare(width);
    for (auto _ : state) {
        ChildReport r = in_child([&] { open_dem(width); }, [] { lecture(); });
        state.SetIterationTime(r.seconds);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * SIDE * SIDE * width);
}

// The whole loading of a run but for the typing: lecture() and the range,
// unit and conversion of parameters(). Also the grids' memory per cell: the
// peak, and what stays resident once loading is done.
void BM_LectureAndConversion(benchmark::State &state) {
    const int width = static_cast<int>(state.range(0));
    prepare(width);
    ChildReport r;
    for (auto _ : state) {
        r = in_child([&] { open_dem(width); }, [] {
            lecture();
            parameters();
        });
        state.SetIterationTime(r.seconds);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * SIDE * SIDE * width);
    state.counters["peak_B_per_cell"] = (r.peak_kb - r.base_kb) * 1024.0 / CELLS;
    state.counters["after_B_per_cell"] = (r.after_kb - r.base_kb) * 1024.0 / CELLS;
}

}  // namespace

// A child's setup (fork, grids of 1.6 GB) costs more than what it times:
// a fixed number of children keeps the run short.
static void widths(benchmark::internal::Benchmark *b) {
    b->ArgName("bytes")->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(4);
}
BENCHMARK(BM_PlainRead)->Apply(widths);
BENCHMARK(BM_Lecture)->Apply(widths);
BENCHMARK(BM_LectureAndConversion)->Apply(widths);
