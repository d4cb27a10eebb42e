// stations_main.cpp: tolmar-stations, a table of field stations traced on a
// DEM: tolmar-stations DEM.raw STATIONS [-o LAYER] [--zone N] [...]
#include <cstdlib>
#include <string>

#include "files/formats.h"
#include "options/options.h"
#include "stations.h"

namespace {

const char TOOL[] = "tolmar-stations";

opt::Command command() {
    opt::Command c;
    c.tool = TOOL;
    c.head =
        "usage: tolmar-stations DEM.raw STATIONS [-o LAYER] [--zone N] [--result NAME]\n"
        "                       [--geometry true|classic] [column and place options]\n"
        "\n"
        "Traces every station of a table on the DEM, in the table's order, as the\n"
        "dialogue would trace the same answers: one treatment a station, its point,\n"
        "its dip and dip direction (or strike and dip by the right-hand rule) and its\n"
        "influence zone. STATIONS is any table OGR reads: CSV (x,y or row,column\n"
        "columns), GeoPackage, GeoJSON, Shapefile. Writes:\n"
        "  - result sets of 250 treatments in the DEM's folder, NAME_tolmar.raw and\n"
        "    .txt, then NAME_2_tolmar, NAME_3_tolmar, ... (NAME: --result, else the\n"
        "    table's name); an earlier set of that name is replaced;\n"
        "  - a trace layer: one feature a station, its trace as lines in the DEM's\n"
        "    system, every column of the station, and code, cells, status (traced, or\n"
        "    refused and why), result, row and column.\n"
        "\n";
    c.options = {
        {"-o", "", 1, "  -o LAYER          the trace layer, .gpkg or .geojson (default\n"
                      "                    TABLE_traces.gpkg in the current folder)\n", ""},
        {"--zone", "", 1, "  --zone N          the influence zone of every station, in cells (default:\n"
                          "                    a column named zone, influence_zone or infl)\n", ""},
        {"--result", "", 1, "  --result NAME     the result sets' name\n", ""},
        {"--geometry", "", 1, "  --geometry G      true (default: where the plane meets the ground) or classic,\n"
                              "                    as the console's option\n", ""},
        {"--dip", "", 1, "  --dip COL         the dip column (default: dip, dip_angle, ...)\n", ""},
        {"--dip-direction", "", 1, "  --dip-direction COL  the dip direction column (default: dip_direction,\n"
                                   "                    dipdir, dip_dir, azimuth, ...)\n", ""},
        {"--strike", "", 1, "  --strike COL      a strike column (right-hand rule) instead\n", ""},
        {"--zone-column", "", 1, "  --zone-column COL the zone column\n", ""},
        {"--x", "", 1, "  --x COL, --y COL  map coordinate columns (default: the table's points;\n"
                       "                    without them, columns x/y, easting/northing, lon/lat,\n"
                       "                    ...; lon and lat in WGS 84 unless --table-crs)\n", ""},
        {"--y", "", 1, "", ""},
        {"--row", "", 1, "  --row COL, --column COL  cell columns instead of map coordinates\n", ""},
        {"--column", "", 1, "", ""},
        {"--id", "", 1, "  --id COL          the column that names the stations in the words (default:\n"
                        "                    id, station, name or site; else their numbers)\n", ""},
        {"--layer", "", 1, "  --layer NAME      the table's layer (default: its first)\n", ""},
        {"--table-crs", "", 1, "  --table-crs SRS   the system of a table that names none (default: the\n"
                               "                    DEM's); a table in another system is reprojected\n", ""},
        {"--unit", "", 1, "  --unit U          the DEM's unit, m, dm, cm or mm, when its sidecar gives none\n", ""},
        {"--pixel-size", "", 1, "  --pixel-size P    when the DEM's descriptor gives none\n", ""},
        {"--background", "", 1, "  --background B    white (default) or black\n", ""},
        {"--progress", "", 0, "  --progress        lines \"progress N\" (percent) on the standard error, for a\n"
                              "                    program that runs it (a bar is drawn on a terminal anyway)\n", ""},
    };
    c.min_args = c.max_args = 2;
    c.missing = "needs the DEM raster DEM.raw and a table of stations";
    c.one_more = "one DEM and one table only, not also ";
    return c;
}

bool whole_number(const std::string &s, long lo, long hi, int &out) {
    char *end = nullptr;
    const long v = strtol(s.c_str(), &end, 10);
    if (end == s.c_str() || *end != '\0' || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    opt::Line line;
    const int done = opt::parse(command(), argc, argv, line);
    if (done >= 0) return done;
    tools::StationsRequest q;
    q.dem = line.args[0];
    q.table = line.args[1];
    q.out = line.value("-o");
    q.result = line.value("--result");
    q.layer = line.value("--layer");
    q.dip = line.value("--dip");
    q.dip_direction = line.value("--dip-direction");
    q.strike = line.value("--strike");
    q.zone_column = line.value("--zone-column");
    q.x = line.value("--x");
    q.y = line.value("--y");
    q.row = line.value("--row");
    q.column = line.value("--column");
    q.id = line.value("--id");
    q.table_crs = line.value("--table-crs");
    q.unit = line.value("--unit");
    if (line.has("--zone") && !whole_number(line.value("--zone"), 1, 1000000, q.zone))
        return opt::usage_error(TOOL, "--zone takes a whole number of cells from 1, not " + formats::printable(line.value("--zone")));
    if (line.has("--pixel-size") && !whole_number(line.value("--pixel-size"), 1, 2147483647, q.pixel_size))
        return opt::usage_error(TOOL, "--pixel-size takes a whole number of metres from 1, not " +
                                          formats::printable(line.value("--pixel-size")));
    if (line.has("--unit") && formats::unit_of_name(q.unit) < 0)
        return opt::usage_error(TOOL, "--unit takes m, dm, cm or mm, not " + formats::printable(q.unit));
    const std::string g = line.value("--geometry", "true");
    if (!geometry_of_name(g.c_str(), q.geometry))
        return opt::usage_error(TOOL, "--geometry takes classic or true, not " + formats::printable(g));
    const std::string b = line.value("--background", "white");
    if (b != "white" && b != "black") return opt::usage_error(TOOL, "--background takes white or black, not " + formats::printable(b));
    q.black = b == "black";
    q.progress_lines = line.has("--progress");
    if (!q.dip_direction.empty() && !q.strike.empty())
        return opt::usage_error(TOOL, "--dip-direction and --strike name the same thing twice: give one");
    return tools::run_stations(q);
}
