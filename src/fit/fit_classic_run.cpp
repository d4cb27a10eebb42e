// fit_classic_run.cpp: tolmar-fit --classic: the plane through the points,
// the classic misfit of a trace, and the whole dip and direction whose
// classic trace follows the contact best, as the classic fit told them.
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "files/formats.h"
#include "fit/fit_report.h"
#include "fit/fit_run.h"

namespace tools {

namespace {

using tolmar::Status;

// The misfit of every treatment of a run log.
bool score_log(const std::string &path, Comparison &cmp, nlohmann::ordered_json &out, std::string &text, std::string &err) {
    std::string log, why;
    if (!formats::read_file(path, log, why)) {
        err = "cannot read " + path + ": " + why;
        return false;
    }
    formats::ResultLog parsed;
    if (!formats::parse_result_log(log, parsed, why)) {
        err = path + ": " + why;
        return false;
    }
    out["score"] = nlohmann::json::array();
    text += "scores of " + path + ":\n";
    char line[600];
    for (const formats::Record &r : parsed.records) {
        const Values &v = r.values;
        const Misfit m = cmp.misfit(v);
        snprintf(line, sizeof line, "   code %d: (%d, %d) dip %d dir %d zone %d: ", r.code, v.row, v.column, v.dip,
                 v.dip_direction, v.zone);
        text += line + misfit_text(m) + "\n";
        nlohmann::ordered_json j = misfit_json(m);
        j["code"] = r.code;
        out["score"].push_back(j);
    }
    return true;
}

}  // namespace

Status run_classic(const FitRequest &q, const DemSet &dem, const Terrain &t, int unit_answer, int pix, const Contact &contact,
                   FitAnswer &a) {
    const std::string &dem_path = q.dem, &contact_path = q.contact;
    std::string err;
    const double k = dem.k;
    const std::vector<Spot> spots = contact.spots();

    // 1. The plane through the points.
    const Plane plane = fit_plane(t, k, contact);
    int ip = q.row, jp = q.column, infl = q.zone_cells;
    if (!q.point || !q.zone) {
        int di, dj, dz;
        if (!default_square(t, contact, plane, di, dj, dz, err) && !(q.point && q.zone)) return Status::failed(q.contact, err);
        if (!q.point) ip = di, jp = dj;
        if (!q.zone) infl = dz;
    }
    Comparison cmp(t, k, contact, dem.filled);
    size_t outside = 0;
    for (const Spot &sp : spots) outside += std::hypot(sp.i - ip, sp.j - jp) > infl;

    // 2. The misfit of the trace given, or of the fitted plane's.
    Values values = q.values;
    if (!q.given) values = {ip, jp, static_cast<int>(std::lround(plane.dip)), static_cast<int>(std::lround(plane.dip_direction)) % 360, infl};
    const Misfit of_values = plane.determined || q.given ? cmp.misfit(values) : Misfit();

    // 3. The search.
    const Search found = search(cmp, contact, ip, jp, infl, plane.dip, plane.dip_direction, plane.determined, !q.point);
    const std::vector<Cell> best_trace = cmp.trace_cells();

    nlohmann::ordered_json out;
    std::string text;
    char line[600];
    snprintf(line, sizeof line, "tolmar-fit: %zu points of the contact %s on %s\n", spots.size(), contact_path.c_str(), dem_path.c_str());
    text += line;
    out["points"] = spots.size();
    out["plane"] = plane_json(plane);
    if (plane.determined) {
        snprintf(line, sizeof line, "1. plane through the points (%s): dip %.1f, dip direction %.1f, RMS residual %.1f m\n",
                 spots.size() == 3 ? "exact through three" : "least squares", plane.dip, plane.dip_direction, plane.rms_m);
        text += line;
    } else {
        text += "1. no plane: the points are fewer than three or lie on one line\n";
    }
    if (plane.nearly_collinear) {
        snprintf(line, sizeof line,
                 "   Warning: the points lie nearly on a line (%.1f m across it, %.1f m along it): the attitude is\n"
                 "   undetermined about that line, and the search below leans on the trace's shape alone\n",
                 plane.across_m, plane.along_m);
        text += line;
        out["plane"]["warning"] = "the points lie nearly on a line: the attitude is undetermined about that line";
    }
    if (outside > 0) {
        snprintf(line, sizeof line, "   Note: %zu of the contact's points lie beyond zone %d of (%d, %d): the square may not reach them\n",
                 outside, infl, ip, jp);
        text += line;
        out["points_beyond_zone"] = outside;
    }
    if (q.given || plane.determined) {
        snprintf(line, sizeof line, "2. trace of (%d, %d), dip %d, direction %d, zone %d: ", values.row, values.column, values.dip,
                 values.dip_direction, values.zone);
        text += line + misfit_text(of_values) + "\n";
        out["trace"] = misfit_json(of_values);
        out["trace"]["values"] = {values.row, values.column, values.dip, values.dip_direction, values.zone};
    }
    snprintf(line, sizeof line,
             "3. best: dip %d, dip direction %d, at (%d, %d), zone %d: %s\n"
             "   within 10 %% of its misfit: dips %d to %d, directions %d to %d (%d attitudes tried)\n",
             found.dip, found.dip_direction, found.ip, found.jp, infl, misfit_text(found.best).c_str(), found.dip_lo, found.dip_hi,
             found.dir_lo, found.dir_hi, found.evaluated);
    text += line;
    out["point"] = {found.ip, found.jp};
    out["zone"] = infl;
    out["dip"] = found.dip;
    out["dip_direction"] = found.dip_direction;
    out["misfit_m"] = found.best.traced ? nlohmann::json(found.best.misfit_m) : nlohmann::json(nullptr);
    out["best"] = misfit_json(found.best);
    out["within_10_percent"] = {{"dip", {found.dip_lo, found.dip_hi}}, {"dip_direction", {found.dir_lo, found.dir_hi}}};

    if (!q.score.empty() && !score_log(q.score, cmp, out, text, err)) return Status::failed(q.score, err);
    if (!q.answers.empty()) {
        std::string result;
        if (!write_answers(q.answers, dem, unit_answer, pix, {1, {found.ip, found.jp, found.dip, found.dip_direction, infl}}, result, err))
            return Status::failed(q.answers, err);
        text += "answers for tolmar in " + q.answers + " (results " + result + ")\n";
    }
    if (!q.picture.empty() && !picture(q.picture, t, contact, best_trace, found.ip, found.jp, infl, err))
        return Status::failed(q.picture, err);
    a.text = text;
    a.json = out.dump(1) + "\n";
    a.answered = true;
    return Status();
}

}  // namespace tools
