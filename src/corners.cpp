// corners.cpp: one corner of the influence square, a square of half-side
// infl centred on the reference point and turned so that its bottom side
// faces the dip direction.
//
//   corner angles are counter-clockwise from the direction of growing
//   columns, 90 towards row 0; for a dip towards growing columns:
//
//            left-top (135) +-------+ left-bottom (45)
//                           |  top  |bottom        the bottom side faces
//                           |   x   |side   --->   the dip direction
//                           |       |
//          right-top (225)  +-------+ right-bottom (315)
#include <cmath>

#include "tolmar.h"

// Truncates toward zero; a position beyond the integer range becomes the
// nearest end of the range, which no raster contains.
static int truncate_cell(double x) {
    if (!(x > -2147483649.0)) return -2147483647 - 1;
    if (!(x < 2147483648.0)) return 2147483647;
    return static_cast<int>(x);
}

// Computes the corner seen from the centre at angle dir_c (whole degrees)
// into i_c, j_c, and copies it into the pair chosen by flag: 1 left-bottom,
// 2 left-top, 3 right-top, 4 right-bottom; any other flag copies nothing.
void corners(int dir_c, int flag) {
    double dinfl = infl / cos(45 * api);  // the half-diagonal, infl * sqrt(2)
    double fdir_c = dir_c;
    double fi_c = ip - sin(fdir_c * api) * dinfl;  // rows grow downwards
    double fj_c = cos(fdir_c * api) * dinfl + jp;
    i_c = truncate_cell(fi_c);
    j_c = truncate_cell(fj_c);
    switch (flag) {
    case 1: i_lb = i_c; j_lb = j_c; break;
    case 2: i_lt = i_c; j_lt = j_c; break;
    case 3: i_rt = i_c; j_rt = j_c; break;
    case 4: i_rb = i_c; j_rb = j_c; break;
    default: break;
    }
}
