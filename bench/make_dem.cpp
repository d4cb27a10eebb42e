// make_dem.cpp: writes a synthetic DEM file set of any size for the
// benchmarks and the large-DEM script: rolling hills about 300 m high over a
// few hundred cells, with a little roughness, in 16-bit decimetres or 32-bit
// centimetres, and its six-number descriptor (pixel size 30).
//   make_dem ROWS COLS 2|4 OUT_PREFIX     writes OUT_PREFIX_m2.raw/.txt or _m4
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "files/formats.h"

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: make_dem ROWS COLS 2|4 OUT_PREFIX\n");
        return 2;
    }
    const long rows = atol(argv[1]), cols = atol(argv[2]);
    const int width = atoi(argv[3]);
    if (rows < 1 || cols < 1 || rows > 2147483647L || cols > 2147483647L || (width != 2 && width != 4)) {
        fprintf(stderr, "make_dem: sizes from 1 up and a width of 2 or 4, please\n");
        return 2;
    }
    const std::string prefix = argv[4];
    const std::string raw = prefix + formats::dem_raster_suffix(width);
    const std::string txt = prefix + formats::dem_descriptor_suffix(width);
    FILE *f = fopen(raw.c_str(), "wb");
    if (f == nullptr) {
        perror(raw.c_str());
        return 1;
    }
    // The sum of a row profile and a column profile, so that any size fills fast.
    std::vector<double> col(static_cast<size_t>(cols));
    for (long j = 0; j < cols; j++) col[static_cast<size_t>(j)] = 120 * cos(j / 131.0) + 30 * sin(j / 17.0);
    const double unit = width == 2 ? 10.0 : 100.0;  // decimetres or centimetres
    std::vector<int32_t> samples(static_cast<size_t>(cols));
    long long lo = INT64_MAX, hi = INT64_MIN;
    for (long i = 0; i < rows; i++) {
        const double row = 150 * sin(i / 97.0) + 40 * sin(i / 23.0);
        for (long j = 0; j < cols; j++) {
            const int32_t v = static_cast<int32_t>(unit * (500 + row + col[static_cast<size_t>(j)])) + static_cast<int32_t>((i * 7 + j * 13) % 50);
            samples[static_cast<size_t>(j)] = v;
            lo = std::min<long long>(lo, v);
            hi = std::max<long long>(hi, v);
        }
        const std::string bytes = formats::encode_samples(samples, width);
        if (fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
            perror(raw.c_str());
            return 1;
        }
    }
    if (fclose(f) != 0) {
        perror(raw.c_str());
        return 1;
    }
    const std::string descriptor = formats::descriptor_text(static_cast<int>(rows), static_cast<int>(cols), width, lo, hi, 30);
    FILE *d = fopen(txt.c_str(), "w");
    if (d == nullptr || fputs(descriptor.c_str(), d) < 0 || fclose(d) != 0) {
        perror(txt.c_str());
        return 1;
    }
    return 0;
}
