// contact.cpp: reading a mapped contact, and the DEM's surface under it.
#include "fit/contact.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <functional>
#include <memory>

#include "files/formats.h"
#include "geo/georef.h"

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

// Where a contact's coordinates are, as read: cells, the DEM's own system
// (or its cell units without one), or a system of their own that is turned
// into the DEM's.
struct Where {
    enum Kind { cells, own, other } kind = own;
    std::string srs;        // for `other`: anything OGR takes (EPSG:4326, a WKT, a URN)
    bool by_default = false;  // `other` only because the format says so (GeoJSON without crs): the
                              // DEM's own system is tried when it puts no point on the DEM
};

// The raw coordinates of a contact's lines, and where they are.
struct Raw {
    std::vector<std::vector<std::pair<double, double>>> lines;
    Where where;
};

bool read_csv(const std::string &text, const std::string &path, Raw &c, std::string &err) {
    std::stringstream in(text);
    std::string line;
    std::getline(in, line);
    const std::vector<std::string> head = split(lower(line));
    auto column = [&](std::initializer_list<const char *> names) {
        for (const char *name : names) {
            const auto it = std::find(head.begin(), head.end(), name);
            if (it != head.end()) return static_cast<int>(it - head.begin());
        }
        return -1;
    };
    const int r = column({"row"}), k = column({"column"}), x = column({"x"}), y = column({"y"}), l = column({"line"});
    const int lon = column({"lon", "longitude", "long"}), lat = column({"lat", "latitude"});
    const bool cells = r >= 0 && k >= 0, degrees = !cells && (x < 0 || y < 0) && lon >= 0 && lat >= 0;
    if (!cells && !degrees && (x < 0 || y < 0)) {
        err = path + ": the header must name row,column or x,y (or lon,lat)";
        return false;
    }
    // Rows and columns are cells; lon and lat WGS 84; x and y the DEM's own.
    c.where.kind = cells ? Where::cells : degrees ? Where::other : Where::own;
    if (degrees) c.where.srs = "EPSG:4326";
    const int a = cells ? r : degrees ? lat : y, b = cells ? k : degrees ? lon : x;
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
        // (x, y), or (row, column) for cells.
        const std::pair<double, double> p = cells ? std::make_pair(u, v) : std::make_pair(v, u);
        // Vertices of one line follow each other; anything else is a point.
        if (l >= 0 && !c.lines.empty() && f[static_cast<size_t>(l)] == last_line) c.lines.back().push_back(p);
        else c.lines.push_back({p});
        if (l >= 0) last_line = f[static_cast<size_t>(l)];
        if (c.lines.size() > MAX_SPOTS) return false;
    }
    return true;
}

bool position(const nlohmann::json &p, std::pair<double, double> &s) {
    if (!p.is_array() || p.size() < 2 || !p[0].is_number() || !p[1].is_number()) return false;
    const double x = p[0].get<double>(), y = p[1].get<double>();
    if (!std::isfinite(x) || !std::isfinite(y) || std::fabs(x) >= FAR || std::fabs(y) >= FAR) return false;
    s = {x, y};
    return true;
}

// False at a position that is no pair of finite numbers.
bool add_geometry(const nlohmann::json &geom, Raw &c, int depth = 0) {
    if (!geom.is_object() || depth > 8) return true;
    const std::string type = geom.value("type", "");
    auto line = [&](const nlohmann::json &coords) {
        std::vector<std::pair<double, double>> l;
        for (const nlohmann::json &p : coords) {
            std::pair<double, double> s;
            if (!position(p, s)) return false;
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
            if (!add_geometry(x, c, depth + 1)) return false;
    return true;
}

bool read_geojson(const std::string &text, const std::string &path, Raw &c, std::string &err) {
    try {
        const nlohmann::json j = nlohmann::json::parse(text);
        bool ok = true;
        const std::string type = j.value("type", "");
        if (type == "FeatureCollection" && j.contains("features") && j["features"].is_array()) {
            for (const nlohmann::json &f : j["features"])
                if (f.is_object() && f.contains("geometry")) ok = ok && add_geometry(f["geometry"], c);
        } else if (type == "Feature" && j.contains("geometry")) {
            ok = add_geometry(j["geometry"], c);
        } else {
            ok = add_geometry(j, c);
        }
        if (!ok) err = path + ": a position is not a pair of finite map coordinates";
        // A crs member names its system; without one, GeoJSON is WGS 84
        // longitude and latitude (RFC 7946), or, as tolmar-export writes it
        // for a DEM without a georeference, cell units.
        if (j.is_object() && j.contains("crs") && j["crs"].is_object() && j["crs"].contains("properties") &&
            j["crs"]["properties"].is_object() && j["crs"]["properties"].contains("name") &&
            j["crs"]["properties"]["name"].is_string()) {
            c.where.kind = Where::other;
            c.where.srs = j["crs"]["properties"]["name"].get<std::string>();
        } else if (!(j.is_object() && j.contains("tolmar_coordinates"))) {
            c.where.kind = Where::other;
            c.where.srs = "EPSG:4326";
            c.where.by_default = true;
        }
        return ok;
    } catch (const nlohmann::json::exception &e) {
        err = path + ": not the GeoJSON expected: " + e.what();
        return false;
    }
}

// Any other vector file OGR reads (GeoPackage, Shapefile, KML, ...): the
// lines and points of its layers, in the first layer's system.
bool read_vector(const std::string &path, Raw &c, std::string &err) {
    geo::use_gdal();
    std::unique_ptr<GDALDataset> d(static_cast<GDALDataset *>(GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr)));
    if (!d) {
        err = "cannot read " + path + ": " + geo::gdal_error("not a contact OGR reads (GeoJSON, CSV, GeoPackage, Shapefile, ...)");
        return false;
    }
    std::function<bool(const OGRGeometry *)> add = [&](const OGRGeometry *g) {
        if (g == nullptr) return true;
        switch (wkbFlatten(g->getGeometryType())) {
        case wkbPoint: c.lines.push_back({{g->toPoint()->getX(), g->toPoint()->getY()}}); break;
        case wkbLineString: {
            std::vector<std::pair<double, double>> l;
            for (const OGRPoint &p : *g->toLineString()) l.push_back({p.getX(), p.getY()});
            c.lines.push_back(l);
            break;
        }
        case wkbMultiPoint:
        case wkbMultiLineString:
        case wkbGeometryCollection:
            for (const OGRGeometry *part : *g->toGeometryCollection())
                if (!add(part)) return false;
            break;
        default: break;
        }
        return c.lines.size() <= MAX_SPOTS;
    };
    for (OGRLayer *l : d->GetLayers()) {
        if (c.where.srs.empty() && l->GetSpatialRef() != nullptr) {
            char *wkt = nullptr;
            l->GetSpatialRef()->exportToWkt(&wkt);
            c.where.kind = Where::other;
            c.where.srs = wkt != nullptr ? wkt : "";
            CPLFree(wkt);
        }
        for (auto &f : l)
            if (!add(f->GetGeometryRef())) return false;
    }
    for (const auto &l : c.lines)
        for (const auto &p : l)
            if (!std::isfinite(p.first) || !std::isfinite(p.second) || std::fabs(p.first) >= FAR || std::fabs(p.second) >= FAR) {
                err = path + ": a position is not a pair of finite map coordinates";
                return false;
            }
    return true;
}

std::string count(size_t n, const char *one, const char *many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

// The spots of raw coordinates: cells as they are, the DEM's own system
// through its georeference, another system turned into the DEM's first.
bool place(const Raw &raw, const Georef &g, int rows, int cols, Contact &c, std::string &note, std::string &err) {
    auto inside = [&](Spot s) { return s.i >= -0.5 && s.i < rows - 0.5 && s.j >= -0.5 && s.j < cols - 0.5; };
    auto as = [&](const Where &w, Contact &out, std::string &why) {
        out.lines.clear();
        std::unique_ptr<OGRCoordinateTransformation> to;
        if (w.kind == Where::other) {
            if (!g.known || g.wkt.empty()) {
                why = "its coordinates are in a system of their own (" + formats::printable(w.srs, 60) +
                      ") and the DEM has none to place them in (import it with tolmar-import)";
                return false;
            }
            OGRSpatialReference from, dem;
            if (from.SetFromUserInput(w.srs.c_str()) != OGRERR_NONE) {
                why = "its coordinate system " + formats::printable(w.srs, 60) + " is not one PROJ knows";
                return false;
            }
            dem.importFromWkt(g.wkt.c_str());
            from.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
            dem.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
            if (!from.IsSame(&dem)) {
                to.reset(OGRCreateCoordinateTransformation(&from, &dem));
                if (!to) {
                    why = "its coordinates cannot be turned into the DEM's system";
                    return false;
                }
            }
        }
        for (const auto &l : raw.lines) {
            std::vector<Spot> line;
            for (auto p : l) {
                if (w.kind == Where::cells) {
                    line.push_back({p.first, p.second});
                    continue;
                }
                double x = p.first, y = p.second;
                if (to && !to->Transform(1, &x, &y)) {
                    x = y = FAR;  // no place on the DEM
                }
                line.push_back(std::isfinite(x) && std::isfinite(y) ? spot_of(g, x, y) : Spot{-FAR, -FAR});
            }
            out.lines.push_back(line);
        }
        return true;
    };
    std::string why;
    if (!as(raw.where, c, why)) {
        if (!raw.where.by_default) {
            err = why;
            return false;
        }
        c.lines.clear();
    }
    bool any = false;
    for (const auto &l : c.lines)
        for (Spot s : l) any = any || inside(s);
    // GeoJSON without a crs member is WGS 84; one written in the DEM's own
    // system without saying so is read so when that alone puts it on the DEM.
    if (raw.where.by_default) {
        Contact own;
        std::string ignored;
        bool on = false;
        if (!any && as(Where(), own, ignored))
            for (const auto &l : own.lines)
                for (Spot s : l) on = on || inside(s);
        if (on) {
            c = own;
            note = g.known ? "; its coordinates (no crs member, and not on the DEM as longitude and latitude) read in the DEM's own system"
                           : "";
        } else if (any) {
            note = "; longitude and latitude (WGS 84, as a GeoJSON without crs member is) placed on the DEM";
        }
        return true;
    }
    if (raw.where.kind == Where::other && any) {
        OGRSpatialReference from;
        from.SetFromUserInput(raw.where.srs.c_str());
        const char *a = from.GetAuthorityName(nullptr), *code = from.GetAuthorityCode(nullptr);
        note = std::string("; in ") + (a != nullptr && code != nullptr ? std::string(a) + ":" + code : std::string(from.GetName())) +
               ", turned into the DEM's system";
    }
    return true;
}

bool finish(const Raw &raw, const std::string &path, bool table, const Georef &g, int rows, int cols, Contact &c, std::string &err) {
    size_t total = 0;
    for (const auto &l : raw.lines) total += l.size();
    if (total > MAX_SPOTS) {
        err = path + ": " + std::to_string(total) + " points, more than the " + std::to_string(MAX_SPOTS) + " a contact may hold";
        return false;
    }
    std::string note;
    if (!place(raw, g, rows, cols, c, note, err)) {
        err = path + ": " + err;
        return false;
    }
    // Points outside the DEM are left out; a line keeps its vertices inside.
    size_t outside = 0;
    for (std::vector<Spot> &l : c.lines) {
        const size_t before = l.size();
        l.erase(std::remove_if(l.begin(), l.end(),
                               [&](Spot s) { return !(s.i >= -0.5 && s.i < rows - 0.5 && s.j >= -0.5 && s.j < cols - 0.5); }),
                l.end());
        outside += before - l.size();
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
                 (table ? " (a table's rows, not chained into a line)" : "");
    if (outside > 0) c.how += "; " + count(outside, "point", "points") + " outside the DEM left out";
    c.how += note;
    return true;
}

}  // namespace

bool read_contact(const std::string &path, const Georef &g, int rows, int cols, Contact &c, std::string &err) {
    std::string bytes, why;
    if (!formats::read_file(path, bytes, why, MAX_CONTACT_BYTES)) {
        err = "cannot read " + path + ": " + why;
        return false;
    }
    // GeoJSON and CSV are read here; any other vector file through OGR.
    const std::string name = lower(path);
    const size_t first = bytes.find_first_not_of(" \t\r\n");
    const std::string head = bytes.substr(0, bytes.find('\n'));
    const bool text = formats::ends_with(name, ".csv") || formats::ends_with(name, ".geojson") || formats::ends_with(name, ".json") ||
                      formats::ends_with(name, ".txt") || (first != std::string::npos && bytes[first] == '{') ||
                      (head.find(',') != std::string::npos && std::all_of(head.begin(), head.end(), [](char ch) {
                           return ch == '\r' || ch == '\t' || (ch >= ' ' && ch < 127);
                       }));
    if (text) return read_contact_text(bytes, path, g, rows, cols, c, err);
    c.lines.clear();
    Raw raw;
    if (!read_vector(path, raw, err)) return false;
    return finish(raw, path, false, g, rows, cols, c, err);
}

bool read_contact_text(const std::string &text, const std::string &path, const Georef &g, int rows, int cols, Contact &c,
                       std::string &err) {
    c.lines.clear();
    const size_t first = text.find_first_not_of(" \t\r\n");
    const bool json = first != std::string::npos && text[first] == '{';
    Raw raw;
    if (!(json ? read_geojson(text, path, raw, err) : read_csv(text, path, raw, err))) {
        if (err.empty()) err = path + ": more than " + std::to_string(MAX_SPOTS) + " points";
        return false;
    }
    return finish(raw, path, !json, g, rows, cols, c, err);
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
    double z;
    surface(t, i, j, z, east, north);
}

}  // namespace tools
