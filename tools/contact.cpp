// contact.cpp: reading a mapped contact, and the DEM's surface under it.
#include "contact.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>

#include "files/formats.h"

namespace tools {

std::vector<Spot> Contact::spots() const {
    std::vector<Spot> all;
    for (const std::vector<Spot> &l : lines) all.insert(all.end(), l.begin(), l.end());
    return all;
}

bool Contact::points_only() const {
    for (const std::vector<Spot> &l : lines)
        if (l.size() > 1) return false;
    return true;
}

namespace {

// Map coordinates beyond this are no place on any DEM.
const double FAR = 1e15;

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> split(const std::string &line) {
    std::vector<std::string> out;
    std::stringstream in(line);
    for (std::string f; std::getline(in, f, ',');) {
        while (!f.empty() && isspace(static_cast<unsigned char>(f.back()))) f.pop_back();
        size_t a = 0;
        while (a < f.size() && isspace(static_cast<unsigned char>(f[a]))) a++;
        out.push_back(f.substr(a));
    }
    return out;
}

bool number(const std::string &s, double &v) {
    char *end = nullptr;
    v = strtod(s.c_str(), &end);
    return end != s.c_str() && *end == '\0' && std::isfinite(v) && std::fabs(v) < FAR;
}

// A map point as a spot: through the georeference, or in the cell units
// tolmar-export writes without one (x = column + 0.5, y = -(row + 0.5)).
Spot spot_of(const Georef &g, double x, double y) {
    if (g.known) return {g.row(y), g.col(x)};
    return {-y - 0.5, x - 0.5};
}

bool read_csv(const std::string &text, const std::string &path, const Georef &g, Contact &c, std::string &err) {
    std::stringstream in(text);
    std::string line;
    std::getline(in, line);
    const std::vector<std::string> head = split(lower(line));
    auto column = [&](const char *name) {
        const auto it = std::find(head.begin(), head.end(), name);
        return it == head.end() ? -1 : static_cast<int>(it - head.begin());
    };
    const int r = column("row"), k = column("column"), x = column("x"), y = column("y"), l = column("line");
    const bool cells = r >= 0 && k >= 0;
    if (!cells && (x < 0 || y < 0)) {
        err = path + ": the header must name row,column or x,y";
        return false;
    }
    const int a = cells ? r : y, b = cells ? k : x;
    std::string last_line;
    for (int n = 2; std::getline(in, line); n++) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        const std::vector<std::string> f = split(line);
        double u, v;
        if (static_cast<int>(f.size()) <= std::max({a, b, l}) || !number(f[static_cast<size_t>(a)], u) ||
            !number(f[static_cast<size_t>(b)], v)) {
            err = path + ": line " + std::to_string(n) + " does not hold two finite numbers where the header says";
            return false;
        }
        const Spot s = cells ? Spot{u, v} : spot_of(g, v, u);
        // Vertices of one line follow each other; anything else is a point.
        if (l >= 0 && !c.lines.empty() && f[static_cast<size_t>(l)] == last_line) c.lines.back().push_back(s);
        else c.lines.push_back({s});
        if (l >= 0) last_line = f[static_cast<size_t>(l)];
        if (c.lines.size() > MAX_SPOTS) return false;
    }
    return true;
}

bool position(const nlohmann::json &p, const Georef &g, Spot &s) {
    if (!p.is_array() || p.size() < 2 || !p[0].is_number() || !p[1].is_number()) return false;
    const double x = p[0].get<double>(), y = p[1].get<double>();
    if (!std::isfinite(x) || !std::isfinite(y) || std::fabs(x) >= FAR || std::fabs(y) >= FAR) return false;
    s = spot_of(g, x, y);
    return true;
}

// False at a position that is no pair of finite numbers.
bool add_geometry(const nlohmann::json &geom, const Georef &g, Contact &c, int depth = 0) {
    if (!geom.is_object() || depth > 8) return true;
    const std::string type = geom.value("type", "");
    auto line = [&](const nlohmann::json &coords) {
        std::vector<Spot> l;
        for (const nlohmann::json &p : coords) {
            Spot s;
            if (!position(p, g, s)) return false;
            l.push_back(s);
        }
        c.lines.push_back(l);
        return true;
    };
    const nlohmann::json none = nlohmann::json::array();
    const nlohmann::json &coords = geom.contains("coordinates") ? geom["coordinates"] : none;
    if (type == "LineString") return line(coords);
    if (type == "MultiLineString" || type == "MultiPoint") {
        for (const nlohmann::json &part : coords)
            if (!(type == "MultiPoint" ? line(nlohmann::json::array({part})) : line(part))) return false;
        return true;
    }
    if (type == "Point") return line(nlohmann::json::array({coords}));
    if (type == "GeometryCollection" && geom.contains("geometries"))
        for (const nlohmann::json &x : geom["geometries"])
            if (!add_geometry(x, g, c, depth + 1)) return false;
    return true;
}

bool read_geojson(const std::string &text, const std::string &path, const Georef &g, Contact &c, std::string &err) {
    try {
        const nlohmann::json j = nlohmann::json::parse(text);
        bool ok = true;
        const std::string type = j.value("type", "");
        if (type == "FeatureCollection" && j.contains("features") && j["features"].is_array()) {
            for (const nlohmann::json &f : j["features"])
                if (f.is_object() && f.contains("geometry")) ok = ok && add_geometry(f["geometry"], g, c);
        } else if (type == "Feature" && j.contains("geometry")) {
            ok = add_geometry(j["geometry"], g, c);
        } else {
            ok = add_geometry(j, g, c);
        }
        if (!ok) err = path + ": a position is not a pair of finite map coordinates";
        return ok;
    } catch (const nlohmann::json::exception &e) {
        err = path + ": not the GeoJSON expected: " + e.what();
        return false;
    }
}

std::string count(size_t n, const char *one, const char *many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

}  // namespace

bool read_contact(const std::string &path, const Georef &g, int rows, int cols, Contact &c, std::string &err) {
    std::string text, why;
    if (!formats::read_file(path, text, why, MAX_CONTACT_BYTES)) {
        err = "cannot read " + path + ": " + why;
        return false;
    }
    return read_contact_text(text, path, g, rows, cols, c, err);
}

bool read_contact_text(const std::string &text, const std::string &path, const Georef &g, int rows, int cols, Contact &c,
                       std::string &err) {
    c.lines.clear();
    const size_t first = text.find_first_not_of(" \t\r\n");
    const bool json = first != std::string::npos && text[first] == '{';
    if (!(json ? read_geojson(text, path, g, c, err) : read_csv(text, path, g, c, err))) {
        if (err.empty()) err = path + ": more than " + std::to_string(MAX_SPOTS) + " points";
        return false;
    }
    // Points outside the DEM are left out; a line keeps its vertices inside.
    size_t outside = 0, total = 0;
    for (std::vector<Spot> &l : c.lines) {
        total += l.size();
        const size_t before = l.size();
        l.erase(std::remove_if(l.begin(), l.end(),
                               [&](Spot s) { return !(s.i >= -0.5 && s.i < rows - 0.5 && s.j >= -0.5 && s.j < cols - 0.5); }),
                l.end());
        outside += before - l.size();
    }
    if (total > MAX_SPOTS) {
        err = path + ": " + std::to_string(total) + " points, more than the " + std::to_string(MAX_SPOTS) + " a contact may hold";
        return false;
    }
    c.lines.erase(std::remove_if(c.lines.begin(), c.lines.end(), [](const std::vector<Spot> &l) { return l.empty(); }),
                  c.lines.end());
    if (c.lines.empty()) {
        err = path + (total == 0 ? ": no point of a contact in it" : ": none of its " + count(total, "point", "points") + " lies on the DEM");
        return false;
    }
    size_t lines = 0, points = 0, vertices = 0;
    for (const std::vector<Spot> &l : c.lines) (l.size() == 1 ? points : lines) += 1, vertices += l.size() > 1 ? l.size() : 0;
    c.how = lines > 0 ? count(vertices, "vertex", "vertices") + " of " + count(lines, "line", "lines") : "";
    if (points > 0)
        c.how += std::string(lines > 0 ? " and " : "") + count(points, "point", "points") +
                 (json ? "" : " (a table's rows, not chained into a line)");
    if (outside > 0) c.how += "; " + count(outside, "point", "points") + " outside the DEM left out";
    return true;
}

double bilinear(const Terrain &t, double i, double j) {
    i = std::min(std::max(i, 0.0), t.rows - 1.0);
    j = std::min(std::max(j, 0.0), t.cols - 1.0);
    const int i0 = std::min(static_cast<int>(i), t.rows - 1), j0 = std::min(static_cast<int>(j), t.cols - 1);
    const int i1 = std::min(i0 + 1, t.rows - 1), j1 = std::min(j0 + 1, t.cols - 1);
    const double fi = i - i0, fj = j - j0;
    return (1 - fi) * ((1 - fj) * t.elevation(i0, j0) + fj * t.elevation(i0, j1)) +
           fi * ((1 - fj) * t.elevation(i1, j0) + fj * t.elevation(i1, j1));
}

void bilinear_slope(const Terrain &t, double i, double j, double &east, double &north) {
    i = std::min(std::max(i, 0.0), t.rows - 1.0);
    j = std::min(std::max(j, 0.0), t.cols - 1.0);
    const int i0 = std::min(static_cast<int>(i), std::max(t.rows - 2, 0)), j0 = std::min(static_cast<int>(j), std::max(t.cols - 2, 0));
    const int i1 = std::min(i0 + 1, t.rows - 1), j1 = std::min(j0 + 1, t.cols - 1);
    const double fi = i - i0, fj = j - j0;
    const double z00 = t.elevation(i0, j0), z01 = t.elevation(i0, j1), z10 = t.elevation(i1, j0), z11 = t.elevation(i1, j1);
    const double per_column = j1 > j0 ? (1 - fi) * (z01 - z00) + fi * (z11 - z10) : 0;
    const double per_row = i1 > i0 ? (1 - fj) * (z10 - z00) + fj * (z11 - z01) : 0;
    const double pix = t.pix_size > 0 ? t.pix_size : 1;
    east = per_column / pix;
    north = -per_row / pix;  // rows grow southwards
}

}  // namespace tools
