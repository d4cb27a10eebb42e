// loading.cpp: reads the DEM raster into memory at the width of its samples,
// shows their range, asks their unit (elevations in metres are computed from
// the samples where they are read), the pixel size when the descriptor gave
// none, and the background; then completes the result descriptor's header.
#include "console/loading.h"

#include <unistd.h>

#include <cstdint>
#include <string>

#include "files/formats.h"

SampleCount read_dem(Run &run) {
    Console &con = run.con;
    con.say("\n\n\tDEM file lecture\n");
    SampleCount count;
    std::string err;
    const bool ok = read_samples(run.dem_fd, run.dem, count, err);
    close(run.dem_fd);
    run.dem_fd = -1;
    if (!ok) {
        con.say("\n\n\tCannot read %s: %s\n", run.dem_raster.c_str(), err.c_str());
        end_run(1);
    }
    const int width = run.dem.width();
    const long long expected = static_cast<long long>(run.rows) * run.cols;
    if (count.file_bytes != expected * width) {
        con.say("\n\n\tWarning: %s holds %lld samples of %d bytes, %lld expected (%d lines x %d columns)",
                run.dem_raster.c_str(), count.samples, width, expected, run.rows, run.cols);
        if (count.file_bytes > expected * width && count.file_bytes % width != 0)
            con.say(" and %lld stray bytes", count.file_bytes % width);
        con.say("\n");
    }
    return count;
}

void ask_elevations(Run &run, const SampleCount &range) {
    Console &con = run.con;
    con.say("\n\n\tDynamic scale of the input DEM :\n\t\tMin = %d\n\t\tMax = %d ", range.min, range.max);

    int unit;
    while ((unit = con.read_int("\n\n\tAre these values :\n\t\t0 ====> in meters\n\t\t1 ====> in decimeters"
                                "\n\t\t2 ====> in centimeters\n\t\t3 ====> in millimeters\n\t\t")) < 0 ||
           unit >= formats::UNITS)
        con.say("\n\t\t%d is not a unit: answer 0, 1, 2 or 3\n", unit);
    run.divisor = formats::unit_divisor(unit);

    if (run.pix_size == 0) {
        while ((run.pix_size = con.read_int("\n\n\tpixel size ? ")) < 0)
            con.say("\n\t\ta pixel size cannot be negative\n");
        if (run.pix_size == 0) con.say("\n\t\tWarning: with a pixel size of 0 every plane is horizontal\n");
    }

    while ((run.background = con.read_int("\n\n\tbackground:\n\t\t0 ====> white\n\t\t1 ====> black\n\t\t")) > 1)
        con.say("\n\t\t%d: answer 0 (white) or 1 (black)\n", run.background);
    if (run.background < 0) con.say("\n\t\t%d: a black background, as 1\n", run.background);

    std::string err;
    if (!run.results.set_pix_size(run.pix_size, err) || !run.results.fill(run.background == 0 ? 255 : 0, err)) {
        con.say("\n\n\t%s\n", err.c_str());
        end_run(1);
    }
}
