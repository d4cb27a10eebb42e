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

namespace {

// Rolling hills, about 300 m high over a few hundred cells, plus a little
// roughness, as 16-bit decimetres, so that planes cut them in long winding
// traces. Built as the sum of a row profile and a column profile so that
// 20,000 x 20,000 cells fill fast.
struct Raster {
    int side = 0;
    DemSamples dem;
    Terrain terrain() const { return dem.terrain(10.0, 30); }
};

Raster &raster(int n) {
    static Raster r;
    if (r.side == n) return r;
    r.dem.release();
    r.side = n;
    r.dem.allocate(n, n, 2);
    std::vector<double> row(static_cast<size_t>(n)), col(static_cast<size_t>(n));
    for (int k = 0; k < n; k++) {
        row[static_cast<size_t>(k)] = 150 * sin(k / 97.0) + 40 * sin(k / 23.0);
        col[static_cast<size_t>(k)] = 120 * cos(k / 131.0) + 30 * sin(k / 17.0);
    }
    for (int i = 0; i < n; i++) {
        uint16_t *z = r.dem.s16() + static_cast<size_t>(i) * static_cast<size_t>(n);
        for (int j = 0; j < n; j++)
            z[j] = static_cast<uint16_t>(10 * (500 + row[static_cast<size_t>(i)] + col[static_cast<size_t>(j)]) + (i * 7 + j * 13) % 50);
    }
    return r;
}

// One treatment per iteration. As in a session, where the menu changes the
// dip, the direction or the zone and keeps the point, every point serves five
// treatments (five directions, two dips); the points are spread over the
// whole raster and never revisited. `per_point` 1 makes every treatment start
// at a new point: the worst case, where nothing of the square is in a cache.
void treatments(benchmark::State &state, int per_point) {
    const int n = static_cast<int>(state.range(0));
    const int zone = static_cast<int>(state.range(1));
    Raster &r = raster(n);
    const Terrain t = r.terrain();
    Work work;
    const int dirs[] = {90, 135, 180, 225, 300};
    long long k = 0;
    for (auto _ : state) {
        const long long point = k / per_point;
        Values v;
        v.row = zone + 2 + static_cast<int>((point * 7919) % (n - 2 * zone - 4));
        v.column = zone + 2 + static_cast<int>((point * 104729) % (n - 2 * zone - 4));
        v.dip = k % 2 ? 15 : 40;
        v.dip_direction = dirs[k % 5];
        v.zone = zone;
        benchmark::DoNotOptimize(trace(t, v, work).cells.size());
        k++;
    }
    state.counters["per_square_cell"] = benchmark::Counter(4.0 * zone * zone * static_cast<double>(state.iterations()),
                                                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Treatment(benchmark::State &state) { treatments(state, 5); }
void BM_TreatmentNewPointEach(benchmark::State &state) { treatments(state, 1); }

// One direction at a time: an oblique square's bounding box is twice its
// area, but only the cells of its rows' spans are visited.
void BM_TreatmentDirection(benchmark::State &state) {
    const int dir = static_cast<int>(state.range(0));
    const int zone = 100;
    Raster &r = raster(1000);
    const Terrain t = r.terrain();
    Work work;
    long long k = 0;
    for (auto _ : state) {
        Values v{300 + static_cast<int>(k % 400), 300 + static_cast<int>((k * 7) % 400), 25, dir, zone};
        benchmark::DoNotOptimize(trace(t, v, work).cells.size());
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
BENCHMARK(BM_TreatmentDirection)->ArgName("dir")->Arg(90)->Arg(45)->Arg(30)->Unit(benchmark::kMicrosecond);
