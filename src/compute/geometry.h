// geometry.h: the small types every part of tolmar shares: a cell of the
// raster, a box of rows and columns, and the five values of a treatment.
//
// Cells are (row, column) pairs of the raster, both counted from 0:
//
//        column ->  0   1   2  ...
//   row 0          [ ][ ][ ]           rows grow downwards (southwards when
//   row 1          [ ][ ][ ]           row 0 is the north edge), columns to
//   ...                                the right (eastwards)
//
// The interior of a raster is rows 1 to rows-2 and columns 1 to cols-2; the
// rest is its border, which no trace ever reaches.
#ifndef TOLMAR_COMPUTE_GEOMETRY_H
#define TOLMAR_COMPUTE_GEOMETRY_H

#include <string>

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

// The five values of a treatment, as the user entered them.
struct Values {
    int row = 0, column = 0;  // the reference point
    int dip = 0;              // whole degrees
    int dip_direction = 0;    // compass degrees: 0 towards row 0, 90 towards growing columns
    int zone = 0;             // influence zone: half the side of the square, in cells
    bool operator==(const Values &o) const {
        return row == o.row && column == o.column && dip == o.dip && dip_direction == o.dip_direction && zone == o.zone;
    }
};

// How a trace is found. Classic: the rays of the square count distances in
// cells whatever their direction, as the classic program does (the
// default; an oblique trace sits off the ground). Exact ("true" on the
// command line): where the plane through the reference point meets the
// ground, distances measured along both axes.
enum class Geometry { classic, exact };
inline const char *geometry_name(Geometry g) { return g == Geometry::exact ? "true" : "classic"; }
// "classic" or "true"; false for any other word.
inline bool geometry_of_name(const char *name, Geometry &g) {
    const std::string n = name;
    if (n == "classic") g = Geometry::classic;
    else if (n == "true") g = Geometry::exact;
    else return false;
    return true;
}

#endif
