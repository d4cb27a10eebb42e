// fit_run.cpp: tolmar-fit's work, told as text or as one JSON object.
#include "fit_run.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "files/formats.h"
#include "files/georef.h"
#include "fit.h"
#include "options/options.h"
#include "picture.h"

namespace tools {

namespace {

int failure(const std::string &what) { return opt::failure("tolmar-fit", what); }

nlohmann::ordered_json misfit_json(const Misfit &m) {
    nlohmann::ordered_json j = {{"traced", m.verdict == Verdict::traced}, {"near_contact", m.traced}, {"cells", m.cells}};
    if (m.over_filled) j["cells_over_filled_ground"] = m.over_filled;
    if (m.traced) {
        j["misfit_m"] = m.misfit_m;
        j["points_to_trace_mean_m"] = m.points_mean;
        j["points_to_trace_max_m"] = m.points_max;
        j["trace_to_contact_mean_m"] = m.trace_mean;
        j["trace_to_contact_max_m"] = m.trace_max;
    }
    return j;
}

std::string misfit_text(const Misfit &m) {
    if (m.verdict == Verdict::outside_raster) return "its square leaves the DEM";
    if (m.verdict == Verdict::zone_too_small) return "its zone is below 1";
    if (!m.traced) return "its trace does not come near the contact";
    char buf[400];
    snprintf(buf, sizeof buf,
             "%zu cells; contact to trace %.1f m on average, %.1f m at most; trace to contact %.1f m on average, "
             "%.1f m at most: misfit %.1f m",
             m.cells, m.points_mean, m.points_max, m.trace_mean, m.trace_max, m.misfit_m);
    std::string s = buf;
    if (m.over_filled) s += " (" + std::to_string(m.over_filled) + " cells over filled ground left out)";
    return s;
}

// The contact in black and the trace in the first code's colour over the
// hillshade of the square's surroundings, `scale` pixels a cell.
bool picture(const std::string &path, const Terrain &t, const Contact &c, const std::vector<Cell> &trace, int ip,
             int jp, int infl, std::string &err) {
    const int margin = infl + infl / 2 + 4;
    const int i0 = std::max(0, ip - margin), i1 = std::min(t.rows, ip + margin + 1);
    const int j0 = std::max(0, jp - margin), j1 = std::min(t.cols, jp + margin + 1);
    const int scale = std::max(1, std::min(8, 800 / std::max(i1 - i0, j1 - j0)));
    Image img;
    img.width = (j1 - j0) * scale;
    img.height = (i1 - i0) * scale;
    img.rgb.assign(static_cast<size_t>(img.width) * static_cast<size_t>(img.height) * 3, 0);
    auto cell = [&](double i, double j, Rgb rgb, int size) {
        const int x = static_cast<int>((j - j0) * scale), y = static_cast<int>((i - i0) * scale);
        for (int dy = 0; dy < size; dy++)
            for (int dx = 0; dx < size; dx++) img.set(x + dx, y + dy, rgb);
    };
    for (int i = i0; i < i1; i++)
        for (int j = j0; j < j1; j++) {
            const uint8_t g = shade_at(t, i, j, 1);
            cell(i, j, {g, g, g}, scale);
        }
    for (Cell x : trace) cell(x.i, x.j, code_colour(1), scale);
    // The contact drawn as a line of dots a quarter of a cell apart.
    for (const std::vector<Spot> &l : c.lines)
        for (size_t k = 0; k < l.size(); k++) {
            const Spot a = l[k], b = k + 1 < l.size() ? l[k + 1] : l[k];
            const int n = std::max(1, static_cast<int>(std::hypot(b.i - a.i, b.j - a.j) * 4));
            for (int s = 0; s <= n; s++)
                cell(a.i + (b.i - a.i) * s / n + 0.5 - 0.5 / scale, a.j + (b.j - a.j) * s / n + 0.5 - 0.5 / scale, {0, 0, 0},
                     std::max(1, scale / 2));
        }
    for (int di = -2; di <= 2; di++)
        for (int dj = -2; dj <= 2; dj++)
            if (std::max(std::abs(di), std::abs(dj)) == 2) cell(ip + di, jp + dj, MARKER, scale);
    return write_png(path, img, err);
}

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

// images/FOLDER/NAME_mX.raw, answered into the result set NAME_fit.
bool write_answers(const std::string &path, const DemSet &dem, int unit, int pix, const formats::Record &best,
                   std::string &err) {
    const std::string dir = formats::folder_of(dem.raster);
    formats::Answers a;
    const std::string folder = dir.empty() ? "." : dir.substr(0, dir.size() - 1);
    a.folder = folder.substr(folder.find_last_of('/') + 1);
    const std::string name = formats::name_of(dem.raster);
    a.dem = name.substr(0, name.size() - 7);
    a.type = dem.samples.width() == 2 ? 0 : 1;
    a.result = a.dem + "_fit";
    a.unit = unit;
    a.ask_pix_size = dem.pix_size <= 0;
    a.pix_size = pix;
    a.treatments = {best};
    FILE *f = fopen(path.c_str(), "w");
    const std::string text = formats::answers_text(a);
    if (f == nullptr || fwrite(text.data(), 1, text.size(), f) != text.size() || fclose(f) != 0) {
        err = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace

int run_fit(const FitRequest &q) {
    const std::string &dem_path = q.dem, &contact_path = q.contact;
    std::string err;
    DemSet dem;
    if (!geo::open_dem_set(dem_path, dem, err)) return failure(err);
    const double k = dem.k;
    const int unit_answer = !q.unit.empty() ? formats::unit_of_name(q.unit) : dem.unit >= 0 ? dem.unit : 0;
    const int pix = dem.pix_size > 0 ? dem.pix_size : q.pixel_size;
    if (pix <= 0) return failure(formats::descriptor_path(dem_path) + " gives no pixel size: give --pixel-size");
    const Terrain t = dem.samples.terrain(formats::unit_divisor(unit_answer), pix);
    Contact contact;
    if (!read_contact(contact_path, dem.georef, contact, err)) return failure(err);
    const std::vector<Spot> spots = contact.spots();

    // 1. The plane through the points.
    const Plane plane = fit_plane(t, k, contact);
    int ip = q.row, jp = q.column, infl = q.zone_cells;
    if (!q.point || !q.zone) {
        int di, dj, dz;
        if (!default_square(t, contact, plane, di, dj, dz, err) && !(q.point && q.zone)) return failure(err);
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
    out["plane"] = {{"determined", plane.determined}, {"nearly_collinear", plane.nearly_collinear},
                    {"spread_along_m", plane.along_m}, {"spread_across_m", plane.across_m}};
    if (plane.determined) {
        out["plane"]["dip"] = plane.dip;
        out["plane"]["dip_direction"] = plane.dip_direction;
        out["plane"]["rms_m"] = plane.rms_m;
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

    if (!q.score.empty() && !score_log(q.score, cmp, out, text, err)) return failure(err);
    if (!q.answers.empty()) {
        if (!write_answers(q.answers, dem, unit_answer, pix, {1, {found.ip, found.jp, found.dip, found.dip_direction, infl}}, err))
            return failure(err);
        text += "answers for tolmar in " + q.answers + " (results " + formats::name_of(dem_path).substr(0, formats::name_of(dem_path).size() - 7) + "_fit_tolmar.raw)\n";
    }
    if (!q.picture.empty() && !picture(q.picture, t, contact, best_trace, found.ip, found.jp, infl, err)) return failure(err);
    fputs(q.json ? (out.dump(1) + "\n").c_str() : text.c_str(), stdout);
    return 0;
}

}  // namespace tools
