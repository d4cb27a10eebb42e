// walks.h: the walk from one cell to another and its uses: the cells of a
// side of the square, the length of the first ray, the classes of a ray.
#ifndef TOLMAR_COMPUTE_WALKS_H
#define TOLMAR_COMPUTE_WALKS_H

#include <cstdint>
#include <vector>

#include "compute/classify.h"
#include "compute/geometry.h"
#include "compute/terrain.h"

// The cells of one side of the square from `from` to one step past `to` (the
// overshoot cell); `from` alone when the two coincide.
void side_cells(Cell from, Cell to, std::vector<Cell> &side);
// The number of cells of the walk from `from` to `to`, the overshoot cell
// included; 1 when they coincide.
int ray_length(Cell from, Cell to);

// The plane profile (1-based: profile[p] is the plane's elevation at the
// p-th cell of a ray) as sample thresholds: below[p] is the smallest sample
// whose elevation (sample / divisor, as Terrain::elevation computes it) is
// at or above profile[p]. Elevations grow with the sample, so "the plane is
// above the terrain" is exactly "the sample is below the threshold", and a
// ray compares integers. A NaN profile value never lies above the terrain.
void plane_thresholds(const Terrain &t, const std::vector<double> &profile, std::vector<int64_t> &below);

// One ray whose ends lie a cell or more inside the raster, walked in parts:
// it can stop at a row and go on later from where it stood.
class RayWalk {
public:
    RayWalk(Cell from, Cell to);
    bool finished() const { return n_ > steps_ + 1; }
    // Walks on while the next cell to be written lies in a row before
    // `stop` (after it when the rows fall: `falling`), leaving the rows'
    // spans as they are. Returns false if the end cell was not reached after
    // the longer axis's length; the ray must then be walked again with every
    // check (never seen: the accumulated error stays far below half a cell).
    template <typename Sample>
    bool advance(const Sample *z, size_t cols, const int64_t *below, Classes &c, int stop, bool falling, int ahead, ptrdiff_t ahead_rows);

private:
    Cell to_;
    int steps_ = 0, n_ = 1;  // the step to take next, 1 to steps_ + 1
    bool along_rows_ = false;
    int sign_ = 1;  // of the step along the longer axis
    double minor_ = 0, minor_step_ = 0;
    int ip_, jp_;      // the cell the next step comes from
};

// Classifies the cells of one ray from its bottom entry towards its top
// entry against the plane, given as thresholds, widening the rows' spans.
void classify_ray(const Terrain &t, const std::vector<int64_t> &below, Cell from, Cell to, Classes &c);
// Classifies the cells of the first `rays` rays, bottom[k] to top[k], as
// one ray after the other would; `walks` is scratch space. The rows' spans
// must already cover every cell the rays can write.
void classify_rays(const Terrain &t, const std::vector<int64_t> &below, const std::vector<Cell> &bottom,
                   const std::vector<Cell> &top, int rays, Classes &c, std::vector<RayWalk> &walks);

#endif
