// walks.h: the walk from one cell to another and its uses: the cells of a
// side of the square, the length of the first ray, the classes of a ray.
#ifndef TOLMAR_COMPUTE_WALKS_H
#define TOLMAR_COMPUTE_WALKS_H

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

// Classifies the cells of one ray from its bottom entry towards its top
// entry against the plane profile `profile` (1-based: profile[p] is the plane's
// elevation at the p-th cell of the ray).
void classify_ray(const Terrain &t, const std::vector<double> &profile, Cell from, Cell to, Classes &c);

#endif
