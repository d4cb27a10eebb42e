// export_main.cpp: tolmar-export, the traces of a run for a GIS: GeoJSON
// lines or CSV points with each treatment's values, or the coded result
// raster itself as a georeferenced VRT with the preview's colours:
// tolmar-export RESULT.raw [--format geojson|csv|vrt] [--dem DEM.raw]
//               [--origin X Y] [--crs EPSG:NNNN] [-o OUT]
#include <ogr_spatialref.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "chain.h"
#include "georef.h"
#include "resultset.h"

namespace {

const char USAGE[] =
    "usage: tolmar-export RESULT.raw [--format geojson|csv|vrt] [--dem DEM.raw]\n"
    "                     [--origin X Y] [--crs EPSG:NNNN] [-o OUT]\n"
    "\n"
    "Writes the traces of a tolmar run for a GIS. RESULT.raw is the result\n"
    "raster R_tolmar.raw; its descriptor and run log R_tolmar.txt lie beside it.\n"
    "\n"
    "  --format geojson  (default) one feature per stamped treatment: a\n"
    "                    MultiLineString of its trace, the cells chained through\n"
    "                    their eight neighbours, each at its centre (a lone cell\n"
    "                    is a line of two equal points), with the code, reference\n"
    "                    point, dip, dip direction and influence zone\n"
    "  --format csv      one row per trace cell: code,row,column,x,y (and filled)\n"
    "  --format vrt      the result raster for a GIS, georeferenced, its\n"
    "                    background as nodata and the preview's colours as its\n"
    "                    colour table (default OUT: R_tolmar.vrt beside it)\n"
    "  --dem DEM.raw     the run's DEM (default: the DEM file set of the result's\n"
    "                    size in its folder). A DEM imported by tolmar-import\n"
    "                    places the traces on the map by itself, and its cells\n"
    "                    filled in place of nodata are left out of the lines\n"
    "                    (counted as cells_over_filled_ground) and flagged in CSV\n"
    "  --origin X Y      map coordinates of the outer top-left corner of cell\n"
    "                    (0, 0): x = X + (column + 0.5) * pixel size,\n"
    "                    y = Y - (row + 0.5) * pixel size, north up. With no\n"
    "                    origin and no georeferenced DEM, x = column + 0.5 and\n"
    "                    y = -(row + 0.5), in cells\n"
    "  --crs EPSG:NNNN   the coordinate system of the map coordinates (a DEM's\n"
    "                    own is used when it has an EPSG code; GeoJSON of one\n"
    "                    without is written in longitude and latitude)\n"
    "  -o OUT            the file to write (default: standard output)\n"
    "  -h, --help        this text\n";

int usage_error(const std::string &what) { return tools::usage_error("tolmar-export", what); }
int failure(const std::string &what) { return tools::failure("tolmar-export", what); }

// The shortest text that reads back as the same double.
std::string num(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

bool parse_double(const char *s, double &out) {
    char *end = nullptr;
    out = strtod(s, &end);
    return end != s && *end == '\0' && std::isfinite(out);
}

// Where a cell's centre lies: in cells, on the map, or (a map system
// without an EPSG code, for GeoJSON) in longitude and latitude.
struct Place {
    tools::Georef g;            // known: map coordinates
    std::string crs;            // EPSG:NNNN of the map coordinates, or ""
    std::string how;            // said in the output
    std::unique_ptr<OGRCoordinateTransformation> to_lonlat;

    void at(const Cell &c, double &x, double &y) const {
        if (!g.known) {
            x = c.j + 0.5;
            y = -(c.i + 0.5);
            return;
        }
        x = g.x(c.j);
        y = g.y(c.i);
        if (to_lonlat) to_lonlat->Transform(1, &x, &y);
    }
};

nlohmann::json point(const Place &p, const Cell &c) {
    double x, y;
    p.at(c, x, y);
    return {x, y};
}

nlohmann::ordered_json geojson(const tools::Result &r, const std::vector<std::vector<Cell>> &by_code,
                               const std::vector<uint8_t> &filled, const Place &p, const std::string &name) {
    nlohmann::ordered_json out;
    out["type"] = "FeatureCollection";
    out["name"] = name;
    if (!p.crs.empty() && !p.to_lonlat)
        out["crs"] = {{"type", "name"}, {"properties", {{"name", "urn:ogc:def:crs:EPSG::" + p.crs.substr(5)}}}};
    out["tolmar_coordinates"] = p.how;
    out["features"] = nlohmann::json::array();
    for (const tools::Record &rec : r.records) {
        std::vector<Cell> real;
        long long over_filled = 0;
        for (const Cell &c : by_code[static_cast<size_t>(rec.code)]) {
            if (!filled.empty() && filled[static_cast<size_t>(c.i) * static_cast<size_t>(r.cols) + static_cast<size_t>(c.j)]) over_filled++;
            else real.push_back(c);
        }
        nlohmann::json lines = nlohmann::json::array();
        for (const tools::Line &line : tools::chain(real)) {
            nlohmann::json coords = nlohmann::json::array();
            for (const Cell &c : line) coords.push_back(point(p, c));
            // A line needs two positions: a lone cell is a line of length zero.
            if (line.size() == 1) coords.push_back(point(p, line[0]));
            lines.push_back(coords);
        }
        Cell ref{rec.line, rec.column};
        double rx, ry;
        p.at(ref, rx, ry);
        nlohmann::ordered_json props = {{"code", rec.code},   {"line", rec.line}, {"column", rec.column},
                                        {"ref_x", rx},        {"ref_y", ry},      {"dip", rec.dip},
                                        {"dip_direction", rec.direction}, {"influence_zone", rec.zone}};
        if (!filled.empty()) props["cells_over_filled_ground"] = over_filled;
        out["features"].push_back({{"type", "Feature"}, {"properties", props},
                                   {"geometry", {{"type", "MultiLineString"}, {"coordinates", lines}}}});
    }
    return out;
}

std::string csv(const std::vector<std::vector<Cell>> &by_code, const std::vector<uint8_t> &filled, int cols,
                const Place &p) {
    std::string out = filled.empty() ? "code,row,column,x,y\n" : "code,row,column,x,y,filled\n";
    for (int code = 1; code <= 250; code++)
        for (const Cell &c : by_code[static_cast<size_t>(code)]) {
            double x, y;
            p.at(c, x, y);
            out += std::to_string(code) + "," + std::to_string(c.i) + "," + std::to_string(c.j) + "," + num(x) + "," + num(y);
            if (!filled.empty())
                out += filled[static_cast<size_t>(c.i) * static_cast<size_t>(cols) + static_cast<size_t>(c.j)] ? ",1" : ",0";
            out += "\n";
        }
    return out;
}

bool valid_crs(const std::string &crs) {
    bool ok = crs.size() > 5 && crs.size() <= 11 && crs.compare(0, 5, "EPSG:") == 0;
    for (size_t c = 5; ok && c < crs.size(); c++) ok = crs[c] >= '0' && crs[c] <= '9';
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    std::string raster, format = "geojson", out_path, crs, dem;
    bool origin = false;
    double x0 = 0, y0 = 0;
    for (int k = 1; k < argc; k++) {
        const std::string a = argv[k];
        if (a == "-h" || a == "--help") {
            fputs(USAGE, stdout);
            return 0;
        }
        if (a == "--origin") {
            if (k + 2 >= argc || !parse_double(argv[k + 1], x0) || !parse_double(argv[k + 2], y0))
                return usage_error("--origin needs two numbers, X and Y");
            origin = true;
            k += 2;
        } else if (a == "--crs" || a == "--format" || a == "-o" || a == "--dem") {
            if (k + 1 >= argc) return usage_error(a + " needs a value");
            const std::string v = argv[++k];
            if (a == "--crs" && !valid_crs(v)) return usage_error("--crs takes EPSG: and a number, such as EPSG:32616, not " + v);
            if (a == "--format" && v != "geojson" && v != "csv" && v != "vrt")
                return usage_error("--format takes geojson, csv or vrt, not " + v);
            (a == "--crs" ? crs : a == "--format" ? format : a == "-o" ? out_path : dem) = v;
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option " + a);
        } else if (raster.empty()) {
            raster = a;
        } else {
            return usage_error("one result raster only, not also " + a);
        }
    }
    if (raster.empty()) return usage_error("needs the result raster RESULT.raw");

    std::string err;
    tools::Result r;
    if (!tools::load_result(raster, r, err)) return failure(err);
    for (size_t k = 0; k < r.records.size(); k++)
        if (r.records[k].code != static_cast<int>(k) + 1)
            return failure(formats::descriptor_path(raster) + ": record " + std::to_string(k + 1) + " has code " +
                           std::to_string(r.records[k].code) + "; the codes of a run log are 1, 2, 3, ...");
    const std::vector<std::vector<Cell>> by_code = tools::cells_by_code(r.cells, r.rows, r.cols);
    for (size_t code = r.records.size() + 1; code <= 250; code++)
        if (!by_code[code].empty())
            return failure(raster + ": cells hold code " + std::to_string(code) + ", which has no record in " +
                           formats::descriptor_path(raster));

    // The DEM: named, or the one beside the result when there is exactly one.
    if (dem.empty()) {
        std::string quiet;
        dem = tools::dem_beside(raster, r.rows, r.cols, quiet);
    }
    tools::Georef dem_place;
    std::vector<uint8_t> filled;
    if (!dem.empty() && (!tools::read_georef(dem, r.rows, r.cols, dem_place, err) ||
                         !tools::read_filled(dem, r.rows, r.cols, filled, err)))
        return failure(err);

    Place place;
    if (origin) {
        if (r.pix_size <= 0)
            return failure(formats::descriptor_path(raster) + " gives pixel size " + std::to_string(r.pix_size) +
                           ": map coordinates need one above 0");
        place.g.known = true;
        const double gt[6] = {x0, static_cast<double>(r.pix_size), 0, y0, 0, -static_cast<double>(r.pix_size)};
        std::copy(gt, gt + 6, place.g.gt);
        place.crs = crs;
        if (!crs.empty()) {
            OGRSpatialReference srs;
            if (srs.SetFromUserInput(crs.c_str()) != OGRERR_NONE) return usage_error("--crs " + crs + " is not a system GDAL knows");
            char *wkt = nullptr;
            srs.exportToWkt(&wkt);
            place.g.wkt = wkt;
            CPLFree(wkt);
        }
        place.how = "map: x = " + num(x0) + " + (column + 0.5) * " + std::to_string(r.pix_size) + ", y = " + num(y0) +
                    " - (row + 0.5) * " + std::to_string(r.pix_size);
    } else if (dem_place.known) {
        place.g = dem_place;
        place.crs = crs.empty() ? dem_place.crs : crs;
        place.how = "map, from the georeference of " + formats::sidecar_path(dem) + ": cell centres";
        if (format == "geojson" && place.crs.empty() && !dem_place.wkt.empty()) {
            // GeoJSON names a system by its EPSG code; one without goes as longitude and latitude.
            OGRSpatialReference from, lonlat;
            from.importFromWkt(dem_place.wkt.c_str());
            from.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
            lonlat.SetWellKnownGeogCS("WGS84");
            lonlat.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
            place.to_lonlat.reset(OGRCreateCoordinateTransformation(&from, &lonlat));
            if (!place.to_lonlat) return failure("cannot turn the coordinates of " + formats::sidecar_path(dem) + " into longitude and latitude");
            place.how += ", turned into WGS 84 longitude and latitude (the system has no EPSG code)";
            fprintf(stderr, "tolmar-export: %s has no EPSG code: the GeoJSON is in WGS 84 longitude and latitude\n",
                    formats::sidecar_path(dem).c_str());
        }
    } else if (!crs.empty()) {
        return usage_error("--crs " + crs + " names the system of map coordinates, but without --origin X Y the "
                           "coordinates are cells: give the origin too");
    } else {
        place.how = "cell units, no origin given: x = column + 0.5, y = -(row + 0.5)";
        fprintf(stderr, "tolmar-export: no --origin: coordinates are in cells, x = column + 0.5, y = -(row + 0.5)\n");
    }
    if (!filled.empty())
        fprintf(stderr, "tolmar-export: trace cells over ground filled in place of nodata are %s\n",
                format == "geojson" ? "left out of the lines and counted" : "flagged");

    if (format == "vrt") {
        if (!place.g.known) return failure("no georeference: give --origin X Y (and --crs), or import the DEM with tolmar-import");
        const std::string out = out_path.empty() ? formats::sidecar_path(raster) : out_path;
        uint8_t background = 0;
        for (uint8_t c : r.cells)
            if (c == 255) background = 255;
        if (!tools::write_result_vrt(out, raster, r.rows, r.cols, background, place.g, err)) return failure(err);
        return 0;
    }

    std::string name = raster.substr(raster.find_last_of('/') + 1);
    if (formats::ends_with(name, ".raw")) name.resize(name.size() - 4);
    std::string text;
    if (format == "csv") {
        text = csv(by_code, filled, r.cols, place);
    } else {
        // One member a line, one feature a line.
        const nlohmann::ordered_json j = geojson(r, by_code, filled, place, name);
        text = "{\n";
        for (auto it = j.begin(); it != j.end(); ++it) {
            if (it.key() == "features") continue;
            text += nlohmann::json(it.key()).dump() + ": " + it.value().dump() + ",\n";
        }
        text += "\"features\": [\n";
        for (size_t k = 0; k < j["features"].size(); k++)
            text += j["features"][k].dump() + (k + 1 < j["features"].size() ? ",\n" : "\n");
        text += "]\n}\n";
    }
    FILE *f = out_path.empty() || out_path == "-" ? stdout : fopen(out_path.c_str(), "w");
    if (f == nullptr) return failure("cannot write " + out_path);
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (f == stdout ? fflush(f) == 0 : fclose(f) == 0) && ok;
    if (!ok) return failure("cannot write " + (out_path.empty() ? std::string("the standard output") : out_path));
    return 0;
}
