// bench_python.cpp: 1,000 true traces at zone 50 on the bundled Jacksboro DEM,
// from C++ through the library and from Python through `import tolmar` (an
// interpreter embedded here), side by side: what the Python face adds to a
// trace (the call, and the cells made into numpy arrays with their map
// coordinates and the intersection's segments).
#include <benchmark/benchmark.h>
#include <pybind11/embed.h>

#include <string>

#include "compute/treatment.h"
#include "geo/georef.h"

namespace py = pybind11;

namespace {

const std::string DEM = std::string(EXAMPLES) + "/jacksboro/jacksboro_m2.raw";

// The treatments: points spread over the DEM, every direction, dips from 1
// to 60, the same list in both languages.
Values treatment(int k) {
    Values v;
    v.row = 80 + (k * 37) % 180;
    v.column = 80 + (k * 53) % 240;
    v.dip = 1 + (k * 7) % 60;
    v.dip_direction = (k * 31) % 360;
    v.zone = 50;
    return v;
}

void BM_ThousandTracesFromCpp(benchmark::State &state) {
    DemSet dem;
    std::string err;
    if (!geo::open_dem_set(DEM, dem, err)) {
        state.SkipWithError(err.c_str());
        return;
    }
    const Terrain t = dem.samples.terrain(1, dem.pix_size);
    Work w;
    long long cells = 0;
    for (auto _ : state)
        for (int k = 0; k < 1000; k++) cells += static_cast<long long>(trace(t, treatment(k), w, Geometry::exact).cells.size());
    benchmark::DoNotOptimize(cells);
}

void BM_ThousandTracesFromPython(benchmark::State &state) {
    py::module_::import("sys").attr("path").attr("insert")(0, PYTHON_PATH);
    py::dict scope;
    py::exec(R"(
import tolmar
dem = tolmar.open_dem(")" + DEM + R"(", unit="m")
treatments = [(80 + (k * 37) % 180, 80 + (k * 53) % 240, 1 + (k * 7) % 60, (k * 31) % 360, 50) for k in range(1000)]
def thousand():
    n = 0
    for t in treatments:
        n += len(dem.trace(*t))
    return n
)", scope);
    py::object thousand = scope["thousand"];
    for (auto _ : state) benchmark::DoNotOptimize(thousand().cast<long long>());
}

}  // namespace

BENCHMARK(BM_ThousandTracesFromCpp)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThousandTracesFromPython)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    py::scoped_interpreter python;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
