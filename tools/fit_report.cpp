// fit_report.cpp: the answers, the picture and the classic misfit's words.
#include "fit_report.h"

#include <cmath>
#include <cstdio>

#include "picture.h"

namespace tools {

// images/FOLDER/NAME_mX.raw, answered into the result set NAME_fit.
bool write_answers(const std::string &path, const DemSet &dem, int unit, int pix, const formats::Record &best,
                   std::string &result, std::string &err) {
    const std::string dir = formats::folder_of(dem.raster);
    formats::Answers a;
    const std::string folder = dir.empty() ? "." : dir.substr(0, dir.size() - 1);
    a.folder = folder.substr(folder.find_last_of('/') + 1);
    const std::string name = formats::name_of(dem.raster);
    a.dem = name.substr(0, name.size() - 7);
    a.type = dem.samples.width() == 2 ? 0 : 1;
    a.result = a.dem + "_fit";
    result = a.result + formats::RESULT_RASTER_SUFFIX;
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

nlohmann::ordered_json plane_json(const Plane &plane) {
    nlohmann::ordered_json out = {{"determined", plane.determined}, {"nearly_collinear", plane.nearly_collinear},
                                  {"spread_along_m", plane.along_m}, {"spread_across_m", plane.across_m}};
    if (plane.determined) {
        out["dip"] = plane.dip;
        out["dip_direction"] = plane.dip_direction;
        out["rms_m"] = plane.rms_m;
    }
    return out;
}

}  // namespace tools
