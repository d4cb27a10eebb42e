// terrain.h: the terrain as a treatment sees it: a view of a DEM's samples
// at their file's width, with elevations in metres computed where they are
// read, and the pixel size. It owns nothing: the samples belong to the file
// set that read or mapped them.
#ifndef TOLMAR_COMPUTE_TERRAIN_H
#define TOLMAR_COMPUTE_TERRAIN_H

#include <cstddef>
#include <cstdint>

struct Terrain {
    int rows = 0, cols = 0;
    const uint16_t *s16 = nullptr;  // the samples of a 16-bit DEM, or
    const int32_t *s32 = nullptr;   // those of a 32-bit one, row after row
    double divisor = 1.0;           // from the samples' unit to metres: 1, 10, 100 or 1000
    int pix_size = 0;               // ground length of a cell, whole metres; 0 makes every plane flat

    bool inside(int i, int j) const { return i >= 0 && i < rows && j >= 0 && j < cols; }
    // The sample as a 64-bit float divided by the unit's divisor: the same
    // operation whichever code asks, so every elevation is the same double.
    double elevation(int i, int j) const {
        const size_t k = static_cast<size_t>(i) * static_cast<size_t>(cols) + static_cast<size_t>(j);
        return (s16 != nullptr ? static_cast<double>(s16[k]) : static_cast<double>(s32[k])) / divisor;
    }
    // The sample itself, in the file's unit.
    int64_t sample(int i, int j) const {
        const size_t k = static_cast<size_t>(i) * static_cast<size_t>(cols) + static_cast<size_t>(j);
        return s16 != nullptr ? static_cast<int64_t>(s16[k]) : static_cast<int64_t>(s32[k]);
    }
};

#endif
