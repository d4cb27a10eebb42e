// export_main.cpp: tolmar-export, the traces of a run as GeoJSON lines or as
// CSV points, with each treatment's parameters, for a GIS:
// tolmar-export RESULT.raw [--origin X Y] [--crs EPSG:NNNN] [--format geojson|csv] [-o OUT]
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "chain.h"
#include "resultset.h"

namespace {

const char USAGE[] =
    "usage: tolmar-export RESULT.raw [--origin X Y] [--crs EPSG:NNNN] [--format geojson|csv] [-o OUT]\n"
    "\n"
    "Writes the traces of a tolmar run for a GIS. RESULT.raw is the result\n"
    "raster R_tolmar.raw; its descriptor and run log R_tolmar.txt lie beside it.\n"
    "\n"
    "  --format geojson  (default) one feature per stamped treatment: a\n"
    "                    MultiLineString of its trace, the cells chained through\n"
    "                    their eight neighbours, each at its centre (a lone cell\n"
    "                    is a line of two equal points), with the code, reference\n"
    "                    point, dip, dip direction and influence zone\n"
    "  --format csv      one row per trace cell: code,row,column,x,y\n"
    "  --origin X Y      map coordinates of the outer top-left corner of cell\n"
    "                    (0, 0): x = X + (column + 0.5) * pixel size,\n"
    "                    y = Y - (row + 0.5) * pixel size, north up. Without it,\n"
    "                    x = column + 0.5 and y = -(row + 0.5), in cells\n"
    "  --crs EPSG:NNNN   the coordinate system of X and Y, named in the GeoJSON\n"
    "  -o OUT            the file to write (default: standard output)\n"
    "  -h, --help        this text\n";

int usage_error(const std::string &what) { return tools::usage_error("tolmar-export", what); }
int failure(const std::string &what) { return tools::failure("tolmar-export", what); }

// The shortest text that reads back as the same double.
std::string num(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

bool parse_double(const char *s, double &out) {
    char *end = nullptr;
    out = strtod(s, &end);
    return end != s && *end == '\0' && std::isfinite(out);
}

struct Place {
    bool origin = false;
    double x0 = 0, y0 = 0, pix = 1;
    double x(int column) const { return origin ? x0 + (column + 0.5) * pix : column + 0.5; }
    double y(int row) const { return origin ? y0 - (row + 0.5) * pix : -(row + 0.5); }
};

std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string point(const Place &p, const tools::Cell &c) { return "[" + num(p.x(c.j)) + ", " + num(p.y(c.i)) + "]"; }

std::string geojson(const tools::Result &r, const std::vector<std::vector<tools::Cell>> &by_code, const Place &p,
                    const std::string &name, const std::string &crs) {
    std::string out = "{\n\"type\": \"FeatureCollection\",\n\"name\": " + json_string(name) + ",\n";
    if (!crs.empty())
        out += "\"crs\": {\"type\": \"name\", \"properties\": {\"name\": \"urn:ogc:def:crs:EPSG::" + crs.substr(5) +
               "\"}},\n";
    out += "\"tolmar_coordinates\": " +
           json_string(p.origin ? "map: x = " + num(p.x0) + " + (column + 0.5) * " + num(p.pix) + ", y = " + num(p.y0) +
                                      " - (row + 0.5) * " + num(p.pix)
                                : "cell units, no origin given: x = column + 0.5, y = -(row + 0.5)") +
           ",\n\"features\": [\n";
    for (size_t k = 0; k < r.records.size(); k++) {
        const tools::Record &rec = r.records[k];
        out += "{\"type\": \"Feature\", \"properties\": {\"code\": " + std::to_string(rec.code) +
               ", \"line\": " + std::to_string(rec.line) + ", \"column\": " + std::to_string(rec.column) +
               ", \"ref_x\": " + num(p.x(rec.column)) + ", \"ref_y\": " + num(p.y(rec.line)) +
               ", \"dip\": " + std::to_string(rec.dip) + ", \"dip_direction\": " + std::to_string(rec.direction) +
               ", \"influence_zone\": " + std::to_string(rec.zone) +
               "}, \"geometry\": {\"type\": \"MultiLineString\", \"coordinates\": [";
        bool first_line = true;
        for (const tools::Line &line : tools::chain(by_code[static_cast<size_t>(rec.code)])) {
            out += first_line ? "[" : ", [";
            first_line = false;
            for (size_t c = 0; c < line.size(); c++) out += (c ? ", " : "") + point(p, line[c]);
            // A line needs two positions: a lone cell is a line of length zero.
            if (line.size() == 1) out += ", " + point(p, line[0]);
            out += "]";
        }
        out += std::string("]}}") + (k + 1 < r.records.size() ? "," : "") + "\n";
    }
    return out + "]\n}\n";
}

std::string csv(const std::vector<std::vector<tools::Cell>> &by_code, const Place &p) {
    std::string out = "code,row,column,x,y\n";
    for (int code = 1; code <= 250; code++)
        for (const tools::Cell &c : by_code[static_cast<size_t>(code)])
            out += std::to_string(code) + "," + std::to_string(c.i) + "," + std::to_string(c.j) + "," +
                   num(p.x(c.j)) + "," + num(p.y(c.i)) + "\n";
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    std::string raster, format = "geojson", out_path, crs;
    Place place;
    for (int k = 1; k < argc; k++) {
        const std::string a = argv[k];
        if (a == "-h" || a == "--help") {
            fputs(USAGE, stdout);
            return 0;
        }
        if (a == "--origin") {
            if (k + 2 >= argc || !parse_double(argv[k + 1], place.x0) || !parse_double(argv[k + 2], place.y0))
                return usage_error("--origin needs two numbers, X and Y");
            place.origin = true;
            k += 2;
        } else if (a == "--crs") {
            if (k + 1 >= argc) return usage_error("--crs needs a value such as EPSG:32616");
            crs = argv[++k];
            bool ok = crs.size() > 5 && crs.size() <= 11 && crs.compare(0, 5, "EPSG:") == 0;
            for (size_t c = 5; ok && c < crs.size(); c++) ok = crs[c] >= '0' && crs[c] <= '9';
            if (!ok) return usage_error("--crs takes EPSG: and a number, such as EPSG:32616, not " + crs);
        } else if (a == "--format") {
            if (k + 1 >= argc) return usage_error("--format needs geojson or csv");
            format = argv[++k];
            if (format != "geojson" && format != "csv") return usage_error("--format takes geojson or csv, not " + format);
        } else if (a == "-o") {
            if (k + 1 >= argc) return usage_error("-o needs a file name");
            out_path = argv[++k];
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option " + a);
        } else if (raster.empty()) {
            raster = a;
        } else {
            return usage_error("one result raster only, not also " + a);
        }
    }
    if (raster.empty()) return usage_error("needs the result raster RESULT.raw");
    if (!crs.empty() && !place.origin)
        return usage_error("--crs " + crs + " names the system of map coordinates, but without --origin X Y the "
                           "coordinates are cells: give the origin too");

    std::string err;
    tools::Result r;
    if (!tools::load_result(raster, r, err)) return failure(err);
    for (size_t k = 0; k < r.records.size(); k++)
        if (r.records[k].code != static_cast<int>(k) + 1)
            return failure(formats::descriptor_path(raster) + ": record " + std::to_string(k + 1) + " has code " +
                           std::to_string(r.records[k].code) + "; the codes of a run log are 1, 2, 3, ...");
    const std::vector<std::vector<tools::Cell>> by_code = tools::cells_by_code(r.cells, r.rows, r.cols);
    for (size_t code = r.records.size() + 1; code <= 250; code++)
        if (!by_code[code].empty())
            return failure(raster + ": cells hold code " + std::to_string(code) + ", which has no record in " +
                           formats::descriptor_path(raster));
    if (place.origin) {
        if (r.pix_size <= 0)
            return failure(formats::descriptor_path(raster) + " gives pixel size " + std::to_string(r.pix_size) +
                           ": map coordinates need one above 0");
        place.pix = r.pix_size;
    } else {
        fprintf(stderr, "tolmar-export: no --origin: coordinates are in cells, x = column + 0.5, y = -(row + 0.5)\n");
    }

    std::string name = raster.substr(raster.find_last_of('/') + 1);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".raw") == 0) name.resize(name.size() - 4);
    const std::string text = format == "csv" ? csv(by_code, place) : geojson(r, by_code, place, name, crs);

    FILE *f = out_path.empty() || out_path == "-" ? stdout : fopen(out_path.c_str(), "w");
    if (f == nullptr) return failure("cannot write " + out_path);
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (f == stdout ? fflush(f) == 0 : fclose(f) == 0) && ok;
    if (!ok) return failure("cannot write " + (out_path.empty() ? std::string("the standard output") : out_path));
    return 0;
}
