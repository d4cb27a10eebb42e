// fit_cases.h: contacts of known planes, made here on their own for the fit's
// calibration and its tests: grounds (synthetic ramps, domes, ridges,
// valleys, a plain with a hill, a cone, and the bundled real DEMs), a plane
// through a point of each, the zero line of ground minus plane traced on the
// ground's bilinear surface by this file's own marching squares, a piece of
// it sampled and moved by noise as a geologist's mapping would be.
#ifndef TOLMAR_TESTS_FIT_CASES_H
#define TOLMAR_TESTS_FIT_CASES_H

#include <memory>
#include <string>
#include <vector>

#include "compute/geometry.h"
#include "fit/contact.h"
#include "files/demset.h"

namespace fitcases {

struct Ground {
    std::string name;
    DemSamples dem;
    double divisor = 1000;  // samples in millimetres
    int pix = 30;
    Terrain terrain() const { return dem.terrain(divisor, pix); }
};

// The grounds: six synthetic ones and the bundled DEMs of `examples`
// (Jacksboro, Salish, and Olinda's GeoTIFF read through GDAL).
std::vector<std::unique_ptr<Ground>> grounds(const std::string &examples);

struct Case {
    const Ground *ground = nullptr;
    Cell station;           // the plane passes through its centre at its elevation
    double dip = 0, dir = 0;
    double noise = 0;       // RMS displacement of the points, cells
    bool correlated = false;  // the displacements of neighbouring points alike
    bool lines = true;      // a line of vertices, else points
    double length = 0;      // of the piece of intersection sampled, cells
    tools::Contact contact;
    std::string what() const;
};

// `n` cases from `seed`: dips from 0 to 90 (vertical ones among them),
// every direction, noise from 0 to 2 cells, 5 to 200 points, pieces of 10 to
// 200 cells.
std::vector<Case> cases(const std::vector<std::unique_ptr<Ground>> &grounds, unsigned seed, int n);

// The zero line of ground minus the plane through `station` near it, as
// polylines in fractional cells (centre of cell (i, j) at (i, j)).
std::vector<std::vector<tools::Spot>> zero_lines(const Terrain &t, Cell station, double dip, double dir, int reach);

}  // namespace fitcases

#endif
