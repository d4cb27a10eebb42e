// bench_import.cpp: tolmar-import on generated 10,000 x 10,000 GeoTIFFs in
// the three types DEMs come in (Int16 as SRTM stores them, UInt16, and
// Float32 metres), beside gdal_translate's own library function writing
// the same raw output tolmar writes (16-bit whole metres for the integer
// sources, 32-bit millimetres for the floating-point one): each in a fresh
// child process, timed from start to end, with the child's peak memory.
// Needs about 2 GB of temporary disk.
#include <benchmark/benchmark.h>
#include <gdal_priv.h>
#include <gdal_utils.h>
#include <ogr_spatialref.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "scratch.h"
#include <vector>

namespace {

const int SIDE = 10000;

Scratch work("import");

// Rolling hills in metres (with centimetre roughness for Float32), striped
// as GDAL writes a GeoTIFF by default, in UTM.
void write_geotiff(const std::string &path, GDALDataType type) {
    GDALAllRegister();
    GDALDataset *d = GetGDALDriverManager()->GetDriverByName("GTiff")->Create(path.c_str(), SIDE, SIDE, 1, type, nullptr);
    double gt[6] = {500000, 30, 0, 4000000, 0, -30};
    d->SetGeoTransform(gt);
    OGRSpatialReference utm;
    utm.importFromEPSG(32616);
    d->SetSpatialRef(&utm);
    std::vector<float> row(SIDE);
    for (int i = 0; i < SIDE; i++) {
        for (int j = 0; j < SIDE; j++) {
            const double z = 500 + 150 * sin(i / 97.0) + 120 * cos(j / 131.0);
            row[static_cast<size_t>(j)] = type == GDT_Float32 ? static_cast<float>(z + ((i * 7 + j * 13) % 50) / 100.0)
                                                              : static_cast<float>(std::floor(z));
        }
        if (d->GetRasterBand(1)->RasterIO(GF_Write, 0, i, SIDE, 1, row.data(), SIDE, 1, GDT_Float32, 0, 0) != CE_None) abort();
    }
    GDALClose(d);
}

struct Child {
    double seconds = 0;
    long peak_kb = 0;
};

Child run(const std::function<void()> &child) {
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        child();
        _exit(0);
    }
    int status = 0;
    struct rusage ru;
    wait4(pid, &status, 0, &ru);
    Child c;
    c.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    c.peak_kb = ru.ru_maxrss;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) c.seconds = -1;
    return c;
}

// The GeoTIFF of each type, written once by a child of its own, so that
// this process stays small and its children's peak memory is their own.
GDALDataType type_of(int k) { return k == 0 ? GDT_Int16 : k == 1 ? GDT_UInt16 : GDT_Float32; }
std::string geotiff(int k) {
    static std::string path[3];
    if (path[k].empty()) {
        path[k] = work.dir + "/dem" + std::to_string(k) + ".tif";
        if (run([&] { write_geotiff(path[k], type_of(k)); }).seconds < 0) abort();
    }
    return path[k];
}

void BM_GdalTranslate(benchmark::State &state) {
    const int k = static_cast<int>(state.range(0));
    const std::string src = geotiff(k);
    Child c;
    for (auto _ : state) {
        c = run([&] {
            GDALAllRegister();
            const char *integer[] = {"-of", "ENVI", "-ot", "UInt16", nullptr};
            const char *floating[] = {"-of", "ENVI", "-ot", "Int32", "-scale", "0", "1", "0", "1000", nullptr};
            GDALTranslateOptions *o = GDALTranslateOptionsNew(const_cast<char **>(k == 2 ? floating : integer), nullptr);
            GDALDatasetH in = GDALOpen(src.c_str(), GA_ReadOnly);
            GDALDatasetH out = in != nullptr ? GDALTranslate((work.dir + "/translated.raw").c_str(), in, o, nullptr) : nullptr;
            if (out == nullptr) _exit(1);
            GDALClose(out);
            GDALClose(in);
        });
        if (c.seconds < 0) state.SkipWithError("gdal_translate failed");
        state.SetIterationTime(c.seconds);
    }
    state.counters["peak_MB"] = c.peak_kb / 1024.0;
}

void BM_TolmarImport(benchmark::State &state) {
    const std::string src = geotiff(static_cast<int>(state.range(0)));
    Child c;
    for (auto _ : state) {
        c = run([&] {
            if (chdir(work.dir.c_str()) != 0) _exit(1);
            if (freopen("/dev/null", "w", stdout) == nullptr) _exit(1);
            execl(TOLMAR_IMPORT, TOLMAR_IMPORT, "--replace", src.c_str(), "bench", "dem", static_cast<char *>(nullptr));
            _exit(1);
        });
        if (c.seconds < 0) state.SkipWithError("tolmar-import failed");
        state.SetIterationTime(c.seconds);
    }
    state.counters["peak_MB"] = c.peak_kb / 1024.0;
}

void types(benchmark::internal::Benchmark *b) {
    b->ArgName("Int16_UInt16_Float32")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
}

}  // namespace

BENCHMARK(BM_GdalTranslate)->Apply(types);
BENCHMARK(BM_TolmarImport)->Apply(types);
