// fit.h: the true attitude of a mapped contact: the plane through its
// points at their DEM elevations, by least squares, then the attitude whose
// exact intersection with the ground follows the contact, with its region of
// confidence, or the word that the contact does not decide it; the treatment
// that stamps it, and how a treatment's intersection follows the contact.
//
// Coordinates: metres east and north of the DEM's cell (0, 0), rows growing
// southwards; a DEM imported with its lengths scaled by k reports metres
// divided by k.
#ifndef TOLMAR_FIT_FIT_H
#define TOLMAR_FIT_FIT_H

#include <string>
#include <vector>

#include "compute/treatment.h"
#include "fit/contact.h"

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

// A plane's attitude as its unit normal, pointing up (east, north, up).
struct Pole {
    double x = 0, y = 0, z = 1;
};
Pole pole_of(double dip, double dip_direction);
// The dip and dip direction of a normal (turned up when it points down).
void attitude_of(const Pole &p, double &dip, double &dip_direction);

// The attitude a contact decides, and how well. Each contact point's
// distance from the plane's exact intersection with the ground (the DEM's
// bilinear surface) is found by Newton's steps towards it; the plane is the
// one of least sum of squares among those whose intersection follows the
// contact (a plane lying along the ground meets it all around the contact,
// and is set aside); the confidence region at the stated level holds the
// planes whose sum of squares lies within the bound the noise allows,
// taking into account that neighbouring points of a mapped line err alike.
struct TrueFit {
    enum class Outcome {
        none,        // too few points to fit
        determined,  // the contact decides the attitude: its ranges at the level
        line,        // planes through one line fit about equally: the contact fixes the line, not a plane
        wide,        // the planes that fit spread too wide for an answer
        no_plane,    // no plane's intersection follows the contact
    };
    Outcome outcome = Outcome::none;
    bool found = false;                 // a best plane (outcome other than none)
    bool determined() const { return outcome == Outcome::determined; }
    double dip = 0, dip_direction = 0;  // the best plane, degrees
    Pole pole;                          // its normal
    double offset = 0;                  // the plane: pole . (east, north, up) = offset, metres
    double fall_e = 0, fall_n = 0;      // tan(dip) along east and north: the plane falls this much a metre
    double e0 = 0, n0 = 0, z0 = 0;      // the plane passes through (e0, n0) at z0, metres
    double rms_m = 0;                   // RMS distance of the points from the intersection
    double rms_cells = 0;               // the same in cells
    double jitter_cells = 0;            // the contact's own scatter from one vertex to the next (0: not known)
    double trace_ratio = 0;             // the intersection's length near the contact over the contact's
    int points = 0, unknowns = 0;
    double correlation = 0;             // of neighbouring points' distances
    double effective = 0;               // points the ranges count, once their correlation is allowed for
    double level = 0;                   // the confidence of the region and its ranges
    double dip_lo = 0, dip_hi = 0;      // low to high; 90 when the region reaches vertical planes
    bool direction_any = false;         // the region holds a level plane: any direction
    double dir_lo = 0, dir_hi = 0;      // clockwise from dir_lo to dir_hi (dir_lo above dir_hi across north)
    bool vertical = false;              // the region reaches dip 90: a direction and its opposite are one plane
    std::vector<Pole> region;           // the region's boundary (determined), or the arc of poles that fit (line)
    double trend = 0, plunge = 0;       // the line the contact fixes (outcome line)
    std::string why;                    // not determined: why, in a sentence with its figures
    double sum = 0, bound = 0;          // the best plane's sum of squares (m²), and the region's bound on it
    double pivot[3] = {0, 0, 0};        // the planes turn about this point (the station, or the contact's middle): east, north, up
    double height = 0;                  // the best plane passes this far above the pivot, along its normal
    double plane(double e, double n) const { return z0 - fall_e * (e - e0) - fall_n * (n - n0); }
};
// From `start` (the plane through the points' elevations) and a search of
// every attitude; `station` (row, column of a cell) fixes the plane's height
// there. `level`: the confidence of the region (0.99 or 0.90, ...).
TrueFit fit_true(const Terrain &t, double k, const Contact &c, const Plane &start, const Cell *station, double level = 0.99);

// The sum of squares of the distances of the contact's points from the
// intersection of the plane of this attitude (its height the best one, or
// through the station): what the region's bound is on.
double sum_of_squares(const Terrain &t, const Contact &c, double dip, double dip_direction, const Cell *station);

// Where the intersection of the planes that fit may run: the cells of
// `box` where, among the answer and the planes of the region's boundary
// (each turned about the pivot, as the answer), some meet the ground above
// the cell's centre and some below. Row after row of the box, 1 in the band.
std::vector<uint8_t> band_cells(const Terrain &t, const TrueFit &f, const Box &box);

// Whether the region of `f` holds the plane of `dip` and `dip_direction`
// by its ranges, as they are told.
bool ranges_hold(const TrueFit &f, double dip, double dip_direction);

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
    double rms_m = 0;  // RMS distance of the contact within the square from the intersection, the fit's own measure
};
Closeness closeness(const Terrain &t, double k, const Contact &c, const Values &v);

}  // namespace tools

#endif
