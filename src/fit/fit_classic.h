// fit_classic.h: the classic fit (tolmar-fit --classic), for those who keep
// classic result sets: a trace computed exactly as the classic treatment
// stamps it is compared with the contact by the distances between them,
// and the whole dip and dip direction whose classic trace follows the
// contact best are searched for, with the range that fits nearly as well.
//
// Lengths: a DEM imported with its elevations and pixel size scaled by k
// (tolmar-import) gives lengths k times too large; every length reported
// here is divided by k, so metres are the ground's.
#ifndef TOLMAR_FIT_FIT_CLASSIC_H
#define TOLMAR_FIT_FIT_CLASSIC_H

#include <memory>
#include <string>
#include <vector>

#include "compute/treatment.h"
#include "fit/contact.h"
#include "fit/fit.h"

namespace tools {

// How far a trace lies from the contact, in metres.
struct Misfit {
    bool traced = false;          // the square fits and its trace comes near the contact
    Verdict verdict = Verdict::traced;
    size_t cells = 0;             // trace cells compared: those beyond the ends of the mapped lines
                                  // (by 3 cells) and those over filled ground left out
    size_t over_filled = 0;       // trace cells over ground filled in place of nodata
    double points_mean = 0, points_max = 0;  // from the contact's spots to the trace
    double trace_mean = 0, trace_max = 0;    // from the trace to the contact
    double misfit_m = 0;          // the mean of the two means: what the search makes smallest
};

// The comparison of traces with one contact, reused for many attitudes.
class Comparison {
public:
    Comparison(const Terrain &t, double k, const Contact &c, const std::vector<uint8_t> &filled);
    ~Comparison();
    Misfit misfit(const Values &v);
    // The trace of the last misfit().
    const std::vector<Cell> &trace_cells() const { return trace_.cells; }

private:
    Terrain t_;
    double k_;
    const Contact &c_;
    const std::vector<uint8_t> &filled_;
    Work work_;
    Trace trace_;
    class Index;                     // segments in buckets, for the nearest one
    std::unique_ptr<Index> contact_;  // the contact's segments
    // Where the contact was mapped: alongside its lines, not beyond their
    // ends; or the hull of a set of points, and a little around it.
    std::vector<Spot> hull_;
    std::unique_ptr<Index> hull_edges_;
    bool in_mapped_area(Spot s, double d, bool at_end) const;  // d: to the nearest place, at a line's end or not
};

// A reference point and zone whose square holds the whole contact: of the
// contact's cells nearer its centre than half of them, the one whose
// elevation lies nearest the fitted plane (the plane of a treatment passes
// through its point's elevation), and a zone reaching its farthest spot.
bool default_square(const Terrain &t, const Contact &c, const Plane &plane, int &ip, int &jp, int &infl,
                    std::string &err);

// The attitude whose trace follows the contact best, from `start`, over whole
// degrees; the dips and directions whose misfit is within 10 % of the best.
// With `move_point`, the reference point may move to a neighbouring cell or
// another cell of the contact nearby where that fits better: a cell of the
// contact lies up to a cell off the plane, and the plane of a treatment
// passes through its point's elevation.
struct Search {
    int ip = 0, jp = 0;  // the reference point
    int dip = 0, dip_direction = 0;
    Misfit best;
    int dip_lo = 0, dip_hi = 0;   // within 10 %
    int dir_lo = 0, dir_hi = 0;   // within 10 %, as directions (dir_lo may be above dir_hi across north)
    int evaluated = 0;
};
Search search(Comparison &cmp, const Contact &contact, int ip, int jp, int infl, double start_dip, double start_dir,
              bool start_known, bool move_point);

}  // namespace tools

#endif
