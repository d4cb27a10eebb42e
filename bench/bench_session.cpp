// bench_session.cpp: a treatment as a console session pays for it, beside
// its bare computation, on rasters of 1,000 and 20,000 cells a side: traced,
// its record written and both result files committed, durable before the
// next question. The CPU column is what the treatment costs the machine;
// the wall-clock column adds the waits for the disk (one flush a stamp, the
// journal's), which depend on the disk alone.
#include <benchmark/benchmark.h>

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

void sizes(benchmark::internal::Benchmark *b) {
    b->ArgNames({"side", "infl"})->Unit(benchmark::kMicrosecond);
    for (int zone : {10, 50, 200, 1000})
        for (int side : {1000, 20000})
            if (side > 4 * zone) b->Args({side, zone});
}

}  // namespace

BENCHMARK(BM_BareTreatment)->Apply(sizes);
BENCHMARK(BM_SessionTreatment)->Apply(sizes);
