// bench_serve.cpp: tolmar-serve on a 20,000 x 20,000 16-bit DEM, measured
// from the client's side: the time from starting the server to its first
// picture (the whole DEM at 1,024 pixels, as the page asks first), a full-
// resolution picture of a 1,280 x 800 view, the trace of zones 10 to 200 at
// new points, and the server's peak memory per cell. Needs 1.2 GB of
// temporary disk.
#include <benchmark/benchmark.h>
#include <httplib.h>
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

#include "scratch.h"

namespace {

const int SIDE = 20000;

Scratch work("serve");

struct MakeFolder {
    MakeFolder() { std::filesystem::create_directories(work.dir + "/images/b"); }
} make_folder;

void make_dem() {
    static bool made = false;
    if (made) return;
    made = true;
    const std::string cmd = std::string("'") + MAKE_DEM + "' " + std::to_string(SIDE) + " " + std::to_string(SIDE) + " 2 '" +
                            work.dir + "/images/b/dem'";
    if (system(cmd.c_str()) != 0) abort();
}

// A server started in the work folder; `port` once it has printed its address.
struct Server {
    pid_t pid = -1;
    int port = 0;
    FILE *out = nullptr;
    Server() {
        make_dem();
        std::filesystem::remove(work.dir + "/images/b/dem_tolmar.raw");
        std::filesystem::remove(work.dir + "/images/b/dem_tolmar.txt");
        int fd[2];
        if (pipe(fd) != 0) abort();
        pid = fork();
        if (pid == 0) {
            dup2(fd[1], 1);
            close(fd[0]);
            if (chdir(work.dir.c_str()) != 0) _exit(1);
            execl(TOLMAR_SERVE, TOLMAR_SERVE, "--port", "0", "--unit", "dm", "images/b/dem_m2.raw", static_cast<char *>(nullptr));
            _exit(1);
        }
        close(fd[1]);
        out = fdopen(fd[0], "r");
        char line[256];
        if (fgets(line, sizeof line, out) == nullptr) abort();
        port = atoi(strrchr(line, ':') + 1);
    }
    // Kilobytes of a field of the kernel's account of the server's memory.
    long smaps_kb(const char *field) const {
        std::ifstream f("/proc/" + std::to_string(pid) + "/smaps_rollup");
        for (std::string l; std::getline(f, l);)
            if (l.rfind(field, 0) == 0) return atol(l.c_str() + strlen(field));
        return 0;
    }
    // Its own memory (anonymous: the heap, the pictures' buffers) and the
    // file pages it maps (the DEM's and the result raster's, shared with
    // the page cache, given back under pressure), in bytes a DEM cell.
    void memory(benchmark::State &state) const {
        const double cells = static_cast<double>(SIDE) * SIDE;
        const long own = smaps_kb("Anonymous:"), rss = smaps_kb("Rss:");
        state.counters["own_B_per_cell"] = own * 1024.0 / cells;
        state.counters["file_B_per_cell"] = (rss - own) * 1024.0 / cells;
    }
    long peak_kb() const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string l; std::getline(status, l);)
            if (l.rfind("VmHWM:", 0) == 0) return atol(l.c_str() + 6);
        return 0;
    }
    ~Server() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        fclose(out);
    }
};

const char OVERVIEW[] = "/api/picture?i0=0&j0=0&i1=20000&j1=20000&w=1024&h=1024";

void BM_FirstPicture(benchmark::State &state) {
    make_dem();  // outside the timing
    double server_ms = 0;
    long peak = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        Server s;
        httplib::Client c("127.0.0.1", s.port);
        auto r = c.Get(OVERVIEW);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!r || r->status != 200) state.SkipWithError("no picture");
        else server_ms = atof(r->get_header_value("X-Tolmar-Ms").c_str());
        peak = s.peak_kb();
        s.memory(state);
        state.SetIterationTime(seconds);
    }
    state.counters["picture_ms"] = server_ms;
    state.counters["peak_B_per_cell"] = peak * 1024.0 / (static_cast<double>(SIDE) * SIDE);
}

Server &running() {
    static Server s;
    return s;
}

void BM_ViewPicture(benchmark::State &state) {
    httplib::Client c("127.0.0.1", running().port);
    long k = 0;
    for (auto _ : state) {
        const int i0 = static_cast<int>((k * 7919) % (SIDE - 800)), j0 = static_cast<int>((k * 104729) % (SIDE - 1280));
        const std::string path = "/api/picture?i0=" + std::to_string(i0) + "&j0=" + std::to_string(j0) + "&i1=" +
                                 std::to_string(i0 + 800) + "&j1=" + std::to_string(j0 + 1280) + "&w=1280&h=800";
        auto r = c.Get(path.c_str());
        if (!r || r->status != 200) state.SkipWithError("no picture");
        k++;
    }
}

void BM_Trace(benchmark::State &state) {
    const int zone = static_cast<int>(state.range(0));
    httplib::Client c("127.0.0.1", running().port);
    long k = 0;
    double server_ms = 0;
    for (auto _ : state) {
        const int row = zone + 2 + static_cast<int>((k * 7919) % (SIDE - 2 * zone - 4));
        const int column = zone + 2 + static_cast<int>((k * 104729) % (SIDE - 2 * zone - 4));
        const std::string path = "/api/trace?row=" + std::to_string(row) + "&column=" + std::to_string(column) +
                                 "&dip=20&dip_direction=" + std::to_string((k * 37) % 360) + "&zone=" + std::to_string(zone);
        auto r = c.Get(path.c_str());
        if (!r || r->status != 200) state.SkipWithError("no trace");
        else server_ms += atof(r->body.substr(r->body.rfind("\"ms\":") + 5).c_str());
        k++;
    }
    state.counters["server_ms"] = server_ms / static_cast<double>(state.iterations());
    running().memory(state);
}

}  // namespace

BENCHMARK(BM_FirstPicture)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_ViewPicture)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Trace)->ArgName("zone")->Arg(10)->Arg(100)->Arg(200)->Unit(benchmark::kMillisecond);
