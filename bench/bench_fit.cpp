// bench_fit.cpp: tolmar-fit's search over a zone of 200 cells: the contact
// is a known plane's trace on 1,000 x 1,000 cells of ridges and valleys; the
// search starts from the plane fitted through the contact's points, at the
// station given (the true reference point) or moving the point itself.
#include <benchmark/benchmark.h>

#include <cmath>

#include "fit.h"
#include "files/demset.h"

namespace {

struct Setup {
    DemSamples dem;
    tools::Contact contact;
    std::vector<uint8_t> none;
    Setup() {
        dem.allocate(1000, 1000, 4);
        for (int i = 0; i < 1000; i++)
            for (int j = 0; j < 1000; j++)
                dem.s32()[i * 1000 + j] = static_cast<int32_t>(100 * (600 + 150 * sin(i / 17.0) * cos(j / 23.0) + 100 * sin((i - j) / 31.0)));
        Work w;
        const Trace t = trace(terrain(), {500, 500, 25, 140, 200}, w);
        for (Cell c : t.cells) contact.lines.push_back({{static_cast<double>(c.i), static_cast<double>(c.j)}});
    }
    Terrain terrain() const { return dem.terrain(100, 30); }
};

void BM_FitSearch(benchmark::State &state) {
    static Setup s;
    const bool move_point = state.range(0) != 0;
    int evaluated = 0;
    for (auto _ : state) {
        tools::Comparison cmp(s.terrain(), 1, s.contact, s.none);
        const tools::Plane p = tools::fit_plane(s.terrain(), 1, s.contact);
        const tools::Search found = tools::search(cmp, s.contact, 500, 500, 200, p.dip, p.dip_direction, p.determined, move_point);
        evaluated = found.evaluated;
        benchmark::DoNotOptimize(found.dip);
    }
    state.counters["attitudes"] = evaluated;
    state.counters["contact_points"] = static_cast<double>(s.contact.lines.size());
}

}  // namespace

BENCHMARK(BM_FitSearch)->ArgName("move_point")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);
