// fit.h: the true attitude of a mapped contact. The plane through the
// contact's points at their DEM elevations, by least squares, is where the
// search starts; the attitude is then the plane whose exact intersection
// with the ground (the zero line of the DEM's bilinear surface minus the
// plane) passes nearest the contact's points, each point's distance taken
// as its difference ground minus plane over the slope of that difference
// (the first-order distance to the zero line), in least squares. The
// plane's height is free, unless a station fixes it (the plane through the
// station's cell centre at its elevation, as a treatment's plane is). Each
// of the dip and the dip direction has a range from the profile of the sum
// of squares: the values whose best fit is not significantly worse, by the
// F ratio at 99 % (at 95 % the ranges held the truth in only 85 % of the
// trials of a contact carrying a cell of noise: the first-order distance
// and the noise in the points' own elevations bias the fit a little), over
// every valley of the profile.
//
// Coordinates: metres east and north of the DEM's cell (0, 0), rows growing
// southwards; a DEM imported with its lengths scaled by k reports metres
// divided by k.
#ifndef TOLMAR_TOOLS_FIT_H
#define TOLMAR_TOOLS_FIT_H

#include <string>
#include <vector>

#include "compute/treatment.h"
#include "contact.h"

namespace tools {

// The plane through the spots at their DEM elevations, by least squares;
// exact through three points.
struct Plane {
    bool determined = false;  // false when the spots lie on a line (or are fewer than 3)
    double a = 0, b = 0, c = 0;  // elevation = a x + b y + c, x east and y north in the DEM's lengths
    double dip = 0;           // degrees
    double dip_direction = 0; // degrees clockwise from the top of the raster
    double rms_m = 0;         // residual of the spots' elevations, metres
    double along_m = 0, across_m = 0;  // spread of the spots along and across their main direction
    bool nearly_collinear = false;     // across less than 5 % of along
};
Plane fit_plane(const Terrain &t, double k, const Contact &c);

// The attitude whose exact intersection passes nearest the contact.
struct TrueFit {
    bool found = false;
    double dip = 0, dip_direction = 0;  // degrees
    double fall_e = 0, fall_n = 0;      // tan(dip) along east and north: the plane falls this much a metre
    double e0 = 0, n0 = 0, z0 = 0;      // the plane passes through (e0, n0) at z0, metres
    double rms_m = 0;                   // RMS distance of the points from the intersection
    int points = 0, unknowns = 0;
    double level = 0;                   // the confidence of each range
    bool dip_bounded = false, dir_bounded = false;  // false: the data do not bound it
    double dip_lo = 0, dip_hi = 0, dir_lo = 0, dir_hi = 0;  // dir_lo may be above dir_hi across north
    double plane(double e, double n) const { return z0 - fall_e * (e - e0) - fall_n * (n - n0); }
};
// From `start`; `station` (row, column of a cell) fixes the plane's height.
TrueFit fit_true(const Terrain &t, double k, const Contact &c, const Plane &start, const Cell *station);

// The reference point for a treatment of the fitted attitude: the cell near
// the middle of the contact where the plane passes nearest the ground (a
// treatment's plane passes through its point's elevation), and a zone
// whose square reaches every point of the contact and fits the DEM in the
// attitude's direction. `beyond` counts the points the square cannot reach.
struct Treatment {
    bool fits = false;   // some square around the point fits the DEM
    Values values;
    int beyond = 0;
    double offset_m = 0;  // the fitted plane's height over the ground at the point
};
Treatment treatment_for(const Terrain &t, double k, const Contact &c, const TrueFit &f, const Cell *station, int zone);

// How the exact intersection of a treatment's plane, inside its square,
// follows the contact: the share of the contact (its length, or its points)
// within one cell and within two cells of it, and the share beyond the
// square.
struct Closeness {
    bool traced = false;
    double within_one = 0, within_two = 0, beyond = 0, mean_m = 0;
};
Closeness closeness(const Terrain &t, double k, const Contact &c, const Values &v);

}  // namespace tools

#endif
