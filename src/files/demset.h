// demset.h: a DEM file set: its raster's samples in memory at the width of
// their file (16-bit unsigned or 32-bit signed), read or mapped, and the
// rest of what the set says about the DEM: the descriptor's sizes and pixel
// size, and, for a DEM tolmar-import made, the unit of its samples, its
// place on the map and the cells filled in place of nodata (those come
// from GDAL, in georef.h).
#ifndef TOLMAR_FILES_DEMSET_H
#define TOLMAR_FILES_DEMSET_H

#include <cstdint>
#include <string>
#include <vector>

#include "../../LIB/nrutil.h"
#include "compute/terrain.h"

// The samples of a DEM, row after row, in host order: in memory of their own
// or mapped from a raster file (read-only, the file's own pages).
class DemSamples {
public:
    DemSamples() = default;
    DemSamples(const DemSamples &) = delete;
    DemSamples &operator=(const DemSamples &) = delete;
    ~DemSamples() { release(); }

    // Zero-filled samples of rows x cols; false when memory runs out.
    bool allocate(int rows, int cols, int width);
    // The samples of the raster open on `fd`, which must hold exactly rows x
    // cols samples of `width` bytes; false with the system's reason.
    bool map(int fd, int rows, int cols, int width, std::string &err);
    void release();

    int rows() const { return rows_; }
    int cols() const { return cols_; }
    int width() const { return width_; }  // bytes per sample, 2 or 4; 0 when empty
    uint16_t *s16() { return width_ == 2 ? static_cast<uint16_t *>(data_) : nullptr; }
    int32_t *s32() { return width_ == 4 ? static_cast<int32_t *>(data_) : nullptr; }
    int32_t at(int i, int j) const {
        const size_t k = static_cast<size_t>(i) * static_cast<size_t>(cols_) + static_cast<size_t>(j);
        return width_ == 2 ? static_cast<const uint16_t *>(data_)[k] : static_cast<const int32_t *>(data_)[k];
    }
    // Puts a sample in place (samples in memory of their own only).
    void set(int i, int j, int32_t v) {
        const size_t k = static_cast<size_t>(i) * static_cast<size_t>(cols_) + static_cast<size_t>(j);
        if (width_ == 2) static_cast<uint16_t *>(data_)[k] = static_cast<uint16_t>(v);
        else static_cast<int32_t *>(data_)[k] = v;
    }
    Terrain terrain(double divisor, int pix_size) const;

private:
    void *data_ = nullptr;
    size_t mapped_ = 0;  // bytes mapped (the file's pages, or a large DEM's own), 0 when on the heap
    int rows_ = 0, cols_ = 0, width_ = 0;
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
// The range of samples already in memory.
void sample_range(const DemSamples &dem, int32_t &lo, int32_t &hi);

// Where a grid lies on the map: GDAL's geotransform (x of the outer left
// edge, cell width, 0, y of the outer top edge, 0, minus the cell height)
// and the coordinate system.
struct Georef {
    bool known = false;
    double gt[6] = {0, 1, 0, 0, 0, -1};
    std::string wkt;   // the coordinate system, "" when unknown
    std::string crs;   // "EPSG:32725" when it has such a code, else ""

    // The map coordinates of a cell's centre, and the (fractional) cell of a
    // point: row and column grow with the cell indices, the centre of cell
    // (i, j) being (i, j).
    double x(double col) const { return gt[0] + (col + 0.5) * gt[1]; }
    double y(double row) const { return gt[3] + (row + 0.5) * gt[5]; }
    double col(double x) const { return (x - gt[0]) / gt[1] - 0.5; }
    double row(double y) const { return (y - gt[3]) / gt[5] - 0.5; }
};

// A DEM file set as the companions open it.
struct DemSet {
    std::string raster;      // NAME_m2.raw or NAME_m4.raw
    std::string descriptor;  // NAME_m2.txt or NAME_m4.txt
    DemSamples samples;
    SampleCount count;       // the samples' range (when they were read)
    int pix_size = 0;        // from the descriptor, 0 when it gives none
    // From the sidecar of an imported DEM (georef.h):
    int unit = -1;           // the samples' unit, the dialogue's answer 0 to 3; -1 unknown
    double k = 1;            // elevations and pixel size were stored k times larger
    Georef georef;           // known false when there is no sidecar
    std::vector<uint8_t> filled;  // rows x cols, 1 where nodata was filled; empty when none

    int rows() const { return samples.rows(); }
    int cols() const { return samples.cols(); }
    bool is_filled(int i, int j) const {
        return !filled.empty() && filled[static_cast<size_t>(i) * static_cast<size_t>(cols()) + static_cast<size_t>(j)] != 0;
    }
};

// The descriptor and raster of DEM.raw (NAME_m2.raw or NAME_m4.raw, the
// suffix giving the width): sizes checked against the raster's length before
// anything is allocated, samples read (or mapped, with `map`). `err` names
// the file at fault.
bool read_dem_files(const std::string &raw_path, DemSet &d, std::string &err, bool map = false);

#endif
