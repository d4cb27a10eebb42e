// bench_import.cpp: tolmar-import on a generated 20,000 x 20,000 floating-
// point GeoTIFF (1.6 GB of metres in UTM), beside gdal_translate's own
// library function writing the same cells as 32-bit millimetres in a raw
// file: each in a fresh child process, timed from start to end, with the
// child's peak memory. Needs about 5 GB of temporary disk.
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

const int SIDE = 20000;

Scratch work("import");

// Rolling hills in metres with centimetre roughness, striped as GDAL writes
// a GeoTIFF by default.
void write_geotiff(const std::string &path) {
    GDALAllRegister();
    GDALDataset *d = GetGDALDriverManager()->GetDriverByName("GTiff")->Create(path.c_str(), SIDE, SIDE, 1, GDT_Float32, nullptr);
    double gt[6] = {500000, 1, 0, 4000000, 0, -1};
    d->SetGeoTransform(gt);
    OGRSpatialReference utm;
    utm.importFromEPSG(32616);
    d->SetSpatialRef(&utm);
    std::vector<float> row(SIDE);
    for (int i = 0; i < SIDE; i++) {
        for (int j = 0; j < SIDE; j++)
            row[static_cast<size_t>(j)] = static_cast<float>(500 + 150 * sin(i / 97.0) + 120 * cos(j / 131.0) + ((i * 7 + j * 13) % 50) / 100.0);
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

// The GeoTIFF, written once by a child of its own, so that this process
// stays small and its children's peak memory is their own.
std::string geotiff() {
    static std::string path;
    if (path.empty()) {
        path = work.dir + "/dem.tif";
        if (run([&] { write_geotiff(path); }).seconds < 0) abort();
    }
    return path;
}

void BM_GdalTranslate(benchmark::State &state) {
    const std::string src = geotiff();
    Child c;
    for (auto _ : state) {
        c = run([&] {
            GDALAllRegister();
            const char *args[] = {"-of", "ENVI", "-ot", "Int32", "-scale", "0", "1", "0", "1000", nullptr};
            GDALTranslateOptions *o = GDALTranslateOptionsNew(const_cast<char **>(args), nullptr);
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
    const std::string src = geotiff();
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

}  // namespace

BENCHMARK(BM_GdalTranslate)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(2);
BENCHMARK(BM_TolmarImport)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(2);
