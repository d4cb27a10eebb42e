// bench_fit.cpp: tolmar-fit's work for a contact of a known plane on 1,000 x
// 1,000 cells of ridges and valleys: the plane through the points, the
// true attitude and its two ranges, the treatment and how its trace follows
// the contact, and the trace itself; at the station (--point), for zones of
// 200 and 500 cells, the contact being the plane's exact intersection
// inside the square, a vertex a cell. The classic search (--classic) at
// zone 200 beside it.
#include <benchmark/benchmark.h>

#include <cmath>

#include "files/demset.h"
#include "fit/fit.h"
#include "fit/fit_classic.h"

namespace {

struct Setup {
    DemSamples dem;
    Setup() {
        dem.allocate(1000, 1000, 4);
        for (int i = 0; i < 1000; i++)
            for (int j = 0; j < 1000; j++)
                dem.set(i, j, static_cast<int32_t>(100 * (600 + 150 * sin(i / 17.0) * cos(j / 23.0) + 100 * sin((i - j) / 31.0))));
    }
    Terrain terrain() const { return dem.terrain(100, 30); }
    // The exact intersection of the plane (25 towards 140 through the
    // centre) with the ground within `zone`, as points a cell apart along it.
    tools::Contact contact(int zone) const {
        const Terrain t = terrain();
        const double az = 140 * M_PI / 180, fall = tan(25 * M_PI / 180) * 30, z0 = t.elevation(500, 500);
        auto f = [&](int i, int j) { return t.elevation(i, j) - (z0 - fall * ((j - 500) * sin(az) - (i - 500) * cos(az))); };
        tools::Contact c;
        for (int i = 500 - zone; i < 500 + zone; i++)
            for (int j = 500 - zone; j < 500 + zone; j++) {
                const double a = f(i, j), b = f(i, j + 1), d = f(i + 1, j);
                if ((a >= 0) != (b >= 0)) c.lines.push_back({{double(i), j + a / (a - b)}});
                if ((a >= 0) != (d >= 0)) c.lines.push_back({{i + a / (a - d), double(j)}});
            }
        return c;
    }
};

const Setup &setup() {
    static Setup s;
    return s;
}

void BM_FitTrue(benchmark::State &state) {
    const int zone = static_cast<int>(state.range(0));
    const bool at_station = state.range(1) != 0;
    const Terrain t = setup().terrain();
    const tools::Contact c = setup().contact(zone);
    const Cell station{500, 500};
    for (auto _ : state) {
        const tools::Plane p = tools::fit_plane(t, 1, c);
        const tools::TrueFit f = tools::fit_true(t, 1, c, p, at_station ? &station : nullptr);
        if (!f.determined()) state.SkipWithError("not determined");
        const tools::Treatment tr = tools::treatment_for(t, 1, c, f, at_station ? &station : nullptr, zone);
        benchmark::DoNotOptimize(tools::closeness(t, 1, c, tr.values).within_one);
        Work w;
        benchmark::DoNotOptimize(trace(t, tr.values, w, Geometry::exact).cells.size());
    }
    state.counters["points"] = static_cast<double>(c.spots().size());
}

void BM_FitClassicSearch(benchmark::State &state) {
    const Terrain t = setup().terrain();
    const tools::Contact c = setup().contact(200);
    const std::vector<uint8_t> none;
    for (auto _ : state) {
        tools::Comparison cmp(t, 1, c, none);
        const tools::Plane p = tools::fit_plane(t, 1, c);
        const tools::Search found = tools::search(cmp, c, 500, 500, 200, p.dip, p.dip_direction, p.determined, false);
        benchmark::DoNotOptimize(found.dip);
    }
}

}  // namespace

BENCHMARK(BM_FitTrue)->ArgNames({"zone", "station"})->Args({200, 1})->Args({200, 0})->Args({500, 1})->Args({500, 0})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FitClassicSearch)->Unit(benchmark::kMillisecond);
