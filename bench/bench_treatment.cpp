// bench_treatment.cpp: the time of one treatment on synthetic terrain, for
// influence zones of 10 and 100 cells, on rasters of 1,000, 5,000 and 20,000
// cells a side. A treatment works on its square alone, so the time should
// hardly change with the raster's size: the 1,000 x 1,000 figures are the
// baseline for the larger ones.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "../LIB/nrutil.h"
#include "tolmar.h"

namespace {

// Rolling hills, about 300 m high over a few hundred cells, plus a little
// roughness, so that planes cut them in long winding traces. Built as the sum
// of a row profile and a column profile so that 20,000 x 20,000 cells fill fast.
void make_raster(int n) {
    if (nb_lig == n) return;
    reset_state();
    nb_lig = nb_col = n;
    allocate_grids();
    std::vector<double> row(static_cast<size_t>(n)), col(static_cast<size_t>(n));
    for (int k = 0; k < n; k++) {
        row[static_cast<size_t>(k)] = 150 * sin(k / 97.0) + 40 * sin(k / 23.0);
        col[static_cast<size_t>(k)] = 120 * cos(k / 131.0) + 30 * sin(k / 17.0);
    }
    for (int i = 0; i < n; i++) {
        double *z = dtab[i];
        for (int j = 0; j < n; j++) z[j] = 500 + row[static_cast<size_t>(i)] + col[static_cast<size_t>(j)] + ((i * 7 + j * 13) % 5);
    }
    pix_size = 30;
    f2d = fopen("/dev/null", "w");
    con_out = f2d;
}

// One treatment per iteration. As in a session, where the menu changes the
// dip, the direction or the zone and keeps the point, every point serves five
// treatments (five directions, two dips); the points are spread over the
// whole raster and never revisited. `per_point` 1 makes every treatment start
// at a new point: the worst case, where nothing of the square is in a cache.
void treatments(benchmark::State &state, int per_point) {
    const int n = static_cast<int>(state.range(0));
    const int zone = static_cast<int>(state.range(1));
    make_raster(n);
    const int dirs[] = {90, 135, 180, 225, 300};
    long long k = 0;
    for (auto _ : state) {
        const long long point = k / per_point;
        ip = zone + 2 + static_cast<int>((point * 7919) % (n - 2 * zone - 4));
        jp = zone + 2 + static_cast<int>((point * 104729) % (n - 2 * zone - 4));
        slope = k % 2 ? 15 : 40;
        dir = dir_orig = dirs[k % 5];
        infl = zone;
        plan();
        k++;
        if (code == 250) code = 0;  // stamping values stay within 1..250
    }
    state.counters["cells"] = static_cast<double>(n) * n;
}

void BM_Treatment(benchmark::State &state) { treatments(state, 5); }
void BM_TreatmentNewPointEach(benchmark::State &state) { treatments(state, 1); }

}  // namespace

static void sizes(benchmark::internal::Benchmark *b) {
    b->ArgNames({"side", "infl"})->Unit(benchmark::kMicrosecond);
    for (int side : {1000, 5000, 20000})
        for (int zone : {10, 100}) b->Args({side, zone});
}
BENCHMARK(BM_Treatment)->Apply(sizes);
BENCHMARK(BM_TreatmentNewPointEach)->Apply(sizes);
