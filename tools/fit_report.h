// fit_report.h: what tolmar-fit writes besides its report: the answers
// for tolmar, the picture of the contact and a trace, and the classic
// misfit's words.
#ifndef TOLMAR_TOOLS_FIT_REPORT_H
#define TOLMAR_TOOLS_FIT_REPORT_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "files/demset.h"
#include "files/formats.h"
#include "fit_classic.h"

namespace tools {

// Answers with which tolmar stamps `best` on the DEM of `dem` into the
// result set NAME_fit; `result` says that set's raster.
bool write_answers(const std::string &path, const DemSet &dem, int unit, int pix, const formats::Record &best,
                   std::string &result, std::string &err);

// The contact in black and a trace in the first code's colour over the
// hillshade around the point.
bool picture(const std::string &path, const Terrain &t, const Contact &c, const std::vector<Cell> &trace, int ip,
             int jp, int infl, std::string &err);

// The plane through the contact's points, as JSON (both fits report it).
nlohmann::ordered_json plane_json(const Plane &plane);

// The classic misfit, in words and as JSON.
nlohmann::ordered_json misfit_json(const Misfit &m);
std::string misfit_text(const Misfit &m);

}  // namespace tools

#endif
