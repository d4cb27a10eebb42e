// contact.h: a contact mapped on a DEM, as tolmar-fit reads it: lines
// through their vertices in order, or points, in fractional cells (the
// centre of cell (i, j) at (i, j)); and the DEM's bilinear surface under it.
#ifndef TOLMAR_FIT_CONTACT_H
#define TOLMAR_FIT_CONTACT_H

#include <algorithm>
#include <string>
#include <vector>

#include "compute/terrain.h"
#include "files/demset.h"

namespace tools {

// A point of the contact, in (fractional) cells: row, column.
struct Spot {
    double i = 0, j = 0;
};

// Lines through their vertices in order; a line of one spot is a point.
struct Contact {
    std::vector<std::vector<Spot>> lines;
    std::vector<Spot> spots() const;
    bool points_only() const;
    // How it was read: "156 vertices of 1 line", "12 points (no order: not
    // chained into a line)", with any points left out.
    std::string how;
};

// The most vertices a contact may hold.
constexpr size_t MAX_SPOTS = 100000;

// Reads a contact. CSV: a header naming row,column (cells) or x,y (map
// coordinates, placed by the DEM's georeference, or the cell units
// tolmar-export writes without one); its rows are points, never chained,
// unless a column `line` says which line each vertex, in order, belongs to.
// GeoJSON: LineString and MultiLineString geometries are lines, Point and
// MultiPoint ones points. Points outside the DEM of rows x cols are left
// out (and said); a contact of none, of numbers that are not finite map
// coordinates, or of more than MAX_SPOTS vertices is refused.
bool read_contact(const std::string &path, const Georef &g, int rows, int cols, Contact &c, std::string &err);
// The same from the file's text (`path` names it in the messages).
bool read_contact_text(const std::string &text, const std::string &path, const Georef &g, int rows, int cols, Contact &c,
                       std::string &err);
// A contact of the most vertices fits in a few megabytes of text.
constexpr size_t MAX_CONTACT_BYTES = 16 << 20;

// The DEM's elevation at a fractional cell, bilinear between cell centres
// (cells beyond the edge repeat it), and its slope there: metres of rise a
// metre eastwards and northwards.
double bilinear(const Terrain &t, double i, double j);
void bilinear_slope(const Terrain &t, double i, double j, double &east, double &north);
// Both at once, the four samples read once (the fit's Newton steps ask
// for them at every step).
inline void surface(const Terrain &t, double i, double j, double &z, double &east, double &north) {
    i = std::min(std::max(i, 0.0), t.rows - 1.0);
    j = std::min(std::max(j, 0.0), t.cols - 1.0);
    const int i0 = std::min(static_cast<int>(i), std::max(t.rows - 2, 0)), j0 = std::min(static_cast<int>(j), std::max(t.cols - 2, 0));
    const int i1 = std::min(i0 + 1, t.rows - 1), j1 = std::min(j0 + 1, t.cols - 1);
    const double fi = i - i0, fj = j - j0;
    const double z00 = t.elevation(i0, j0), z01 = t.elevation(i0, j1), z10 = t.elevation(i1, j0), z11 = t.elevation(i1, j1);
    z = (1 - fi) * ((1 - fj) * z00 + fj * z01) + fi * ((1 - fj) * z10 + fj * z11);
    const double per_column = j1 > j0 ? (1 - fi) * (z01 - z00) + fi * (z11 - z10) : 0;
    const double per_row = i1 > i0 ? (1 - fj) * (z10 - z00) + fj * (z11 - z01) : 0;
    const double pix = t.pix_size > 0 ? t.pix_size : 1;
    east = per_column / pix;
    north = -per_row / pix;  // rows grow southwards
}

}  // namespace tools

#endif
