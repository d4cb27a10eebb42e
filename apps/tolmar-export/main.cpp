// main.cpp: tolmar-export, the traces of a run for a GIS: GeoJSON
// lines or CSV points with each treatment's values, or the coded result
// raster itself as a georeferenced VRT with the preview's colours:
// tolmar-export RESULT.raw [--format geojson|csv|gpkg|vrt] [--dem DEM.raw]
//               [--origin X Y] [--crs EPSG:NNNN] [-o OUT]
#include <cmath>
#include <cstdlib>
#include <string>

#include "geo/export.h"
#include "options/options.h"

namespace {

const char TOOL[] = "tolmar-export";

opt::Command command() {
    opt::Command c;
    c.tool = TOOL;
    c.head =
        "usage: tolmar-export RESULT.raw [--format geojson|csv|gpkg|vrt] [--dem DEM.raw]\n"
        "                     [--origin X Y] [--crs EPSG:NNNN] [-o OUT]\n"
        "\n"
        "Writes the traces of a tolmar run for a GIS. RESULT.raw is the result\n"
        "raster R_tolmar.raw; its descriptor and run log R_tolmar.txt lie beside it.\n"
        "\n";
    c.options = {
        opt::choice_of({"--format", "", 1,
         "  --format geojson  (default) one feature per stamped treatment: a\n"
         "                    MultiLineString of its trace, the cells chained through\n"
         "                    their eight neighbours, each at its centre (a lone cell\n"
         "                    is a line of two equal points), with the code, reference\n"
         "                    point, dip, dip direction and influence zone\n"
         "  --format csv      one row per trace cell: code,row,column,x,y (and filled)\n"
         "  --format gpkg     a GeoPackage of two layers: traces (as in GeoJSON, with\n"
         "                    the cells stamped) and reference_points (default OUT:\n"
         "                    R_tolmar.gpkg beside the result)\n"
         "  --format vrt      the result raster for a GIS, georeferenced, its\n"
         "                    background as nodata and the preview's colours as its\n"
         "                    colour table (default OUT: R_tolmar.vrt beside it)\n", ""},
                       {"geojson", "csv", "gpkg", "vrt"}, "--format takes geojson, csv, gpkg or vrt, not {}", "geojson"),
        opt::of_kind({"--dem", "", 1,
         "  --dem DEM.raw     the run's DEM (default: the DEM file set of the result's\n"
         "                    size in its folder). A DEM imported by tolmar-import\n"
         "                    places the traces on the map by itself, and its cells\n"
         "                    filled in place of nodata are left out of the lines\n"
         "                    (counted as cells_over_filled_ground) and flagged in CSV\n", ""},
                     opt::Kind::file),
        opt::number_in({"--origin", "", 2,
         "  --origin X Y      map coordinates of the outer top-left corner of cell\n"
         "                    (0, 0): x = X + (column + 0.5) * pixel size,\n"
         "                    y = Y - (row + 0.5) * pixel size, north up. With no\n"
         "                    origin and no georeferenced DEM, x = column + 0.5 and\n"
         "                    y = -(row + 0.5), in cells\n", "--origin needs two numbers, X and Y"},
                       -1.7976931348623157e308, 1.7976931348623157e308, "map units", "--origin needs two numbers, X and Y"),
        opt::of_kind({"--crs", "", 1,
         "  --crs EPSG:NNNN   the coordinate system of the map coordinates given by\n"
         "                    --origin (refused for a DEM that carries its own\n"
         "                    georeference; GeoJSON of a system without an EPSG code\n"
         "                    is written in longitude and latitude)\n", ""},
                     opt::Kind::epsg, "--crs takes EPSG: and a number, such as EPSG:32616, not {}"),
        opt::of_kind({"-o", "", 1, "  -o OUT            the file to write (default: standard output)\n", ""}, opt::Kind::output),
    };
    c.min_args = c.max_args = 1;
    c.arguments = {"RESULT.raw"};
    c.missing = "needs the result raster RESULT.raw";
    c.one_more = "one result raster only, not also ";
    return c;
}

}  // namespace

int main(int argc, char **argv) {
    opt::Line line;
    const int parsed = opt::parse(command(), argc, argv, line);
    if (parsed >= 0) return parsed;
    tools::ExportRequest q;
    q.raster = line.args[0];
    q.format = line.value("--format", "geojson");
    q.out_path = line.value("-o");
    q.crs = line.value("--crs");
    q.dem = line.value("--dem");
    if ((q.origin = line.has("--origin"))) {
        q.x0 = strtod(line.values("--origin")[0].c_str(), nullptr);
        q.y0 = strtod(line.values("--origin")[1].c_str(), nullptr);
    }
    // Text formats without -o go to the standard output.
    std::string text;
    const bool to_stdout = (q.format == "geojson" || q.format == "csv") && (q.out_path.empty() || q.out_path == "-");
    if (to_stdout) q.bytes = &text;
    const tolmar::Status s = tools::run_export(q, opt::printing(TOOL));
    if (!s.ok() || !to_stdout) return opt::finish(TOOL, s);
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0)
        return opt::failure(TOOL, "cannot write the standard output");
    return 0;
}
