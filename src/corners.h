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
#ifndef TOLMAR_CORNERS_H
#define TOLMAR_CORNERS_H

#include "dem.h"

extern const double pi;   // 4 * atan(1)
extern const double api;  // degrees to radians, pi / 180

// The five values of a treatment, as the user entered them.
struct Values {
    int ip = 0, jp = 0;  // row and column of the reference point
    int slope = 0;       // dip, whole degrees
    int dir = 0;         // dip direction, compass degrees: 0 towards row 0, 90 towards growing columns
    int infl = 0;        // influence zone: half the side of the square, in cells
};

// The dip direction turned counter-clockwise from the direction of growing
// columns, and the angles of the four corners, 90 degrees apart.
struct CornerAngles {
    int dir, lb, lt, rt, rb;
};
CornerAngles corner_angles(int dir);
// The corner seen from (ip, jp) at angle dir_c, infl * sqrt(2) away, each
// coordinate truncated toward zero.
Cell corner(int ip, int jp, int infl, int dir_c);
struct Square {
    Cell lb, lt, rt, rb;  // left-bottom, left-top, right-top, right-bottom
};
Square square_of(const Values &v);
// The reference points whose square, for this zone and direction, lies inside
// a raster of rows x cols: lines lo_i..hi_i and columns lo_j..hi_j (empty
// when lo > hi). The corners' rows depend on the line alone, their columns
// on the column alone, so the points that fit form a rectangle.
struct Fit {
    int lo_i, hi_i, lo_j, hi_j;
    bool empty() const { return lo_i > hi_i || lo_j > hi_j; }
};
Fit reference_points_that_fit(int rows, int cols, int dir, int infl);

#endif
