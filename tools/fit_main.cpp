// fit_main.cpp: tolmar-fit, which attitude fits a mapped contact:
// tolmar-fit [options] DEM.raw CONTACT. It fits the plane through the
// contact's points at their DEM elevations, measures how far a trace lies
// from the contact, and searches the dip and dip direction whose trace,
// computed exactly as tolmar stamps it, follows the contact best.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fit.h"
#include "georef.h"
#include "picture.h"
#include "resultset.h"

namespace {

const char USAGE[] =
    "usage: tolmar-fit [options] DEM.raw CONTACT\n"
    "\n"
    "Which attitude fits a contact mapped on the DEM (NAME_m2.raw or NAME_m4.raw\n"
    "with its descriptor)? CONTACT is a CSV with a header row,column (cells) or\n"
    "x,y (map coordinates, placed by the DEM's georeference from tolmar-import,\n"
    "or cell units as tolmar-export writes them without one), or GeoJSON with\n"
    "LineString, MultiLineString, Point or MultiPoint geometries. It prints:\n"
    "  1. the plane through the contact's points at their DEM elevations (least\n"
    "     squares, exact through three points): dip, dip direction and RMS\n"
    "     residual, with a warning when the points lie nearly on a line;\n"
    "  2. the misfit of a trace (--values, else the plane of 1): its cells as\n"
    "     tolmar stamps them, the mean and largest distance in metres from the\n"
    "     contact's points to the trace and from the trace to the contact;\n"
    "  3. the dip and direction whose trace has the smallest misfit (the mean\n"
    "     of the two mean distances), searched from 1 over whole degrees, and\n"
    "     the dips and directions whose misfit is within 10 % of it.\n"
    "\n"
    "  --unit U            unit of the samples: m, dm, cm or mm (default: an\n"
    "                      imported DEM's own, else m)\n"
    "  --pixel-size N      the pixel size, when the descriptor gives none\n"
    "  --point ROW COL     the reference point (default: the contact's point\n"
    "                      nearest its centre)\n"
    "  --zone N            the influence zone (default: enough for the contact)\n"
    "  --values ROW COL DIP DIR ZONE   the treatment whose misfit 2 gives\n"
    "  --score R_tolmar.txt            the misfit of every treatment of a run log\n"
    "  --answers FILE      writes the answers with which tolmar stamps the best\n"
    "                      treatment (into the result set NAME_fit)\n"
    "  --picture OUT.png   the contact (black) and the best trace around it\n"
    "  --json              one JSON object instead of text\n"
    "  -h, --help          this text\n";

int usage_error(const std::string &what) { return tools::usage_error("tolmar-fit", what); }
int failure(const std::string &what) { return tools::failure("tolmar-fit", what); }

bool whole(const char *s, int &out) {
    char *end = nullptr;
    const long v = strtol(s, &end, 10);
    if (end == s || *end != '\0' || v < -2147483647L || v > 2147483647L) return false;
    out = static_cast<int>(v);
    return true;
}

nlohmann::ordered_json misfit_json(const tools::Misfit &m) {
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

std::string misfit_text(const tools::Misfit &m) {
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
bool picture(const std::string &path, const Terrain &t, const tools::Contact &c, const std::vector<Cell> &trace, int ip,
             int jp, int infl, std::string &err) {
    const int margin = infl + infl / 2 + 4;
    const int i0 = std::max(0, ip - margin), i1 = std::min(t.rows, ip + margin + 1);
    const int j0 = std::max(0, jp - margin), j1 = std::min(t.cols, jp + margin + 1);
    const int scale = std::max(1, std::min(8, 800 / std::max(i1 - i0, j1 - j0)));
    tools::Image img;
    img.width = (j1 - j0) * scale;
    img.height = (i1 - i0) * scale;
    img.rgb.assign(static_cast<size_t>(img.width) * static_cast<size_t>(img.height) * 3, 0);
    auto cell = [&](double i, double j, tools::Rgb rgb, int size) {
        const int x = static_cast<int>((j - j0) * scale), y = static_cast<int>((i - i0) * scale);
        for (int dy = 0; dy < size; dy++)
            for (int dx = 0; dx < size; dx++) img.set(x + dx, y + dy, rgb);
    };
    for (int i = i0; i < i1; i++)
        for (int j = j0; j < j1; j++) {
            const uint8_t g = tools::shade_at(t, i, j, 1);
            cell(i, j, {g, g, g}, scale);
        }
    for (Cell x : trace) cell(x.i, x.j, tools::code_colour(1), scale);
    // The contact drawn as a line of dots a quarter of a cell apart.
    for (const std::vector<tools::Spot> &l : c.lines)
        for (size_t k = 0; k < l.size(); k++) {
            const tools::Spot a = l[k], b = k + 1 < l.size() ? l[k + 1] : l[k];
            const int n = std::max(1, static_cast<int>(std::hypot(b.i - a.i, b.j - a.j) * 4));
            for (int s = 0; s <= n; s++)
                cell(a.i + (b.i - a.i) * s / n + 0.5 - 0.5 / scale, a.j + (b.j - a.j) * s / n + 0.5 - 0.5 / scale, {0, 0, 0},
                     std::max(1, scale / 2));
        }
    for (int di = -2; di <= 2; di++)
        for (int dj = -2; dj <= 2; dj++)
            if (std::max(std::abs(di), std::abs(dj)) == 2) cell(ip + di, jp + dj, tools::MARKER, scale);
    return tools::write_png(path, img, err);
}

}  // namespace

int main(int argc, char **argv) {
    std::string files[2], unit, answers_path, score_path, picture_path;
    int nfiles = 0, pixel_size = 0, ip = 0, jp = 0, infl = 0;
    bool point = false, zone = false, json = false, given = false;
    Values values;
    for (int k = 1; k < argc; k++) {
        const std::string a = argv[k];
        auto need = [&](int n) { return k + n < argc; };
        if (a == "-h" || a == "--help") {
            fputs(USAGE, stdout);
            return 0;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--unit" || a == "--answers" || a == "--score" || a == "--picture" || a == "--pixel-size" || a == "--zone") {
            if (!need(1)) return usage_error(a + " needs a value");
            const char *v = argv[++k];
            if (a == "--unit") {
                unit = v;
                if (tools::unit_answer(unit) < 0) return usage_error("--unit takes m, dm, cm or mm, not " + unit);
            } else if (a == "--pixel-size" || a == "--zone") {
                int &out = a == "--zone" ? infl : pixel_size;
                if (!whole(v, out) || out < 1) return usage_error(a + " takes a whole number from 1 up, not " + std::string(v));
                zone = zone || a == "--zone";
            } else {
                (a == "--answers" ? answers_path : a == "--score" ? score_path : picture_path) = v;
            }
        } else if (a == "--point") {
            if (!need(2) || !whole(argv[k + 1], ip) || !whole(argv[k + 2], jp)) return usage_error("--point needs a row and a column");
            point = true;
            k += 2;
        } else if (a == "--values") {
            int v[5];
            for (int n = 0; n < 5; n++)
                if (!need(n + 1) || !whole(argv[k + 1 + n], v[n])) return usage_error("--values needs ROW COL DIP DIR ZONE, whole numbers");
            values = {v[0], v[1], v[2], v[3], v[4]};
            given = true;
            k += 5;
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option " + a);
        } else if (nfiles < 2) {
            files[nfiles++] = a;
        } else {
            return usage_error("too many arguments: " + a);
        }
    }
    if (nfiles < 2) return usage_error("needs DEM.raw and CONTACT");
    const std::string &dem_path = files[0], &contact_path = files[1];

    std::string err;
    tools::Dem dem;
    if (!tools::load_dem(dem_path, dem, err)) return failure(err);
    const DemSamples &s = dem.samples;
    int imported_unit;
    double k;
    tools::read_import_scale(dem_path, imported_unit, k);
    const int unit_answer = !unit.empty() ? tools::unit_answer(unit) : imported_unit >= 0 ? imported_unit : 0;
    const int pix = dem.pix_size > 0 ? dem.pix_size : pixel_size;
    if (pix <= 0) return failure(formats::descriptor_path(dem_path) + " gives no pixel size: give --pixel-size");
    const Terrain t = s.terrain(tools::unit_divisor(unit_answer), pix);
    tools::Georef g;
    std::vector<uint8_t> filled;
    if (!tools::read_georef(dem_path, s.rows, s.cols, g, err) || !tools::read_filled(dem_path, s.rows, s.cols, filled, err))
        return failure(err);
    tools::Contact contact;
    if (!tools::read_contact(contact_path, g, contact, err)) return failure(err);
    const std::vector<tools::Spot> spots = contact.spots();

    // 1. The plane through the points.
    const tools::Plane plane = tools::fit_plane(t, k, contact);
    if (!point || !zone) {
        int di, dj, dz;
        if (!tools::default_square(t, contact, plane, di, dj, dz, err) && !(point && zone)) return failure(err);
        if (!point) ip = di, jp = dj;
        if (!zone) infl = dz;
    }
    tools::Comparison cmp(t, k, contact, filled);
    size_t outside = 0;
    for (const tools::Spot &sp : spots) outside += std::hypot(sp.i - ip, sp.j - jp) > infl;

    // 2. The misfit of the trace given, or of the fitted plane's.
    if (!given) values = {ip, jp, static_cast<int>(std::lround(plane.dip)), static_cast<int>(std::lround(plane.dip_direction)) % 360, infl};
    const tools::Misfit of_values = plane.determined || given ? cmp.misfit(values) : tools::Misfit();

    // 3. The search.
    const tools::Search found = tools::search(cmp, contact, ip, jp, infl, plane.dip, plane.dip_direction, plane.determined, !point);
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
    if (given || plane.determined) {
        snprintf(line, sizeof line, "2. trace of (%d, %d), dip %d, direction %d, zone %d: ", values.ip, values.jp, values.slope,
                 values.dir, values.infl);
        text += line + misfit_text(of_values) + "\n";
        out["trace"] = misfit_json(of_values);
        out["trace"]["values"] = {values.ip, values.jp, values.slope, values.dir, values.infl};
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

    if (!score_path.empty()) {
        std::string log, why;
        if (!formats::read_file(score_path, log, why)) return failure("cannot read " + score_path + ": " + why);
        const formats::Descriptor d = formats::parse_descriptor(log);
        std::vector<formats::Record> records;
        if (d.count < 6 || !formats::parse_log(log.substr(d.end), records, err)) return failure(score_path + ": not a run log " + err);
        out["score"] = nlohmann::json::array();
        text += "scores of " + score_path + ":\n";
        for (const formats::Record &r : records) {
            const tools::Misfit m = cmp.misfit({r.line, r.column, r.dip, r.direction, r.zone});
            snprintf(line, sizeof line, "   code %d: (%d, %d) dip %d dir %d zone %d: ", r.code, r.line, r.column, r.dip, r.direction, r.zone);
            text += line + misfit_text(m) + "\n";
            nlohmann::ordered_json j = misfit_json(m);
            j["code"] = r.code;
            out["score"].push_back(j);
        }
    }
    if (!answers_path.empty()) {
        // images/FOLDER/NAME_mX.raw, answered into the result set NAME_fit.
        const size_t slash = dem_path.find_last_of('/');
        const std::string dir = slash == std::string::npos ? "." : dem_path.substr(0, slash);
        formats::Session session;
        session.folder = dir.substr(dir.find_last_of('/') + 1);
        std::string name = dem_path.substr(slash == std::string::npos ? 0 : slash + 1);
        session.dem = name.substr(0, name.size() - 7);
        session.itype = s.width == 2 ? 0 : 1;
        session.result = session.dem + "_fit";
        session.unit = unit_answer;
        session.ask_pix_size = dem.pix_size <= 0;
        session.pix_size = pix;
        session.treatments = {{1, found.ip, found.jp, found.dip, found.dip_direction, infl}};
        FILE *f = fopen(answers_path.c_str(), "w");
        const std::string a = formats::answers_text(session);
        if (f == nullptr || fwrite(a.data(), 1, a.size(), f) != a.size() || fclose(f) != 0) return failure("cannot write " + answers_path);
        text += "answers for tolmar in " + answers_path + " (results " + session.result + "_tolmar.raw)\n";
    }
    if (!picture_path.empty() && !picture(picture_path, t, contact, best_trace, found.ip, found.jp, infl, err)) return failure(err);
    fputs(json ? (out.dump(1) + "\n").c_str() : text.c_str(), stdout);
    return 0;
}
