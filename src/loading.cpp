// loading.cpp: reads the DEM raster into itab, shows the range of its
// samples, asks their unit and converts them to metres in dtab, then asks the
// pixel size (when the descriptor gave none) and the background.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "../LIB/nrutil.h"
#include "tolmar.h"

// Samples are stored least significant byte first whatever the host; rows
// are read straight into the grid and put in host order only on a host that
// stores integers the other way round.
static bool host_is_little_endian() {
    const uint16_t one = 1;
    unsigned char first;
    memcpy(&first, &one, 1);
    return first == 1;
}

static void swap_row(uint16_t *row, int n) {
    for (int j = 0; j < n; j++) row[j] = static_cast<uint16_t>((row[j] >> 8) | (row[j] << 8));
}

static void swap_row(int *row, int n) {
    for (int j = 0; j < n; j++) {
        uint32_t v;
        memcpy(&v, &row[j], 4);
        v = (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
        memcpy(&row[j], &v, 4);
    }
}

// Reads one row of nb_col samples into `row` in one block read and returns the
// number of whole samples the file still held for it.
template <typename T>
static int read_row(T *row) {
    size_t got = fread(row, sizeof(T), static_cast<size_t>(nb_col), f1);
    // A sample cut short by the end of the file leaves its element undefined:
    // cells the file does not reach are 0.
    if (got < static_cast<size_t>(nb_col))
        memset(row + got, 0, (static_cast<size_t>(nb_col) - got) * sizeof(T));
    if (!host_is_little_endian()) swap_row(row, static_cast<int>(got));
    return static_cast<int>(got);
}

void lecture() {
    say("\n\n\tDEM file lecture\n");
    const int width = itype == 0 ? 2 : 4;
    long long found = 0;
    if (itype == 0) {
        // One staging row, read in one block and widened without sign into
        // the grid: a whole staging grid would double the memory a 16-bit
        // DEM touches while loading, for nothing.
        itab2 = usmatrice(nb_col, 1);
        if (itab2 == nullptr) {
            say("\n\n\tNot enough memory to read %s\n", nomim1);
            end_run(1);
        }
        const unsigned short *src = itab2[0];
        for (int i = 0; i < nb_lig; i++) {
            found += read_row(reinterpret_cast<uint16_t *>(itab2[0]));
            int *dst = itab[i];
            for (int j = 0; j < nb_col; j++) dst[j] = src[j];
        }
    } else {
        for (int i = 0; i < nb_lig; i++) found += read_row(itab[i]);
    }

    // Whatever follows the last sample is counted, not used.
    long long extra = 0;
    if (found == static_cast<long long>(nb_lig) * nb_col) {
        char chunk[65536];
        size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, f1)) > 0) extra += static_cast<long long>(got);
    }
    bool failed = ferror(f1) != 0;
    fclose(f1);
    f1 = nullptr;
    frusmatrice(itab2, 1);
    itab2 = nullptr;
    if (failed) {
        say("\n\n\tCannot read %s\n", nomim1);
        end_run(1);
    }

    const long long expected = static_cast<long long>(nb_lig) * nb_col;
    if (found < expected || extra > 0) {
        say("\n\n\tWarning: %s holds %lld samples of %d bytes, %lld expected (%d lines x %d "
            "columns)",
            nomim1, found + extra / width, width, expected, nb_lig, nb_col);
        if (extra % width != 0) say(" and %lld stray bytes", extra % width);
        say("\n");
    }
}

void parameters() {
    int min = INT_MAX, max = INT_MIN;
    for (int i = 0; i < nb_lig; i++) {
        const int *row = itab[i];
        for (int j = 0; j < nb_col; j++) {
            if (row[j] < min) min = row[j];
            if (row[j] > max) max = row[j];
        }
    }
    say("\n\n\tDynamic scale of the input DEM :\n\t\tMin = %d\n\t\tMax = %d ", min, max);

    int scale;
    do
        scale = read_int(
            "\n\n\tAre these values :\n\t\t0 ====> in meters\n\t\t1 ====> in decimeters"
            "\n\t\t2 ====> in centimeters\n\t\t3 ====> in millimeters\n\t\t");
    while (scale < 0 || scale > 3);
    static const double divisors[] = {1.0, 10.0, 100.0, 1000.0};
    const double rescale = divisors[scale];

    for (int i = 0; i < nb_lig; i++) {
        const int *src = itab[i];
        double *dst = dtab[i];
        for (int j = 0; j < nb_col; j++) dst[j] = static_cast<double>(src[j]) / rescale;
    }

    if (pix_size == 0) pix_size = read_int("\n\n\tpixel size ? ");
    do backgr = read_int("\n\n\tbackground:\n\t\t0 ====> white\n\t\t1 ====> black\n\t\t");
    while (backgr > 1);
    write_pix_size();
}
