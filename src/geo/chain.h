// chain.h: the cells of one code in a result raster, chained into lines
// through their eight neighbours, for export to a GIS.
#ifndef TOLMAR_GEO_CHAIN_H
#define TOLMAR_GEO_CHAIN_H

#include <cstdint>
#include <vector>

#include "compute/geometry.h"

namespace tools {

using ::Cell;
using Line = std::vector<Cell>;

// The cells holding each code 1 to 250, in row-major order: [code][k].
std::vector<std::vector<Cell>> cells_by_code(const std::vector<uint8_t> &cells, int rows, int cols);

// Chains the cells of one trace (row-major order) into lines: each cell lies
// on exactly one line, consecutive cells of a line are 8-neighbours, a lone
// cell is a line of its own, and a closed loop ends on the cell it started
// from. Lines start at line ends (cells with one neighbour left) first, in
// row-major order, and follow side neighbours before diagonal ones, so that a
// staircase stays one line.
std::vector<Line> chain(const std::vector<Cell> &trace);

}  // namespace tools

#endif
