// results.cpp: the result descriptor (six header lines, then one record per
// stamped treatment) and the result raster, written at the end of the run.
#include <cstdio>

#include "tolmar.h"

// Opens `path` or ends the run with a message naming it.
FILE *open_or_fail(const char *path, const char *mode) {
    FILE *f = fopen(path, mode);
    if (f == nullptr) {
        say("\n\n\tCannot create %s\n", path);
        end_run(1);
    }
    return f;
}

// Ends the run with a message naming `path` when a write to it failed.
void write_or_fail(FILE *f, const char *path, bool ok) {
    if (ok && ferror(f) == 0) return;
    say("\n\n\tCannot write %s\n", path);
    end_run(1);
}

// Lines 1 to 5: rows, columns, bytes per cell, smallest and largest value.
void write_header() {
    write_or_fail(f2d, nomdescr2,
                  fprintf(f2d, "%d\n%d\n%d\n%d\n%d\n", nb_lig, nb_col, val, 0, 255) > 0);
}

// Line 6: the pixel size as known once the dialogue has asked for it.
void write_pix_size() { write_or_fail(f2d, nomdescr2, fprintf(f2d, "%d\n", pix_size) > 0); }

// One record per stamped treatment, with the values as the user gave them.
// It is flushed at once, so that the log keeps every stamped treatment even
// if the run is cut short. A failed write shows when the log is closed.
void write_record() {
    fprintf(f2d, "\n code %d ", code);
    fprintf(f2d, "\n\tselected point");
    fprintf(f2d, "\n\t\tline   : %d\n\t\tcolumn : %d\n\tplane dip (in degrees) %d", ip, jp, slope);
    fprintf(f2d, "\n\tdirection of the slope %d\n\tinfluence zone %d \n", dir_orig, infl);
    fflush(f2d);
}

// A white background turns every cell no trace reached into 255; codes stay.
void apply_background() {
    if (backgr != 0) return;
    for (int i = 0; i < nb_lig; i++) {
        unsigned char *row = tab_out[i];
        for (int j = 0; j < nb_col; j++)
            if (row[j] == 0) row[j] = 255;
    }
}

// Writes tab_out one row per block and closes both result files; a failed
// write or close ends the run with status 1.
void save() {
    for (int i = 0; i < nb_lig; i++)
        write_or_fail(f2, nomim2,
                      fwrite(tab_out[i], 1, static_cast<size_t>(nb_col), f2) ==
                          static_cast<size_t>(nb_col));
    FILE *raster = f2, *log = f2d;
    f2 = f2d = nullptr;
    bool raster_ok = fclose(raster) == 0;
    bool log_ok = ferror(log) == 0;
    log_ok = fclose(log) == 0 && log_ok;
    if (!raster_ok) say("\n\n\tCannot write %s\n", nomim2);
    if (!log_ok) say("\n\n\tCannot write %s\n", nomdescr2);
    if (!raster_ok || !log_ok) end_run(1);
}
