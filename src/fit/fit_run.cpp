// fit_run.cpp: tolmar-fit's work: the contact read, the plane through its
// points, the true attitude with its ranges, the treatment that stamps it
// and how its trace follows the contact, told as text or as one JSON object.
#include "fit/fit_run.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "files/formats.h"
#include "geo/georef.h"
#include "fit/fit.h"
#include "fit/fit_classic.h"
#include "fit/fit_report.h"

namespace tools {

namespace {

using tolmar::Status;

Status failure(const std::string &subject, const std::string &what) { return Status::failed(subject, what); }

using Json = nlohmann::ordered_json;

using formats::formatted;

std::string percent(double share) { return formatted("%.0f %%", 100 * share); }

// How a treatment's trace follows the contact, in words.
std::string closeness_text(const Closeness &c, bool line) {
    if (!c.traced) return "its square leaves the DEM";
    const char *of = line ? "of the contact's length" : "of the contact's points";
    std::string s = "its trace runs within one cell of the contact over " + percent(c.within_one) + " " + of +
                    " (within two cells over " + percent(c.within_two) + ")";
    if (c.beyond > 0) s += "; " + percent(c.beyond) + " " + of + " lies beyond its square";
    return s;
}

Json closeness_json(const Closeness &c) {
    Json j = {{"traced", c.traced}};
    if (c.traced) {
        j["within_one_cell"] = c.within_one;
        j["within_two_cells"] = c.within_two;
        j["beyond_square"] = c.beyond;
        j["mean_distance_m"] = c.mean_m;
    }
    return j;
}

// The misfit of every treatment of a run log, in the log's own geometry.
bool score_log(const std::string &path, const Terrain &t, double k, const Contact &contact, const DemSet &dem, Json &out,
               std::string &text, std::string &err) {
    std::string log, why;
    formats::ResultLog parsed;
    if (!formats::read_file(path, log, why, 1 << 24)) {
        err = "cannot read " + path + ": " + why;
        return false;
    }
    if (!formats::parse_result_log(log, parsed, why)) {
        err = path + ": " + why;
        return false;
    }
    Comparison cmp(t, k, contact, dem.filled);
    out["score"] = Json::array();
    text += "scores of " + path + " (" + geometry_name(parsed.geometry) + " geometry):\n";
    for (const formats::Record &r : parsed.records) {
        const Values &v = r.values;
        text += formatted("   code %d: (%d, %d) dip %d dir %d zone %d: ", r.code, v.row, v.column, v.dip, v.dip_direction, v.zone);
        Json j;
        if (parsed.geometry == Geometry::exact) {
            const Closeness c = closeness(t, k, contact, v);
            text += closeness_text(c, !contact.points_only()) + "\n";
            j = closeness_json(c);
        } else {
            const Misfit m = cmp.misfit(v);
            text += misfit_text(m) + "\n";
            j = misfit_json(m);
        }
        j["code"] = r.code;
        out["score"].push_back(j);
    }
    return true;
}

// 1. The plane through the points.
void tell_plane(const Plane &plane, const Contact &contact, Json &out, std::string &text) {
    const size_t n = contact.spots().size();
    out["plane"] = plane_json(plane);
    if (plane.determined) {
        text += formatted("1. plane through the %zu points at their elevations (%s): dip %.1f, dip direction %.1f, "
                       "RMS residual %.1f m\n",
                       n, n == 3 ? "exact through three" : "least squares", plane.dip, plane.dip_direction, plane.rms_m);
    } else {
        text += "1. no plane through the points: they are fewer than three or lie on one line\n";
    }
    if (plane.nearly_collinear)
        text += formatted("   the points lie nearly on a line (%.1f m across it, %.1f m along it): only the ground's relief\n"
                       "   can tell the attitude about that line; the ranges below say how well it does\n",
                       plane.across_m, plane.along_m);
}

// 2. The true attitude and its region; false when the contact does not
// decide it.
bool tell_attitude(const TrueFit &f, bool station, Json &out, std::string &text) {
    Json j;
    if (!f.found) {
        text += "2. no attitude: " + f.why + "\n";
        out["attitude"] = {{"determined", false}, {"outcome", "too_few_points"}, {"why", f.why}};
        return false;
    }
    const char *outcome = f.outcome == TrueFit::Outcome::determined ? "determined"
                          : f.outcome == TrueFit::Outcome::line     ? "line"
                          : f.outcome == TrueFit::Outcome::wide     ? "wide"
                                                                    : "no_plane";
    j = {{"determined", f.determined()}, {"outcome", outcome}, {"dip", f.dip}, {"dip_direction", f.dip_direction},
         {"rms_distance_m", f.rms_m}, {"rms_distance_cells", f.rms_cells}, {"points", f.points}, {"unknowns", f.unknowns},
         {"correlation", f.correlation}, {"effective_points", f.effective}, {"range_level", f.level}};
    if (f.jitter_cells > 0) j["contact_scatter_cells"] = f.jitter_cells;
    if (!f.determined()) {
        text += "2. the contact does not decide the attitude: " + f.why + "\n";
        if (f.outcome != TrueFit::Outcome::no_plane)
            text += formatted("   the best plane, no answer: dip %.1f, dip direction %.1f, RMS distance %.1f m\n", f.dip,
                           f.dip_direction, f.rms_m);
        else
            text += formatted("   the best plane, no answer: dip %.1f, dip direction %.1f\n", f.dip, f.dip_direction);
        j["why"] = f.why;
        if (f.outcome == TrueFit::Outcome::line) {
            j["line"] = {{"trend", f.trend}, {"plunge", f.plunge}};
            j["dips_that_fit"] = {f.dip_lo, f.dip_hi};
        }
        j["ranges"] = nullptr;
        out["attitude"] = j;
        text += "   no answer is given\n";
        return false;
    }
    text += formatted("2. true attitude, whose intersection with the ground follows the %d points%s: dip %.1f, dip "
                   "direction %.1f\n",
                   f.points, station ? " (the plane through the station)" : "", f.dip, f.dip_direction);
    const std::string dir = f.direction_any ? std::string("any (the region holds a level plane)")
                                            : formatted("%.1f to %.1f", f.dir_lo, f.dir_hi) +
                                                  (f.vertical ? formatted(" or its opposite, %.1f to %.1f (at dip 90 a direction and "
                                                                       "its opposite are one plane)",
                                                                       std::fmod(f.dir_lo + 180, 360), std::fmod(f.dir_hi + 180, 360))
                                                              : std::string());
    text += formatted("   ranges at %.0f %% (%d points, counted as %.0f for their correlation along the contact): dip %.1f to %.1f, "
                   "dip direction %s\n",
                   100 * f.level, f.points, f.effective, f.dip_lo, f.dip_hi, dir.c_str());
    text += formatted("   RMS distance of the points from the intersection: %.1f m\n", f.rms_m);
    j["ranges"] = {{"dip", {f.dip_lo, f.dip_hi}},
                   {"dip_direction", f.direction_any ? Json(nullptr) : Json({f.dir_lo, f.dir_hi})},
                   {"direction_any", f.direction_any},
                   {"vertical", f.vertical}};
    out["attitude"] = j;
    return true;
}

}  // namespace

Status run_fit(const FitRequest &q, FitAnswer &a) {
    a = FitAnswer();
    std::string err;
    DemSet own;
    if (q.opened == nullptr && !geo::open_dem_set(q.dem, own, err)) return failure(q.dem, err);
    const DemSet &dem = q.opened != nullptr ? *q.opened : own;
    const double k = dem.k;
    const int unit = q.unit >= 0 ? q.unit : dem.unit >= 0 ? dem.unit : 0;
    const int pix = dem.pix_size > 0 ? dem.pix_size : q.pixel_size;
    if (pix <= 0) return failure("--pixel-size", formats::descriptor_path(q.dem) + " gives no pixel size: give --pixel-size");
    const Terrain t = dem.samples.terrain(formats::unit_divisor(unit), pix);
    Contact contact;
    if (!(q.contact_text.empty() ? read_contact(q.contact, dem.georef, t.rows, t.cols, contact, err)
                                 : read_contact_text(q.contact_text, q.contact, dem.georef, t.rows, t.cols, contact, err)))
        return failure(q.contact, err);
    if (q.classic) return run_classic(q, dem, t, unit, pix, contact, a);
    const Cell station{q.row, q.column};
    if (q.point && !t.inside(station.i, station.j))
        return failure("--point", "--point " + std::to_string(q.row) + " " + std::to_string(q.column) + " lies outside the DEM's " +
                       std::to_string(t.rows) + " x " + std::to_string(t.cols) + " cells");

    Json out;
    std::string text = "tolmar-fit: the contact " + q.contact + ", read as " + contact.how + ", on " + q.dem + "\n";
    out["contact"] = {{"file", q.contact}, {"read_as", contact.how}, {"points", contact.spots().size()},
                      {"lines", !contact.points_only()}};
    const Plane plane = fit_plane(t, k, contact);
    tell_plane(plane, contact, out, text);
    const TrueFit f = fit_true(t, k, contact, plane, q.point ? &station : nullptr, q.level);
    const bool answered = tell_attitude(f, q.point, out, text);

    bool whole = answered;
    std::vector<Cell> trace_cells;
    Treatment tr;
    if (answered) {
        tr = treatment_for(t, k, contact, f, q.point ? &station : nullptr, q.zone ? q.zone_cells : 0);
        const Values &v = tr.values;
        out["treatment"] = {{"point", {v.row, v.column}}, {"zone", v.zone}, {"dip", v.dip}, {"dip_direction", v.dip_direction},
                            {"square_fits", tr.fits}, {"plane_over_ground_m", tr.offset_m}, {"points_beyond_zone", tr.beyond}};
        text += formatted("3. treatment: point (%d, %d), dip %d, dip direction %d, zone %d (the whole degrees next to %.1f and %.1f whose "
                       "trace follows the contact best, as tolmar takes them)\n",
                       v.row, v.column, v.dip, v.dip_direction, v.zone, f.dip, f.dip_direction);
        if (!tr.fits) {
            const Fit fit = reference_points_that_fit(t.rows, t.cols, v.dip_direction, v.zone);
            text += "   its square leaves the DEM" +
                    (fit.empty() ? std::string(": no point fits a square of this zone")
                                 : formatted(": zone %d in direction %d fits points on lines %d to %d and columns %d to %d",
                                          v.zone, v.dip_direction, fit.lo_i, fit.hi_i, fit.lo_j, fit.hi_j)) + "\n";
        } else {
            if (tr.beyond > 0)
                text += formatted("   Note: %d of the contact's points lie beyond zone %d of (%d, %d): the square does not reach them\n",
                               tr.beyond, v.zone, v.row, v.column);
            const Closeness c = closeness(t, k, contact, v);
            text += "   verdict: " + closeness_text(c, !contact.points_only()) + "\n";
            out["verdict"] = closeness_json(c);
            Work w;
            trace_cells = trace(t, v, w, Geometry::exact).cells;
        }
    }
    if (q.given) {
        const Values &v = q.values;
        const Closeness c = closeness(t, k, contact, v);
        text += formatted("values (%d, %d), dip %d, direction %d, zone %d, in true geometry: ", v.row, v.column, v.dip,
                       v.dip_direction, v.zone) + closeness_text(c, !contact.points_only()) + "\n";
        out["values"] = closeness_json(c);
    }
    if (!q.score.empty() && !score_log(q.score, t, k, contact, dem, out, text, err)) return failure(q.score, err);
    if (!q.answers.empty()) {
        std::string result;
        if (!answered || !tr.fits) {
            text += "no answers written to " + q.answers + ": " + (answered ? "the treatment's square leaves the DEM" : "no answer") + "\n";
            whole = false;
        } else if (!write_answers(q.answers, dem, unit, pix, {1, tr.values}, result, err)) {
            return failure(q.answers, err);
        } else {
            text += "answers for tolmar in " + q.answers + ", in true geometry: tolmar --geometry true < " + q.answers +
                    "   (results " + result + ")\n";
            out["answers"] = {{"file", q.answers}, {"command", "tolmar --geometry true < " + q.answers}};
        }
    }
    // Where the pictures and layers are centred: the treatment's square,
    // or the contact's extent without one.
    Box box;
    int ci = tr.values.row, cj = tr.values.column, reach = tr.values.zone;
    if (!answered) {
        for (Spot s : contact.spots()) box.add({static_cast<int>(std::lround(s.i)), static_cast<int>(std::lround(s.j))});
        ci = (box.i0 + box.i1) / 2;
        cj = (box.j0 + box.j1) / 2;
        reach = std::max(box.i1 - box.i0, box.j1 - box.j0) / 2 + 5;
    }
    box = Box{std::max(0, ci - reach - 2), std::min(t.rows - 1, ci + reach + 2), std::max(0, cj - reach - 2),
              std::min(t.cols - 1, cj + reach + 2)};
    if (!q.picture.empty() && f.found && !picture(q.picture, t, contact, trace_cells, ci, cj, reach, err, &f))
        return failure(q.picture, err);
    if (!q.band.empty()) {
        if (!f.found) text += "no band written to " + q.band + ": no plane was fitted\n";
        else if (!write_band(q.band, dem, t, f, box, err)) return failure(q.band, err);
        else {
            text += "the band where the planes that fit meet the ground: " + q.band + "\n";
            out["band"] = q.band;
        }
    }
    if (!q.trace.empty()) {
        if (!answered || !tr.fits) text += "no trace written to " + q.trace + ": no answer\n";
        else if (!write_trace(q.trace, dem, trace_cells, tr.values, f, err)) return failure(q.trace, err);
        else {
            text += "the answer's trace: " + q.trace + "\n";
            out["trace"] = q.trace;
        }
    }
    a.text = text;
    a.json = out.dump(1) + "\n";
    a.answered = whole;
    return Status();
}

}  // namespace tools
