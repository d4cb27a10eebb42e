// bench_start.cpp: a table of 1,000 stations traced on DEMs of 1,000 to
// 20,000 cells a side, with and without result sets;
// the wait before a session's first treatment question on
// DEMs of 20,000 and 40,000 cells a side (0.8 and 3.2 GB of 16-bit samples),
// white and black background, beside the time to read the same file from
// the page cache (what `cat FILE > /dev/null` takes), in the same run. A run
// of tolmar answers the opening questions; the clock stops when it asks for
// the first reference point. Its memory at that moment is read from the
// kernel: its own (anonymous) memory, and the file pages it maps (the DEM's
// and the result raster's, which belong to the page cache and are given
// back under pressure). Needs 4 GB of temporary disk.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "compute/treatment.h"
#include "files/demset.h"
#include "scratch.h"

namespace {

Scratch work("start");

// The DEM of this side, made once, in images/b/ under the work folder.
std::string dem(int side) {
    const std::string name = "d" + std::to_string(side);
    const std::string raw = work.dir + "/images/b/" + name + "_m2.raw";
    if (!std::filesystem::exists(raw)) {
        std::filesystem::create_directories(work.dir + "/images/b");
        const std::string cmd = std::string("'") + MAKE_DEM + "' " + std::to_string(side) + " " + std::to_string(side) + " 2 '" +
                                work.dir + "/images/b/" + name + "'";
        if (system(cmd.c_str()) != 0) abort();
    }
    return name;
}

// Kilobytes of a /proc/PID/smaps_rollup field.
long smaps_kb(pid_t pid, const char *field) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    long total = 0;
    while (std::getline(f, line))
        if (line.compare(0, strlen(field), field) == 0) total += atol(line.c_str() + strlen(field));
    return total;
}

void BM_PageCacheRead(benchmark::State &state) {
    const int side = static_cast<int>(state.range(0));
    const std::string path = work.dir + "/images/b/" + dem(side) + "_m2.raw";
    std::vector<char> buf(1 << 20);
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        const int fd = open(path.c_str(), O_RDONLY);
        while (read(fd, buf.data(), buf.size()) > 0) {
        }
        close(fd);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
}

void BM_FirstQuestion(benchmark::State &state) {
    const int side = static_cast<int>(state.range(0));
    const bool black = state.range(1) != 0;
    const std::string name = dem(side);
    const std::string answers = "b\n" + name + "\n0\n0\n1\n" + (black ? "1" : "0") + "\n";
    long private_kb = 0, shared_kb = 0;
    for (auto _ : state) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) abort();
        const auto t0 = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            if (chdir(work.dir.c_str()) != 0) _exit(1);
            execl(TOLMAR_EXE, TOLMAR_EXE, static_cast<char *>(nullptr));
            _exit(1);
        }
        close(in[0]);
        close(out[1]);
        if (write(in[1], answers.data(), answers.size()) != static_cast<ssize_t>(answers.size())) abort();
        std::string printed;
        char b[4096];
        ssize_t n;
        while (printed.find("line ? ") == std::string::npos && (n = read(out[0], b, sizeof b)) > 0) printed.append(b, size_t(n));
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        private_kb = smaps_kb(pid, "Anonymous:");
        shared_kb = smaps_kb(pid, "Rss:") - private_kb;
        // End of input: the run ends as on Exit, the earlier set kept.
        close(in[1]);
        while (read(out[0], b, sizeof b) > 0) {
        }
        close(out[0]);
        waitpid(pid, nullptr, 0);
    }
    const double cells = static_cast<double>(side) * side;
    state.counters["own_B_per_cell"] = private_kb * 1024.0 / cells;
    state.counters["file_B_per_cell"] = shared_kb * 1024.0 / cells;
}

// A table of stations traced at zone 50, from the start of tolmar-stations
// to its end: mapping the DEM, reading the table, the treatments traced
// into the trace layer alone (sets 0), or also stamped and written as result
// sets of the DEM's size (sets 1 white, 2 black, written sparse). The same
// stations on every side, their points within the smallest DEM. The cost a
// station is the difference between tables of 10,000 and 1,000 stations,
// over 9,000: the DEM's reading, the same for both, drops out.
std::string stations_table(int n) {
    std::string table = "row,column,dip,dipdir\n";
    for (int k = 0; k < n; k++)
        table += std::to_string(100 + (k * 7919) % 800) + "," + std::to_string(100 + (k * 104729) % 800) + "," +
                 std::to_string(5 + k % 60) + "," + std::to_string((k * 37) % 360) + "\n";
    return table;
}

void BM_Stations(benchmark::State &state) {
    const int side = static_cast<int>(state.range(0)), sets = static_cast<int>(state.range(1));
    const int n = static_cast<int>(state.range(2));
    const std::string name = dem(side);
    const std::string csv = "stations" + std::to_string(n) + ".csv";
    std::ofstream(work.dir + "/" + csv) << stations_table(n);
    const char *options[] = {"", " --sets", " --sets --background black"};
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        const std::string cmd = std::string("cd '") + work.dir + "' && '" + TOLMAR_STATIONS + "' images/b/" + name +
                                "_m2.raw " + csv + " --unit dm --zone 50" + options[sets] + " > /dev/null";
        if (system(cmd.c_str()) != 0) state.SkipWithError("tolmar-stations failed");
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
}

// The bare computation of the same stations on the same DEM, in the same
// run: each traced in true geometry into memory, nothing read from a table
// and nothing written.
void BM_StationsBare(benchmark::State &state) {
    const int side = static_cast<int>(state.range(0));
    const std::string raw = work.dir + "/images/b/" + dem(side) + "_m2.raw";
    DemSamples samples;
    const int fd = open(raw.c_str(), O_RDONLY);
    if (fd < 0 || !samples.allocate(side, side, 2) ||
        pread(fd, samples.s16(), size_t(side) * size_t(side) * 2, 0) != static_cast<ssize_t>(size_t(side) * size_t(side) * 2)) {
        state.SkipWithError("cannot read the DEM");
        return;
    }
    close(fd);
    const Terrain t = samples.terrain(10.0, 30);
    std::vector<Values> stations;
    for (int k = 0; k < 10000; k++) {
        Values v;
        v.row = 100 + (k * 7919) % 800;
        v.column = 100 + (k * 104729) % 800;
        v.dip = 5 + k % 60;
        v.dip_direction = (k * 37) % 360;
        v.zone = 50;
        stations.push_back(v);
    }
    Work w;
    size_t k = 0;
    for (auto _ : state) benchmark::DoNotOptimize(trace(t, stations[k++ % stations.size()], w, Geometry::exact).cells.size());
}

}  // namespace

BENCHMARK(BM_StationsBare)->ArgNames({"side"})->Arg(1000)->Arg(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Stations)
    ->ArgNames({"side", "sets", "stations"})
    ->Args({1000, 0, 1000})
    ->Args({1000, 0, 10000})
    ->Args({20000, 0, 1000})
    ->Args({20000, 0, 10000})
    ->Args({1000, 1, 1000})
    ->Args({1000, 1, 10000})
    ->Args({1000, 2, 1000})
    ->Args({1000, 2, 10000})
    ->Args({20000, 2, 1000})
    ->Args({20000, 2, 10000})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);
// The page cache is warm for both: the file is read once before.
BENCHMARK(BM_PageCacheRead)->ArgName("side")->Arg(20000)->Arg(40000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_FirstQuestion)
    ->ArgNames({"side", "black"})
    ->Args({20000, 0})
    ->Args({20000, 1})
    ->Args({40000, 0})
    ->Args({40000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(5);
