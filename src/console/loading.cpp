// loading.cpp: maps the DEM raster (or reads it into memory when its size is
// not the descriptor's) at the width of its samples, shows their range,
// asks their unit (elevations in metres are computed from the samples where
// they are read), the pixel size when the descriptor gave none, and the
// background; then completes the result descriptor's header.
#include "console/loading.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <cstdint>
#include <string>

#include "console/opening.h"
#include "files/formats.h"

namespace {

// A mapped DEM cut short on disk while the run reads it: the samples are
// gone, and the run ends as a kill would end it (every treatment stamped is
// in the result set, complete or completed at its next opening).
extern "C" void on_dem_cut_short(int) {
    static const char text[] = "\n\n\tThe DEM file was cut short while the run read it: the run ends\n";
    if (write(STDOUT_FILENO, text, sizeof text - 1) < 0) {
    }
    _exit(1);
}

}  // namespace

SampleCount read_dem(Run &run) {
    Console &con = run.con;
    con.say("\n\n\tDEM file lecture\n");
    SampleCount count;
    std::string err;
    const int width = formats::width_of_type(run.type);
    const long long expected = static_cast<long long>(run.rows) * run.cols;
    struct stat st;
    bool ok = fstat(run.dem_fd, &st) == 0;
    // A file of the descriptor's size is mapped: its samples are read from
    // the page cache as the range and the treatments need them, never
    // copied. Any other is read, the cells it does not reach left at 0.
    if (ok && st.st_size == expected * width && run.dem.map(run.dem_fd, run.rows, run.cols, width, err)) {
        signal(SIGBUS, on_dem_cut_short);
        count.file_bytes = st.st_size;
        count.samples = expected;
        sample_range(run.dem, count.min, count.max);
    } else {
        allocate_dem(run);
        ok = read_samples(run.dem_fd, run.dem, count, err);
    }
    close(run.dem_fd);
    run.dem_fd = -1;
    if (!ok) {
        con.say("\n\n\tCannot read %s: %s\n", run.dem_raster.c_str(), err.c_str());
        end_run(1);
    }
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

    auto ask_unit = [&] {
        int unit;
        while ((unit = con.read_int("\n\n\tAre these values :\n\t\t0 ====> in meters\n\t\t1 ====> in decimeters"
                                    "\n\t\t2 ====> in centimeters\n\t\t3 ====> in millimeters\n\t\t")) < 0 ||
               unit >= formats::UNITS)
            con.say("\n\t\t%d is not a unit: answer 0, 1, 2 or 3\n", unit);
        return unit;
    };
    int unit = ask_unit();
    // A DEM brought in by tolmar-import says its unit in its sidecar: an
    // answer that differs is asked once more, and taken when given again.
    const std::string sidecar = formats::sidecar_path(run.dem_raster);
    std::string text, why;
    const int known = formats::read_file(sidecar, text, why, 1 << 20) ? formats::sidecar_unit(text) : -1;
    if (known >= 0 && unit != known) {
        con.say("\n\t\t%s, written by tolmar-import, says these samples are in %s (%d), not %s (%d): answer again;"
                "\n\t\tthe same answer again is taken as given\n",
                sidecar.c_str(), formats::unit_word(known), known, formats::unit_word(unit), unit);
        unit = ask_unit();
    }
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
