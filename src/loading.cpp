// loading.cpp: reads the DEM raster into memory at the width of its samples,
// shows their range, asks their unit (elevations in metres are computed from
// the samples where they are read), the pixel size when the descriptor gave
// none, and the background; then completes the result descriptor's header.
#include <unistd.h>

#include <cstdint>
#include <string>

#include "console.h"
#include "loading.h"
#include "formats.h"
#include "state.h"

SampleCount lecture() {
    say("\n\n\tDEM file lecture\n");
    SampleCount count;
    std::string err;
    const bool ok = read_samples(files.f1, grids.dem, count, err);
    close(files.f1);
    files.f1 = -1;
    if (!ok) {
        say("\n\n\tCannot read %s: %s\n", files.nomim1.c_str(), err.c_str());
        end_run(1);
    }
    const int width = grids.dem.width;
    const long long expected = static_cast<long long>(files.nb_lig) * files.nb_col;
    if (count.file_bytes != expected * width) {
        say("\n\n\tWarning: %s holds %lld samples of %d bytes, %lld expected (%d lines x %d columns)",
            files.nomim1.c_str(), count.samples, width, expected, files.nb_lig, files.nb_col);
        if (count.file_bytes > expected * width && count.file_bytes % width != 0)
            say(" and %lld stray bytes", count.file_bytes % width);
        say("\n");
    }
    return count;
}

void parameters(const SampleCount &range) {
    say("\n\n\tDynamic scale of the input DEM :\n\t\tMin = %d\n\t\tMax = %d ", range.min, range.max);

    int scale;
    while ((scale = read_int("\n\n\tAre these values :\n\t\t0 ====> in meters\n\t\t1 ====> in decimeters"
                             "\n\t\t2 ====> in centimeters\n\t\t3 ====> in millimeters\n\t\t")) < 0 ||
           scale > 3)
        say("\n\t\t%d is not a unit: answer 0, 1, 2 or 3\n", scale);
    static const double divisors[] = {1.0, 10.0, 100.0, 1000.0};
    grids.rescale = divisors[scale];

    if (files.pix_size == 0) {
        while ((files.pix_size = read_int("\n\n\tpixel size ? ")) < 0)
            say("\n\t\ta pixel size cannot be negative\n");
        if (files.pix_size == 0) say("\n\t\tWarning: with a pixel size of 0 every plane is horizontal\n");
    }

    while ((session.backgr = read_int("\n\n\tbackground:\n\t\t0 ====> white\n\t\t1 ====> black\n\t\t")) > 1)
        say("\n\t\t%d: answer 0 (white) or 1 (black)\n", session.backgr);
    if (session.backgr < 0) say("\n\t\t%d: a black background, as 1\n", session.backgr);

    std::string err;
    if (!files.results.append_pix_size(files.pix_size, err)) {
        say("\n\n\t%s\n", err.c_str());
        end_run(1);
    }
}
