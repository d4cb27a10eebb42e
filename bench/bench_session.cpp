// bench_session.cpp: a treatment as a console session pays for it, beside
// its bare computation, on rasters of 1,000 and 20,000 cells a side: traced,
// its record written and both result files committed, durable before the
// next question. The CPU column is what the treatment costs the machine;
// the wall-clock column adds the waits for the disk (one flush a stamp, the
// journal's), which depend on the disk alone.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "hills.h"
#include "scratch.h"
#include "session/session.h"

namespace {

// A result set of its own in a scratch folder, made anew (and put in place,
// which a session does at its first stamp) when full, outside the timing,
// with the time a user's answers give the work done beside the dialogue.
struct Set {
    Scratch dir{"session"};
    ResultSession session;
    int side = 0, made = 0;
    bool start(int n) {
        std::string err, repaired;
        if (side != 0 && !session.finish(err)) return false;
        side = n;
        const std::string base = dir.dir + "/r" + std::to_string(made++) + "_tolmar";
        bool replaced;
        return session.open(base + ".raw", base + ".txt", "bench", repaired, err) && session.create(n, n, err) &&
               session.set_pix_size(30, err) && session.fill(0, err) && session.place(replaced, err) && (session.settle(), true);
    }
};

void BM_SessionTreatment(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0)), zone = static_cast<int>(state.range(1));
    const Terrain t = hills(n).terrain();
    Set set;
    if (!set.start(n)) {
        state.SkipWithError("cannot create the result set");
        return;
    }
    Work work;
    long long k = 0, cells = 0;
    for (auto _ : state) {
        if (set.session.full()) {
            state.PauseTiming();
            if (!set.start(n)) state.SkipWithError("cannot create the result set");
            state.ResumeTiming();
        }
        const Stamp s = set.session.stamp(t, session_values(k++, n, zone, 5), work);
        if (s.kind != Stamp::stamped) state.SkipWithError("not stamped");
        cells += s.cells;
    }
    std::string err;
    set.session.finish(err);
    state.counters["cells"] = benchmark::Counter(static_cast<double>(cells), benchmark::Counter::kAvgIterations);
}

void BM_BareTreatment(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0)), zone = static_cast<int>(state.range(1));
    const Terrain t = hills(n).terrain();
    Work work;
    long long k = 0;
    for (auto _ : state) benchmark::DoNotOptimize(trace(t, session_values(k++, n, zone, 5), work).cells.size());
}

// What a durable stamp cannot go below on a machine, whatever tolmar does:
// its journal entry flushed (a write of 200 bytes and fdatasync), and a
// write for each run of its cells, into a page the file cache holds (a
// narrow raster, whose rows share pages) or into a page not yet written
// (a wide raster's sparse background, a page a row). A stamp costs about
// its bare computation, one flush and a write a run.
void BM_StampFloor(benchmark::State &state) {
    const int kind = static_cast<int>(state.range(0));
    Scratch dir("floor");
    const std::string path = dir.dir + "/floor.raw";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const size_t page = 4096, pages = size_t(1) << 18;  // 1 GiB, sparse
    bool ok = fd >= 0 && ftruncate(fd, static_cast<off_t>(page * pages)) == 0;
    const std::string entry(200, 'e'), cells(3, '\x07');
    // The cached pages each made by a small write, as a stamp's rows make them.
    for (size_t k = 0; ok && kind == 1 && k < 256; k++) ok = pwrite(fd, "x", 1, static_cast<off_t>(k * page)) == 1;
    ok = ok && fsync(fd) == 0;
    if (!ok) {
        state.SkipWithError("cannot write the scratch file");
        if (fd >= 0) close(fd);
        return;
    }
    size_t k = 0;
    for (auto _ : state) {
        bool done;
        if (kind == 0)
            done = pwrite(fd, entry.data(), entry.size(), static_cast<off_t>((k % 1000) * entry.size())) == 200 && fdatasync(fd) == 0;
        else if (kind == 1)
            done = pwrite(fd, cells.data(), cells.size(), static_cast<off_t>((k % 256) * page + (k / 256) % 4000)) == 3;
        else
            done = pwrite(fd, cells.data(), cells.size(), static_cast<off_t>((k % pages) * page + 100)) == 3;
        if (!done) state.SkipWithError("a write failed");
        k++;
    }
    close(fd);
}

void sizes(benchmark::internal::Benchmark *b) {
    b->ArgNames({"side", "infl"})->Unit(benchmark::kMicrosecond);
    for (int zone : {10, 50, 200, 1000})
        for (int side : {1000, 20000})
            if (side > 4 * zone) b->Args({side, zone});
}

}  // namespace

BENCHMARK(BM_StampFloor)
    ->ArgName("what")  // 0 the flush, 1 a row into a cached page, 2 a row into a new page
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(20000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareTreatment)->Apply(sizes);
BENCHMARK(BM_SessionTreatment)->Apply(sizes);
