// corners.h: the influence square: the angles of its corners from the dip
// direction, each corner as a whole cell, and the reference points whose
// square fits inside a raster.
//
// The square for a dip towards growing columns (dip direction 90); corner
// angles are counter-clockwise from the direction of growing columns, 90
// pointing towards row 0:
//
//            left-top (135) +-------+ left-bottom (45)
//                           |  top  |bottom        the bottom side faces
//                           |   x   |side   --->   the dip direction, the
//                           |       |              plane is lowest there
//          right-top (225)  +-------+ right-bottom (315)
#ifndef TOLMAR_COMPUTE_CORNERS_H
#define TOLMAR_COMPUTE_CORNERS_H

#include "compute/geometry.h"

extern const double pi;   // 4 * atan(1)
extern const double api;  // degrees to radians, pi / 180

// The dip direction turned counter-clockwise from the direction of growing
// columns, and the angles of the four corners, 90 degrees apart.
struct CornerAngles {
    int dir, lb, lt, rt, rb;
};
CornerAngles corner_angles(int dip_direction);
// The corner seen from (row, column) at angle `angle`, zone * sqrt(2) away,
// each coordinate truncated toward zero.
Cell corner(int row, int column, int zone, int angle);
struct Square {
    Cell lb, lt, rt, rb;  // left-bottom, left-top, right-top, right-bottom
};
Square square_of(const Values &v);
// The columns of row i whose centres lie in the square's quadrilateral (its
// edges included): lo > hi when none.
void square_row_span(const Square &q, int i, int &lo, int &hi);
// The reference points whose square, for this zone and direction, lies inside
// a raster of rows x cols: lines lo_i..hi_i and columns lo_j..hi_j (empty
// when lo > hi). The corners' rows depend on the line alone, their columns
// on the column alone, so the points that fit form a rectangle.
struct Fit {
    int lo_i, hi_i, lo_j, hi_j;
    bool empty() const { return lo_i > hi_i || lo_j > hi_j; }
};
Fit reference_points_that_fit(int rows, int cols, int dip_direction, int zone);

#endif
