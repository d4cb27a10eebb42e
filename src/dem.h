// dem.h: a DEM in memory: its samples at the width of their file (16-bit
// unsigned or 32-bit signed), and the terrain a treatment reads from them,
// elevations in metres computed where they are read. Cells are (row, column)
// pairs, rows growing downwards from row 0 at the top, columns to the right.
#ifndef TOLMAR_DEM_H
#define TOLMAR_DEM_H

#include <cstdint>
#include <string>

#include "../LIB/nrutil.h"

struct Cell {
    int i = 0, j = 0;  // row, column
    bool operator==(const Cell &o) const { return i == o.i && j == o.j; }
    bool operator!=(const Cell &o) const { return !(*this == o); }
    bool operator<(const Cell &o) const { return i < o.i || (i == o.i && j < o.j); }
};

// An inclusive range of rows and columns; empty when i0 > i1 or j0 > j1.
struct Box {
    int i0 = 0, i1 = -1, j0 = 0, j1 = -1;
    bool empty() const { return i0 > i1 || j0 > j1; }
    void add(Cell c) {
        if (empty()) {
            *this = {c.i, c.i, c.j, c.j};
            return;
        }
        if (c.i < i0) i0 = c.i;
        if (c.i > i1) i1 = c.i;
        if (c.j < j0) j0 = c.j;
        if (c.j > j1) j1 = c.j;
    }
};

// The terrain as a treatment sees it: a view of the samples, the divisor from
// their unit to metres (1, 10, 100 or 1000) and the pixel size.
struct Terrain {
    int rows = 0, cols = 0;
    const uint16_t *s16 = nullptr;  // the samples of a 16-bit DEM, or
    const int32_t *s32 = nullptr;   // those of a 32-bit one, row after row
    double divisor = 1.0;
    int pix_size = 0;

    bool inside(int i, int j) const { return i >= 0 && i < rows && j >= 0 && j < cols; }
    // The sample as a 64-bit float divided by the unit's divisor: the same
    // operation whichever code asks, so every elevation is the same double.
    double elevation(int i, int j) const {
        const size_t k = static_cast<size_t>(i) * static_cast<size_t>(cols) + static_cast<size_t>(j);
        return (s16 != nullptr ? static_cast<double>(s16[k]) : static_cast<double>(s32[k])) / divisor;
    }
};

// The samples of a DEM, one grid of the file's width.
struct DemSamples {
    int rows = 0, cols = 0;
    int width = 0;  // bytes per sample, 2 or 4
    Grid<uint16_t> s16;
    Grid<int32_t> s32;

    // Zero-filled samples of rows x cols; false when memory runs out.
    bool allocate(int rows, int cols, int width);
    void release();
    Terrain terrain(double divisor, int pix_size) const;
    int32_t at(int i, int j) const { return width == 2 ? s16.at(i, j) : s32.at(i, j); }
};

// What reading a DEM raster found.
struct SampleCount {
    long long file_bytes = 0;  // length of the file
    long long samples = 0;     // whole samples it holds (file_bytes / width)
    int32_t min = 0, max = 0;  // smallest and largest sample of the whole grid,
                               // cells the file does not reach counting as 0
};

// Reads the raster open on `fd` into `dem` (allocated, zero-filled) in large
// block reads, converting to host order, and finds the range while the
// samples are fresh in the cache. A file shorter than the grid leaves the
// cells it does not reach at 0; bytes beyond the grid are not read. False,
// with the system's reason in `err`, on a read error.
bool read_samples(int fd, DemSamples &dem, SampleCount &count, std::string &err);

#endif
