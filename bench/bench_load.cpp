// bench_load.cpp: loading a 10,000 x 10,000 DEM (16-bit and 32-bit) as a run
// does it, from obtaining the memory to the range of the samples, beside one
// read of the same file into fresh memory, in the same run. Each measurement
// runs in a fresh child process, as a real run starts, so that both pay for
// first touching their memory; the children also report the memory a run
// holds per DEM cell, at its peak.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "console/loading.h"

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
} files_made;

// The DEM file of each width, written once into the temporary folder.
std::string dem_file(int width) {
    std::string &path = files_made.path[width];
    if (!path.empty()) return path;
    const char *tmp = getenv("TMPDIR");
    path = std::string(tmp ? tmp : "/tmp") + "/tolmar-bench-" + std::to_string(getpid()) + "-" +
           std::to_string(width) + ".raw";
    FILE *f = fopen(path.c_str(), "wb");
    std::vector<unsigned char> row(static_cast<size_t>(SIDE) * width);
    for (int i = 0; i < SIDE; i++) {
        for (int j = 0; j < SIDE; j++) {
            const unsigned v = static_cast<unsigned>(200 + (i * 3 + j * 5) % 900);
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
    long peak_kb = 0, base_kb = 0;
};

// Runs `work` in a fresh child, timing it.
ChildReport in_child(const std::function<void()> &work) {
    int fd[2];
    ChildReport r;
    if (pipe(fd) != 0) return r;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fd[0]);
        ChildReport c;
        c.base_kb = resident_kb();
        const auto t0 = std::chrono::steady_clock::now();
        work();
        const auto t1 = std::chrono::steady_clock::now();
        c.seconds = std::chrono::duration<double>(t1 - t0).count();
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

void BM_PlainRead(benchmark::State &state) {
    const int width = static_cast<int>(state.range(0));
    const std::string path = dem_file(width);
    const size_t bytes = static_cast<size_t>(SIDE) * SIDE * width;
    for (auto _ : state) {
        const ChildReport r = in_child([&] {
            unsigned char *buf = static_cast<unsigned char *>(malloc(bytes));
            FILE *f = fopen(path.c_str(), "rb");
            const size_t got = fread(buf, 1, bytes, f);
            fclose(f);
            benchmark::DoNotOptimize(got);
            benchmark::DoNotOptimize(buf[bytes - 1]);
        });
        state.SetIterationTime(r.seconds);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

// What a run does from the known sizes to the range: the samples and the
// result raster obtained, the raster read. Also the memory a run holds per
// cell at its peak.
void BM_Loading(benchmark::State &state) {
    const int width = static_cast<int>(state.range(0));
    const std::string path = dem_file(width);
    ChildReport r;
    for (auto _ : state) {
        r = in_child([&] {
            Console con(stdin, fopen("/dev/null", "w"));
            Run run(con);
            run.rows = run.cols = SIDE;
            run.dem.allocate(SIDE, SIDE, width);
            run.dem_fd = open(path.c_str(), O_RDONLY);
            benchmark::DoNotOptimize(read_dem(run).max);
        });
        state.SetIterationTime(r.seconds);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * SIDE * SIDE * width);
    state.counters["peak_B_per_cell"] = (r.peak_kb - r.base_kb) * 1024.0 / CELLS;
}

}  // namespace

// A child's setup costs more than what it times: a fixed number of children
// keeps the run short.
static void widths(benchmark::internal::Benchmark *b) {
    b->ArgName("bytes")->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(4);
}
BENCHMARK(BM_PlainRead)->Apply(widths);
BENCHMARK(BM_Loading)->Apply(widths);
