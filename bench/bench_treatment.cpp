// bench_treatment.cpp: the time of one treatment on synthetic terrain, for
// influence zones of 10, 100 and 200 cells, on rasters of 1,000, 10,000 and
// 20,000 cells a side, and per cell of the square for axis-aligned and
// oblique directions. A treatment works on its square alone, so the time
// should hardly change with the raster's size: the 1,000 x 1,000 figures are
// the baseline for the larger ones.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "compute/treatment.h"
#include "files/demset.h"
#include "hills.h"

namespace {

// One treatment per iteration. As in a session, where the menu changes the
// dip, the direction or the zone and keeps the point, every point serves five
// treatments (five directions, two dips); the points are spread over the
// whole raster and never revisited. `per_point` 1 makes every treatment start
// at a new point: the worst case, where nothing of the square is in a cache.
void treatments(benchmark::State &state, int per_point) {
    const int n = static_cast<int>(state.range(0));
    const int zone = static_cast<int>(state.range(1));
    Hills &r = hills(n);
    const Terrain t = r.terrain();
    Work work;
    long long k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(trace(t, session_values(k, n, zone, per_point), work).cells.size());
        k++;
    }
    state.counters["per_square_cell"] = benchmark::Counter(4.0 * zone * zone * static_cast<double>(state.iterations()),
                                                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Treatment(benchmark::State &state) { treatments(state, 5); }
void BM_TreatmentNewPointEach(benchmark::State &state) { treatments(state, 1); }

// The cost per cell of the square, one direction at a time, in either
// geometry, on a raster of 10,000 x 10,000 (rows 20 kB apart, as in a
// session on a large DEM). An oblique square's bounding box is twice its
// area, but only the cells of its rows' spans are visited.
void BM_PerCell(benchmark::State &state) {
    const int dir = static_cast<int>(state.range(0));
    const int zone = static_cast<int>(state.range(1));
    const Geometry g = state.range(2) ? Geometry::exact : Geometry::classic;
    Hills &r = hills(10000);
    const Terrain t = r.terrain();
    Work work;
    long long k = 0;
    const int room = 10000 - 2 * (zone * 3 / 2) - 4;
    for (auto _ : state) {
        Values v{zone * 3 / 2 + 2 + static_cast<int>((k * 7919) % room), zone * 3 / 2 + 2 + static_cast<int>((k * 104729) % room),
                 25, dir, zone};
        benchmark::DoNotOptimize(trace(t, v, work, g).cells.size());
        k++;
    }
    state.counters["per_square_cell"] = benchmark::Counter(4.0 * zone * zone * static_cast<double>(state.iterations()),
                                                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

static void sizes(benchmark::internal::Benchmark *b) {
    b->ArgNames({"side", "infl"})->Unit(benchmark::kMicrosecond);
    for (int side : {1000, 10000, 20000})
        for (int zone : {10, 100, 200}) b->Args({side, zone});
}
BENCHMARK(BM_Treatment)->Apply(sizes);
BENCHMARK(BM_TreatmentNewPointEach)->Apply(sizes);
static void per_cell(benchmark::internal::Benchmark *b) {
    b->ArgNames({"dir", "infl", "true"})->Unit(benchmark::kMicrosecond);
    for (int geometry : {0, 1})
        for (int zone : {200, 1000})
            for (int dir : {0, 30, 45, 90, 135, 200, 300}) b->Args({dir, zone, geometry});
}
BENCHMARK(BM_PerCell)->Apply(per_cell);
