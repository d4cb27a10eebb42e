// fit_report.h: what tolmar-fit writes besides its report: the answers
// for tolmar, the picture of the contact and a trace, and the classic
// misfit's words.
#ifndef TOLMAR_FIT_FIT_REPORT_H
#define TOLMAR_FIT_FIT_REPORT_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "files/demset.h"
#include "files/formats.h"
#include "fit/fit.h"
#include "fit/fit_classic.h"

namespace tools {

// Answers with which tolmar stamps `best` on the DEM of `dem` into the
// result set NAME_fit; `result` says that set's raster.
bool write_answers(const std::string &path, const DemSet &dem, int unit, int pix, const formats::Record &best,
                   std::string &result, std::string &err);

// The contact in black and a trace in the first code's colour over the
// hillshade around the point; beside it, when `fit` is given, the
// stereonet of the fit: the answer's pole and its region of confidence, or
// the arc of poles of the planes that fit.
bool picture(const std::string &path, const Terrain &t, const Contact &c, const std::vector<Cell> &trace, int ip,
             int jp, int infl, std::string &err, const TrueFit *fit = nullptr);

// The band where the planes that fit may meet the ground (band_cells over
// `box`) as polygons, and the answer's trace as lines, in a vector file
// (GeoPackage or GeoJSON) in the DEM's system.
bool write_band(const std::string &path, const DemSet &dem, const Terrain &t, const TrueFit &fit, const Box &box, std::string &err);
bool write_trace(const std::string &path, const DemSet &dem, const std::vector<Cell> &cells, const Values &v,
                 const TrueFit &fit, std::string &err);

// The plane through the contact's points, as JSON (both fits report it).
nlohmann::ordered_json plane_json(const Plane &plane);

// The classic misfit, in words and as JSON.
nlohmann::ordered_json misfit_json(const Misfit &m);
std::string misfit_text(const Misfit &m);

}  // namespace tools

#endif
