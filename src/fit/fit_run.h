// fit_run.h: tolmar-fit's work: the plane through a mapped contact, the
// misfit of a trace, the attitude that fits best, told as text or JSON.
#ifndef TOLMAR_FIT_FIT_RUN_H
#define TOLMAR_FIT_FIT_RUN_H

#include <string>

#include "base/outcome.h"
#include "compute/geometry.h"
#include "fit/contact.h"
#include "files/demset.h"

namespace tools {

struct FitRequest {
    std::string dem, contact;
    int unit = -1;                  // the dialogue's unit answer; -1 for the imported DEM's own, else m
    int pixel_size = 0;             // when the descriptor gives none
    bool point = false, zone = false, given = false, json = false;
    bool classic = false;           // the classic search and answers (--classic)
    int row = 0, column = 0, zone_cells = 0;
    Values values;                  // --values
    std::string answers, score, picture;
    std::string band, trace;        // the band of the planes that fit, the answer's trace: vector files
    double level = 0.99;            // the confidence of the region
    const DemSet *opened = nullptr; // a DEM already open, read in place of the file `dem` then only names
    std::string contact_text;       // the contact's text, read in place of the file `contact` then only names
};

// What tolmar-fit tells: as text and as one JSON object; `answered` when
// the contact decided the attitude and everything asked was written.
struct FitAnswer {
    std::string text, json;
    bool answered = false;
};

tolmar::Status run_fit(const FitRequest &q, FitAnswer &a);
// The classic fit, as tolmar-fit --classic tells it.
tolmar::Status run_classic(const FitRequest &q, const DemSet &dem, const Terrain &t, int unit, int pix, const Contact &contact,
                           FitAnswer &a);

}  // namespace tools

#endif
